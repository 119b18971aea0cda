#pragma once

#include "ChunkedBody.h"
#include "HttpTarget.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// Gathers the text a browser sends on one connection, recognises the request, reads its target
// and framing strictly, decides when the request is complete and then writes it to the request
// record file. Never touches a socket and never logs.
//
// There is one reading of every request: the method and the header are checked byte by byte in
// arrival order, the header fields are parsed as fields once the header has ended, and the body
// is framed by exactly one of Content-Length or chunked transfer coding. Anything the proxy and
// a server could read differently is refused, so the verdict never depends on how the bytes
// were split into chunks.
class CRequest
{
public:
    enum StatusCode : qint16 { StatusNone = 0, StatusReceiving = 1, StatusComplete = 2, StatusRefused = 3 };
    // TypeOther: HEAD, PUT, DELETE, OPTIONS, TRACE or PATCH; method() tells which.
    enum TypeCode : qint16 {
        TypeUnknown = 0,
        TypeGet = 1,
        TypePost = 2,
        TypeConnect = 3,
        TypeGetz = 4,
        TypeOther = 5
    };

    // A declared body this long or longer is refused.
    static constexpr qint32 MaxContentLength = 100048576;
    // A header that has not ended within this many bytes is refused.
    static constexpr qint32 MaxHeaderLength = 64 * 1024;

    void setRequestFile(const QString &Filename);
    QString RequestFile() const;
    const QByteArray &Request() const;
    qint16 RequestType() const;
    void setPage(const QString &myPage);
    QString page() const;
    // The target as a whole URL with its query (inside a decrypted tunnel, with the tunnel's
    // scheme and authority; for CONNECT, the authority).
    QString fullUrl() const;
    void setStatus(qint16 st);
    qint16 Status() const;
    qint32 ContentLength() const;
    qint32 TotalBytes() const;
    qint32 HeaderLength() const;
    qint32 PacketCount() const;

    qint16 BufferData(QByteArray temp);
    // Why the proxy would not send message on as exactly one request, in the words it refuses a
    // browser's request with; empty when it would. origin as for setOrigin. Records nothing.
    static QString check(const QByteArray &message, const std::optional<HttpTarget> &origin = std::nullopt);
    qint16 ProcessRequest();

    // Why a refused request was refused, as the HTTP status to answer with (400, 411, 413, 431,
    // 501, 505), and a short reason for the answer and the log; 0 and "" unless Status is 3.
    int refusalCode() const;
    QString refusalReason() const;

    // The method word as the browser spelled it; empty until recognised.
    QByteArray method() const;
    // Where the request goes, once the header has been read and accepted; a target in origin form
    // outside a decrypted tunnel (a request for the proxy itself) has no host.
    const std::optional<HttpTarget> &target() const;
    // True when the body comes in chunked transfer coding.
    bool chunked() const;
    // The request line says HTTP/1.0.
    bool http10() const;
    // The browser may send another request on the connection after this one.
    bool keepAlive() const;
    // The request asks to switch protocols (Upgrade, named by Connection).
    bool wantsUpgrade() const;
    // Requests inside a decrypted tunnel to this server: their targets are paths on it, and the
    // page shows as https://host[:port]/path.
    void setOrigin(const HttpTarget &origin);
    // The request came as HTTP/2 and is read here in the HTTP/1.1 form it was turned into: its
    // record holds this head, the HTTP/2 one, then the body exactly as it came.
    void setRecordHead(const QByteArray &head);
    // Told, later and on the window thread, why the request record could not be written.
    void setRecordFailed(std::function<void(const QString &reason)> handler);
    const std::function<void(const QString &reason)> &recordFailed() const;
    // Bytes received after the complete request: never part of it, and the start of whatever the
    // browser sends next (a pipelined request, or tunnel data after a CONNECT).
    const QByteArray &excess() const;
    // Hands the excess over without a copy, leaving it empty here.
    QByteArray takeExcess();

private:
    enum class Scan { Method, UnknownMethod, Header, Done };
    enum class Body { None, Length, Chunked };

    void ParsePage(const QByteArray &text);
    void SaveRequest();
    qint16 refuse(int code, const QString &reason);
    bool reject(int code, const QString &reason); // refuses; false, for the parsing steps
    // A further request after the owner has reset Status starts from what followed the last one.
    void startAfresh();
    bool scanHeader();
    bool parseHeader();
    void complete(qsizetype end);

    QString m_requestFile;
    qint32 m_packetCount = 0;
    QString m_page;
    QByteArray m_url;
    bool m_headerComplete = false;
    qint16 m_requestType = TypeUnknown;
    qint32 m_contentLength = 0;
    qint32 m_headerLength = 0;
    qint16 m_status = StatusNone;
    qint32 m_totalBytes = 0;
    QByteArray m_request;
    int m_refusalCode = 0;
    QString m_refusalReason;

    QByteArray m_method;
    std::optional<HttpTarget> m_target;
    bool m_http10 = false;
    QList<QByteArray> m_connectionTokens;
    bool m_upgradeField = false;
    QByteArray m_excess;
    std::function<void(const QString &)> m_recordFailed;
    std::optional<HttpTarget> m_origin;
    QByteArray m_recordHead;

    Scan m_scan = Scan::Method;
    qsizetype m_scanned = 0; // bytes of m_request the header scan has looked at
    Body m_body = Body::None;
    std::optional<ChunkedBody> m_chunks;
    qsizetype m_bodyScanned = 0; // body bytes the chunk reader has looked at
};
