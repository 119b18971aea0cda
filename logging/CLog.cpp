#include "CLog.h"

#include "RecordWriter.h"

#include "ILogTextBox.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>

#include <stdexcept>
#include <utility>

const QString CLog::DefaultDateFormat = QStringLiteral("mm/dd/yyyy hh:nn:ss ampm");

namespace {

std::optional<QDateTime> &nowForTest()
{
    static std::optional<QDateTime> now;
    return now;
}

// QLocale has no separator query; the system's short formats carry them between their fields.
// Only a separator between two numeric fields will do: in "d MMM yyyy" the blank after the day
// stands before a month name, and a stamp built from it would read "12 06 2026".
bool isNumericField(QStringView field)
{
    const QChar c = field.front();
    if (c == QLatin1Char('d') || c == QLatin1Char('M'))
        return field.size() <= 2;
    return QStringLiteral("yhHmsz").contains(c);
}

QString separatorOf(const QString &format, const QString &fallback)
{
    QStringView previousField;
    qsizetype i = 0;
    while (i < format.size()) {
        const qsizetype start = i;
        if (format.at(i).isLetter()) {
            while (i < format.size() && format.at(i) == format.at(start))
                ++i;
            previousField = QStringView(format).mid(start, i - start);
            continue;
        }
        while (i < format.size() && !format.at(i).isLetter())
            ++i;
        const QString separator = format.mid(start, i - start);
        qsizetype end = i;
        while (end < format.size() && format.at(end) == format.at(i))
            ++end;
        const QStringView nextField = QStringView(format).mid(i, end - i);
        if (!previousField.isEmpty() && !nextField.isEmpty() && isNumericField(previousField)
            && isNumericField(nextField) && !separator.contains(QLatin1Char('\'')))
            return separator;
    }
    return fallback;
}

QString twoDigits(int n)
{
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

} // namespace

void CLog::setNowForTest(std::optional<QDateTime> now)
{
    nowForTest() = std::move(now);
}

QString CLog::formatStamp(const QString &pattern, const QDateTime &moment)
{
    const QLocale locale;
    const QString ampmToken = QStringLiteral("ampm");
    const bool twelveHour = pattern.contains(ampmToken, Qt::CaseInsensitive);
    const QDate date = moment.date();
    const QTime time = moment.time();

    QString out;
    for (qsizetype i = 0; i < pattern.size();) {
        if (QStringView(pattern).mid(i, ampmToken.size()).compare(ampmToken, Qt::CaseInsensitive) == 0) {
            out += time.hour() < 12 ? locale.amText() : locale.pmText();
            i += ampmToken.size();
            continue;
        }
        const QChar c = pattern.at(i);
        const QChar letter = c.toLower();
        if (c == QLatin1Char('/') || c == QLatin1Char(':')) {
            // Every line asks; the locale's formats are read again only when the locale changes.
            static QString cachedFor;
            static QString dateSeparator, timeSeparator;
            if (cachedFor != locale.name() || cachedFor.isEmpty()) {
                cachedFor = locale.name();
                dateSeparator = separatorOf(locale.dateFormat(QLocale::ShortFormat), QStringLiteral("/"));
                timeSeparator = separatorOf(locale.timeFormat(QLocale::ShortFormat), QStringLiteral(":"));
            }
            out += c == QLatin1Char('/') ? dateSeparator : timeSeparator;
            ++i;
            continue;
        }
        if (!QStringLiteral("dmyhns").contains(letter)) {
            out += c;
            ++i;
            continue;
        }
        qsizetype run = 1;
        while (i + run < pattern.size() && pattern.at(i + run).toLower() == letter)
            ++run;
        i += run;

        auto number = [run](int n) { return run >= 2 ? twoDigits(n) : QString::number(n); };
        switch (letter.unicode()) {
        case 'd':
            out += run >= 4 ? locale.dayName(date.dayOfWeek(), QLocale::LongFormat)
                : run == 3  ? locale.dayName(date.dayOfWeek(), QLocale::ShortFormat)
                            : number(date.day());
            break;
        case 'm':
            out += run >= 4 ? locale.monthName(date.month(), QLocale::LongFormat)
                : run == 3  ? locale.monthName(date.month(), QLocale::ShortFormat)
                            : number(date.month());
            break;
        case 'y':
            out += run >= 3 ? QStringLiteral("%1").arg(date.year(), 4, 10, QLatin1Char('0'))
                            : twoDigits(date.year() % 100);
            break;
        case 'h': {
            int hour = time.hour();
            if (twelveHour) {
                hour %= 12;
                if (hour == 0)
                    hour = 12;
            }
            out += number(hour);
            break;
        }
        case 'n':
            out += number(time.minute());
            break;
        case 's':
            out += number(time.second());
            break;
        }
    }
    return out;
}

CLog::CLog() = default;

CLog::~CLog() = default;

QString CLog::LogFile() const
{
    return m_logFile;
}

void CLog::setLogFile(const QString &Filename)
{
    m_logFile = Filename;
}

void CLog::setDateFormat(const QString &FormatString)
{
    SetDateFormat(FormatString);
}

QString CLog::DateFormat() const
{
    return m_dateFormat;
}

void CLog::DetachTextBox()
{
    m_textBox = nullptr;
    m_gathered.clear();
    m_purgedTo.reset();
}

void CLog::AttachTextBox(ILogTextBox *obj)
{
    m_textBox = obj;
}

ILogTextBox *CLog::textBox() const
{
    return m_textBox;
}

void CLog::Clear(bool PurgeLogFile)
{
    m_gathered.clear();
    m_purgedTo.reset();
    if (m_textBox)
        m_textBox->replaceAll(QString());
    if (PurgeLogFile && !m_logFile.isEmpty()) {
        // Lines still on their way to the file go first.
        RecordWriter::instance().waitUntilWritten(m_logFile, 5000);
        QFile file(m_logFile);
        if (!file.remove())
            throw std::runtime_error(QStringLiteral("Cannot delete the log file %1: %2")
                                         .arg(m_logFile, file.errorString())
                                         .toStdString());
    }
}

void CLog::Setup(std::optional<QString> DateFilter, ILogTextBox *txtBox, std::optional<QString> LogFile)
{
    if (txtBox)
        AttachTextBox(txtBox);
    if (DateFilter)
        SetDateFormat(*DateFilter);
    if (LogFile)
        setLogFile(*LogFile);
}

void CLog::Log(const QString &msg)
{
    const QString lineEnd = QStringLiteral("\r\n");
    QString stamp;
    if (!m_dateFormat.isEmpty()) {
        const QDateTime now = nowForTest().value_or(QDateTime::currentDateTime());
        stamp = formatStamp(m_dateFormat, now) + QStringLiteral(": ");
    }
    const QString line = stamp + msg + lineEnd;

    if (m_textBox) {
        const qsizetype length = m_purgedTo ? m_purgedTo->size() + m_gathered.size()
                                            : m_textBox->textLength() + m_gathered.size();
        if (length > PurgeThreshold) {
            m_purgedTo = stamp + QStringLiteral("Log Purged") + lineEnd;
            m_gathered.clear();
        }
        m_gathered += line;
        if (!m_gathering)
            gatherLines(false);
    }

    // Appended on the record writer's thread, the file opened for each line; a file that cannot
    // be written is skipped there. One byte per character: messages carry request bytes that
    // must reach the file as they came.
    if (!m_logFile.isEmpty())
        RecordWriter::instance().appendLine(m_logFile, line.toLatin1());
}

void CLog::gatherLines(bool gather)
{
    m_gathering = gather;
    if (gather || !m_textBox)
        return;
    if (m_purgedTo)
        m_textBox->replaceAll(*std::exchange(m_purgedTo, std::nullopt));
    if (!m_gathered.isEmpty())
        m_textBox->appendAtEnd(std::exchange(m_gathered, QString()));
}

void CLog::SetDateFormat(const QString &DateFilter)
{
    m_dateFormat = DateFilter.isEmpty() ? DefaultDateFormat : DateFilter;
}
