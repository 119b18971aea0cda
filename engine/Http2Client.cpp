#include "Http2Client.h"

#include "Clock.h"
#include "EventSocket.h"

#include <QPointer>
#include <QTimer>

#include <nghttp2/nghttp2.h>

#include <cstring>
#include <vector>

namespace {

QString describe(uint32_t error)
{
    return QString::fromLatin1(nghttp2_http2_strerror(error));
}

} // namespace

struct Http2Client::Callbacks {
    static Http2Client *self(void *data) { return static_cast<Http2Client *>(data); }

    static int beginHeaders(nghttp2_session *, const nghttp2_frame *frame, void *data)
    {
        if (Exchange *exchange = self(data)->find(frame->hd.stream_id)) {
            exchange->status = 0;
            exchange->headerBytes = 0;
            exchange->fields.clear();
        }
        return 0;
    }

    static int header(nghttp2_session *, const nghttp2_frame *frame, const uint8_t *name, size_t nameLength,
        const uint8_t *value, size_t valueLength, uint8_t, void *data)
    {
        Http2Client *client = self(data);
        Exchange *exchange = client->find(frame->hd.stream_id);
        if (!exchange)
            return 0;
        // Counted as SETTINGS_MAX_HEADER_LIST_SIZE counts (RFC 9113 section 6.5.2); the server was
        // told the limit, so going over it is the server's fault, not the reply's.
        exchange->headerBytes += qsizetype(nameLength + valueLength + 32);
        if (exchange->headerBytes > MaxHeaderList) {
            client->m_failure
                = QStringLiteral("the server sent a header list over %1 bytes").arg(MaxHeaderList);
            return NGHTTP2_ERR_CALLBACK_FAILURE;
        }
        const QByteArray n(reinterpret_cast<const char *>(name), qsizetype(nameLength));
        const QByteArray v(reinterpret_cast<const char *>(value), qsizetype(valueLength));
        if (n == ":status")
            exchange->status = v.toInt();
        else if (!n.startsWith(':'))
            exchange->fields.append({ n, v });
        return 0;
    }

    static int frameReceived(nghttp2_session *, const nghttp2_frame *frame, void *data)
    {
        Http2Client *client = self(data);
        const qint32 id = frame->hd.stream_id;
        if (frame->hd.type == NGHTTP2_GOAWAY) {
            client->markGone();
            return 0;
        }
        if (frame->hd.type == NGHTTP2_HEADERS) {
            Exchange *exchange = client->find(id);
            if (!exchange)
                return 0;
            // Interim replies are not passed on; heads after the final one are trailers, dropped.
            if (!exchange->finalSeen && exchange->status >= 200) {
                exchange->finalSeen = true;
                const Http2Message::Fields fields = std::exchange(exchange->fields, {});
                exchange->stream->streamHead(exchange->status, fields);
            }
        }
        if ((frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA)
            && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM))
            client->endStream(id);
        return 0;
    }

    static int dataChunk(
        nghttp2_session *session, uint8_t, int32_t id, const uint8_t *bytes, size_t length, void *data)
    {
        Http2Client *client = self(data);
        Exchange *exchange = client->find(id);
        const QByteArray chunk(reinterpret_cast<const char *>(bytes), qsizetype(length));
        if (exchange && (exchange->paused || !exchange->held.isEmpty())) {
            exchange->held += chunk;
            return 0;
        }
        nghttp2_session_consume(session, id, length);
        if (exchange)
            exchange->stream->streamData(chunk);
        return 0;
    }

    static int streamClosed(nghttp2_session *, int32_t id, uint32_t error, void *data)
    {
        Http2Client *client = self(data);
        Exchange *exchange = client->find(id);
        if (!exchange)
            return 0;
        if (exchange->ended && error == NGHTTP2_NO_ERROR) {
            if (exchange->held.isEmpty() && !exchange->stream)
                client->m_streams.erase(id);
            return 0;
        }
        Stream *stream = exchange->stream;
        client->m_streams.erase(id);
        if (stream && error == NGHTTP2_REFUSED_STREAM)
            stream->streamFailed(QStringLiteral("the server refused the stream unprocessed"), true);
        else if (stream)
            stream->streamFailed(QStringLiteral("the server reset the stream: ") + describe(error), false);
        client->deleteWhenDone();
        return 0;
    }

    static ssize_t readBody(nghttp2_session *, int32_t id, uint8_t *buffer, size_t length, uint32_t *flags,
        nghttp2_data_source *, void *data)
    {
        Exchange *exchange = self(data)->find(id);
        if (!exchange)
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        const size_t n = qMin(length, size_t(exchange->body.size() - exchange->sent));
        std::memcpy(buffer, exchange->body.constData() + exchange->sent, n);
        exchange->sent += qsizetype(n);
        if (exchange->sent == exchange->body.size()) {
            *flags |= NGHTTP2_DATA_FLAG_EOF;
            exchange->body.clear();
            exchange->sent = 0;
        }
        return ssize_t(n);
    }
};

Http2Client::Http2Client(EventSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_tlsSummary(socket->tlsSummary())
    , m_remoteIP(socket->RemoteHostIP())
    , m_idleSince(Clock::tickCount())
{
    socket->setParent(this);
    socket->disconnect();
    socket->setReadPaused(false);

    nghttp2_session_callbacks *callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, &Callbacks::beginHeaders);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, &Callbacks::header);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &Callbacks::frameReceived);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &Callbacks::dataChunk);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &Callbacks::streamClosed);
    nghttp2_option *options = nullptr;
    nghttp2_option_new(&options);
    // Data is acknowledged only once the exchange has taken it: that is the back-pressure.
    nghttp2_option_set_no_auto_window_update(options, 1);
    nghttp2_option_set_max_continuations(options, MaxContinuations);
    nghttp2_option_set_peer_max_concurrent_streams(options, MaxStreams);
    nghttp2_session_client_new2(&m_session, callbacks, this, options);
    nghttp2_option_del(options);
    nghttp2_session_callbacks_del(callbacks);

    const nghttp2_settings_entry settings[] = {
        { NGHTTP2_SETTINGS_ENABLE_PUSH, 0 },
        { NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 0 },
        { NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, StreamWindow },
        { NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, MaxHeaderList },
    };
    nghttp2_submit_settings(m_session, NGHTTP2_FLAG_NONE, settings, std::size(settings));
    nghttp2_session_set_local_window_size(m_session, NGHTTP2_FLAG_NONE, 0, SessionWindow);

    connect(socket, &EventSocket::DataArrival, this, &Http2Client::Socket_DataArrival);
    connect(socket, &EventSocket::Closed, this,
        [this] { fail(QStringLiteral("the server closed the connection")); });
    connect(socket, &EventSocket::Error, this,
        [this](qint16, const QString &description, qint32, const QString &, const QString &, qint32, bool *) {
            fail(description.isEmpty() ? QStringLiteral("the server connection failed") : description);
        });
    flush();
    // Bytes the server sent before the session took the socket over.
    if (socket->BytesReceived() > 0)
        Socket_DataArrival();
}

Http2Client::~Http2Client()
{
    // The socket, a child, goes after this object: nothing it raises then may reach the session.
    disconnect(m_socket, nullptr, this, nullptr);
    nghttp2_session_del(m_session);
}

Http2Client::Exchange *Http2Client::find(qint32 id)
{
    const auto it = m_streams.find(id);
    return it == m_streams.end() ? nullptr : &it->second;
}

bool Http2Client::hasRoom() const
{
    const quint32 allowed = qMin<quint32>(
        nghttp2_session_get_remote_settings(m_session, NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS), MaxStreams);
    return !m_gone && m_streams.size() < allowed;
}

bool Http2Client::isGone() const
{
    return m_gone;
}

int Http2Client::activeStreams() const
{
    return int(m_streams.size());
}

QString Http2Client::tlsSummary() const
{
    return m_tlsSummary;
}

QString Http2Client::remoteIP() const
{
    return m_remoteIP;
}

qint32 Http2Client::submit(const Http2Message::Request &request, Stream *stream, QString *why)
{
    if (m_gone) {
        *why = QStringLiteral("the server session has ended");
        return -1;
    }
    const Http2Message::Fields pseudo { { ":method", request.method }, { ":scheme", "https" },
        { ":authority", request.authority }, { ":path", request.path } };
    const std::vector<nghttp2_nv> nva = Http2Message::nameValues(pseudo, request.fields);
    nghttp2_data_provider body {};
    body.read_callback = &Callbacks::readBody;
    const int32_t id = nghttp2_submit_request(
        m_session, nullptr, nva.data(), nva.size(), request.body.isEmpty() ? nullptr : &body, nullptr);
    if (id < 0) {
        *why = QStringLiteral("the request could not be sent: ") + QString::fromLatin1(nghttp2_strerror(id));
        return -1;
    }
    Exchange &exchange = m_streams[id];
    exchange.stream = stream;
    exchange.body = request.body;
    flush();
    return id;
}

void Http2Client::cancel(qint32 id)
{
    Exchange *exchange = find(id);
    if (!exchange)
        return;
    const qsizetype held = exchange->held.size();
    m_streams.erase(id);
    if (!m_dead) {
        nghttp2_session_consume(m_session, id, size_t(held));
        nghttp2_submit_rst_stream(m_session, NGHTTP2_FLAG_NONE, id, NGHTTP2_CANCEL);
        flush();
    }
    deleteWhenDone();
}

void Http2Client::setPaused(qint32 id, bool paused)
{
    Exchange *exchange = find(id);
    if (!exchange || exchange->paused == paused)
        return;
    exchange->paused = paused;
    // Resumed from the event loop, as a resumed socket raises what waited: the caller may be in
    // the middle of taking what came before.
    if (!paused)
        QTimer::singleShot(0, this, [this, id] {
            if (const Exchange *waiting = find(id); waiting && !waiting->paused)
                deliverHeld(id);
        });
}

void Http2Client::deliverHeld(qint32 id)
{
    Exchange *exchange = find(id);
    if (!exchange || exchange->held.isEmpty())
        return;
    const QByteArray held = std::exchange(exchange->held, {});
    const bool ended = exchange->ended;
    Stream *stream = exchange->stream;
    if (!m_dead)
        nghttp2_session_consume(m_session, id, size_t(held.size()));
    QPointer<Http2Client> self(this);
    stream->streamData(held);
    if (!self)
        return;
    if (ended && find(id))
        endStream(id);
    flush();
}

void Http2Client::endStream(qint32 id)
{
    Exchange *exchange = find(id);
    if (!exchange)
        return;
    exchange->ended = true;
    if (!exchange->held.isEmpty() || !exchange->stream)
        return;
    Stream *stream = std::exchange(exchange->stream, nullptr);
    // The entry stays until the stream closes, so that a late reset finds no one to tell; a
    // stream already closed on both sides goes now.
    if (!nghttp2_session_find_stream(m_session, id))
        m_streams.erase(id);
    stream->streamEnd();
    m_idleSince = Clock::tickCount();
    deleteWhenDone();
}

void Http2Client::closeIfIdle(qint64 idleMs)
{
    if (m_streams.empty() && Clock::tickCount() - m_idleSince > idleMs) {
        markGone();
        nghttp2_session_terminate_session(m_session, NGHTTP2_NO_ERROR);
        flush();
        m_socket->Close();
        m_dead = true;
        deleteWhenDone();
    }
}

void Http2Client::Socket_DataArrival()
{
    if (m_dead)
        return;
    QByteArray bytes;
    m_socket->GetData(bytes);
    if (bytes.isEmpty())
        return;
    QPointer<Http2Client> self(this);
    ++m_reading;
    const ssize_t read = nghttp2_session_mem_recv(
        m_session, reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    if (!self)
        return;
    --m_reading;
    if (read < 0) {
        fail(m_failure.isEmpty() ? QStringLiteral("the server broke the HTTP/2 session: ")
                    + QString::fromLatin1(nghttp2_strerror(int(read)))
                                 : m_failure);
        return;
    }
    flush();
}

void Http2Client::flush()
{
    if (m_reading > 0 || m_dead)
        return;
    for (;;) {
        const uint8_t *out = nullptr;
        const ssize_t n = nghttp2_session_mem_send(m_session, &out);
        if (n < 0) {
            fail(QStringLiteral("the HTTP/2 session failed: ")
                + QString::fromLatin1(nghttp2_strerror(int(n))));
            return;
        }
        if (n == 0)
            break;
        m_socket->SendData(QByteArray(reinterpret_cast<const char *>(out), qsizetype(n)));
    }
    if (!nghttp2_session_want_read(m_session) && !nghttp2_session_want_write(m_session))
        fail(QStringLiteral("the server ended the HTTP/2 session"));
}

void Http2Client::markGone()
{
    if (std::exchange(m_gone, true))
        return;
    emit gone();
}

void Http2Client::fail(const QString &reason)
{
    if (m_dead)
        return;
    m_dead = true;
    m_socket->Close();
    QPointer<Http2Client> self(this);
    markGone();
    if (!self)
        return;
    // Each stream is taken off before it is told, so that what it does then finds it gone.
    while (!m_streams.empty()) {
        Stream *stream = m_streams.begin()->second.stream;
        m_streams.erase(m_streams.begin());
        if (stream)
            stream->streamFailed(reason, false);
        if (!self)
            return;
    }
    deleteWhenDone();
}

void Http2Client::deleteWhenDone()
{
    // Gone sessions stay until their last stream ends; nobody gives them new ones.
    if (m_gone && m_streams.empty())
        deleteLater();
}
