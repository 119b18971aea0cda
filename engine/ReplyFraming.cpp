#include "ReplyFraming.h"

#include "MessageHead.h"

#include <QList>

#include <limits>

namespace {

// Where a header ends in `window`, given the bytes of it that came before: just past its first
// empty line (CR LF, or a bare LF), or -1.
qsizetype headerEnd(QByteArrayView before, QByteArrayView window)
{
    const auto at = [&](qsizetype i) {
        return i >= 0 ? window[i] : (before.size() + i >= 0 ? before[before.size() + i] : '\0');
    };
    for (qsizetype i = window.indexOf('\n'); i >= 0; i = window.indexOf('\n', i + 1)) {
        if (at(i - 1) == '\n' || (at(i - 1) == '\r' && at(i - 2) == '\n'))
            return i + 1;
    }
    return -1;
}

} // namespace

void ReplyFraming::start(bool headRequest, bool upgradeAsked)
{
    *this = ReplyFraming();
    m_head = headRequest;
    m_upgradeAsked = upgradeAsked;
}

ReplyFraming::Verdict ReplyFraming::verdict() const
{
    return m_verdict;
}

bool ReplyFraming::finalHeaderSeen() const
{
    return m_finalSeen;
}

qsizetype ReplyFraming::unsettled() const
{
    return m_header.size();
}

int ReplyFraming::status() const
{
    return m_status;
}

bool ReplyFraming::keepAlive() const
{
    return m_keepAlive && m_verdict == Verdict::Complete;
}

bool ReplyFraming::upgraded() const
{
    return m_upgraded;
}

QString ReplyFraming::error() const
{
    return m_error;
}

ReplyFraming::Verdict ReplyFraming::fail(const QString &why)
{
    m_error = why;
    m_keepAlive = false;
    return m_verdict = Verdict::Invalid;
}

ReplyFraming::Verdict ReplyFraming::feed(QByteArrayView bytes, qsizetype &used)
{
    used = 0;
    while (m_verdict == Verdict::More && used < bytes.size()) {
        const QByteArrayView rest = bytes.sliced(used);
        if (m_inHeader) {
            // A reply that does not start like a status line has no header (HTTP/0.9): all of
            // it, up to the server's close, is the reply.
            static constexpr QByteArrayView statusStart("HTTP/");
            QByteArray probe = m_header.first(qMin(m_header.size(), statusStart.size()));
            probe.append(rest.first(qMin(rest.size(), statusStart.size() - probe.size())));
            if (probe != statusStart.first(probe.size())) {
                m_inHeader = false;
                m_finalSeen = true;
                m_body = Body::UntilClose;
                continue;
            }
            // Only this header's own bytes are copied: a run of interim replies in one read costs
            // no more than its length.
            const QByteArrayView window = rest.first(qMin(rest.size(), MaxHeaderLength - m_header.size()));
            const qsizetype end = headerEnd(m_header, window);
            m_header += window.first(end < 0 ? window.size() : end);
            used += end < 0 ? window.size() : end;
            if (end < 0) {
                if (m_header.size() >= MaxHeaderLength)
                    return fail(QStringLiteral("reply header longer than %1 bytes").arg(MaxHeaderLength));
                continue;
            }
            if (headerEnded() == Verdict::Invalid)
                return m_verdict;
            m_header.clear();
            m_finalSeen = !m_inHeader;
            continue;
        }
        switch (m_body) {
        case Body::None:
            m_verdict = Verdict::Complete;
            break;
        case Body::UntilClose:
            used = bytes.size();
            break;
        case Body::Length: {
            const qint64 take = qMin<qint64>(m_remaining, rest.size());
            used += take;
            m_remaining -= take;
            if (m_remaining == 0)
                m_verdict = Verdict::Complete;
            break;
        }
        case Body::Chunked: {
            qsizetype chunkUsed = 0;
            const ChunkedBody::Verdict v = m_chunks->feed(rest, chunkUsed);
            used += chunkUsed;
            if (v == ChunkedBody::Verdict::Complete)
                m_verdict = Verdict::Complete;
            else if (v == ChunkedBody::Verdict::TooLarge)
                return fail(QStringLiteral("chunk size out of range in the reply body"));
            else if (v != ChunkedBody::Verdict::More)
                return fail(QStringLiteral("malformed chunk in the reply body"));
            break;
        }
        }
    }
    // A body that is known to be empty is complete as soon as its header is.
    if (m_verdict == Verdict::More && !m_inHeader
        && (m_body == Body::None || (m_body == Body::Length && m_remaining == 0)))
        m_verdict = Verdict::Complete;
    return m_verdict;
}

ReplyFraming::Verdict ReplyFraming::headerEnded()
{
    const MessageHead head = MessageHead::read(m_header, MessageHead::Reading::Lenient);
    const QByteArrayView statusLine = MessageHead::trimmed(head.startLine(), MessageHead::Reading::Lenient);
    // HTTP-version SP 3DIGIT [SP reason] (RFC 9112 section 4).
    const bool versionOk = statusLine.size() >= 12 && statusLine.startsWith("HTTP/1.") && statusLine[8] == ' '
        && (statusLine.size() == 12 || statusLine[12] == ' ');
    bool numeric = versionOk;
    for (int i = 9; versionOk && i < 12; ++i)
        numeric = numeric && statusLine[i] >= '0' && statusLine[i] <= '9';
    if (!numeric)
        return fail(QStringLiteral("malformed status line"));
    m_status = statusLine.sliced(9, 3).toInt();
    // RFC 9112 section 5.2: a browser joins a folded line to the field before it, where a field
    // of its own would frame the reply here. The bytes go on unchanged, so the reply is refused.
    if (m_header.contains("\n ") || m_header.contains("\n\t"))
        return fail(QStringLiteral("obsolete line folding in the reply header"));
    const bool http10 = statusLine[7] == '0';

    if (m_status >= 100 && m_status < 200) {
        if (m_status == 101) {
            // RFC 9110 section 15.2.2: a server switches only to a protocol the request offered.
            if (!m_upgradeAsked)
                return fail(QStringLiteral("101 Switching Protocols to a request that asked for no upgrade"));
            m_upgraded = true;
            m_inHeader = false;
            m_body = Body::UntilClose;
            return m_verdict = Verdict::Complete;
        }
        // An interim reply: the final one follows, unless the server never stops sending them.
        if (++m_interimReplies > MaxInterimReplies)
            return fail(QStringLiteral("more than %1 interim replies").arg(MaxInterimReplies));
        return m_verdict;
    }
    m_inHeader = false;
    const QList<QByteArray> connection = head.list("connection");
    m_keepAlive = http10 ? connection.contains("keep-alive") : !connection.contains("close");

    if (m_head || m_status == 204 || m_status == 304) {
        m_body = Body::None;
        return m_verdict;
    }
    const QList<QByteArray> lengths = head.list("content-length");
    const QList<QByteArray> codings = head.list("transfer-encoding");
    if (!codings.isEmpty()) {
        if (!lengths.isEmpty())
            return fail(QStringLiteral("reply with both Content-Length and Transfer-Encoding"));
        if (codings.last() != "chunked") {
            m_body = Body::UntilClose;
            m_keepAlive = false;
            return m_verdict;
        }
        m_body = Body::Chunked;
        m_chunks.emplace(std::numeric_limits<qint64>::max() / 2);
        return m_verdict;
    }
    if (!lengths.isEmpty()) {
        for (const QByteArray &l : lengths) {
            bool ok = false;
            const qint64 value = l.toLongLong(&ok);
            if (!ok || value < 0 || l.front() == '+')
                return fail(QStringLiteral("reply with an invalid Content-Length"));
            if (m_body == Body::Length && value != m_remaining)
                return fail(QStringLiteral("reply with two different Content-Length values"));
            m_body = Body::Length;
            m_remaining = value;
        }
        return m_verdict;
    }
    m_body = Body::UntilClose;
    m_keepAlive = false;
    return m_verdict;
}

QString ReplyFraming::check(const QByteArray &reply, bool headRequest, bool *untilClose)
{
    ReplyFraming framing;
    framing.start(headRequest);
    qsizetype used = 0;
    Verdict verdict = framing.feed(reply, used);
    const bool endsWithClose = verdict == Verdict::More && framing.finalHeaderSeen();
    if (endsWithClose)
        verdict = framing.closed();
    if (untilClose)
        *untilClose = endsWithClose;
    if (verdict == Verdict::Invalid)
        return framing.error();
    if (verdict != Verdict::Complete)
        return QStringLiteral("Incomplete reply: the header or the body is cut short");
    if (used < reply.size())
        return QStringLiteral("Bytes after the end of the reply");
    return QString();
}

ReplyFraming::Verdict ReplyFraming::closed()
{
    if (m_verdict != Verdict::More)
        return m_verdict;
    if (!m_inHeader && m_body == Body::UntilClose)
        return m_verdict = Verdict::Complete;
    return fail(m_inHeader ? QStringLiteral("the server closed the connection inside the reply header")
                           : QStringLiteral("the server closed the connection before the end of the reply"));
}
