#pragma once

#include "Http2Message.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <map>

class EventSocket;
struct nghttp2_session;

// An HTTP/2 session with a web server over one TLS connection whose server chose "h2": many
// exchanges at once, each on a stream of its own. The session owns the socket.
//
// Input from the server is bounded as any server input: header lists of at most MaxHeaderList
// bytes, few CONTINUATION frames, flow-control windows that hold at most SessionWindow bytes the
// exchanges have not taken yet. A server that breaks the protocol or these bounds ends its own
// session: every exchange on it is told, and the session is gone.
class Http2Client : public QObject
{
    Q_OBJECT

public:
    // What an exchange on the session is told about its stream. Every call may come from inside
    // the session's reading; the exchange may cancel its stream or submit another from there.
    class Stream
    {
    public:
        // The final reply head (interim 1xx heads are left out), fields as they came, in order.
        virtual void streamHead(int status, const Http2Message::Fields &fields) = 0;
        virtual void streamData(const QByteArray &data) = 0;
        // The reply is complete; trailer fields are dropped.
        virtual void streamEnd() = 0;
        // The stream or the whole session failed; no more calls follow. unprocessed: the server
        // refused the stream without acting on it, so that it may be sent again elsewhere.
        virtual void streamFailed(const QString &reason, bool unprocessed) = 0;

    protected:
        ~Stream() = default;
    };

    static constexpr int MaxHeaderList = 64 * 1024;
    static constexpr int MaxContinuations = 8;
    // Streams the session opens at most, whatever the server allows.
    static constexpr int MaxStreams = 100;
    // What one stream, and the whole session, receive before the exchanges take it.
    static constexpr int StreamWindow = 256 * 1024;
    static constexpr int SessionWindow = 4 * 1024 * 1024;

    // Takes over a connected TLS socket whose server chose "h2" and sends the connection preface.
    explicit Http2Client(EventSocket *socket, QObject *parent = nullptr);
    ~Http2Client() override;

    // The session takes new streams and has room for one more.
    bool hasRoom() const;
    // The session takes no new streams: the server closed it, sent GOAWAY, or broke it.
    bool isGone() const;
    int activeStreams() const;
    // Opens a stream for the request; its events go to stream. Returns the stream id, or -1 with
    // the reason in why.
    qint32 submit(const Http2Message::Request &request, Stream *stream, QString *why);
    // Resets the stream; its Stream hears nothing more.
    void cancel(qint32 id);
    // A paused stream's data is held and not acknowledged to the server, so that its window fills
    // and the server stops sending on it; the other streams go on.
    void setPaused(qint32 id, bool paused);
    // Ends the session when no stream has been open for longer than idleMs.
    void closeIfIdle(qint64 idleMs);
    // The TLS summary of the connection, as it was when the session began.
    QString tlsSummary() const;
    QString remoteIP() const;

signals:
    // The session takes no new streams from now on (isGone is true).
    void gone();

private:
    struct Exchange {
        Stream *stream = nullptr;
        QByteArray body;
        qsizetype sent = 0;
        int status = 0;
        bool finalSeen = false;
        qsizetype headerBytes = 0;
        Http2Message::Fields fields;
        bool paused = false;
        QByteArray held;
        bool ended = false;
    };
    struct Callbacks;
    friend struct Callbacks;

    Exchange *find(qint32 id);
    void Socket_DataArrival();
    void flush();
    void fail(const QString &reason);
    void markGone();
    void deliverHeld(qint32 id);
    void endStream(qint32 id);
    void deleteWhenDone();

    EventSocket *m_socket;
    nghttp2_session *m_session = nullptr;
    std::map<qint32, Exchange> m_streams;
    QString m_tlsSummary;
    QString m_remoteIP;
    QString m_failure; // why a callback ended the session
    int m_reading = 0;
    bool m_gone = false;
    bool m_dead = false;
    qint64 m_idleSince = 0;
};
