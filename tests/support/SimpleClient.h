#pragma once

#include <QByteArray>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// What a simple client gets: it connects to 127.0.0.1, sends the whole request before reading a
// byte (giving up if sending fails), shuts down its sending side and reads until the end. Every
// call is bounded by time-outs.
inline QByteArray rawExchange(quint16 port, const QByteArray &request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval bound { 10, 0 };
    for (const int option : { SO_RCVTIMEO, SO_SNDTIMEO })
        setsockopt(fd, SOL_SOCKET, option, &bound, sizeof bound);
    const sockaddr_in address { AF_INET, htons(port), { htonl(INADDR_LOOPBACK) }, {} };
    ssize_t sent = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ? 0 : -1;
    for (ssize_t n = 0; sent >= 0 && sent < request.size(); sent = n < 0 ? -1 : sent + n)
        n = ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    QByteArray answer;
    char buffer[4096];
    for (ssize_t n; sent > 0 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, n);
    ::close(fd);
    return answer;
}
