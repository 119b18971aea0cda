#include "Http2Frontend.h"

#include "ChunkedBody.h"
#include "Http2Message.h"
#include "MessageHead.h"
#include "ReplyFraming.h"
#include "TunnelRelay.h"

#include <QDateTime>
#include <QPointer>

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace {

bool visibleAscii(QByteArrayView text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
    return !text.isEmpty();
}

bool isToken(QByteArrayView text)
{
    for (const char c : text)
        if (!MessageHead::isTokenChar(c))
            return false;
    return !text.isEmpty();
}

} // namespace

struct Http2Frontend::Stream : EventSocket::Pipe {
    Stream(Http2Frontend *owner, qint32 id)
        : owner(owner)
        , id(id)
    { }

    Http2Frontend *owner;
    qint32 id;

    // The request as it came, and in the HTTP/1.1 form the exchange reads.
    QByteArray method;
    QByteArray authority;
    QByteArray path;
    Http2Message::Fields fields;
    qint64 headerBytes = 0;
    bool headersDone = false;
    bool lengthKnown = false;
    QByteArray recordHead;
    QByteArray body; // gathered while no length is known
    QByteArray toChild;
    // DATA bytes received and not yet handed on: the browser's window opens again as they go.
    size_t unconsumed = 0;
    // What the browser may still send on the stream, as it has been told.
    qint64 credit = 0;

    // The exchange.
    bool opened = false;
    QPointer<EventSocket> socket;
    bool toldFinished = false;
    bool childClosed = false;
    qint64 reportedQueued = 0;
    bool sentSinceReport = false;
    bool h2Closed = false;
    // Closed before its whole reply went out: reset by either side, or the session ended.
    bool closedEarly = false;

    // The exchange's HTTP/1.1 reply, read back.
    enum class Step { Head, Body, Done };
    enum class Framing { None, Length, Chunked, UntilClose };
    Step step = Step::Head;
    Framing framing = Framing::None;
    QByteArray replyIn;
    qint64 remaining = 0;
    std::optional<ChunkedBody> chunks;
    QByteArray out;
    qsizetype outOffset = 0;
    bool outEnded = false;
    bool deferred = false;

    qint64 pending() const { return out.size() - outOffset; }

    void pipeSend(const QByteArray &data) override { owner->replyBytes(this, data); }
    qint64 pipeQueued() const override { return owner->queuedFor(this); }
    void pipeClosed() override { owner->replyClosed(this); }
    QString pipePeerIP() const override { return owner->m_browser->RemoteHostIP(); }
    QString pipeLocalIP() const override { return owner->m_browser->LocalIP(); }
};

// nghttp2 calls these with the frontend as its user data.
struct Http2Frontend::Callbacks {
    static Http2Frontend *of(void *user) { return static_cast<Http2Frontend *>(user); }

    static int beginFrame(nghttp2_session *, const nghttp2_frame_hd *hd, void *user)
    {
        Http2Frontend *self = of(user);
        if (hd->type == NGHTTP2_DATA) {
            // Counted against the windows as the browser was told them: nghttp2 counts a window
            // opened when the update is queued, so a burst sent ahead of it would pass.
            Stream *stream = self->stream(hd->stream_id);
            self->m_credit -= qint64(hd->length);
            if (stream)
                stream->credit -= qint64(hd->length);
            if (self->m_credit < 0 || (stream && stream->credit < 0)) {
                self->fault(
                    QStringLiteral("DATA beyond the flow-control window"), NGHTTP2_FLOW_CONTROL_ERROR);
                return NGHTTP2_ERR_CALLBACK_FAILURE;
            }
        }
        if (hd->type == NGHTTP2_HEADERS)
            self->m_continuations = 0;
        else if (hd->type == NGHTTP2_CONTINUATION && ++self->m_continuations > MaxContinuations) {
            self->fault(QStringLiteral("more than %1 CONTINUATION frames").arg(MaxContinuations),
                NGHTTP2_ENHANCE_YOUR_CALM);
            return NGHTTP2_ERR_CALLBACK_FAILURE;
        }
        return 0;
    }

    static int beginHeaders(nghttp2_session *, const nghttp2_frame *frame, void *user)
    {
        Http2Frontend *self = of(user);
        if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST)
            return 0;
        auto stream = std::make_unique<Stream>(self, frame->hd.stream_id);
        stream->credit = self->m_streamWindow;
        self->m_streams[frame->hd.stream_id] = std::move(stream);
        return 0;
    }

    static int header(nghttp2_session *, const nghttp2_frame *frame, const uint8_t *name, size_t nameLength,
        const uint8_t *value, size_t valueLength, uint8_t, void *user)
    {
        Http2Frontend *self = of(user);
        Stream *stream = self->stream(frame->hd.stream_id);
        if (!stream || !self->m_fault.isEmpty())
            return 0;
        // Counted as SETTINGS_MAX_HEADER_LIST_SIZE counts it, trailers included.
        stream->headerBytes += qint64(nameLength + valueLength + 32);
        if (stream->headerBytes > MaxHeaderListSize) {
            self->fault(QStringLiteral("header list over %1 bytes").arg(MaxHeaderListSize),
                NGHTTP2_ENHANCE_YOUR_CALM);
            return NGHTTP2_ERR_CALLBACK_FAILURE;
        }
        if (stream->headersDone)
            return 0; // trailer fields: the exchange's request has no place for them
        const QByteArray n(reinterpret_cast<const char *>(name), qsizetype(nameLength));
        const QByteArray v(reinterpret_cast<const char *>(value), qsizetype(valueLength));
        if (n == ":method")
            stream->method = v;
        else if (n == ":path")
            stream->path = v;
        else if (n == ":authority")
            stream->authority = v;
        else if (!n.startsWith(':'))
            stream->fields.append({ n, v });
        return 0;
    }

    static int frameReceived(nghttp2_session *, const nghttp2_frame *frame, void *user)
    {
        Http2Frontend *self = of(user);
        const bool ended = frame->hd.flags & NGHTTP2_FLAG_END_STREAM;
        switch (frame->hd.type) {
        case NGHTTP2_HEADERS:
            if (Stream *stream = self->stream(frame->hd.stream_id)) {
                if (!stream->headersDone)
                    self->requestHeadersDone(stream, ended);
                else if (ended)
                    self->requestEnded(stream);
            }
            break;
        case NGHTTP2_DATA:
            if (Stream *stream = self->stream(frame->hd.stream_id); stream && ended)
                self->requestEnded(stream);
            break;
        case NGHTTP2_SETTINGS:
            // The browser has taken our window size for streams from here on.
            if ((frame->hd.flags & NGHTTP2_FLAG_ACK) && self->m_streamWindow != StreamWindow) {
                for (auto &[id, stream] : self->m_streams)
                    stream->credit += StreamWindow - self->m_streamWindow;
                self->m_streamWindow = StreamWindow;
            }
            break;
        case NGHTTP2_RST_STREAM:
            if (!self->countWithin(self->m_resets, MaxResetsPerSecond)) {
                self->fault(QStringLiteral("more than %1 streams reset in a second").arg(MaxResetsPerSecond),
                    NGHTTP2_ENHANCE_YOUR_CALM);
                return NGHTTP2_ERR_CALLBACK_FAILURE;
            }
            break;
        case NGHTTP2_PING:
            if (!(frame->hd.flags & NGHTTP2_FLAG_ACK)
                && !self->countWithin(self->m_pings, MaxPingsPerSecond)) {
                self->fault(QStringLiteral("more than %1 pings in a second").arg(MaxPingsPerSecond),
                    NGHTTP2_ENHANCE_YOUR_CALM);
                return NGHTTP2_ERR_CALLBACK_FAILURE;
            }
            break;
        default:
            break;
        }
        return 0;
    }

    static int dataChunk(
        nghttp2_session *, uint8_t, int32_t id, const uint8_t *data, size_t length, void *user)
    {
        Http2Frontend *self = of(user);
        Stream *stream = self->stream(id);
        if (!stream || stream->h2Closed) {
            self->m_unclaimed += length;
            return 0;
        }
        stream->unconsumed += length;
        const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(length));
        if (stream->lengthKnown) {
            stream->toChild += bytes;
            return 0;
        }
        if (stream->body.size() + qsizetype(length) > MaxUnframedBody) {
            self->resetStream(stream, NGHTTP2_REFUSED_STREAM);
            return 0;
        }
        stream->body += bytes;
        return 0;
    }

    static int streamClosed(nghttp2_session *, int32_t id, uint32_t code, void *user)
    {
        Http2Frontend *self = of(user);
        if (Stream *stream = self->stream(id)) {
            stream->h2Closed = true;
            self->m_unclaimed += std::exchange(stream->unconsumed, 0);
            stream->closedEarly = code != NGHTTP2_NO_ERROR || stream->step != Stream::Step::Done;
            self->m_buffered -= stream->pending();
            stream->out.clear();
            stream->outOffset = 0;
            self->schedule();
        }
        return 0;
    }

    static int frameSent(nghttp2_session *, const nghttp2_frame *frame, void *user)
    {
        Http2Frontend *self = of(user);
        if (frame->hd.type == NGHTTP2_GOAWAY && frame->goaway.error_code != NGHTTP2_NO_ERROR
            && self->m_fault.isEmpty())
            self->m_fault = QString::fromLatin1(nghttp2_http2_strerror(frame->goaway.error_code));
        if (frame->hd.type == NGHTTP2_WINDOW_UPDATE) {
            if (frame->hd.stream_id == 0)
                self->m_credit += frame->window_update.window_size_increment;
            else if (Stream *stream = self->stream(frame->hd.stream_id))
                stream->credit += frame->window_update.window_size_increment;
        }
        // A browser that sends beyond a stream's window is broken or hostile: it ends the
        // connection, not only the stream.
        if (frame->hd.type == NGHTTP2_RST_STREAM
            && frame->rst_stream.error_code == NGHTTP2_FLOW_CONTROL_ERROR)
            self->fault(QStringLiteral("DATA beyond the flow-control window"), NGHTTP2_FLOW_CONTROL_ERROR);
        return 0;
    }

    static ssize_t readReply(nghttp2_session *, int32_t, uint8_t *buffer, size_t length, uint32_t *flags,
        nghttp2_data_source *source, void *user)
    {
        Http2Frontend *self = of(user);
        auto *stream = static_cast<Stream *>(source->ptr);
        const qint64 available = stream->pending();
        if (available == 0) {
            if (stream->outEnded) {
                *flags |= NGHTTP2_DATA_FLAG_EOF;
                return 0;
            }
            stream->deferred = true;
            return NGHTTP2_ERR_DEFERRED;
        }
        const qint64 n = qMin<qint64>(available, qint64(length));
        std::memcpy(buffer, stream->out.constData() + stream->outOffset, size_t(n));
        stream->outOffset += n;
        self->m_buffered -= n;
        if (stream->outOffset == stream->out.size()) {
            stream->out.clear();
            stream->outOffset = 0;
            if (stream->outEnded)
                *flags |= NGHTTP2_DATA_FLAG_EOF;
        } else if (stream->outOffset > 256 * 1024 && stream->outOffset * 2 > stream->out.size()) {
            // Moved only once most of it has gone, so that each byte is moved about once.
            stream->out.remove(0, stream->outOffset);
            stream->outOffset = 0;
        }
        return ssize_t(n);
    }
};

Http2Frontend::Http2Frontend(EventSocket *browser, Opener opener, QObject *parent)
    : QObject(parent)
    , m_browser(browser)
    , m_opener(std::move(opener))
{
    nghttp2_session_callbacks *callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_begin_frame_callback(callbacks, &Callbacks::beginFrame);
    nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, &Callbacks::beginHeaders);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, &Callbacks::header);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &Callbacks::frameReceived);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &Callbacks::dataChunk);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &Callbacks::streamClosed);
    nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, &Callbacks::frameSent);
    nghttp2_option *options = nullptr;
    nghttp2_option_new(&options);
    nghttp2_option_set_max_continuations(options, MaxContinuations + 1);
    // The window opens as the exchanges take what came, not as it arrives.
    nghttp2_option_set_no_auto_window_update(options, 1);
    nghttp2_option_set_stream_reset_rate_limit(options, MaxResetsPerSecond * 2, MaxResetsPerSecond);
    nghttp2_session_server_new2(&m_session, callbacks, this, options);
    nghttp2_option_del(options);
    nghttp2_session_callbacks_del(callbacks);

    const nghttp2_settings_entry settings[] = {
        { NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, MaxConcurrentStreams },
        { NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, StreamWindow },
        { NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, MaxHeaderListSize },
        { NGHTTP2_SETTINGS_ENABLE_PUSH, 0 },
    };
    nghttp2_submit_settings(m_session, NGHTTP2_FLAG_NONE, settings, std::size(settings));
    nghttp2_session_set_local_window_size(m_session, NGHTTP2_FLAG_NONE, 0, ConnectionWindow);
}

Http2Frontend::~Http2Frontend()
{
    for (auto &[id, stream] : m_streams)
        if (stream->socket)
            stream->socket->detachPipe();
    nghttp2_session_del(m_session);
}

Http2Frontend::Stream *Http2Frontend::stream(qint32 id) const
{
    const auto it = m_streams.find(id);
    return it == m_streams.end() ? nullptr : it->second.get();
}

bool Http2Frontend::idle() const
{
    return m_streams.empty();
}

void Http2Frontend::fault(const QString &why, quint32 code)
{
    if (!m_fault.isEmpty())
        return;
    m_fault = why;
    nghttp2_session_terminate_session(m_session, code);
}

bool Http2Frontend::countWithin(std::deque<qint64> &times, int limit)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    while (!times.empty() && now - times.front() >= 1000)
        times.pop_front();
    times.push_back(now);
    return qsizetype(times.size()) <= limit;
}

void Http2Frontend::browserReadable()
{
    QByteArray bytes;
    m_browser->GetData(bytes);
    if (bytes.isEmpty() || m_finished)
        return;
    const auto read = nghttp2_session_mem_recv(
        m_session, reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    if (read < 0) {
        if (m_fault.isEmpty())
            m_fault = QString::fromLatin1(nghttp2_strerror(int(read)));
        if (read != NGHTTP2_ERR_CALLBACK_FAILURE)
            nghttp2_session_terminate_session(m_session, NGHTTP2_PROTOCOL_ERROR);
    }
    service();
}

void Http2Frontend::browserDrained()
{
    service();
}

void Http2Frontend::browserGone()
{
    m_gone = true;
    service();
}

void Http2Frontend::goAway()
{
    nghttp2_submit_goaway(m_session, NGHTTP2_FLAG_NONE, nghttp2_session_get_last_proc_stream_id(m_session),
        NGHTTP2_NO_ERROR, nullptr, 0);
    service();
}

void Http2Frontend::requestHeadersDone(Stream *stream, bool ended)
{
    stream->headersDone = true;
    // nghttp2 has checked the pseudo-header fields and the field names and values; what the
    // HTTP/1.1 form needs beyond that is a request line with no blank in it.
    if (!isToken(stream->method) || !visibleAscii(stream->path)
        || (!stream->authority.isEmpty() && !visibleAscii(stream->authority))) {
        resetStream(stream, NGHTTP2_PROTOCOL_ERROR);
        return;
    }
    stream->recordHead = Http2Message::requestHead(stream->method, stream->path, stream->fields);
    stream->lengthKnown = ended
        || std::any_of(stream->fields.cbegin(), stream->fields.cend(),
            [](const Http2Message::Field &field) { return field.name == "content-length"; });
    if (stream->lengthKnown)
        stream->toChild = Http2Message::asHttp11Request(stream->recordHead, stream->authority);
}

void Http2Frontend::requestEnded(Stream *stream)
{
    if (stream->lengthKnown || !stream->headersDone)
        return;
    // A body of unknown length goes on whole, framed by the length it turned out to have.
    stream->lengthKnown = true;
    stream->toChild = Http2Message::asHttp11Request(
        stream->recordHead + std::exchange(stream->body, QByteArray()), stream->authority);
}

qint64 Http2Frontend::queuedFor(const Stream *stream) const
{
    const qint64 own = stream->pending();
    return m_buffered > MaxBuffered ? qMax<qint64>(own, TunnelRelay::QueueBound + 1) : own;
}

void Http2Frontend::replyBytes(Stream *stream, const QByteArray &data)
{
    if (stream->h2Closed || m_gone || stream->step == Stream::Step::Done)
        return;
    // A body's bytes are taken from data itself; only a head is gathered.
    if (stream->replyIn.isEmpty())
        stream->replyIn = data;
    else
        stream->replyIn += data;
    stream->sentSinceReport = true;
    while (stream->step == Stream::Step::Head) {
        const qsizetype end = stream->replyIn.indexOf("\r\n\r\n");
        if (end < 0) {
            if (stream->replyIn.size() > ReplyFraming::MaxHeaderLength)
                resetStream(stream, NGHTTP2_INTERNAL_ERROR);
            return;
        }
        const QByteArray head = stream->replyIn.first(end + 4);
        stream->replyIn.remove(0, end + 4);
        const QByteArrayView start = QByteArrayView(head).first(head.indexOf('\r'));
        bool ok = false;
        const int status = start.size() >= 12 ? start.sliced(9, 3).toInt(&ok) : 0;
        if (!ok || status < 100) {
            resetStream(stream, NGHTTP2_INTERNAL_ERROR);
            return;
        }
        if (status < 200)
            continue; // interim replies are not passed on
        submitReply(stream, status, head);
    }
    schedule();
    if (stream->step != Stream::Step::Body)
        return;
    const qint64 before = stream->out.size();
    switch (stream->framing) {
    case Stream::Framing::Length: {
        const qint64 take = qMin<qint64>(stream->remaining, stream->replyIn.size());
        // Shared, not copied, when nothing waits before it.
        if (stream->out.isEmpty() && take == stream->replyIn.size())
            stream->out = stream->replyIn;
        else
            stream->out += QByteArrayView(stream->replyIn).first(take);
        stream->remaining -= take;
        if (stream->remaining == 0)
            stream->step = Stream::Step::Done;
        break;
    }
    case Stream::Framing::Chunked: {
        qsizetype used = 0;
        const ChunkedBody::Verdict verdict = stream->chunks->feed(stream->replyIn, used, &stream->out);
        if (verdict == ChunkedBody::Verdict::Complete)
            stream->step = Stream::Step::Done;
        else if (verdict != ChunkedBody::Verdict::More) {
            resetStream(stream, NGHTTP2_INTERNAL_ERROR);
            return;
        }
        break;
    }
    case Stream::Framing::UntilClose:
        stream->out += stream->replyIn;
        break;
    case Stream::Framing::None:
        stream->step = Stream::Step::Done;
        break;
    }
    stream->replyIn.clear();
    m_buffered += stream->out.size() - before;
    if (stream->step == Stream::Step::Done)
        stream->outEnded = true;
    if (stream->deferred) {
        stream->deferred = false;
        nghttp2_session_resume_data(m_session, stream->id);
    }
    schedule();
}

void Http2Frontend::submitReply(Stream *stream, int status, const QByteArray &head)
{
    const MessageHead reading = MessageHead::read(head, MessageHead::Reading::Lenient);
    const Http2Message::Fields fields = Http2Message::fromHttp11(reading);
    const QList<QByteArray> codings = reading.list("transfer-encoding");
    const QList<QByteArray> lengths = reading.list("content-length");
    if (stream->method == "HEAD" || status == 204 || status == 304) {
        stream->framing = Stream::Framing::None;
    } else if (!codings.isEmpty()) {
        stream->framing = Stream::Framing::Chunked;
        stream->chunks.emplace(std::numeric_limits<qint64>::max());
    } else if (!lengths.isEmpty()) {
        stream->framing = Stream::Framing::Length;
        stream->remaining = lengths.first().toLongLong();
        if (stream->remaining == 0)
            stream->framing = Stream::Framing::None;
    } else {
        stream->framing = Stream::Framing::UntilClose;
    }
    const Http2Message::Fields pseudo { { ":status", QByteArray::number(status) } };
    const std::vector<nghttp2_nv> nva = Http2Message::nameValues(pseudo, fields);
    nghttp2_data_provider provider {};
    provider.source.ptr = stream;
    provider.read_callback = &Callbacks::readReply;
    const bool body = stream->framing != Stream::Framing::None;
    stream->step = body ? Stream::Step::Body : Stream::Step::Done;
    stream->outEnded = !body;
    if (nghttp2_submit_response(m_session, stream->id, nva.data(), nva.size(), body ? &provider : nullptr)
        != 0)
        resetStream(stream, NGHTTP2_INTERNAL_ERROR);
}

void Http2Frontend::replyClosed(Stream *stream)
{
    stream->childClosed = true;
    if (stream->step == Stream::Step::Body && stream->framing == Stream::Framing::UntilClose) {
        stream->step = Stream::Step::Done;
        stream->outEnded = true;
        if (stream->deferred) {
            stream->deferred = false;
            nghttp2_session_resume_data(m_session, stream->id);
        }
    } else if (stream->step != Stream::Step::Done) {
        // The reply was cut off, or never came: the browser must not take it as whole.
        resetStream(stream, NGHTTP2_INTERNAL_ERROR);
    }
    schedule();
}

void Http2Frontend::resetStream(Stream *stream, quint32 code)
{
    if (stream->h2Closed)
        return;
    stream->step = Stream::Step::Done;
    nghttp2_submit_rst_stream(m_session, NGHTTP2_FLAG_NONE, stream->id, code);
    schedule();
}

void Http2Frontend::schedule()
{
    if (m_scheduled || m_servicing)
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_scheduled = false;
            service();
        },
        Qt::QueuedConnection);
}

void Http2Frontend::service()
{
    if (m_servicing) {
        m_again = true;
        return;
    }
    QPointer<Http2Frontend> self(this);
    m_servicing = true;
    do {
        m_again = false;
        std::vector<qint32> ids;
        ids.reserve(m_streams.size());
        for (const auto &[id, stream] : m_streams)
            ids.push_back(id);
        for (const qint32 id : ids) {
            Stream *stream = this->stream(id);
            if (!stream)
                continue;
            if (stream->headersDone && !stream->opened && !stream->h2Closed && !m_gone && m_fault.isEmpty()
                && stream->step != Stream::Step::Done) {
                stream->opened = true;
                stream->socket = m_opener(stream, stream->recordHead);
                if (!self)
                    return;
                if (!stream->socket)
                    resetStream(stream, NGHTTP2_REFUSED_STREAM);
            }
            if (stream->opened && !stream->socket && !stream->childClosed)
                replyClosed(stream);
            if (stream->unconsumed > 0
                && (!stream->lengthKnown || stream->toChild.isEmpty() || stream->socket))
                nghttp2_session_consume(m_session, id, std::exchange(stream->unconsumed, 0));
            if (stream->socket && !stream->childClosed && !stream->toChild.isEmpty()) {
                stream->socket->pipeReceived(std::exchange(stream->toChild, QByteArray()));
                if (!self)
                    return;
                if (!(stream = this->stream(id)))
                    continue;
            }
            if (stream->socket && !stream->childClosed && !stream->toldFinished
                && ((stream->h2Closed && stream->closedEarly) || m_gone || !m_fault.isEmpty())) {
                stream->toldFinished = true;
                stream->socket->pipeFinished();
                if (!self)
                    return;
                if (!(stream = this->stream(id)))
                    continue;
            }
            // Drains are told after a shutdown too: the exchange waits for them to end.
            if (stream->socket) {
                const qint64 queued = queuedFor(stream);
                if (queued != stream->reportedQueued || (queued == 0 && stream->sentSinceReport)) {
                    stream->reportedQueued = queued;
                    stream->sentSinceReport = false;
                    stream->socket->pipeDrained(queued);
                    if (!self)
                        return;
                    if (!(stream = this->stream(id)))
                        continue;
                }
            }
            if ((stream->h2Closed || m_gone) && (stream->childClosed || !stream->socket)) {
                if (stream->socket)
                    stream->socket->detachPipe();
                m_streams.erase(id);
            }
        }
        if (m_unclaimed > 0)
            nghttp2_session_consume_connection(m_session, std::exchange(m_unclaimed, 0));
        if (!m_gone)
            send();
    } while (m_again && self);
    m_servicing = false;
}

void Http2Frontend::send()
{
    if (m_finished)
        return;
    QByteArray batch;
    while (m_browser->bytesToWrite() + batch.size() < SendAhead) {
        const uint8_t *data = nullptr;
        const auto n = nghttp2_session_mem_send(m_session, &data);
        if (n < 0) {
            if (m_fault.isEmpty())
                m_fault = QString::fromLatin1(nghttp2_strerror(int(n)));
            break;
        }
        if (n == 0)
            break;
        batch.append(reinterpret_cast<const char *>(data), qsizetype(n));
    }
    if (!batch.isEmpty())
        m_browser->SendData(batch);
    if (!nghttp2_session_want_read(m_session) && !nghttp2_session_want_write(m_session)) {
        m_finished = true;
        if (!m_fault.isEmpty())
            emit log(QStringLiteral("HTTP/2 connection ended with GOAWAY: ") + m_fault);
        emit finished();
    }
}
