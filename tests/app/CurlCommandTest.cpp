#include "CurlCommand.h"
#include "FakeOrigin.h"
#include "Wait.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

// Runs a copied command line the way a user pastes it into a shell, with no proxy and no curl
// configuration of the user's; bounded in time.
int runInShell(const QString &command)
{
    QProcess shell;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CURL_HOME"), QStringLiteral("/nonexistent"));
    shell.setProcessEnvironment(env);
    shell.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"), command + QStringLiteral(" -s --max-time 10 --noproxy '*'") });
    if (waitFor([&shell] { return shell.state() == QProcess::NotRunning; }, 15000))
        return shell.exitCode();
    shell.kill();
    shell.waitForFinished(2000);
    return -1;
}

} // namespace

TEST(CopyAsCurl, TheCommandSendsTheRecordedRequestAgainByteForByte)
{
    // Guards against curl adding, dropping, reordering or reshaping anything the browser sent.
    FakeOrigin origin;
    origin.setReply({ QByteArrayLiteral("HTTP/1.1 204 No Content\r\n\r\n") });
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(origin.port()) + "\r\n";
    const QByteArray url = origin.url(QString()).toLatin1();
    const QByteArray binary("\0\x01\xff'%s\\n\n\r\"$(id)`", 16);
    const struct {
        const char *name;
        QByteArray record;
        QByteArray sent; // what the origin must receive
    } rows[] = {
        { "browser GET; hop-by-hop fields dropped, odd characters kept",
            "GET " + url + "/a/../b?q=[1]&x=%20 HTTP/1.1\r\n" + host
                + "User-Agent: Mozilla/5.0 (X11)\r\nAccept: text/html\r\nProxy-Connection: keep-alive\r\n"
                  "Connection: keep-alive, X-Hop\r\nX-Hop: 1\r\nX-Empty:\r\nX-Quote: it's \"q\" $HOME `id` "
                  "\\\r\n\r\n",
            "GET /a/../b?q=[1]&x=%20 HTTP/1.1\r\n" + host
                + "User-Agent: Mozilla/5.0 (X11)\r\nAccept: text/html\r\nX-Empty:\r\n"
                  "X-Quote: it's \"q\" $HOME `id` \\\r\n\r\n" },
        { "POST with a binary body",
            "POST " + url + "/up HTTP/1.1\r\n" + host
                + "Content-Type: application/octet-stream\r\nContent-Length: 16\r\n\r\n" + binary,
            "POST /up HTTP/1.1\r\n" + host
                + "Content-Type: application/octet-stream\r\nContent-Length: 16\r\n\r\n" + binary },
        { "text body that starts like a file name, HTTP/1.0",
            "PUT " + url + "/t HTTP/1.0\r\n" + host + "Content-Length: 9\r\n\r\n@etc/x 'y",
            "PUT /t HTTP/1.0\r\n" + host + "Content-Length: 9\r\n\r\n@etc/x 'y" },
        { "a request without Host or Accept gets none from curl",
            "DELETE " + url + "/d HTTP/1.1\r\nX-Only: 1\r\n\r\n", "DELETE /d HTTP/1.1\r\nX-Only: 1\r\n\r\n" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        origin.requests.clear();
        const QString command = CurlCommand::fromRecord(row.record);
        EXPECT_EQ(runInShell(command), 0) << qPrintable(command);
        ASSERT_EQ(origin.requests.size(), 1) << qPrintable(command);
        EXPECT_EQ(origin.requests.first(), row.sent) << qPrintable(command);
    }
}
