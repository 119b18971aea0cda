#pragma once

#include <QByteArray>
#include <QProcess>
#include <QTemporaryDir>

// An HTTPS origin on 127.0.0.1: openssl s_server with a self-signed certificate made for the
// run, serving the files of its own temporary folder. port() is 0 when it could not start.
class TlsOrigin
{
public:
    TlsOrigin();
    ~TlsOrigin();

    quint16 port() const { return m_port; }
    // Puts a file where the server serves it as /name.
    void addFile(const QString &name, const QByteArray &content);

private:
    QTemporaryDir m_dir;
    QProcess m_server;
    quint16 m_port = 0;
};
