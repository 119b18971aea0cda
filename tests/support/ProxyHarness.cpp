#include "ProxyHarness.h"

#include "CProxyConnection.h"
#include "Wait.h"

#include <QFile>
#include <QHostAddress>
#include <QLocale>
#include <QRegularExpression>
#include <QTcpServer>

namespace {
// CProxyServer takes any port below 1 to mean 80, so the system is asked for a free one first.
quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
} // namespace

ProxyHarness::ProxyHarness() : server(std::make_unique<CProxyServer>(&shell))
{
    server->AccessLog().AttachTextBox(&log);
    for (int attempt = 0; attempt < 5 && !server->Running(); ++attempt) {
        CProxyServer::StartArgs args;
        args.IP_Address = QStringLiteral("127.0.0.1");
        args.Local_Port = freePort();
        server->StartServer(args);
    }
    m_port = static_cast<quint16>(server->Port());
}

ProxyHarness::~ProxyHarness()
{
    server.reset();
    flushDeferredDeletes();
    QCoreApplication::processEvents();
    flushDeferredDeletes();
}

QString ProxyHarness::proxyUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QStringList ProxyHarness::logLines() const
{
    static const QRegularExpression stamp(QStringLiteral("^\\d+/\\d+/\\d+ \\d+:\\d+:\\d+[^:]*: "));
    QStringList lines;
    for (QString line : log.text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        lines.append(line.remove(stamp));
    return lines;
}

bool ProxyHarness::waitUntilIdle(int timeoutMs)
{
    const bool idle = waitFor([this] { return server->connections().empty(); }, timeoutMs);
    flushDeferredDeletes();
    return idle;
}

std::shared_ptr<CProxyConnection> ProxyHarness::waitForConnection(int timeoutMs)
{
    waitFor([this] { return !server->connections().empty(); }, timeoutMs);
    return server->connections().empty() ? nullptr : server->connections().front();
}

QByteArray ProxyHarness::readRecord(const QString &fileName) const
{
    QFile file(folder.requests() + fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool ProxyHarness::recordExists(const QString &fileName) const
{
    return QFile::exists(folder.requests() + fileName);
}

QStringList ProxyHarness::row(int index) const
{
    return shell.list.cells(index);
}

int ProxyHarness::rowCount() const
{
    return shell.list.count();
}

QString ProxyHarness::number(qint64 value)
{
    return QLocale().toString(value);
}
