#include "CProxyServer.h"

#include "CExchange.h"
#include "CProxyConnection.h"
#include "CTimer.h"
#include "Clock.h"
#include "CrossThread.h"
#include "EventSocket.h"
#include "IHistoryList.h"
#include "IProxyShell.h"
#include "NetworkHub.h"
#include "ProgramValues.h"
#include "RaisedError.h"
#include "TarnwickVersion.h"
#include "UpstreamPool.h"

#include <QHostAddress>
#include <QLocale>
#include <QPointer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {
QString decimal(double value)
{
    return QString::number(static_cast<qint64>(std::llround(value)));
}

QString describe(const std::exception &e)
{
    if (const auto *raised = dynamic_cast<const RaisedError *>(&e))
        return raised->Description;
    return QString::fromLocal8Bit(e.what());
}
} // namespace

CProxyServer::CProxyServer(IProxyShell *shell, QObject *parent)
    : QObject(parent)
    , m_shell(shell)
    , m_server(new EventSocket(this))
    , m_timer(new CTimer(this))
    , m_pool(new UpstreamPool(this))
    , m_accessLog(std::make_unique<CLog>())
    , m_serverLog(std::make_unique<CLog>())
{
    m_inbox.setAround([this](bool before) {
        for (CLog *log : { m_accessLog.get(), m_serverLog.get() })
            if (log)
                log->gatherLines(before);
    });
    connect(m_server, &EventSocket::ConnectionRequest, this, &CProxyServer::Server_ConnectionRequest);
    connect(m_server, &EventSocket::DataArrival, this, &CProxyServer::Server_DataArrival);
    connect(m_server, &EventSocket::Error, this, &CProxyServer::Server_Error);
    connect(m_server, &EventSocket::Closed, this, &CProxyServer::Server_Close);
    connect(m_server, &EventSocket::acceptFailed, this, &CProxyServer::Server_AcceptFailed);
    connect(m_timer, &CTimer::Timer, this, &CProxyServer::Timer_Timer);
    m_server->setAcceptFilter([this](const QHostAddress &peer) { return clientAllowed(peer); });
}

CProxyServer::~CProxyServer()
{
    Cleanup();
}

void CProxyServer::setMode(qint16 NewMode)
{
    m_mode = NewMode;
}

qint16 CProxyServer::Mode() const
{
    return m_mode;
}

bool CProxyServer::Running() const
{
    return m_running;
}

QString CProxyServer::Version() const
{
    return QStringLiteral("%1.%2.%3")
        .arg(TARNWICK_VERSION_MAJOR)
        .arg(TARNWICK_VERSION_MINOR)
        .arg(TARNWICK_VERSION_PATCH);
}

QString CProxyServer::AccessLogFile() const
{
    return m_accessLogFile;
}

void CProxyServer::setAccessLogFile(const QString &Filename)
{
    if (m_accessLog)
        m_accessLog->setLogFile(Filename);
    m_accessLogFile = Filename;
}

QString CProxyServer::ServerLogFile() const
{
    return m_serverLogFile;
}

void CProxyServer::setServerLogFile(const QString &Filename)
{
    m_serverLogFile = Filename;
    if (m_serverLog)
        m_serverLog->setLogFile(Filename);
}

void CProxyServer::setThreads(int count)
{
    m_threadCount = std::clamp(count, 0, MaxThreads);
}

int CProxyServer::threads() const
{
    return m_threadCount;
}

void CProxyServer::customEvent(QEvent *event)
{
    CrossThread::deliver(event);
}

template <typename F> bool CProxyServer::postedHere(F &&call)
{
    if (QThread::currentThread() == thread())
        return false;
    m_inbox.post(this, std::forward<F>(call));
    return true;
}

template <typename F> void CProxyServer::tellHistory(F &&tell)
{
    if (postedHere([this, tell] { tellHistory(tell); }))
        return;
    if (IHistoryList *list = historyList())
        tell(*list);
}

NetworkHub *CProxyServer::currentHub() const
{
    QThread *current = QThread::currentThread();
    for (const Worker &worker : m_workers)
        if (worker.thread == current)
            return worker.hub;
    return nullptr;
}

void CProxyServer::stopThreads()
{
    for (const Worker &worker : m_workers) {
        // The hub ends its connections and deletes itself on its thread; the thread then stops.
        CrossThread::post(worker.hub, [hub = worker.hub] {
            hub->shutdown();
            hub->thread()->quit();
        });
        worker.thread->wait();
        CrossThread::received(worker.thread);
        delete worker.thread;
    }
    m_workers.clear();
}

void CProxyServer::AddHit(const QString &HitDesc, const QString &ClientIP)
{
    if (postedHere([this, HitDesc, ClientIP] { AddHit(HitDesc, ClientIP); }))
        return;
    m_hits += 1;
    AddLog(decimal(m_hits) + QStringLiteral(" - ") + ClientIP + QStringLiteral(" - Requesting ") + HitDesc);
}

qint32 CProxyServer::Timeout() const
{
    return m_timeout;
}

void CProxyServer::setTimeout(qint32 TimeoutInSecs)
{
    m_timeout = TimeoutInSecs;
}

bool CProxyServer::AutoRespond() const
{
    return m_autoRespond;
}

void CProxyServer::setAutoRespond(bool bAutoRespond)
{
    m_autoRespond = bAutoRespond;
}

double CProxyServer::Connections() const
{
    return m_connections;
}

double CProxyServer::Hits() const
{
    return m_hits;
}

void CProxyServer::Cleanup()
{
    if (m_cleanedUp)
        return;
    m_cleanedUp = true;

    if (m_running)
        StopServer();
    stopThreads();

    // Each connection is deleted later, once no handler of its own is running any more; its
    // transfers stop now, so that none writes a record after the exit purge.
    std::vector<std::shared_ptr<CProxyConnection>> table;
    table.swap(m_table);
    for (const auto &connection : table)
        connection->Shutdown();
    table.clear();
    EventSocket::abortDraining();

    delete m_timer;
    m_timer = nullptr;

    m_accessLog.reset();
    m_serverLog.reset();

    if (m_server) {
        m_server->disconnect(this);
        m_server->Close();
        m_server->deleteLater();
        m_server = nullptr;
    }
}

qint32 CProxyServer::Port() const
{
    return m_port;
}

void CProxyServer::setPort(qint32 Local_Port)
{
    m_port = Local_Port;
}

QString CProxyServer::IP() const
{
    const std::lock_guard lock(m_endpointLock);
    return m_ip;
}

void CProxyServer::setIP(const QString &IP_Address)
{
    const std::lock_guard lock(m_endpointLock);
    m_ip = IP_Address;
}

void CProxyServer::StopServer()
{
    if (m_server)
        m_server->Close();
    AddLog(QStringLiteral("Stopped proxy server on ") + IP() + QLatin1Char(':') + QString::number(m_port));
    m_running = false;
    emit stateChanged();
}

void CProxyServer::RestartServer()
{
    AddLog(QStringLiteral("Restarting proxy server on ") + IP() + QLatin1Char(':') + QString::number(m_port));
    StartListening();
}

void CProxyServer::StartServer(const StartArgs &args)
{
    if (args.IP_Address)
        setIP(*args.IP_Address);
    if (args.Local_Port)
        m_port = *args.Local_Port;
    m_autoRespond = args.bAutoRespond.value_or(true);
    m_timeout = args.TimeoutInSecs.value_or(60);
    if (args.AccessLogFile) {
        m_accessLogFile = *args.AccessLogFile;
        m_accessLog->setLogFile(m_accessLogFile);
    }
    if (args.ServerLogFile) {
        m_serverLogFile = *args.ServerLogFile;
        m_serverLog->setLogFile(m_serverLogFile);
    }
    m_maxConnections = args.MaxConnections ? *args.MaxConnections : defaultConnectionLimit();
    // With no address configured, only this machine may use the proxy: an open proxy on every
    // network the machine joins would let anyone there browse through it.
    if (IP().isEmpty())
        setIP(QStringLiteral("127.0.0.1"));
    if (m_port < 1)
        m_port = 80;
    while (int(m_workers.size()) < m_threadCount) {
        auto *thread = new QThread;
        thread->setObjectName(QStringLiteral("network %1").arg(m_workers.size() + 1));
        auto *hub = new NetworkHub(this);
        hub->moveToThread(thread);
        thread->start();
        m_workers.push_back({ thread, hub });
    }
    StartListening();
}

void CProxyServer::StartListening()
{
    try {
        m_server->Close();
        m_server->Bind(m_port, IP());
        m_server->Listen();
        m_port = m_server->LocalPort();
        ServerIP = m_server->LocalIP();
        ServerPort = m_server->LocalPort();
        AddLog(
            QStringLiteral("Proxy server started on ") + IP() + QLatin1Char(':') + QString::number(m_port));
        const QString warning = refusedMachinesWarning(IP(), access()->allowClients);
        if (!warning.isEmpty())
            AddLog(warning);
        m_running = true;
        m_lastStartError.clear();
    } catch (const std::exception &e) {
        m_running = false;
        m_lastStartError = describe(e);
        AddLog(QStringLiteral("Unable to start proxy server on ") + IP() + QLatin1Char(':')
            + QString::number(m_port));
        AddLog(QStringLiteral("Proxy Server Error: ") + m_lastStartError);
    }
    emit stateChanged();
}

namespace {
HistoryCells toCells(const CProxyServer::RowReport &report)
{
    const auto number = [](const std::optional<double> &value) -> std::optional<QString> {
        if (!value)
            return std::nullopt;
        return QLocale().toString(static_cast<qint64>(std::llround(*value)));
    };
    const auto fileName = [](const std::optional<QString> &path) -> std::optional<QString> {
        if (!path)
            return std::nullopt;
        return CProxyServer::GetFileName(*path);
    };
    HistoryCells cells;
    cells.Host = report.Host;
    cells.IP = report.IP;
    cells.Desc = report.Desc;
    cells.URL = report.URL;
    cells.RequestLength = number(report.RequestLength);
    cells.ResponseLength = number(report.ResponseLength);
    cells.Status = report.Status;
    cells.RequestFile = fileName(report.RequestFile);
    cells.ResponseFile = fileName(report.ResponseFile);
    if (report.Code)
        cells.Code = *report.Code > 0 ? QString::number(*report.Code) : QString();
    cells.FullURL = report.FullURL;
    cells.Resent = report.Resent;
    return cells;
}
} // namespace

quint64 CProxyServer::nextExchangeID()
{
    return ++m_lastExchangeID;
}

void CProxyServer::AddItem(quint64 ExchangeID, const RowReport &report)
{
    tellHistory(
        [ExchangeID, cells = toCells(report)](IHistoryList &list) { list.exchangeAdded(ExchangeID, cells); });
}

void CProxyServer::UpdateItem(quint64 ExchangeID, const RowReport &report)
{
    if (ExchangeID != 0)
        tellHistory([ExchangeID, cells = toCells(report)](
                        IHistoryList &list) { list.exchangeChanged(ExchangeID, cells); });
}

void CProxyServer::historyRowsRemoved(const QHash<quint64, bool> &tickedById)
{
    CExchange::markRowsRemoved(tickedById);
}

void CProxyServer::RemoveRequest(qint32 RequestID)
{
    if (NetworkHub *hub = currentHub()) {
        if (hub->remove(RequestID))
            postedHere([this, RequestID] { connectionEnded(RequestID); });
        return;
    }
    const qint32 i = GetIndexByID(RequestID);
    if (i > 0) {
        // The connection itself may be running the handler that asked for its removal; its
        // deleter defers the deletion until that handler has returned.
        const auto removed = m_table[static_cast<size_t>(i - 1)];
        m_table.erase(m_table.begin() + (i - 1));
        removed->dropOrphanRecords();
        AddLog(QStringLiteral("Removing #") + QString::number(RequestID));
    }
    if (m_table.empty()) {
        if (m_timer)
            m_timer->setEnabled(false);
        if (m_shell)
            m_shell->UpdateIcon(0);
    }
}

CLog &CProxyServer::AccessLog()
{
    return *m_accessLog;
}

void CProxyServer::connectionEnded(qint32 RequestID)
{
    --m_liveOnThreads;
    AddLog(QStringLiteral("Removing #") + QString::number(RequestID));
    if (m_liveOnThreads == 0 && m_table.empty() && m_shell)
        m_shell->UpdateIcon(0);
}

void CProxyServer::AddLog(const QString &msg)
{
    if (postedHere([this, msg] { AddLog(msg); }))
        return;
    if (m_accessLog)
        m_accessLog->Log(msg);
}

void CProxyServer::AddServerLog(const QString &msg)
{
    if (postedHere([this, msg] { AddServerLog(msg); }))
        return;
    if (m_serverLog)
        m_serverLog->Log(msg);
}

qint32 CProxyServer::GetIndexByID(qint32 RequestID) const
{
    for (size_t i = 0; i < m_table.size(); ++i) {
        if (m_table[i]->RequestID() == RequestID)
            return static_cast<qint32>(i + 1);
    }
    return 0;
}

bool CProxyServer::SendBuffer(qint32 RequestID, const QByteArray &Buffer)
{
    const qint32 i = GetIndexByID(RequestID);
    if (i > 0) {
        const auto connection = m_table[static_cast<size_t>(i - 1)];
        connection->Send(Buffer);
    }
    return false;
}

QString CProxyServer::GetFileName(const QString &path)
{
    const qsizetype cut = std::max(path.lastIndexOf(QLatin1Char('\\')), path.lastIndexOf(QLatin1Char('/')));
    return path.mid(cut + 1);
}

IProxyShell *CProxyServer::shell() const
{
    return m_shell;
}

UpstreamPool *CProxyServer::upstreamPool() const
{
    if (NetworkHub *hub = currentHub())
        return hub->pool();
    return m_pool;
}

IHistoryList *CProxyServer::historyList() const
{
    return m_shell ? m_shell->historyList() : nullptr;
}

EventSocket *CProxyServer::listener() const
{
    return m_server;
}

CTimer *CProxyServer::timer() const
{
    return m_timer;
}

int CProxyServer::liveConnections() const
{
    return int(m_table.size()) + m_liveOnThreads;
}

void CProxyServer::afterNetworkThreadsForTest(const std::function<void()> &done)
{
    auto left = std::make_shared<size_t>(m_workers.size());
    if (*left == 0)
        return done();
    for (const Worker &worker : m_workers) {
        CrossThread::post(worker.hub, [this, left, done] {
            postedHere([left, done] {
                if (--*left == 0)
                    done();
            });
        });
    }
}

const std::vector<std::shared_ptr<CProxyConnection>> &CProxyServer::connections() const
{
    return m_table;
}

double CProxyServer::MaxConnections() const
{
    return m_maxConnections;
}

QString CProxyServer::lastStartError() const
{
    return m_lastStartError;
}

void CProxyServer::setHttpsDecryption(HttpsDecryption *decryption)
{
    m_httpsDecryption = decryption;
}

HttpsDecryption *CProxyServer::httpsDecryption() const
{
    return m_httpsDecryption;
}

void CProxyServer::resend(const QList<ResendItem> &items)
{
    if (items.isEmpty() || postedHere([this, items] { resend(items); }))
        return;
    try {
        // Served like a browser connection: on the next network thread in turn, or here.
        const qint32 id = EventSocket::newRequestID();
        if (!m_workers.empty()) {
            const Worker &worker = m_workers[m_nextWorker++ % m_workers.size()];
            CrossThread::post(worker.hub, [hub = worker.hub, items, id] { hub->adoptResend(items, id); });
            ++m_liveOnThreads;
        } else {
            const auto connection = CProxyConnection::create();
            track(connection);
            connection->startResend(id, this, items);
        }
        if (m_shell)
            m_shell->UpdateIcon(1);
        AddLog(QStringLiteral("Resending - ") + QString::number(id));
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("Proxy Server Error: ") + describe(e));
    }
}

void CProxyServer::track(const std::shared_ptr<CProxyConnection> &connection)
{
    m_table.push_back(connection);
    if (!m_timer->Enabled()) {
        m_timer->setInterval(SweepInterval);
        m_timer->setEnabled(true);
    }
}

void CProxyServer::setBreakpoints(std::shared_ptr<const Breakpoints> breakpoints)
{
    const std::lock_guard lock(m_breakLock);
    m_breakpointsOn = breakpoints && !breakpoints->rules().isEmpty();
    m_breakpoints = std::move(breakpoints);
}

std::shared_ptr<const Breakpoints> CProxyServer::breakpoints() const
{
    if (!m_breakpointsOn)
        return nullptr;
    const std::lock_guard lock(m_breakLock);
    return m_breakpoints;
}

void CProxyServer::exchangeHeldBy(const HeldExchange &held, const std::weak_ptr<CProxyConnection> &connection)
{
    {
        const std::lock_guard lock(m_breakLock);
        m_held.insert(held.id, connection);
    }
    if (postedHere([this, held] { emit exchangeHeld(held); }))
        return;
    emit exchangeHeld(held);
}

void CProxyServer::holdEndedBy(quint64 id, const QString &how)
{
    {
        const std::lock_guard lock(m_breakLock);
        m_held.remove(id);
    }
    if (postedHere([this, id, how] { emit holdEnded(id, how); }))
        return;
    emit holdEnded(id, how);
}

void CProxyServer::releaseHeld(quint64 id, const HoldDecision &decision)
{
    std::shared_ptr<CProxyConnection> connection;
    {
        const std::lock_guard lock(m_breakLock);
        connection = m_held.value(id).lock();
    }
    // Decided on the connection's own thread, where it may have ended meanwhile.
    if (connection)
        CrossThread::post(connection.get(), [weak = std::weak_ptr(connection), id, decision] {
            if (const auto held = weak.lock())
                held->releaseHold(id, decision);
        });
}

void CProxyServer::setAccess(const ProxyAccess &access)
{
    auto snapshot = std::make_shared<const ProxyAccess>(access);
    const std::lock_guard lock(m_accessLock);
    m_access = std::move(snapshot);
}

std::shared_ptr<const ProxyAccess> CProxyServer::access() const
{
    const std::lock_guard lock(m_accessLock);
    return m_access;
}

QString CProxyServer::refusedMachinesWarning(const QString &listenIP, const ClientAllowList &allowed)
{
    const QHostAddress address(listenIP);
    if (address.isNull() || address.isLoopback() || !allowed.isDefault())
        return {};
    return QStringLiteral("Only this machine may use the proxy on %1: other machines will be refused until "
                          "they are allowed in Options (Allow clients from)")
        .arg(listenIP);
}

// Runs as the listener accepts, before anything of the connection is read. A flood from one
// address costs one log line a minute.
bool CProxyServer::clientAllowed(const QHostAddress &peer)
{
    if (access()->allowClients.allows(peer))
        return true;
    const qint64 now = Clock::tickCount();
    bool mapped = false;
    const quint32 v4 = peer.toIPv4Address(&mapped);
    const QString address = mapped ? QHostAddress(v4).toString() : peer.toString();
    const auto last = m_refusalsLogged.constFind(address);
    if (last != m_refusalsLogged.constEnd() && now - *last < RefusalLogIntervalMs)
        return false;
    // Many addresses must not grow the table for ever: entries past their minute go, and while
    // it is still full, new addresses are refused unlogged.
    if (m_refusalsLogged.size() >= MaxRefusalsLogged) {
        m_refusalsLogged.removeIf(
            [now](const auto &entry) { return now - entry.value() >= RefusalLogIntervalMs; });
        if (m_refusalsLogged.size() >= MaxRefusalsLogged)
            return false;
    }
    m_refusalsLogged.insert(address, now);
    AddLog(QStringLiteral("Refused client %1: not in the allowed list").arg(address));
    return false;
}

void CProxyServer::Server_ConnectionRequest(qint32 RequestID)
{
    try {
        const double live = double(m_table.size()) + m_liveOnThreads;
        if (m_maxConnections > 0 && live >= m_maxConnections)
            return refuseConnection(RequestID);
        if (!m_workers.empty()) {
            const EventSocket::Handoff handoff = EventSocket::takePendingForThread(RequestID);
            if (handoff.descriptor < 0 && !handoff.socket)
                return;
            // The connection goes to the next thread in turn and stays there for life.
            const Worker &worker = m_workers[m_nextWorker++ % m_workers.size()];
            if (handoff.socket)
                handoff.socket->moveToThread(worker.thread);
            CrossThread::post(
                worker.hub, [hub = worker.hub, handoff, RequestID] { hub->adopt(handoff, RequestID); });
            ++m_liveOnThreads;
        } else {
            const auto connection = CProxyConnection::create();
            connection->Attach(RequestID, this);
            track(connection);
        }
        m_acceptFailing = false;
        if (m_shell)
            m_shell->UpdateIcon(1);
        AddLog(QStringLiteral("Adding #") + QString::number(m_table.size() + m_liveOnThreads)
            + QStringLiteral(" - ") + QString::number(RequestID));
        m_connections += 1;
    } catch (const std::exception &e) {
        // Nothing above the socket's event can take a failure; the log is where the user sees it.
        AddLog(QStringLiteral("Proxy Server Error: ") + describe(e));
    }
}

// A box per refused browser connection would stack up under load; the browser is told instead.
void CProxyServer::refuseConnection(qint32 RequestID)
{
    AddLog(QStringLiteral("Max Connections Reached"));
    const QByteArray body = QByteArrayLiteral("Too many connections\r\n");
    auto *refused = new EventSocket(this);
    refused->Accept(RequestID);
    AddLog(refused->RemoteHostIP() + QStringLiteral(" - Refused: 503 Service Unavailable"));
    refused->SendData(QByteArrayLiteral("HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
                                        "Content-Length: ")
        + QByteArray::number(body.size()) + QByteArrayLiteral("\r\nConnection: close\r\n\r\n") + body);
    refused->ShutdownSend();
    refused->Close();
    refused->deleteLater();
}

void CProxyServer::Server_AcceptFailed(const QString &reason)
{
    // Once per burst: the listener retries every quarter second for as long as it fails.
    if (m_acceptFailing)
        return;
    m_acceptFailing = true;
    AddLog(QStringLiteral("Proxy Server Error: ") + reason);
}

double CProxyServer::defaultConnectionLimit()
{
#ifdef Q_OS_UNIX
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return MaxDefaultConnections;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        // Some systems refuse an unlimited soft limit; the old one then stays.
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return MaxDefaultConnections;
    return std::clamp(std::floor(double(limit.rlim_cur) / 3), 1.0, MaxDefaultConnections);
#else
    return MaxDefaultConnections;
#endif
}

void CProxyServer::Server_DataArrival(qint32 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    const QString text
        = QStringLiteral("Received data on main socket. Rejected user ") + m_server->RemoteHostIP();
    if (m_shell)
        m_shell->messageBox(text, IProxyShell::MessageIcon::None);
    if (!m_server)
        return;
    AddServerLog(text);
    m_server->Close();
    if (m_running)
        RestartServer();
}

void CProxyServer::Server_Error(qint16 Number, const QString &Description, qint32 Scode,
    const QString &Source, const QString &HelpFile, qint32 HelpContext, bool *CancelDisplay)
{
    Q_UNUSED(Scode);
    Q_UNUSED(Source);
    Q_UNUSED(HelpFile);
    Q_UNUSED(HelpContext);
    Q_UNUSED(CancelDisplay);
    const QString text = QStringLiteral("Proxy Winsock Error:\r\n\r\n") + QString::number(Number)
        + QStringLiteral(" : ") + Description;
    AddLog(QString(text).replace(QStringLiteral("\r\n\r\n"), QStringLiteral(" ")));
    if (m_shell)
        m_shell->messageBox(text, IProxyShell::MessageIcon::Exclamation);
}

void CProxyServer::Server_Close() { }

void CProxyServer::Timer_Timer()
{
    // A connection that times out removes itself and moves the later ones down; walking a copy
    // of the table checks each of them in this pass all the same.
    const auto snapshot = m_table;
    for (const auto &connection : snapshot)
        connection->CheckTimeout();
    m_pool->closeIdle(qint64(m_timeout) * 1000);
}
