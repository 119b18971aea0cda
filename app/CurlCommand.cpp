#include "CurlCommand.h"

#include "BodyDecoder.h"
#include "HopByHop.h"
#include "RecordMessage.h"

#include <QStringList>

namespace {
// Fields curl adds on its own unless told otherwise.
const char *const CurlDefaults[] = { "Host", "User-Agent", "Accept", "Content-Type", "Expect" };

// curl opens its own connection, sets these itself and frames the body it sends.
bool isHopByHop(const RecordMessage &request, const QByteArray &name)
{
    if (HopByHop::contains(name))
        return true;
    for (const QByteArray &listed : request.header("Connection").split(',')) {
        if (!listed.trimmed().isEmpty() && name.compare(listed.trimmed(), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isPlainPrintable(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

// A printf format that writes bytes exactly: octal escapes need no bash and no locale.
QString printfFormat(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size() * 2 + 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '%')
            out += QStringLiteral("%%");
        else if (c == '\\')
            out += QStringLiteral("\\\\");
        else if (byte >= 0x20 && byte < 0x7f)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\%1").arg(byte, 3, 8, QLatin1Char('0'));
    }
    return out;
}
} // namespace

QString CurlCommand::quote(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString CurlCommand::url(const RecordMessage &request)
{
    const QString target = RecordMessage::text(request.word(1));
    if (target.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
        || target.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return target;
    if (request.word(0) == "CONNECT")
        return QStringLiteral("https://") + target + QLatin1Char('/');
    return QStringLiteral("http://") + RecordMessage::text(request.header("Host")) + target;
}

QString CurlCommand::fromRecord(const QByteArray &record, const QString &fullUrl)
{
    const RecordMessage request = RecordMessage::parse(record);
    const QByteArray method = request.word(0);
    QStringList words { QStringLiteral("curl"),
        request.word(2) == "HTTP/1.0" ? QStringLiteral("--http1.0")
            : request.word(2) == "HTTP/2" ? QStringLiteral("--http2")
                                          : QStringLiteral("--http1.1"),
        // No URL globbing and no folding of "/../": the target goes out as recorded.
        QStringLiteral("-g"), QStringLiteral("--path-as-is") };
    // -X HEAD would make curl wait for a body that never comes.
    if (method == "HEAD")
        words << QStringLiteral("--head");
    else
        words << QStringLiteral("-X") << quote(QString::fromLatin1(method));
    words << quote(fullUrl.isEmpty() ? url(request) : fullUrl);

    QByteArray body = request.body;
    const bool chunked = request.header("Transfer-Encoding").toLower().contains("chunked");
    if (chunked) {
        body = BodyDecoder::dechunk(body).body;
    } else if (request.hasHeader("Content-Length")) {
        body.truncate(request.header("Content-Length").toLongLong());
    }
    const bool sendsBody = !body.isEmpty() || request.hasHeader("Content-Length") || chunked;

    for (const auto &[name, value] : request.headers) {
        if (isHopByHop(request, name))
            continue;
        // "Name:" alone tells curl to drop a field; "Name;" sends it empty.
        const QByteArray field = value.isEmpty() ? name + ';' : name + ": " + value;
        words << QStringLiteral("-H") << quote(RecordMessage::text(field));
    }
    for (const char *name : CurlDefaults) {
        if (!request.hasHeader(name))
            words << QStringLiteral("-H") << quote(QLatin1String(name) + QLatin1Char(':'));
    }

    QString prefix;
    if (sendsBody) {
        words << QStringLiteral("--data-binary");
        // A leading "@" would make curl read a file of that name.
        if (isPlainPrintable(body) && !body.startsWith('@')) {
            words << quote(QString::fromLatin1(body));
        } else {
            prefix = QStringLiteral("printf ") + quote(printfFormat(body)) + QStringLiteral(" | ");
            words << QStringLiteral("@-");
        }
    }
    return prefix + words.join(QLatin1Char(' '));
}
