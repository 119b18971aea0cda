#pragma once

#include "CProxyConnection.h"
#include "CProxyServer.h"
#include "FakeShell.h"
#include "MemoryLogBox.h"
#include "RecordWriter.h"
#include "TestFolder.h"
#include "Wait.h"

#include <QFile>
#include <QHostAddress>
#include <QLocale>
#include <QRegularExpression>
#include <QTcpServer>

#include <memory>

// A proxy server with the real engine, a fake main window and an in-memory access log,
// listening on 127.0.0.1 in a fresh program folder.
class ProxyHarness
{
public:
    // threads: network threads to serve on; 0 serves on the test's thread, where the connections
    // can be looked at.
    explicit ProxyHarness(int threads = 0)
        : server(std::make_unique<CProxyServer>(&shell))
    {
        server->setThreads(threads);
        server->AccessLog().AttachTextBox(&log);
        // CProxyServer takes any port below 1 to mean 80, so the system is asked for a free one.
        CProxyServer::StartArgs args;
        args.IP_Address = QStringLiteral("127.0.0.1");
        for (int attempt = 0; attempt < 5 && !server->Running(); ++attempt) {
            args.Local_Port = freePort();
            server->StartServer(args);
        }
    }
    ~ProxyHarness()
    {
        server.reset();
        flushDeferredDeletes();
        QCoreApplication::processEvents();
        flushDeferredDeletes();
    }

    // A port on 127.0.0.1 that nothing listens on (for a moment at least).
    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }
    quint16 port() const { return static_cast<quint16>(server->Port()); }
    QString proxyUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }

    // The access log's messages, without their date stamps.
    QStringList logLines() const
    {
        static const QRegularExpression stamp(QStringLiteral("^\\d+/\\d+/\\d+ \\d+:\\d+:\\d+[^:]*: "));
        QStringList lines = log.text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        for (QString &line : lines)
            line.remove(stamp);
        return lines;
    }
    // Runs the event loop until no connection is left in the table and the records they wrote
    // are in place, with their rows told: a record's end reaches its row by way of the network
    // thread, after the writer is done.
    bool waitUntilIdle(int timeoutMs = 10000)
    {
        const auto caughtUp = [&] {
            const auto done = std::make_shared<bool>(false);
            server->afterNetworkThreadsForTest([done] { *done = true; });
            return waitFor([done] { return *done; }, timeoutMs);
        };
        // Twice: what a written record's row is told may write another.
        const bool idle = waitFor([this] { return server->liveConnections() == 0; }, timeoutMs)
            && RecordWriter::instance().drain(timeoutMs) && caughtUp()
            && RecordWriter::instance().drain(timeoutMs) && caughtUp();
        QCoreApplication::processEvents();
        flushDeferredDeletes();
        return idle;
    }
    // The first live connection, held so that it can be examined after its removal.
    std::shared_ptr<CProxyConnection> waitForConnection()
    {
        waitFor([this] { return !server->connections().empty(); });
        return server->connections().empty() ? nullptr : server->connections().front();
    }

    QByteArray readRecord(const QString &fileName) const
    {
        QFile file(folder.requests() + fileName);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool recordExists(const QString &fileName) const { return QFile::exists(folder.requests() + fileName); }
    // The cells of history row index (1-based), as MemoryHistoryList::cells gives them.
    QStringList row(int index) const { return shell.list.cells(index); }
    int rowCount() const { return shell.list.count(); }
    static QString number(qint64 value) { return QLocale().toString(value); }

    TestFolder folder;
    FakeShell shell;
    MemoryLogBox log;
    std::unique_ptr<CProxyServer> server;
};
