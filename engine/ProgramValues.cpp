#include "ProgramValues.h"

#include <QDir>

QString AppFolder;
QString ServerIP;
qint32 ServerPort = 0;
QString LogFileName;

void DebugTrace(const QString &msg)
{
    Q_UNUSED(msg);
}

QString recordFolder()
{
    QString folder = AppFolder;
    if (!folder.isEmpty() && !folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    return folder + QStringLiteral("requests") + QDir::separator();
}
