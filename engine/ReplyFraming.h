#pragma once

#include "ChunkedBody.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// Follows the replies that come back on one server connection and says where each one ends
// (RFC 9112 section 6.3): no body after a reply to HEAD, after 1xx, 204 and 304; a chunked body
// ends after its last chunk and trailer; otherwise Content-Length; otherwise the server's close.
// Interim 1xx replies are read past until the final one. The bytes are never changed.
class ReplyFraming
{
public:
    // A reply header that has not ended within this many bytes is refused.
    static constexpr qsizetype MaxHeaderLength = 64 * 1024;
    // Interim (1xx) replies taken before the final one; a server that sends more is refused.
    static constexpr int MaxInterimReplies = 32;

    enum class Verdict { More, Complete, Invalid };

    // Expects the reply to the next request; headRequest: the request was HEAD; upgradeAsked: it
    // offered to switch protocols, so a 101 may answer it.
    void start(bool headRequest, bool upgradeAsked = false);
    // Takes the next bytes from the server; `used` tells how many of them belong to this reply
    // (all but what follows its end, or what follows the point where it went wrong).
    Verdict feed(QByteArrayView bytes, qsizetype &used);
    // The server closed: a reply delimited by the close is complete, anything else was cut off.
    Verdict closed();
    Verdict verdict() const;

    // The final header has ended and been accepted (or the reply has none): what follows is its body.
    bool finalHeaderSeen() const;
    // The last bytes taken that belong to a header not yet ended, or refused: they are not to be
    // passed on, so that a reply that goes wrong there can still be answered cleanly.
    qsizetype unsettled() const;
    // The final status code, once its header has ended; 0 for a reply without a status line.
    int status() const;
    // Whether the server may take another request on this connection after this reply.
    bool keepAlive() const;
    // The server switched protocols (101): what follows is no longer HTTP.
    bool upgraded() const;
    // Why the reply is invalid.
    QString error() const;
    // Why reply is not exactly one whole final reply to a request (to HEAD when headRequest), as
    // a browser would read it; empty when it is. untilClose tells a body that ends with the
    // connection.
    static QString check(const QByteArray &reply, bool headRequest, bool *untilClose = nullptr);

private:
    enum class Body { None, Length, Chunked, UntilClose };

    Verdict fail(const QString &why);
    Verdict headerEnded();

    bool m_head = false;
    Verdict m_verdict = Verdict::More;
    QByteArray m_header;
    bool m_inHeader = true;
    bool m_upgradeAsked = false;
    bool m_finalSeen = false;
    int m_interimReplies = 0;
    int m_status = 0;
    bool m_keepAlive = false;
    bool m_upgraded = false;
    Body m_body = Body::None;
    qint64 m_remaining = 0;
    std::optional<ChunkedBody> m_chunks;
    QString m_error;
};
