#include "CExchange.h"

#include "Clock.h"

#include <QFile>
#include <QSet>

namespace {
// Record names held by live exchanges, so that two exchanges of the same second can never share
// their record files.
QSet<QString> &liveRecordNames()
{
    static QSet<QString> names;
    return names;
}

// Enough draws to get past any realistic run of collisions while still ending when a broken
// random source keeps repeating itself.
constexpr int kMaxNameDraws = 1000;
} // namespace

CExchange::CExchange(const QString &folder)
{
    QString name;
    for (int draw = 0; draw < kMaxNameDraws; ++draw) {
        const QDateTime moment = Clock::now();
        QString letters;
        for (int i = 0; i < 5; ++i)
            letters += QChar(65 + static_cast<int>(Clock::rnd() * 26));
        name = moment.toString(QStringLiteral("yyMMddHHmmss")) + QStringLiteral("-") + letters;
        const QString base = folder + name;
        if (!liveRecordNames().contains(name) && !QFile::exists(base + QStringLiteral("-Q.txt"))
            && !QFile::exists(base + QStringLiteral("-A.txt")))
            break;
    }
    m_recordName = name;
    liveRecordNames().insert(name);
    m_requestFilePath = folder + name + QStringLiteral("-Q.txt");
    m_responseFilePath = folder + name + QStringLiteral("-A.txt");
    m_request.setRequestFile(m_requestFilePath);
}

CExchange::~CExchange()
{
    liveRecordNames().remove(m_recordName);
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
