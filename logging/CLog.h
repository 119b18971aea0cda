#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

class ILogTextBox;

// Writes one stamped line per message to an attached text box and/or a log file. Log never
// fails towards its caller.
class CLog
{
public:
    CLog();
    ~CLog();

    static const QString DefaultDateFormat; // "mm/dd/yyyy hh:nn:ss ampm"
    static constexpr qsizetype PurgeThreshold = 10000;

    QString LogFile() const;
    void setLogFile(const QString &Filename);
    void setDateFormat(const QString &FormatString);
    QString DateFormat() const;
    void DetachTextBox();
    void AttachTextBox(ILogTextBox *obj);
    ILogTextBox *textBox() const;
    // Empties the text box; with PurgeLogFile also deletes the log file (a failure is thrown).
    void Clear(bool PurgeLogFile = false);
    void Setup(std::optional<QString> DateFilter, ILogTextBox *txtBox, std::optional<QString> LogFile);
    void Log(const QString &msg);
    // While gathering, lines for the text box wait and go in with one insertion when gathering
    // ends: the box lays out each insertion, and a batch of network events brings many lines.
    void gatherLines(bool gather);
    void SetDateFormat(const QString &DateFilter);

    // The stamp pattern applied to a moment, with the system's separators and AM/PM designator.
    static QString formatStamp(const QString &pattern, const QDateTime &moment);
    // Lines are stamped with this moment instead of the current time; nullopt restores the clock.
    static void setNowForTest(std::optional<QDateTime> now);

private:
    ILogTextBox *m_textBox = nullptr;
    QString m_logFile;
    // Kept open between lines: when the process runs out of descriptors, the line that says so
    // must still reach the file.
    QString m_dateFormat;
    bool m_gathering = false;
    QString m_gathered;
    // The box is to be emptied, down to this line, before the gathered lines go in.
    std::optional<QString> m_purgedTo;
};
