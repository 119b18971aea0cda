#include "TlsOrigin.h"

#include "Wait.h"

#include <QFile>
#include <QRegularExpression>

TlsOrigin::TlsOrigin()
{
    QProcess req;
    req.setWorkingDirectory(m_dir.path());
    req.start(QStringLiteral("openssl"),
              {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
               QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
               QStringLiteral("-keyout"), QStringLiteral("key.pem"), QStringLiteral("-out"), QStringLiteral("cert.pem"),
               QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")});
    if (!req.waitForFinished(20000) || req.exitCode() != 0)
        return;

    m_server.setWorkingDirectory(m_dir.path());
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.start(QStringLiteral("openssl"),
                   {QStringLiteral("s_server"), QStringLiteral("-accept"), QStringLiteral("127.0.0.1:0"),
                    QStringLiteral("-cert"), QStringLiteral("cert.pem"), QStringLiteral("-key"),
                    QStringLiteral("key.pem"), QStringLiteral("-WWW")});
    if (!m_server.waitForStarted(5000))
        return;
    QByteArray output;
    const QRegularExpression accept(QStringLiteral("ACCEPT 127\\.0\\.0\\.1:(\\d+)"));
    waitFor(
        [&] {
            output += m_server.readAll();
            const auto match = accept.match(QString::fromLatin1(output));
            if (match.hasMatch())
                m_port = static_cast<quint16>(match.captured(1).toUInt());
            return m_port != 0 || m_server.state() == QProcess::NotRunning;
        },
        10000);
}

TlsOrigin::~TlsOrigin()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
}

void TlsOrigin::addFile(const QString &name, const QByteArray &content)
{
    QFile file(m_dir.filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
}
