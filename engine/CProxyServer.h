#pragma once

#include "Breakpoints.h"
#include "CLog.h"
#include "CrossThread.h"
#include "HttpTarget.h"
#include "ProxyAccess.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class CProxyConnection;
class CTimer;
class EventSocket;
class HttpsDecryption;
class IHistoryList;
class IProxyShell;
class NetworkHub;
class QHostAddress;
class QThread;
class UpstreamPool;

// The listening side of the proxy: accepts browser connections into its table, applies the
// connection limit, sweeps idle connections every five seconds, counts connections and hits,
// keeps the access log and writes each connection's row of the history list.
class CProxyServer : public QObject
{
    Q_OBJECT

public:
    // The optional arguments of StartServer; a missing one takes its default.
    struct StartArgs {
        std::optional<QString> IP_Address;
        std::optional<qint32> Local_Port;
        std::optional<bool> bAutoRespond;
        std::optional<double> MaxConnections;
        std::optional<qint32> TimeoutInSecs;
        std::optional<QString> AccessLogFile;
        std::optional<QString> ServerLogFile;
    };

    // The optional values of UpdateItem; a missing one leaves its cell unchanged.
    struct RowReport {
        std::optional<QString> Host;
        std::optional<QString> IP;
        std::optional<QString> Desc;
        std::optional<QString> URL;
        std::optional<double> RequestLength;
        std::optional<double> ResponseLength;
        std::optional<QString> RequestFile;
        std::optional<QString> ResponseFile;
        std::optional<QString> Status;
        std::optional<int> Code; // the reply's status code
        std::optional<QString> FullURL;
        std::optional<bool> Resent; // the user sent the request again; no browser waits for it
    };

    // An exchange stopped at a breakpoint, as the window is told of it.
    struct HeldExchange {
        quint64 id = 0; // its history row
        bool atReply
            = false; // stopped before the reply went to the browser, else before the request went out
        QByteArray request; // the request as it goes (or went) to the server
        QByteArray reply; // the whole reply as the server sent it, when held at the reply
        HttpTarget origin; // scheme (secure), host and port of the server
        QString fullUrl;
    };
    // What the user made of a held exchange: it continues, with edited bytes in place of the held
    // request or reply when given, or it is aborted and the browser gets a 502.
    struct HoldDecision {
        bool abort = false;
        std::optional<QByteArray> edited;
    };
    // A held exchange nobody decides on continues unchanged after this long.
    static constexpr qint64 HoldLimitMs = 5 * 60 * 1000;

    static constexpr qint32 SweepInterval = 5000;
    // The default connection limit never goes above this, however many descriptors there are.
    static constexpr double MaxDefaultConnections = 4000;

    // Raises the process's descriptor limit to its hard limit and allows about a third of it
    // as connections: each costs a browser socket, a server socket and a record file.
    static double defaultConnectionLimit();

    // shell may be null: then there is no history list, tray picture or message box.
    explicit CProxyServer(IProxyShell *shell, QObject *parent = nullptr);
    ~CProxyServer() override;

    // Browser connections are served on this many network threads (at most MaxThreads), each
    // connection on one thread for life; 0 serves them on this object's own thread. Set before
    // StartServer. Log lines, hits and history reports from the network threads reach this
    // object's thread in order through its event loop.
    void setThreads(int count);
    int threads() const;
    static constexpr int MaxThreads = 8;

    void setMode(qint16 NewMode);
    qint16 Mode() const;
    bool Running() const;
    QString Version() const;
    QString AccessLogFile() const;
    void setAccessLogFile(const QString &Filename);
    QString ServerLogFile() const;
    void setServerLogFile(const QString &Filename);
    void AddHit(const QString &HitDesc, const QString &ClientIP);
    qint32 Timeout() const;
    void setTimeout(qint32 TimeoutInSecs);
    bool AutoRespond() const;
    void setAutoRespond(bool bAutoRespond);
    double Connections() const;
    double Hits() const;
    void Cleanup();
    qint32 Port() const;
    void setPort(qint32 Local_Port);
    QString IP() const;
    void setIP(const QString &IP_Address);
    void StopServer();
    void RestartServer();
    void StartServer(const StartArgs &args = {});
    // The id of a new exchange's row, drawn before the row is reported so that the exchange
    // knows it before the window can see the row.
    quint64 nextExchangeID();
    // Reports a new exchange to the history with its cells.
    void AddItem(quint64 ExchangeID, const RowReport &report);
    void UpdateItem(quint64 ExchangeID, const RowReport &report);
    // The window removed the rows of these exchanges (a purge, a clear), each with whether it was
    // ticked: a ticked row's records stay; a still running exchange of an unticked row deletes
    // its records when it ends.
    void historyRowsRemoved(const QHash<quint64, bool> &tickedById);
    void RemoveRequest(qint32 RequestID);
    CLog &AccessLog();
    void AddLog(const QString &msg);
    void AddServerLog(const QString &msg);
    qint32 GetIndexByID(qint32 RequestID) const;
    bool SendBuffer(qint32 RequestID, const QByteArray &Buffer);

    // The text after the last "\" or "/" of path.
    static QString GetFileName(const QString &path);

    IProxyShell *shell() const;
    IHistoryList *historyList() const;
    EventSocket *listener() const;
    // The server connections kept between exchanges, shared by the browser connections.
    UpstreamPool *upstreamPool() const;
    CTimer *timer() const;
    // The live connections served on this object's thread, in table order (positions count from
    // 1 in the design; 0 here). Those of network threads are not listed.
    const std::vector<std::shared_ptr<CProxyConnection>> &connections() const;
    // Connections not ended yet, on this thread and on the network threads.
    int liveConnections() const;
    // Calls done on this thread once every network thread has run what was posted to it before
    // the call, and this thread what they posted here meanwhile (rows told of records written).
    void afterNetworkThreadsForTest(const std::function<void()> &done);
    double MaxConnections() const;
    // Description of the last failure to start listening; empty after a successful start.
    QString lastStartError() const;
    // Consulted on each CONNECT; null for plain tunnels only. Not owned: its owner outlives the
    // server or clears it first.
    void setHttpsDecryption(HttpsDecryption *decryption);
    HttpsDecryption *httpsDecryption() const;
    // Who may connect, the credentials clients must give and the upstream proxy. Network threads
    // take the current snapshot; a connection already accepted keeps being served.
    void setAccess(const ProxyAccess &access);
    std::shared_ptr<const ProxyAccess> access() const;
    // The refusals of one client address are logged at most once in this long.
    static constexpr qint64 RefusalLogIntervalMs = 60000;
    static constexpr qsizetype MaxRefusalsLogged = 1024;
    // Said at start when other machines can reach the listening address but may not connect.
    static QString refusedMachinesWarning(const QString &listenIP, const ClientAllowList &allowed);

    // A request to send again, or one the user wrote: message goes to the server its target
    // names, or, in origin form, to origin (secure: over TLS, as inside a decrypted tunnel).
    struct ResendItem {
        QByteArray message;
        HttpTarget origin;
    };
    // Sends the requests one after the other, each as a new exchange with its own row and
    // records, each once the one before has ended however it went. No browser gets the replies.
    // A message should be one request the parser takes (CRequest::check); anything after it is
    // ignored, and one it refuses is logged and skipped.
    void resend(const QList<ResendItem> &items);
    // The rules exchanges are held by; null (the default) holds nothing. Read by every thread.
    void setBreakpoints(std::shared_ptr<const Breakpoints> breakpoints);
    std::shared_ptr<const Breakpoints> breakpoints() const;
    // Lets a held exchange go on; nothing happens when it is no longer held.
    void releaseHeld(quint64 id, const HoldDecision &decision);
    // Called by the connection that holds (or no longer holds) an exchange, on its own thread.
    void exchangeHeldBy(const HeldExchange &held, const std::weak_ptr<CProxyConnection> &connection);
    void holdEndedBy(quint64 id, const QString &how);

protected:
    // Calls posted from the network threads.
    void customEvent(QEvent *event) override;

signals:
    // Listening started, failed or stopped.
    void stateChanged();
    // An exchange stopped at a breakpoint and waits for releaseHeld.
    void exchangeHeld(const CProxyServer::HeldExchange &held);
    // A held exchange went on or ended: how says in a few words ("continued", "aborted",
    // "continued after 5 minutes", "ended").
    void holdEnded(quint64 id, const QString &how);

private:
    void StartListening();
    void Server_ConnectionRequest(qint32 RequestID);
    void Server_DataArrival(qint32 bytesTotal);
    void Server_Error(qint16 Number, const QString &Description, qint32 Scode, const QString &Source,
        const QString &HelpFile, qint32 HelpContext, bool *CancelDisplay);
    void Server_Close();
    void Server_AcceptFailed(const QString &reason);
    void refuseConnection(qint32 RequestID);
    // Puts a connection served on this thread in the table, and sweeps the table from now on.
    void track(const std::shared_ptr<CProxyConnection> &connection);
    bool clientAllowed(const QHostAddress &peer);
    // The network thread the caller runs on, or null on this object's thread.
    NetworkHub *currentHub() const;
    // Off this object's thread: posts the call to it and says so.
    template <typename F> bool postedHere(F &&call);
    // Runs tell on the history list, on this object's thread.
    template <typename F> void tellHistory(F &&tell);
    // A network thread ended a connection.
    void connectionEnded(qint32 RequestID);
    void stopThreads();
    void Timer_Timer();

    IProxyShell *m_shell = nullptr;
    std::atomic<quint64> m_lastExchangeID = 0;
    struct Worker {
        QThread *thread;
        NetworkHub *hub;
    };
    std::vector<Worker> m_workers;
    int m_threadCount = 0;
    size_t m_nextWorker = 0;
    int m_liveOnThreads = 0; // connections handed to network threads and not ended yet
    // Calls from the network threads (log lines, hits, history reports, ended connections), in
    // the order each thread made them.
    CrossThread::Inbox m_inbox;
    mutable std::mutex m_endpointLock; // m_ip and m_port, read by network threads
    EventSocket *m_server = nullptr;
    CTimer *m_timer = nullptr;
    UpstreamPool *m_pool = nullptr;
    bool m_running = false;
    double m_maxConnections = 0;
    QString m_accessLogFile;
    QString m_serverLogFile;
    std::unique_ptr<CLog> m_accessLog;
    std::unique_ptr<CLog> m_serverLog;
    std::vector<std::shared_ptr<CProxyConnection>> m_table;
    std::atomic<qint32> m_timeout = 0;
    bool m_autoRespond = false;
    std::atomic<qint32> m_port = 0;
    QString m_ip;
    double m_hits = 0;
    double m_connections = 0;
    qint16 m_mode = 0;
    QString m_lastStartError;
    HttpsDecryption *m_httpsDecryption = nullptr;
    mutable std::mutex m_breakLock; // m_breakpoints and m_held, used by every thread
    std::shared_ptr<const Breakpoints> m_breakpoints;
    std::atomic<bool> m_breakpointsOn = false; // spares every exchange the lock while none are set
    QHash<quint64, std::weak_ptr<CProxyConnection>> m_held;
    mutable std::mutex m_accessLock;
    std::shared_ptr<const ProxyAccess> m_access = std::make_shared<ProxyAccess>();
    // When each refused address was last logged.
    QHash<QString, qint64> m_refusalsLogged;
    bool m_cleanedUp = false;
    // An accept failure has been logged and no connection was accepted since.
    bool m_acceptFailing = false;
};
