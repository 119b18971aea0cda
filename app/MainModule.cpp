#include "MainModule.h"

#include "CProxyServer.h"
#include "Clock.h"
#include "HttpsDecryption.h"
#include "LatenessProbe.h"
#include "MessageBox.h"
#include "ProgramValues.h"
#include "RaisedError.h"
#include "RecordWriter.h"
#include "frmLog.h"
#include "frmMain.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QPointer>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringEncoder>

#include <memory>
#include <new>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
// Error number of a path or file access failure, as the start-up messages count them.
constexpr qint32 PathFileAccessError = 75;
// The settings file holds three short lines; anything beyond this is not read.
constexpr qint64 SettingsReadLimit = 1 << 20;

QPointer<frmMain> g_main;
QPointer<frmLog> g_log;
std::unique_ptr<QLockFile> g_instanceLock;
// Outlives both windows: the server keeps a plain pointer to it.
std::unique_ptr<HttpsDecryption> g_https;
std::function<void(int)> g_quitHook;

QString userTag()
{
#ifdef Q_OS_UNIX
    return QString::number(::getuid());
#else
    QString user = qEnvironmentVariable("USERNAME");
    return QString::fromLatin1(
        QCryptographicHash::hash(user.toUtf8(), QCryptographicHash::Sha1).toHex().left(8));
#endif
}

// One lock per user and per program folder: copies of the program in different folders keep
// their own settings and records and may run side by side. QLockFile records our process id, so
// the lock of a run that crashed is recognised as stale and taken over.
bool acquireInstanceLock(const QString &folder)
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty() || !QFileInfo(dir).isWritable())
        dir = QDir::tempPath();
    const QByteArray folderHash = QCryptographicHash::hash(
        QDir::cleanPath(QDir::fromNativeSeparators(folder)).toUtf8(), QCryptographicHash::Sha1)
                                      .toHex()
                                      .left(16);
    const QString path = dir + QStringLiteral("/tarnwick-") + userTag() + QLatin1Char('-')
        + QString::fromLatin1(folderHash) + QStringLiteral(".lock");
    auto lock = std::make_unique<QLockFile>(path);
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return false;
    g_instanceLock = std::move(lock);
    return true;
}

void releaseInstanceLock()
{
    g_instanceLock.reset();
}

void releaseWindows()
{
    delete g_main.data();
    delete g_log.data();
    g_https.reset();
}

void endEventLoop(int exitCode)
{
    if (g_quitHook)
        g_quitHook(exitCode);
    else
        QCoreApplication::exit(exitCode);
}

QString decodeSystem(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringConverter::System);
    return decoder.decode(bytes);
}

QByteArray encodeSystem(const QString &text)
{
    QStringEncoder encoder(QStringConverter::System);
    return encoder.encode(text);
}

// Lines end in CR LF, a lone LF or a lone CR; a final line end does not start another line.
QList<QByteArray> splitLines(const QByteArray &bytes, int maxLines)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    while (start < bytes.size() && lines.size() < maxLines) {
        qsizetype end = start;
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n')
            ++end;
        lines.append(bytes.mid(start, end - start));
        if (end < bytes.size() && bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return lines;
}

QString portText(qint32 port)
{
    const QString digits = QString::number(qAbs(static_cast<qint64>(port)));
    return (port < 0 ? QStringLiteral("-") : QStringLiteral(" ")) + digits + QLatin1Char(' ');
}

void reportStartUpFailure(qint32 number, const QString &description)
{
    if (number == PathFileAccessError) {
        MessageBox::show(nullptr,
            QStringLiteral("Unable to create folder:\r\n\r\n") + AppFolder + QStringLiteral("requests"));
    } else {
        MessageBox::show(nullptr,
            QStringLiteral("Error #") + QString::number(number) + QStringLiteral("\r\n\r\n") + description
                + QStringLiteral("\r\n\r\nExiting Application"));
    }
}

QtMessageHandler g_previousMessageHandler = nullptr;

// Said by Qt on the offscreen platform, where there is no tray or window manager to talk to;
// they are no fault of the program and bury the one line a user of a headless start needs.
void quietMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const char *const notices[] = { "QPlatformNativeInterface::systemTrayWindowChanged",
        "does not support propagateSizeHints()", "XDG_RUNTIME_DIR not set" };
    if (type == QtWarningMsg || type == QtDebugMsg || type == QtInfoMsg) {
        for (const char *notice : notices) {
            if (message.contains(QLatin1String(notice)))
                return;
        }
    }
    if (g_previousMessageHandler)
        g_previousMessageHandler(type, context, message);
}

#ifdef Q_OS_UNIX
int g_signalPipe[2] = { -1, -1 };

void onTerminationSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    Q_UNUSED(written);
}

void terminationRequested()
{
    char buffer[16];
    while (::read(g_signalPipe[0], buffer, sizeof buffer) > 0) { }
    if (g_main)
        g_main->endProgram();
}
#endif
} // namespace

QString settingsFilePath()
{
    return AppFolder + QStringLiteral("tarnwick.ini");
}

frmMain *mainWindow()
{
    return g_main;
}

frmLog *logWindow()
{
    return g_log;
}

HttpsDecryption *httpsDecryption()
{
    return g_https.get();
}

bool StartUp(const QString &programFolder, int *exitCode)
{
    QString folder = QDir::toNativeSeparators(programFolder);
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();

    if (!acquireInstanceLock(folder)) {
        MessageBox::show(nullptr, MessageBox::title() + QStringLiteral(" is already running"),
            MessageBox::Icon::Information);
        *exitCode = 0;
        return false;
    }

    g_log = new frmLog();
    g_main = new frmMain();
    Clock::randomize();
    AppFolder = folder;

    qint32 number = 0;
    QString description;
    try {
        const QString requests = AppFolder + QStringLiteral("requests");
        // A file of that name counts as present too: nothing is created then.
        const QFileInfo entry(requests);
        if (!entry.exists() && !entry.isSymLink() && !QDir().mkdir(requests))
            throw RaisedError(
                PathFileAccessError, MessageBox::title(), QStringLiteral("Path/File access error"));
        // Beside the records, on their file system, so that recycling a file is a rename.
        RecordWriter::instance().setSpareFolder(
            AppFolder + QStringLiteral(".spare-records") + QDir::separator());
        ReadSettings();
        g_https = std::make_unique<HttpsDecryption>(AppFolder);
        QString httpsWhy;
        const bool httpsOn = g_https->load(&httpsWhy);
        g_main->Form_Load();
        if (!httpsOn) {
            const QString text = QStringLiteral("HTTPS decryption is off: ") + httpsWhy;
            if (g_main->Proxy)
                g_main->Proxy->AddLog(text);
            MessageBox::show(nullptr, text, MessageBox::Icon::Exclamation);
        }
        g_main->show();
        *exitCode = 0;
        return true;
    } catch (const RaisedError &e) {
        number = e.Number;
        description = e.Description;
    } catch (const std::bad_alloc &) {
        number = 7;
        description = QStringLiteral("Out of memory");
    } catch (const std::exception &e) {
        number = 51;
        description = QString::fromLocal8Bit(e.what());
    }
    reportStartUpFailure(number, description);
    releaseWindows();
    releaseInstanceLock();
    *exitCode = 1;
    return false;
}

int Main()
{
    QApplication::setQuitOnLastWindowClosed(false);
    installTerminationHandlers();
    int exitCode = 0;
    if (!StartUp(QCoreApplication::applicationDirPath(), &exitCode))
        return exitCode;
    const std::unique_ptr<LatenessProbe> probe(LatenessProbe::fromEnvironment(nullptr));
    exitCode = QCoreApplication::exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    releaseWindows();
    releaseInstanceLock();
    return exitCode;
}

void ReadSettings()
{
    QFile file(settingsFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.read(SettingsReadLimit);
    file.close();

    const QList<QByteArray> lines = splitLines(bytes, 3);
    if (lines.size() < 1)
        return;
    ServerIP = decodeSystem(lines[0]);
    if (lines.size() < 2)
        return;
    bool ok = false;
    const qint32 port = decodeSystem(lines[1]).trimmed().toInt(&ok, 10);
    if (!ok)
        return;
    ServerPort = port;
    if (lines.size() < 3)
        return;
    LogFileName = decodeSystem(lines[2]);
}

bool WriteSettings(QString *errorText)
{
    const QByteArray lineEnd("\r\n");
    const QByteArray data = encodeSystem(ServerIP) + lineEnd + portText(ServerPort).toLatin1() + lineEnd
        + encodeSystem(LogFileName) + lineEnd;
    // Written aside and renamed over the old file, so a failed write never leaves half a file.
    QSaveFile file(settingsFilePath());
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return true;
    if (errorText)
        *errorText = file.errorString();
    return false;
}

void ExitProgram()
{
    int exitCode = 0;
    QString reason;
    if (!WriteSettings(&reason)) {
        MessageBox::show(nullptr,
            QStringLiteral("Unable to save the settings to ") + settingsFilePath()
                + QStringLiteral(":\r\n\r\n") + reason,
            MessageBox::Icon::Exclamation);
        exitCode = 1;
    }
    if (g_https && !g_https->save(&reason)) {
        MessageBox::show(nullptr, QStringLiteral("Unable to save the HTTPS settings: ") + reason,
            MessageBox::Icon::Exclamation);
        exitCode = 1;
    }

    // Both windows may be inside one of their own handlers right now (the close request that led
    // here), so they are released once control is back in the event loop.
    if (frmLog *log = g_log) {
        g_log = nullptr;
        log->Tag = QStringLiteral("END");
        log->close();
        log->deleteLater();
    }
    if (frmMain *main = g_main) {
        g_main = nullptr;
        main->close();
        main->deleteLater();
    }
    releaseInstanceLock();
    endEventLoop(exitCode);
}

void ShowLog()
{
    if (!g_log)
        return;
    g_log->show();
    g_log->raise();
    g_log->activateWindow();
}

void prepareQuietStart(int argc, char **argv)
{
#ifdef Q_OS_UNIX
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        // Qt asks for one owned by the user and closed to others; without it, it warns and uses
        // a shared folder.
        const QByteArray folder
            = QDir::tempPath().toLocal8Bit() + "/tarnwick-runtime-" + QByteArray::number(::getuid());
        struct stat info = {};
        if ((::mkdir(folder.constData(), 0700) == 0 || errno == EEXIST)
            && ::lstat(folder.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid()
            && ::chmod(folder.constData(), 0700) == 0)
            qputenv("XDG_RUNTIME_DIR", folder);
    }
#endif
    QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "-platform") == 0)
            platform = argv[i + 1];
    }
    if (platform.startsWith("offscreen"))
        g_previousMessageHandler = qInstallMessageHandler(quietMessageHandler);
}

void installTerminationHandlers()
{
#ifdef Q_OS_UNIX
    if (g_signalPipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return;
    for (int fd : g_signalPipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    // The handler only writes a byte; the orderly end runs from the event loop, where it is safe.
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] { terminationRequested(); });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
#endif
}

void setQuitHookForTest(std::function<void(int)> hook)
{
    g_quitHook = std::move(hook);
}
