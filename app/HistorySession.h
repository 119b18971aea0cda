#pragma once

#include "HistoryModel.h"

#include <QList>
#include <QString>

#include <optional>

// History rows saved as a HAR 1.2 file and opened again. Each entry carries, beside the standard
// fields, a "_tarnwick" member with what HAR cannot hold: the exact record bytes (base64), the
// row's cells, its check mark and its whole URL.
namespace HistorySession {
// No entry of a file that is opened may be larger: the reader holds one entry at a time.
inline constexpr qint64 EntryLimit = 512LL * 1024 * 1024;

// Writes the rows entry by entry. Records are read from recordFolder and the rows' file name
// cells; a row whose request record cannot be read is left out. False with *error when the file
// cannot be written.
bool save(const QString &path, const QList<HistoryRow> &rows, const QString &recordFolder, QString *error);

// Reads a session, or any HAR 1.2 file such as a browser's developer tools save, and writes a
// record pair per entry into recordFolder: the exact bytes when the entry has them, otherwise
// requests and replies rebuilt from the HAR fields. Returns one row per entry, with ids of 0. On
// any fault in the file, nothing is left in recordFolder and *error names the entry and fault.
std::optional<QList<HistoryRow>> open(const QString &path, const QString &recordFolder, QString *error);
} // namespace HistorySession
