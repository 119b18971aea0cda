#pragma once

#include "Wait.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

// An HTTPS origin on 127.0.0.1: openssl s_server with a self-signed certificate made for the
// run, serving the files of its own temporary folder. port() is 0 when it could not start.
class TlsOrigin
{
public:
    TlsOrigin()
    {
        QProcess req;
        req.setWorkingDirectory(m_dir.path());
        req.start(QStringLiteral("openssl"),
            QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                           "-nodes -keyout key.pem -out cert.pem -days 1 -subj /CN=127.0.0.1")
                .split(QLatin1Char(' ')));
        if (!req.waitForFinished(20000) || req.exitCode() != 0)
            return;
        m_server.setWorkingDirectory(m_dir.path());
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.start(QStringLiteral("openssl"),
            QStringLiteral("s_server -accept 127.0.0.1:0 -cert cert.pem -key key.pem -WWW")
                .split(QLatin1Char(' ')));
        const QRegularExpression accept(QStringLiteral("ACCEPT 127\\.0\\.0\\.1:(\\d+)"));
        QByteArray output;
        waitFor(
            [&] {
                output += m_server.readAll();
                m_port = static_cast<quint16>(accept.match(QString::fromLatin1(output)).captured(1).toUInt());
                return m_port != 0 || m_server.state() == QProcess::NotRunning;
            },
            10000);
    }
    ~TlsOrigin()
    {
        m_server.kill();
        m_server.waitForFinished(5000);
    }

    quint16 port() const { return m_port; }
    // Puts a file where the server serves it as /name.
    void addFile(const QString &name, const QByteArray &content)
    {
        QFile file(m_dir.filePath(name));
        if (file.open(QIODevice::WriteOnly))
            file.write(content);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_server;
    quint16 m_port = 0;
};
