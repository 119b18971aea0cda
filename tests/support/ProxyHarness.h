#pragma once

#include "CProxyServer.h"
#include "FakeShell.h"
#include "MemoryLogBox.h"
#include "TestFolder.h"

#include <QByteArray>
#include <QStringList>

#include <memory>

class CProxyConnection;

// A proxy server with the real engine, a fake main window and an in-memory access log,
// listening on 127.0.0.1 in a fresh program folder.
class ProxyHarness
{
public:
    ProxyHarness();
    ~ProxyHarness();

    quint16 port() const { return m_port; }
    QString proxyUrl() const;

    // The access log's messages, without their date stamps.
    QStringList logLines() const;
    // Runs the event loop until no connection is left in the table.
    bool waitUntilIdle(int timeoutMs = 10000);
    // The first live connection, held so that it can be examined after its removal.
    std::shared_ptr<CProxyConnection> waitForConnection(int timeoutMs = 5000);

    QByteArray readRecord(const QString &fileName) const;
    bool recordExists(const QString &fileName) const;
    // The nine cells of history row index (1-based).
    QStringList row(int index) const;
    int rowCount() const;
    static QString number(qint64 value);

    TestFolder folder;
    FakeShell shell;
    MemoryLogBox log;
    std::unique_ptr<CProxyServer> server;

private:
    quint16 m_port = 0;
};
