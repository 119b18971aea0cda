#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class CHTTPGet;
class CProxyServer;
class CRequest;
class EventSocket;

// One browser connection, from the moment the server accepts it until it is closed: gathers the
// request, makes its history row, forwards it, relays and records the reply.
//
// Owned by the server's table through a shared pointer; every handler holds its own reference so
// that the object outlives a handler that makes the server drop it.
class CProxyConnection : public QObject, public std::enable_shared_from_this<CProxyConnection>
{
    Q_OBJECT

public:
    explicit CProxyConnection(QObject *parent = nullptr);
    ~CProxyConnection() override;

    CHTTPGet *HTTPGet() const;
    void setStamp(qint32 NewStamp);
    qint32 stamp() const;
    QString URL() const;
    QString RequestDesc() const;
    qint32 RequestLength() const;
    QString RemoteHost() const;
    qint32 RequestID() const;
    void CheckTimeout();
    void UpdateTimeout();
    void Attach(qint32 RequestID, CProxyServer *Server);
    QString RemoteIP() const;
    void Send(const QByteArray &msg);
    void SetupStamp();

    QString RequestFilePath() const;
    QString ResponseFilePath() const;
    EventSocket *socket() const;
};
