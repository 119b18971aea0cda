#include "MainModule.h"

#include <QApplication>

int main(int argc, char **argv)
{
#ifdef Q_OS_LINUX
    // Without TZ, the C library re-reads the zone file for every local time it formats, and every
    // log line and record name asks for one.
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
#endif
    prepareQuietStart(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    return Main();
}
