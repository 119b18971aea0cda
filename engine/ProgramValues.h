#pragma once

#include <QString>

// Program-wide values shared by the windows and the engine. One copy for the whole run,
// used on the GUI thread only.

// The program's folder, always ending in the platform's separator.
extern QString AppFolder;
extern QString ServerIP;
extern qint32 ServerPort;
extern QString LogFileName;

// Trace texts of the engine; discarded.
void DebugTrace(const QString &msg);

// AppFolder + "requests" + separator: where the record files live.
QString recordFolder();
