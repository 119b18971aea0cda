#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

// Builds a HAR 1.2 log from history rows and their record files. The records hold the bytes of
// each exchange but not its timing: timings are -1 (unknown), and the start is the second the
// record name tells.
class HarBuilder
{
public:
    struct Row {
        // Full paths of the two record files; an empty reply path is a request that got no reply.
        QString requestFile;
        QString responseFile;
        QString serverIP;
        // The history's status word, kept as the comment of a failed entry.
        QString status;
        // The history's whole URL; a decrypted HTTPS request is recorded in origin form, which
        // would otherwise read as http.
        QString url = {};
    };

    static QJsonObject build(const QList<Row> &rows, const QString &creatorVersion);
    static QJsonObject entry(const Row &row);
    // The local time a record name ("yyMMddHHmmss-XXXXX-Q.txt") starts with; invalid when none.
    static QDateTime recordTime(const QString &fileName);
    // Reads at most limit bytes of a record; sets *cut when the file is longer.
    static QByteArray readRecord(const QString &path, qint64 limit, bool *cut = nullptr);
};
