#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class EventSocket;
class QFile;

// The web-server side of one exchange: works out host and port, connects, sends the request
// text, passes each reply chunk on at once and records the reply when the server closes.
//
// The reply is not held in memory: each chunk is appended to a temporary file beside the reply
// record, which takes the record's name only when the server has closed.
class CHTTPGet : public QObject
{
    Q_OBJECT

public:
    // A reply header that has not ended within this many bytes is refused with a 502.
    static constexpr qsizetype MaxReplyHeaderLength = 64 * 1024;

    explicit CHTTPGet(QObject *parent = nullptr);
    ~CHTTPGet() override;

    void setResponseFile(const QString &Filename);
    QString ResponseFile() const;
    QString RemoteIP() const;
    void setSendHeader(const QByteArray &Header);
    qint32 RequestID() const;
    void setRequestID(qint32 ID);
    qint32 BufferSize() const;
    QString Host() const;
    QString URL() const;
    qint32 ContentLength() const;
    QByteArray Header() const;
    // Always empty: the reply is not kept in memory; the record file holds it.
    QByteArray Buffer() const;
    bool Finished() const;

    void OpenURL(const QString &URL);
    // Host, port and path as OpenURL works them out of its argument.
    struct Target {
        QString host;
        qint32 port = 80;
        QString url;
    };
    static Target parseURL(const QString &URL);
    void FileCompleted();

    EventSocket *socket() const;

    // The port OpenURL worked out; 0 before it ran.
    qint32 port() const;
    // Bytes received from the server, as a 64-bit count.
    qint64 receivedBytes() const;
    // The name the reply is written under until the transfer is complete.
    QString partFile() const;
    // Ends an unfinished transfer: closes the upstream connection and discards the partial
    // record. Raises nothing.
    void abort();
    // A tunnel relays whatever the server sends, with no reply header to wait for, and a server
    // that closes without a byte ends it normally.
    void setTunnel(bool tunnel);
    // Ends the transfer as abort does and deletes the reply record if it was already written.
    void discardRecord();
    // Sends bytes to the server over the open connection (used by a tunnel).
    void sendUpstream(const QByteArray &data);

signals:
    void Connected();
    void TransferCompleted(
        const QByteArray &Header, const QByteArray &Buffer, qint32 ContentLength, qint32 BufferLength);
    void DataReceived(const QByteArray &Buffer, qint32 BufferSize, qint32 ContentLength);
    // The upstream connection could not be made or failed before any reply byte arrived.
    void failed(const QString &host, const QString &reason);
    // The upstream connection broke after reply bytes had been passed on.
    void brokenOff(const QString &reason);
    // The reply record could not be written; the transfer has been abandoned.
    void recordFailed(const QString &reason);

private:
    void Socket_Connect();
    void Socket_DataArrival(qint32 bytesTotal);
    void Socket_Close();
    void Socket_Error(qint16 Number, const QString &Description);
    void SaveResponse();
    void appendToRecord(const QByteArray &chunk);
    void discardPart();
    void failLater(const QString &reason);
    bool replyHeaderEnded(qsizetype searchFrom) const;

    EventSocket *m_socket = nullptr;
    QString m_host;
    QString m_url;
    bool m_finished = false;
    bool m_aborted = false;
    bool m_failed = false;
    QByteArray m_header;
    qint64 m_received = 0;
    qint32 m_contentLength = 0;
    qint32 m_requestID = 0;
    QByteArray m_sendHeader;
    QString m_responseFile;
    qint32 m_port = 0;
    QString m_remoteIP;
    std::unique_ptr<QFile> m_part;
    bool m_tunnel = false;
    bool m_headerPending = true;
    QByteArray m_pendingHeader;
};
