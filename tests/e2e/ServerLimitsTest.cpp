#include "CurlRun.h"
#include "FakeOrigin.h"
#include "RunningProgram.h"
#include "SimpleClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <tuple>
#include <vector>

// Regression: with descriptors exhausted Qt stopped accepting for good, silently, and every
// connection over the limit stacked a modal box. A browser that shut down its sending side after
// the request was taken for gone and got nothing, in a tunnel as much as in plain HTTP, or got
// only the first reply of those it had pipelined; and a
// refusal closed over unread input made the system reset the connection, so a client still
// sending got the reset, not the answer.
TEST(ServerLimits, ExhaustedDescriptorsLeaveTheListenerServingSimpleClients)
{
    RunningProgram program;
    ASSERT_TRUE(program.startListening(64)) << program.stderrText();
    std::vector<QTcpSocket> clients(100);
    for (QTcpSocket &client : clients)
        client.connectToHost(QHostAddress::LocalHost, program.port);
    EXPECT_TRUE(
        waitFor([&] { return program.log().contains(QStringLiteral("Proxy Server Error: ")); }, 15000));
    EXPECT_TRUE(waitFor(
        [&] {
            return std::any_of(clients.begin(), clients.end(),
                [](QTcpSocket &client) { return client.peek(12) == "HTTP/1.1 503"; });
        },
        5000));
    clients.clear();

    // Connections still waiting in the backlog are taken and dropped first; then it serves.
    FakeOrigin origin;
    const QByteArray body = FakeOrigin::pattern(0, 300000), reply = "HTTP/1.0 200 OK\r\n\r\n" + body;
    origin.setReply({ reply });
    CurlResult curl;
    for (int attempt = 0; attempt < 10 && curl.out != body; ++attempt) {
        waitFor([] { return false; }, attempt * 300);
        curl = runCurl({ QStringLiteral("-x"), program.proxy(), origin.url() }, 5000);
    }
    EXPECT_TRUE(curl.out == body) << curl.err.constData();
    EXPECT_LE(program.log().count(QStringLiteral("Proxy Server Error: ")), 10)
        << "logged once per burst, no spinning";

    const QByteArray tunnel = "CONNECT 127.0.0.1:" + QByteArray::number(origin.port()) + " HTTP/1.1\r\n\r\n";
    const QByteArray huge = "POST http://127.0.0.1:9/" + QByteArray(70 * 1024, 'a')
        + " HTTP/1.1\r\nContent-Length: 16000000\r\n\r\n" + QByteArray(16000000, 'b');
    const QByteArray refusal = "HTTP/1.1 431 Request Header Fields Too Large\r\n";
    FakeOrigin kept;
    kept.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" }, FakeOrigin::Closing::WhenAsked);
    const QByteArray get = "GET " + kept.url().toLatin1() + " HTTP/1.1\r\nHost: a\r\n\r\n";
    const std::tuple<const char *, QByteArray, QByteArray> rows[] = {
        { "HTTP/1.0 request", "GET " + origin.url().toLatin1() + " HTTP/1.0\r\n\r\n", reply },
        { "inside a tunnel", tunnel + "GET / HTTP/1.0\r\n\r\n",
            "HTTP/1.1 200 Connection established\r\n\r\n" + reply },
        { "70 KiB request line", huge, refusal },
        { "three requests pipelined", get.repeated(3), kept.replyBytes().repeated(3) },
    };
    for (const auto &[name, request, expected] : rows) {
        SCOPED_TRACE(name);
        // On a thread of its own: the origin here needs the event loop meanwhile.
        auto exchange = std::async(std::launch::async, rawExchange, program.port, request);
        waitFor(
            [&] { return exchange.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30000);
        const QByteArray answer = exchange.get();
        EXPECT_TRUE(expected == refusal ? answer.startsWith(refusal) && answer.endsWith("too large\r\n")
                                        : answer == expected)
            << answer.size() << " bytes: " << answer.left(80).constData();
    }
}
