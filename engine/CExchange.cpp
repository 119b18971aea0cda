#include "CExchange.h"

#include "Clock.h"
#include "RecordWriter.h"

#include <QFile>
#include <QSet>

#include <mutex>
#include <utility>

namespace {
// Exchanges of every network thread draw names and take ids, so the registries here are under
// registryLock(). They are never destroyed: the record writer's thread may still let go of an
// exchange while the program's static objects go.

// Record names held by live exchanges, so that two exchanges of the same second can never share
// their record files.
QSet<QString> &liveRecordNames()
{
    static auto *names = new QSet<QString>;
    return *names;
}

std::recursive_mutex &registryLock()
{
    static auto *lock = new std::recursive_mutex;
    return *lock;
}

// Live exchanges that have a history row, by id.
QHash<quint64, CExchange *> &stampedExchanges()
{
    static auto *exchanges = new QHash<quint64, CExchange *>;
    return *exchanges;
}

// Enough draws to get past any realistic run of collisions while still ending when a broken
// random source keeps repeating itself.
constexpr int kMaxNameDraws = 1000;

bool recordFilesExist(const QString &folder, const QString &name)
{
    const QString base = folder + name;
    return QFile::exists(base + QStringLiteral("-Q.txt")) || QFile::exists(base + QStringLiteral("-A.txt"));
}

QString drawRecordName(const QDateTime &moment)
{
    QString letters;
    for (int i = 0; i < 5; ++i)
        letters += QChar(65 + static_cast<int>(Clock::rnd() * 26));
    return (moment.isValid() ? moment : Clock::now()).toString(QStringLiteral("yyMMddHHmmss"))
        + QStringLiteral("-") + letters;
}

// Takes name for a live exchange unless one has it already.
bool claimRecordName(const QString &name)
{
    const std::lock_guard lock(registryLock());
    if (liveRecordNames().contains(name))
        return false;
    liveRecordNames().insert(name);
    return true;
}
} // namespace

QString CExchange::freeRecordName(const QString &folder, const QDateTime &moment, const QString &preferred)
{
    const std::lock_guard lock(registryLock());
    if (!preferred.isEmpty() && !liveRecordNames().contains(preferred)
        && !recordFilesExist(folder, preferred))
        return preferred;
    QString name;
    for (int draw = 0; draw < kMaxNameDraws; ++draw) {
        name = drawRecordName(moment);
        if (!liveRecordNames().contains(name) && !recordFilesExist(folder, name))
            break;
    }
    return name;
}

CExchange::CExchange(const QString &folder)
{
    // The name is claimed under the lock and the folder looked at outside it, so that the
    // exchanges of other threads do not wait on the disk.
    for (int draw = 0; draw < kMaxNameDraws && m_recordName.isEmpty(); ++draw) {
        const QString name = drawRecordName(QDateTime());
        if (!claimRecordName(name))
            continue;
        if (!recordFilesExist(folder, name)) {
            m_recordName = name;
            break;
        }
        const std::lock_guard lock(registryLock());
        liveRecordNames().remove(name);
    }
    // A random source that keeps repeating itself still gets a name; what is there is replaced.
    if (m_recordName.isEmpty()) {
        m_recordName = drawRecordName(QDateTime());
        const std::lock_guard lock(registryLock());
        liveRecordNames().insert(m_recordName);
    }
    m_requestFilePath = folder + m_recordName + QStringLiteral("-Q.txt");
    m_responseFilePath = folder + m_recordName + QStringLiteral("-A.txt");
    m_request.setRequestFile(m_requestFilePath);
}

CExchange::~CExchange()
{
    const std::lock_guard lock(registryLock());
    liveRecordNames().remove(m_recordName);
    if (stamp != 0)
        stampedExchanges().remove(stamp);
}

void CExchange::setStamp(quint64 id)
{
    const std::lock_guard lock(registryLock());
    if (stamp != 0)
        stampedExchanges().remove(stamp);
    stamp = id;
    if (id != 0)
        stampedExchanges().insert(id, this);
}

void CExchange::markRowsRemoved(const QHash<quint64, bool> &tickedById)
{
    const std::lock_guard lock(registryLock());
    for (auto it = tickedById.cbegin(); it != tickedById.cend(); ++it) {
        if (CExchange *exchange = stampedExchanges().value(it.key())) {
            exchange->rowTicked = it.value();
            exchange->rowRemoved = true;
        }
    }
}

QString CExchange::recordName() const
{
    return m_recordName;
}

QString CExchange::RequestFilePath() const
{
    return m_requestFilePath;
}

QString CExchange::ResponseFilePath() const
{
    return m_responseFilePath;
}

QString CExchange::OriginalReplyFilePath() const
{
    return originalReplyPath(m_responseFilePath);
}

QString CExchange::originalReplyPath(const QString &responseFilePath)
{
    QString path = responseFilePath;
    if (path.endsWith(QStringLiteral("-A.txt")))
        path.chop(4);
    return path + QStringLiteral(".orig.txt");
}

bool CExchange::replaceRequest(
    const QByteArray &message, const std::optional<HttpTarget> &origin, QString *why)
{
    const QString refusal = CRequest::check(message, origin);
    if (!refusal.isEmpty()) {
        if (why)
            *why = refusal;
        return false;
    }
    CRequest edited;
    if (origin)
        edited.setOrigin(*origin);
    edited.setRequestFile(m_requestFilePath);
    edited.setRecordFailed(m_request.recordFailed());
    edited.BufferData(message);
    m_request = std::move(edited);
    return true;
}

CRequest &CExchange::request()
{
    return m_request;
}

const CRequest &CExchange::request() const
{
    return m_request;
}

QString CExchange::methodWord() const
{
    return QString::fromLatin1(m_request.method().toUpper());
}

void CExchange::report(CProxyServer *server, const CProxyServer::RowReport &row) const
{
    if (server && stamp != 0 && !rowRemoved)
        server->UpdateItem(stamp, row);
}

void CExchange::settle(CProxyServer *server)
{
    if (!relayedRow || !recordOutcome)
        return;
    CProxyServer::RowReport row = *std::exchange(relayedRow, std::nullopt);
    if (!recordOutcome->isEmpty())
        row.Status = QStringLiteral("ERROR");
    if (!server)
        return;
    report(server, row);
    if (server->historyList() && !keepsRecords()) {
        RecordWriter::instance().remove(RequestFilePath());
        RecordWriter::instance().remove(ResponseFilePath());
        if (editedReplyLength)
            RecordWriter::instance().remove(OriginalReplyFilePath());
    }
}

bool CExchange::keepsRecords() const
{
    return stamp != 0 && (!rowRemoved || rowTicked);
}
