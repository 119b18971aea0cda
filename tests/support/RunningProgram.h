#pragma once

#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

// The real tarnwick executable, copied into a fresh folder with settings for a free port of
// 127.0.0.1 and an access log file, optionally started under a descriptor limit. Every wait is
// bounded; the destructor kills what is still running.
class RunningProgram
{
public:
    explicit RunningProgram(int descriptorLimit = 0)
    {
        QTcpServer probe;
        if (!QFile::copy(QStringLiteral(TARNWICK_EXECUTABLE), m_dir.filePath(QStringLiteral("tarnwick")))
            || !probe.listen(QHostAddress::LocalHost, 0))
            return;
        port = probe.serverPort();
        probe.close();
        {
            QFile ini(m_dir.filePath(QStringLiteral("tarnwick.ini")));
            if (ini.open(QIODevice::WriteOnly))
                ini.write(
                    "127.0.0.1\r\n " + QByteArray::number(port) + " \r\n" + logPath().toLocal8Bit() + "\r\n");
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_dir.path());
#ifdef Q_OS_UNIX
        if (descriptorLimit > 0)
            process.setChildProcessModifier([descriptorLimit] {
                const rlimit limit { rlim_t(descriptorLimit), rlim_t(descriptorLimit) };
                setrlimit(RLIMIT_NOFILE, &limit);
            });
#endif
        process.start(m_dir.filePath(QStringLiteral("tarnwick")), {});
        waitFor([this] { return process.state() == QProcess::Running && listening(); }, 30000);
    }
    ~RunningProgram()
    {
        process.kill();
        process.waitForFinished(5000);
    }

    bool listening() const
    {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(1000);
    }
    QString proxy() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(port);
    }
    QString logPath() const
    {
        return m_dir.filePath(QStringLiteral("access.log"));
    }
    QString log() const
    {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
    }
    QStringList recordFiles() const
    {
        return QDir(m_dir.filePath(QStringLiteral("requests"))).entryList(QDir::Files);
    }

    quint16 port = 0;
    QProcess process;

private:
    QTemporaryDir m_dir;
};
