#include "Http2Frontend.h"
#include "Http2Browser.h"

#include <gtest/gtest.h>

namespace {

// The browser's end of the wire: what the frontend sends, and whether it closed.
struct Wire : EventSocket::Pipe {
    QByteArray sent;
    void pipeSend(const QByteArray &data) override { sent += data; }
    qint64 pipeQueued() const override { return 0; }
    void pipeClosed() override { }
    QString pipePeerIP() const override { return QStringLiteral("127.0.0.1"); }
    QString pipeLocalIP() const override { return QStringLiteral("127.0.0.1"); }
};

} // namespace

// Regression guard: a browser that sends a request body beyond the window it was given must lose
// its connection, not have the proxy take whatever it sends. A real socket hands the frames over
// a TLS record at a time, between which the window is opened again, so the burst comes here whole.
TEST(Http2Frontend, DataBeyondTheWindowEndsTheConnection)
{
    using B = Http2Browser;
    Wire wire;
    EventSocket browser;
    browser.attachPipe(&wire);
    std::vector<std::unique_ptr<EventSocket>> streams;
    Http2Frontend frontend(
        &browser,
        [&](EventSocket::Pipe *pipe, const QByteArray &) {
            streams.push_back(std::make_unique<EventSocket>());
            streams.back()->attachPipe(pipe);
            return streams.back().get();
        },
        nullptr);
    QStringList log;
    bool finished = false;
    QObject::connect(&frontend, &Http2Frontend::log, [&](const QString &line) { log << line; });
    QObject::connect(&frontend, &Http2Frontend::finished, [&] { finished = true; });
    QObject::connect(&browser, &EventSocket::DataArrival, [&] { frontend.browserReadable(); });

    const QByteArray post = B::literal(":method", "POST") + B::literal(":scheme", "https")
        + B::literal(":authority", "localhost") + B::literal(":path", "/")
        + B::literal("content-length", "999999");
    QByteArray burst = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + B::frame(NGHTTP2_SETTINGS, 0, 0, {})
        + B::frame(NGHTTP2_HEADERS, NGHTTP2_FLAG_END_HEADERS, 1, post);
    for (int i = 0; i < 5; ++i)
        burst += B::frame(NGHTTP2_DATA, 0, 1, QByteArray(16384, 'd'));
    browser.pipeReceived(burst);

    EXPECT_TRUE(finished);
    QByteArray goawayCode;
    for (qsizetype at = 0; at + 9 <= wire.sent.size();) {
        const auto *p = reinterpret_cast<const uchar *>(wire.sent.constData() + at);
        const qsizetype length = (p[0] << 16) | (p[1] << 8) | p[2];
        if (p[3] == NGHTTP2_GOAWAY)
            goawayCode = wire.sent.mid(at + 9 + 4, 4);
        at += 9 + length;
    }
    EXPECT_EQ(goawayCode, QByteArray("\0\0\0\x03", 4)) << "GOAWAY with FLOW_CONTROL_ERROR";
    EXPECT_EQ(log,
        QStringList {
            QStringLiteral("HTTP/2 connection ended with GOAWAY: DATA beyond the flow-control window") });
}
