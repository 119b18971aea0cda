#pragma once

#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <tuple>

#include <sys/resource.h>

// The real tarnwick executable, copied into a folder of its own (the program's folder holds its
// settings and records) with settings for a free port of 127.0.0.1 and an access log file; or,
// given another run, that run's folder. Every wait is bounded; the destructor kills what is left.
class RunningProgram
{
public:
    explicit RunningProgram(const RunningProgram *sameFolder = nullptr)
    {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        if (sameFolder) {
            std::tie(m_folder, port, settings)
                = std::tie(sameFolder->m_folder, sameFolder->port, sameFolder->settings);
            return;
        }
        m_folder = m_dir.path() + QLatin1Char('/');
        QTcpServer probe;
        if (!QFile::copy(QStringLiteral(TARNWICK_EXECUTABLE), m_folder + QStringLiteral("tarnwick"))
            || !probe.listen(QHostAddress::LocalHost, 0))
            return;
        port = probe.serverPort();
        settings = "127.0.0.1\r\n " + QByteArray::number(port) + " \r\n" + m_folder.toLocal8Bit()
            + "access.log\r\n";
        QFile ini(settingsPath());
        if (ini.open(QIODevice::WriteOnly))
            ini.write(settings);
    }
    ~RunningProgram()
    {
        process.kill();
        process.waitForFinished(5000);
    }

    // Starts the program, optionally under a descriptor limit; true once it runs.
    bool start(int descriptorLimit = 0)
    {
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_folder);
        if (descriptorLimit > 0)
            process.setChildProcessModifier([descriptorLimit] {
                const rlimit limit { rlim_t(descriptorLimit), rlim_t(descriptorLimit) };
                setrlimit(RLIMIT_NOFILE, &limit);
            });
        process.start(m_folder + QStringLiteral("tarnwick"), {});
        return port != 0 && process.waitForStarted(10000);
    }
    bool startListening(int descriptorLimit = 0)
    {
        return start(descriptorLimit)
            && waitFor([this] { return process.state() == QProcess::Running && listening(); }, 30000);
    }
    bool waitFinished()
    {
        return waitFor([this] { return process.state() == QProcess::NotRunning; }, 30000);
    }
    // SIGTERM, then waits for the end; true when the program exited with code 0.
    bool terminate()
    {
        process.terminate();
        return waitFinished() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    bool listening() const
    {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(1000);
    }
    const char *stderrText() { return (m_err += process.readAllStandardError()).constData(); }

    QString proxy() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }
    QString settingsPath() const { return m_folder + QStringLiteral("tarnwick.ini"); }
    QByteArray settingsBytes() const { return readAll(settingsPath()); }
    QString log() const { return QString::fromLatin1(readAll(m_folder + QStringLiteral("access.log"))); }
    QStringList recordFiles() const
    {
        return QDir(m_folder + QStringLiteral("requests")).entryList(QDir::Files);
    }

    quint16 port = 0;
    QByteArray settings; // as written for the first run
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QProcess process;

private:
    static QByteArray readAll(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir m_dir;
    QString m_folder;
    QByteArray m_err;
};
