#pragma once

#include "TlsTunnel.h"

#include <QSslSocket>

#include <nghttp2/nghttp2.h>

#include <list>
#include <map>

// A browser that speaks HTTP/2 inside a CONNECT tunnel through the proxy: requests made with
// nghttp2, or, with raw set, nothing but the bytes a test gives it (hostile frames). One stream's
// body can be left unread, which keeps its flow-control window shut, to play a slow reader.
class Http2Browser : public QObject
{
public:
    struct Stream {
        int status = 0;
        QByteArray body;
        bool closed = false;
        quint32 error = 0;
        bool held = false;
        size_t unread = 0;
    };

    // raw: the preface, an empty SETTINGS frame and then rawFrames, written at once.
    Http2Browser(quint16 proxyPort, quint16 originPort, const QString &caFile, bool raw = false,
        const QByteArray &rawFrames = {}, qint32 initialWindow = 65535)
        : m_socket(new QSslSocket(this))
    {
        connect(m_socket, &QSslSocket::disconnected, this, [this] { peerClosed = true; });
        if (!openTlsTunnel(*m_socket, proxyPort, originPort, caFile, { QByteArrayLiteral("h2") }))
            return;
        connect(m_socket, &QSslSocket::readyRead, this, &Http2Browser::readAvailable);
        if (raw) {
            m_socket->write(QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") + frame(NGHTTP2_SETTINGS, 0, 0, {})
                + rawFrames);
            ready = true;
            return;
        }
        nghttp2_session_callbacks *callbacks = nullptr;
        nghttp2_session_callbacks_new(&callbacks);
        nghttp2_session_callbacks_set_on_header_callback(callbacks,
            [](nghttp2_session *, const nghttp2_frame *frame, const uint8_t *name, size_t nameLength,
                const uint8_t *value, size_t valueLength, uint8_t, void *user) {
                if (QByteArrayView(name, qsizetype(nameLength)) == ":status")
                    of(user)->streams[frame->hd.stream_id].status
                        = QByteArray(reinterpret_cast<const char *>(value), qsizetype(valueLength)).toInt();
                return 0;
            });
        nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks,
            [](nghttp2_session *, uint8_t, int32_t id, const uint8_t *data, size_t length, void *user) {
                Stream &stream = of(user)->streams[id];
                stream.body.append(reinterpret_cast<const char *>(data), qsizetype(length));
                stream.unread += length;
                return 0;
            });
        nghttp2_session_callbacks_set_on_stream_close_callback(
            callbacks, [](nghttp2_session *, int32_t id, uint32_t error, void *user) {
                Stream &stream = of(user)->streams[id];
                stream.closed = true;
                stream.error = error;
                return 0;
            });
        nghttp2_option *options = nullptr;
        nghttp2_option_new(&options);
        nghttp2_option_set_no_auto_window_update(options, 1);
        nghttp2_session_client_new2(&m_session, callbacks, this, options);
        nghttp2_option_del(options);
        nghttp2_session_callbacks_del(callbacks);
        const nghttp2_settings_entry settings[]
            = { { NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, quint32(initialWindow) } };
        nghttp2_submit_settings(m_session, NGHTTP2_FLAG_NONE, settings, 1);
        // As a browser's: wide, so that one stream left unread does not stop the others.
        nghttp2_session_set_local_window_size(m_session, NGHTTP2_FLAG_NONE, 0, 16 * 1024 * 1024);
        flush();
        ready = true;
    }
    ~Http2Browser() override
    {
        m_socket->abort();
        nghttp2_session_del(m_session);
    }

    qint32 request(const QByteArray &method, const QByteArray &path, const QByteArray &body = {})
    {
        const QByteArray authority = "localhost";
        const QByteArray length = QByteArray::number(body.size());
        const auto nv = [](const QByteArray &name, const QByteArray &value) {
            return nghttp2_nv { reinterpret_cast<uint8_t *>(const_cast<char *>(name.constData())),
                reinterpret_cast<uint8_t *>(const_cast<char *>(value.constData())), size_t(name.size()),
                size_t(value.size()), NGHTTP2_NV_FLAG_NONE };
        };
        const QByteArray names[] = { ":method", ":scheme", ":authority", ":path", "content-length" };
        const QByteArray values[] = { method, "https", authority, path, length };
        nghttp2_nv headers[5];
        for (int i = 0; i < 5; ++i)
            headers[i] = nv(names[i], values[i]);
        m_bodies.push_back(body);
        nghttp2_data_provider provider {};
        provider.source.ptr = &m_bodies.back();
        provider.read_callback = [](nghttp2_session *, int32_t, uint8_t *buffer, size_t length,
                                     uint32_t *flags, nghttp2_data_source *source, void *) -> ssize_t {
            auto *rest = static_cast<QByteArray *>(source->ptr);
            const size_t n = qMin(length, size_t(rest->size()));
            memcpy(buffer, rest->constData(), n);
            rest->remove(0, qsizetype(n));
            if (rest->isEmpty())
                *flags |= NGHTTP2_DATA_FLAG_EOF;
            return ssize_t(n);
        };
        const qint32 id = nghttp2_submit_request(m_session, nullptr, headers, body.isEmpty() ? 4 : 5,
            body.isEmpty() ? nullptr : &provider, nullptr);
        streams[id];
        flush();
        return id;
    }
    // A held stream's body stays unread: its window is not opened again.
    void hold(qint32 id, bool held)
    {
        streams[id].held = held;
        flush();
    }
    // The frames received, as type, flags and stream id, in raw mode.
    bool receivedFrame(quint8 type) const
    {
        for (qsizetype at = 0; at + 9 <= received.size();) {
            const auto *p = reinterpret_cast<const uchar *>(received.constData() + at);
            if (p[3] == type)
                return true;
            at += 9 + ((p[0] << 16) | (p[1] << 8) | p[2]);
        }
        return false;
    }

    static QByteArray frame(quint8 type, quint8 flags, quint32 stream, const QByteArray &payload)
    {
        QByteArray out;
        const qsizetype n = payload.size();
        out += char(n >> 16);
        out += char(n >> 8);
        out += char(n);
        out += char(type);
        out += char(flags);
        for (int shift : { 24, 16, 8, 0 })
            out += char((stream >> shift) & 0xff);
        return out + payload;
    }
    // A header field in HPACK as a literal, never indexed, without Huffman coding.
    static QByteArray literal(const QByteArray &name, const QByteArray &value)
    {
        const auto string = [](const QByteArray &text) {
            QByteArray out;
            qsizetype n = text.size();
            if (n < 127) {
                out += char(n);
            } else {
                out += char(127);
                for (n -= 127; n >= 128; n >>= 7)
                    out += char((n & 0x7f) | 0x80);
                out += char(n);
            }
            return out + text;
        };
        return QByteArray(1, '\x10') + string(name) + string(value);
    }

    bool ready = false;
    bool peerClosed = false;
    std::map<qint32, Stream> streams;
    QByteArray received;

private:
    static Http2Browser *of(void *user) { return static_cast<Http2Browser *>(user); }

    void readAvailable()
    {
        const QByteArray bytes = m_socket->readAll();
        if (!m_session) {
            received += bytes;
            return;
        }
        nghttp2_session_mem_recv(
            m_session, reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
        flush();
    }
    void flush()
    {
        if (!m_session)
            return;
        for (auto &[id, stream] : streams)
            if (!stream.held && stream.unread > 0) {
                nghttp2_session_consume(m_session, id, std::exchange(stream.unread, 0));
            }
        const uint8_t *data = nullptr;
        for (ssize_t n; (n = nghttp2_session_mem_send(m_session, &data)) > 0;)
            m_socket->write(reinterpret_cast<const char *>(data), n);
    }

    QSslSocket *m_socket;
    nghttp2_session *m_session = nullptr;
    std::list<QByteArray> m_bodies;
};
