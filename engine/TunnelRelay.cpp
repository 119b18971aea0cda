#include "TunnelRelay.h"

#include "CHTTPGet.h"
#include "EventSocket.h"
#include "RecordWriter.h"

#include <utility>

TunnelRelay::TunnelRelay(EventSocket *browser, CHTTPGet *server, QObject *parent)
    : QObject(parent)
    , m_browser(browser)
    , m_server(server)
{
    connect(RecordWriter::notifier(), &RecordWriterNotifier::drained, this, [this](const QString &path) {
        if (path == m_upgradeRecord && m_browser->readPaused())
            m_browser->setReadPaused(false);
    });
}

TunnelRelay::~TunnelRelay()
{
    // A relay that did not end normally leaves the request record as it was before the switch.
    if (!m_upgradeRecord.isEmpty())
        RecordWriter::instance().remove(m_upgradeRecord);
}

void TunnelRelay::setActive(bool active)
{
    m_active = active;
    if (!active)
        m_open = false;
}

bool TunnelRelay::isActive() const
{
    return m_active;
}

void TunnelRelay::hold(const QByteArray &bytes)
{
    m_held += bytes;
    pauseIfQueued(m_held.size());
}

bool TunnelRelay::holdsBytes() const
{
    return !m_held.isEmpty();
}

void TunnelRelay::open()
{
    m_open = true;
    m_server->sendUpstream(std::exchange(m_held, QByteArray()));
    if (m_browserFinished)
        m_server->socket()->ShutdownSend();
}

bool TunnelRelay::isOpen() const
{
    return m_active && m_open;
}

void TunnelRelay::fromBrowser(const QByteArray &bytes)
{
    record(bytes);
    if (m_open)
        m_server->sendUpstream(bytes);
    else
        m_held += bytes;
    pauseIfQueued(m_server->socket()->bytesToWrite() + m_held.size());
}

void TunnelRelay::browserFinished()
{
    m_browserFinished = true;
    if (m_open)
        m_server->socket()->ShutdownSend();
}

void TunnelRelay::startUpgrade(
    const QString &requestRecord, const QByteArray &request, const QByteArray &held)
{
    m_active = true;
    m_open = true;
    m_upgradeRecord = requestRecord + QStringLiteral(".part");
    RecordWriter::instance().append(m_upgradeRecord, request);
    record(held);
    m_server->sendUpstream(held);
}

void TunnelRelay::finishUpgrade(const QString &requestRecord)
{
    if (!m_upgradeRecord.isEmpty())
        RecordWriter::instance().finish(std::exchange(m_upgradeRecord, QString()), requestRecord);
}

void TunnelRelay::serverDrained(qint64 bytesLeft)
{
    if (m_active && bytesLeft < QueueBound / 4 && m_browser->readPaused())
        m_browser->setReadPaused(false);
}

int TunnelRelay::readPauses() const
{
    return m_readPauses;
}

// Held to the record writer's pace, as the server's side is.
void TunnelRelay::record(const QByteArray &bytes)
{
    RecordWriter &writer = RecordWriter::instance();
    if (m_upgradeRecord.isEmpty() || bytes.isEmpty())
        return;
    writer.append(m_upgradeRecord, bytes);
    if (writer.shouldPause(m_upgradeRecord))
        m_browser->setReadPaused(true);
}

void TunnelRelay::pauseIfQueued(qint64 queued)
{
    if (queued > QueueBound && !m_browser->readPaused()) {
        ++m_readPauses;
        m_browser->setReadPaused(true);
    }
}
