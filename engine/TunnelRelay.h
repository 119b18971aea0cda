#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class CHTTPGet;
class EventSocket;

// Passes what the browser sends on through a tunnel unchanged: a CONNECT that is not decrypted,
// or a connection whose server switched protocols. The server's side comes back through the
// fetcher's own relay. Bytes that arrive before the server is connected are held and go first;
// the browser is held back while the server is slow to take them; the browser's end of stream
// is passed on once the server is there to get it. After a switch of protocols, what the
// browser sends also grows the exchange's request record, at the record writer's pace.
class TunnelRelay : public QObject
{
    Q_OBJECT

public:
    // Above this many bytes queued towards the other side, reading from the sending side pauses;
    // it resumes once all but a quarter of it has gone.
    static constexpr qint64 QueueBound = 1024 * 1024;

    TunnelRelay(EventSocket *browser, CHTTPGet *server, QObject *parent);
    ~TunnelRelay() override;

    // The exchange being served is a tunnel: what the browser sends from here on is relayed.
    void setActive(bool active);
    bool isActive() const;
    // Bytes for a tunnel whose server is not connected yet, or that has not started yet (they
    // followed the CONNECT).
    void hold(const QByteArray &bytes);
    bool holdsBytes() const;
    // The server is connected: the held bytes go, then the browser's end of stream if it came.
    void open();
    bool isOpen() const;
    // Relays, or holds until the server is connected.
    void fromBrowser(const QByteArray &bytes);
    // The browser has said all it will say; the server may still answer.
    void browserFinished();
    // The server switched protocols in reply to this request: from here on the request record
    // (requestRecord, still to be completed) goes on with what the browser sends, starting
    // with what it sent after the request (held).
    void startUpgrade(const QString &requestRecord, const QByteArray &request, const QByteArray &held);
    // The relay after a switch of protocols has ended normally: its request record is complete.
    void finishUpgrade(const QString &requestRecord);
    // The server has taken all but bytesLeft of what was relayed to it.
    void serverDrained(qint64 bytesLeft);
    // How often the browser was held back.
    int readPauses() const;

private:
    void record(const QByteArray &bytes);
    void pauseIfQueued(qint64 queued);

    EventSocket *m_browser;
    CHTTPGet *m_server;
    bool m_active = false;
    bool m_open = false;
    bool m_browserFinished = false;
    QByteArray m_held;
    // The request record being grown after a switch of protocols, under its unfinished name.
    QString m_upgradeRecord;
    int m_readPauses = 0;
};
