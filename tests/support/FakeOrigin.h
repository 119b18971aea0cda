#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>

class QTcpServer;
class QTcpSocket;

// A web server on 127.0.0.1 (port chosen by the system) for one test. It records every request
// it receives and answers each with canned bytes, written chunk by chunk with a pause between
// chunks so that they arrive separately, or with a generated body of any size written only as
// fast as the peer takes it.
class FakeOrigin : public QObject
{
public:
    enum class Closing {
        AfterReply, // close-delimited: closes once the reply is written
        WhenAsked,  // HTTP/1.1 keep-alive: closes only when the request said Connection: close
        Never,      // keeps the connection open whatever the request said
    };

    FakeOrigin();
    ~FakeOrigin() override;

    quint16 port() const;
    QString url(const QString &path = QStringLiteral("/")) const;
    // A browser's request for path, as it is sent to a proxy.
    QByteArray getRequest(const QString &path = QStringLiteral("/")) const
    {
        return "GET " + url(path).toLatin1() + " HTTP/1.1\r\nHost: a\r\n\r\n";
    }
    void setReply(const QList<QByteArray> &chunks, Closing closing = Closing::AfterReply);
    // header, then bodySize bytes of pattern(), then close.
    void setStreamedReply(const QByteArray &header, qint64 bodySize);
    // While held, complete requests are recorded but not answered; release() answers them.
    void setHold(bool hold) { m_hold = hold; }
    void release();
    int completeRequests() const { return m_complete; }
    // Bytes offset.. of a streamed body; a lost or repeated piece of it shows.
    static QByteArray pattern(qint64 offset, qint64 size);
    // The whole canned reply, chunks run together.
    QByteArray replyBytes() const { return m_chunks.join(); }

    QList<QByteArray> requests;
    int connectionsAccepted = 0;
    int connectionsClosedByPeer = 0;

private:
    struct Peer {
        QPointer<QTcpSocket> socket;
        int index = 0;
        bool complete = false;
        bool replying = false;
        bool closeWhenDone = true;
        int nextChunk = 0;
        qint64 streamed = 0;
    };
    void onReadyRead(Peer *peer);
    void startReply(Peer *peer);
    void sendNextChunk(Peer *peer);
    void pumpStream(Peer *peer);
    void finish(Peer *peer);

    QTcpServer *m_server = nullptr;
    QList<QByteArray> m_chunks;
    Closing m_closing = Closing::AfterReply;
    QByteArray m_streamHeader;
    qint64 m_streamSize = -1;
    bool m_hold = false;
    int m_complete = 0;
    QList<Peer *> m_peers;
};
