#include "CurlRun.h"
#include "FakeOrigin.h"
#include "RunningProgram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

// Regression: with descriptors exhausted Qt stopped accepting for good, silently, and every
// connection over the limit stacked a modal box.
TEST(ServerLimits, ExhaustedDescriptorsLeaveTheListenerServing)
{
    RunningProgram program(64);
    ASSERT_TRUE(program.listening());
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 100; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, program.port);
    }
    EXPECT_TRUE(
        waitFor([&] { return program.log().contains(QStringLiteral("Proxy Server Error: ")); }, 15000));
    const auto refused = [&] {
        return std::count_if(clients.begin(), clients.end(),
            [](const auto &client) { return client->peek(12) == "HTTP/1.1 503"; });
    };
    EXPECT_TRUE(waitFor([&] { return refused() > 0; }, 5000));
    clients.clear();

    // Connections still waiting in the backlog are taken and dropped first; then it serves.
    FakeOrigin origin;
    origin.setReply({ QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\nstill serving") });
    CurlResult curl;
    for (int attempt = 0; attempt < 10 && curl.out != "still serving"; ++attempt) {
        waitFor([] { return false; }, attempt * 300);
        curl = runCurl({ QStringLiteral("-x"), program.proxy(), origin.url() });
    }
    EXPECT_EQ(curl.out, QByteArrayLiteral("still serving")) << curl.err.constData();
    const QString log = program.log();
    EXPECT_LE(log.count(QStringLiteral("Proxy Server Error: ")), 10) << "logged once per burst, no spinning";
    EXPECT_TRUE(log.contains(QStringLiteral("Refused: 503 Service Unavailable")));
}

// Regression: a browser that shut down its sending side after the request was taken for gone
// and got nothing, in a tunnel as much as in plain HTTP.
TEST(ServerLimits, HalfClosedBrowserGetsItsReply)
{
    RunningProgram program;
    FakeOrigin origin;
    const QByteArray reply = "HTTP/1.0 200 OK\r\n\r\n" + FakeOrigin::pattern(0, 300000);
    origin.setReply({ reply });
    const QByteArray get = "GET " + origin.url().toLatin1() + " HTTP/1.0\r\n\r\n";
    const QByteArray tunnel = "CONNECT 127.0.0.1:" + QByteArray::number(origin.port()) + " HTTP/1.1\r\n\r\n";
    const QByteArray tunnelled = "GET / HTTP/1.0\r\n\r\n";
    const QByteArray established = "HTTP/1.1 200 Connection established\r\n\r\n";
    struct Row {
        const char *name;
        QByteArray sent;
        QByteArray expected;
    };
    const Row rows[] = { { "HTTP/1.0 request", get, reply },
        { "inside a tunnel", tunnel + tunnelled, established + reply } };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QTcpSocket browser;
        browser.connectToHost(QHostAddress::LocalHost, program.port);
        ASSERT_TRUE(browser.waitForConnected(5000));
        browser.write(row.sent);
        ASSERT_TRUE(browser.waitForBytesWritten(5000));
        ::shutdown(int(browser.socketDescriptor()), SHUT_WR);
        QByteArray received;
        waitFor(
            [&] {
                received += browser.readAll();
                return browser.state() != QAbstractSocket::ConnectedState;
            },
            15000);
        received += browser.readAll();
        EXPECT_TRUE(received == row.expected)
            << received.size() << " bytes: " << received.left(80).constData();
    }
}

// Regression: a refusal was closed over unread input, so the system reset the connection and a
// client still sending its request got the reset instead of the answer.
TEST(ServerLimits, RefusalOfAHugeRequestLineArrivesWhole)
{
    RunningProgram program;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval bound { 10, 0 };
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(program.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    // Sent whole before anything is read, as simple clients do.
    const QByteArray request = "POST http://127.0.0.1:9/" + QByteArray(70 * 1024, 'a')
        + " HTTP/1.1\r\nContent-Length: 4000000\r\n\r\n" + QByteArray(4000000, 'b');
    qsizetype sent = 0;
    for (ssize_t n = 0; sent < request.size() && n >= 0; sent += n)
        n = ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
    QByteArray answer;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, n);
    ::close(fd);
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 431 ") && answer.endsWith("Request header too large\r\n"))
        << answer.constData();
}

// Regression: every 200-row purge left the records of the exchanges still running behind, where
// no row named them and no purge would ever delete them.
TEST(ServerLimits, RecordsLeftAfterPurgesAreThoseOfTheRows)
{
    RunningProgram program;
    FakeOrigin origin;
    // In pieces, so that many exchanges are still running when a purge comes.
    origin.setReply({ QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\n"), QByteArrayLiteral("part one, "),
        QByteArrayLiteral("part two") });
    const CurlResult curl
        = runCurl({ QStringLiteral("-x"), program.proxy(), QStringLiteral("-Z"),
                      QStringLiteral("--parallel-max"), QStringLiteral("24"), QStringLiteral("-o"),
                      QStringLiteral("/dev/null"), origin.url(QStringLiteral("/[1-600]")) },
            120000);
    ASSERT_EQ(curl.exitCode, 0) << curl.err.constData();

    // The rows are those added after the last purge: one per request logged since.
    const QString log = program.log();
    EXPECT_GE(log.count(QStringLiteral("Done purging.")), 2);
    const qsizetype rowCount = log.mid(log.lastIndexOf(QStringLiteral("Done purging.")))
                                   .count(QStringLiteral(" - Requesting GET - "));
    QStringList files;
    waitFor(
        [&] {
            files = program.recordFiles();
            return files.size() == 2 * rowCount && files.filter(QStringLiteral(".part")).isEmpty();
        },
        10000);
    EXPECT_EQ(files.size(), 2 * rowCount) << files.join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(files.filter(QStringLiteral(".part")).isEmpty());
}
