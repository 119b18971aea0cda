#pragma once

#include "EventSocket.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <memory>

struct nghttp2_session;

// The browser's side of a decrypted tunnel that speaks HTTP/2: frames, header compression and
// flow control (nghttp2), with every stream handed to an exchange of its own as if it were an
// HTTP/1.1 connection carrying one request. The exchange reads the stream's request in
// HTTP/1.1 form from a socket whose far end is the stream, and writes its HTTP/1.1 reply there;
// the reply is read back here and sent as HEADERS and DATA.
//
// A stream whose browser reads slowly holds only its own exchange: the socket of each stream
// reports as queued what the browser's flow-control window has not let out yet, and past the
// connection's bound every stream reports itself full. A browser that breaks a bound (header
// list, CONTINUATION frames, resets, pings) is sent GOAWAY and the connection ends.
class Http2Frontend : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxConcurrentStreams = 100;
    // Reply bytes held for the browser over all streams; past this, every stream's exchange
    // holds its server back.
    static constexpr qint64 MaxBuffered = 4 * 1024 * 1024;
    static constexpr int MaxHeaderListSize = 64 * 1024;
    // CONTINUATION frames after one HEADERS frame.
    static constexpr int MaxContinuations = 16;
    // Streams the browser resets, and pings it sends, within one second.
    static constexpr int MaxResetsPerSecond = 200;
    static constexpr int MaxPingsPerSecond = 100;
    // A request body without a Content-Length is gathered whole before it goes on, up to this.
    static constexpr qint64 MaxUnframedBody = 16 * 1024 * 1024;
    // The windows the browser may send request bodies into.
    static constexpr qint32 StreamWindow = 1024 * 1024;
    static constexpr qint32 ConnectionWindow = 4 * 1024 * 1024;
    // Encoded bytes handed to the browser's socket before waiting for it to drain.
    static constexpr qint64 SendAhead = 256 * 1024;

    // Opens the exchange of a new stream and gives the socket its request is read from; the
    // record head is the request's HTTP/2 head as its record shows it. Null refuses the stream.
    using Opener = std::function<EventSocket *(EventSocket::Pipe *pipe, const QByteArray &recordHead)>;

    Http2Frontend(EventSocket *browser, Opener opener, QObject *parent);
    ~Http2Frontend() override;

    // The browser sent bytes, its socket drained, or it has gone.
    void browserReadable();
    void browserDrained();
    void browserGone();
    // Sends GOAWAY: no new streams; the connection ends once the open ones have.
    void goAway();
    // No stream is open.
    bool idle() const;

signals:
    // A line for the log, after the connection's own prefix.
    void log(const QString &text);
    // The session is over and everything for the browser has been handed to its socket.
    void finished();

private:
    struct Stream;
    friend struct Stream;
    struct Callbacks;
    friend struct Callbacks;

    Stream *stream(qint32 id) const;
    void fault(const QString &why, quint32 code);
    bool countWithin(std::deque<qint64> &times, int limit);
    void replyBytes(Stream *stream, const QByteArray &data);
    void replyClosed(Stream *stream);
    void submitReply(Stream *stream, int status, const QByteArray &head);
    void resetStream(Stream *stream, quint32 code);
    void requestHeadersDone(Stream *stream, bool ended);
    void requestEnded(Stream *stream);
    void schedule();
    // Delivers what waits for the exchanges, opens new ones, drops ended streams, and sends.
    void service();
    void send();
    qint64 queuedFor(const Stream *stream) const;

    EventSocket *m_browser;
    Opener m_opener;
    nghttp2_session *m_session = nullptr;
    std::map<qint32, std::unique_ptr<Stream>> m_streams;
    qint64 m_buffered = 0;
    bool m_scheduled = false;
    bool m_servicing = false;
    bool m_again = false;
    bool m_gone = false;
    bool m_finished = false;
    QString m_fault;
    std::deque<qint64> m_resets;
    std::deque<qint64> m_pings;
    int m_continuations = 0;
    // DATA bytes of streams that are gone, to give back to the connection's window.
    size_t m_unclaimed = 0;
    // What the browser may still send, as it has been told: the connection's window, and the
    // window of new streams (the protocol's default until it acknowledges our settings).
    qint64 m_credit = 65535;
    qint32 m_streamWindow = 65535;
};
