#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class EventSocket;

// The web-server side of one exchange: works out host and port, connects, sends the request
// text, passes each reply chunk on at once and records the reply when the server closes.
class CHTTPGet : public QObject
{
    Q_OBJECT

public:
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
    QByteArray Buffer() const;
    bool Finished() const;

    void OpenURL(const QString &URL);
    void FileCompleted();

    EventSocket *socket() const;

signals:
    void Connected();
    void TransferCompleted(const QByteArray &Header, const QByteArray &Buffer, qint32 ContentLength, qint32 BufferLength);
    void DataReceived(const QByteArray &Buffer, qint32 BufferSize, qint32 ContentLength);
    // The upstream connection could not be made or failed before any reply byte arrived.
    void failed(const QString &host, const QString &reason);
};
