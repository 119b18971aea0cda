#include "HarBuilder.h"

#include "BodyDecoder.h"
#include "CurlCommand.h"
#include "MessageBox.h"
#include "RecordMessage.h"
#include "RecordView.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QStringDecoder>
#include <QUrl>
#include <QUrlQuery>

namespace {
// Room for the largest decoded body plus its header.
constexpr qint64 RecordReadLimit = BodyDecoder::OutputLimit + 1024 * 1024;

QJsonArray headerList(const RecordMessage &message)
{
    QJsonArray list;
    for (const auto &[name, value] : message.headers)
        list.append(QJsonObject { { QStringLiteral("name"), RecordMessage::text(name) },
            { QStringLiteral("value"), RecordMessage::text(value) } });
    return list;
}

QJsonObject nameValue(const QByteArray &pair)
{
    const qsizetype equals = pair.indexOf('=');
    return QJsonObject { { QStringLiteral("name"), RecordMessage::text(pair.left(equals).trimmed()) },
        { QStringLiteral("value"),
            equals < 0 ? QString() : RecordMessage::text(pair.mid(equals + 1).trimmed()) } };
}

QJsonArray cookies(const RecordMessage &message, bool reply)
{
    QJsonArray list;
    for (const auto &[name, value] : message.headers) {
        if (!reply && name.compare("Cookie", Qt::CaseInsensitive) == 0) {
            for (const QByteArray &pair : value.split(';'))
                if (!pair.trimmed().isEmpty())
                    list.append(nameValue(pair));
        } else if (reply && name.compare("Set-Cookie", Qt::CaseInsensitive) == 0) {
            list.append(nameValue(value.left(value.indexOf(';'))));
        }
    }
    return list;
}

// A body as HAR keeps it: UTF-8 text as text, anything else in base64. HAR 1.2 defines
// "encoding" for a reply's content only; elsewhere a member of one's own starts with "_".
void putBody(
    QJsonObject &object, const QByteArray &body, const QString &encodingKey = QStringLiteral("encoding"))
{
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8.decode(body);
    if (!utf8.hasError() && RecordView::looksLikeText(body)) {
        object[QStringLiteral("text")] = text;
    } else {
        object[QStringLiteral("text")] = QString::fromLatin1(body.toBase64());
        object[encodingKey] = QStringLiteral("base64");
    }
}

// The body undone as far as it goes; what could not be decoded is kept as recorded.
BodyDecoder::Result decodedBody(const RecordMessage &message, bool cut)
{
    BodyDecoder::Result decoded = BodyDecoder::decode(message, cut);
    if (!decoded.problem.isEmpty())
        decoded.body = message.body;
    return decoded;
}

QJsonObject request(const RecordMessage &message, bool cut, const QString &fullUrl)
{
    const QString url = fullUrl.isEmpty() ? CurlCommand::url(message) : fullUrl;
    QJsonArray query;
    for (const auto &[name, value] : QUrlQuery(QUrl(url)).queryItems(QUrl::FullyDecoded))
        query.append(QJsonObject { { QStringLiteral("name"), name }, { QStringLiteral("value"), value } });
    QJsonObject object { { QStringLiteral("method"), RecordMessage::text(message.word(0)) },
        { QStringLiteral("url"), url },
        { QStringLiteral("httpVersion"), RecordMessage::text(message.word(2)) },
        { QStringLiteral("cookies"), cookies(message, false) },
        { QStringLiteral("headers"), headerList(message) }, { QStringLiteral("queryString"), query },
        { QStringLiteral("headersSize"), message.headerSize },
        { QStringLiteral("bodySize"), message.body.size() } };
    if (!message.body.isEmpty() || message.hasHeader("Content-Length")) {
        QJsonObject postData { { QStringLiteral("mimeType"),
            RecordMessage::text(message.header("Content-Type")) } };
        putBody(postData, decodedBody(message, cut).body, QStringLiteral("_encoding"));
        object[QStringLiteral("postData")] = postData;
    }
    return object;
}

QJsonObject response(const RecordMessage &message, bool cut)
{
    const BodyDecoder::Result decoded = decodedBody(message, cut);
    const QByteArray mime = message.header("Content-Type");
    QJsonObject content { { QStringLiteral("size"), decoded.body.size() },
        { QStringLiteral("mimeType"),
            mime.isNull() ? QStringLiteral("x-unknown") : RecordMessage::text(mime) } };
    // HAR 1.2: the bytes the content coding saved, chunk framing aside.
    if (decoded.problem.isEmpty() && !decoded.cut && decoded.body.size() != decoded.codedSize)
        content[QStringLiteral("compression")] = decoded.body.size() - decoded.codedSize;
    putBody(content, decoded.body);
    if (!decoded.problem.isEmpty())
        content[QStringLiteral("comment")] = decoded.problem;
    return QJsonObject { { QStringLiteral("status"), message.word(1).toInt() },
        { QStringLiteral("statusText"), RecordMessage::text(message.wordsFrom(2)) },
        { QStringLiteral("httpVersion"), RecordMessage::text(message.word(0)) },
        { QStringLiteral("cookies"), cookies(message, true) },
        { QStringLiteral("headers"), headerList(message) }, { QStringLiteral("content"), content },
        { QStringLiteral("redirectURL"), RecordMessage::text(message.header("Location")) },
        { QStringLiteral("headersSize"), message.headerSize },
        { QStringLiteral("bodySize"), message.body.size() } };
}

// What browsers write for a request that got no reply.
QJsonObject noResponse()
{
    return QJsonObject { { QStringLiteral("status"), 0 }, { QStringLiteral("statusText"), QString() },
        { QStringLiteral("httpVersion"), QString() }, { QStringLiteral("cookies"), QJsonArray() },
        { QStringLiteral("headers"), QJsonArray() },
        { QStringLiteral("content"),
            QJsonObject { { QStringLiteral("size"), 0 },
                { QStringLiteral("mimeType"), QStringLiteral("x-unknown") } } },
        { QStringLiteral("redirectURL"), QString() }, { QStringLiteral("headersSize"), -1 },
        { QStringLiteral("bodySize"), -1 } };
}

// A tunnel the proxy opened itself, whose record holds what went through it (or, decrypted, the
// two TLS sessions) rather than an HTTP reply: the browser was answered 200.
QJsonObject tunnelOpened(const QByteArray &record)
{
    QJsonObject object = noResponse();
    object[QStringLiteral("status")] = 200;
    object[QStringLiteral("statusText")] = QStringLiteral("Connection established");
    object[QStringLiteral("httpVersion")] = QStringLiteral("HTTP/1.1");
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString summary = utf8.decode(record);
    if (!utf8.hasError() && RecordView::looksLikeText(record))
        object[QStringLiteral("comment")] = summary;
    return object;
}
} // namespace

QByteArray HarBuilder::readRecord(const QString &path, qint64 limit, bool *cut)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    if (cut)
        *cut = file.size() > limit;
    return file.read(limit);
}

QDateTime HarBuilder::recordTime(const QString &fileName)
{
    // Two-digit years are this century's.
    const QDateTime moment
        = QDateTime::fromString(QStringLiteral("20") + fileName.left(12), QStringLiteral("yyyyMMddHHmmss"));
    return moment;
}

QJsonObject HarBuilder::entry(const Row &row)
{
    bool requestCut = false;
    const RecordMessage sent
        = RecordMessage::parse(readRecord(row.requestFile, RecordReadLimit, &requestCut));
    QDateTime started = recordTime(QFileInfo(row.requestFile).fileName());
    if (!started.isValid())
        started = QFileInfo(row.requestFile).lastModified();
    QJsonObject object { { QStringLiteral("startedDateTime"),
                             started.toOffsetFromUtc(started.offsetFromUtc()).toString(Qt::ISODateWithMs) },
        { QStringLiteral("time"), 0 }, { QStringLiteral("request"), request(sent, requestCut, row.url) },
        { QStringLiteral("cache"), QJsonObject() },
        { QStringLiteral("timings"),
            QJsonObject { { QStringLiteral("blocked"), -1 }, { QStringLiteral("dns"), -1 },
                { QStringLiteral("connect"), -1 }, { QStringLiteral("send"), -1 },
                { QStringLiteral("wait"), -1 }, { QStringLiteral("receive"), -1 },
                { QStringLiteral("ssl"), -1 } } } };
    bool replyCut = false;
    const QByteArray reply = row.responseFile.isEmpty()
        ? QByteArray()
        : readRecord(row.responseFile, RecordReadLimit, &replyCut);
    if (reply.isEmpty()) {
        object[QStringLiteral("response")] = noResponse();
        if (!row.status.isEmpty())
            object[QStringLiteral("comment")] = row.status;
    } else if (sent.word(0) == "CONNECT" && !reply.startsWith("HTTP/")) {
        object[QStringLiteral("response")] = tunnelOpened(reply);
    } else {
        object[QStringLiteral("response")] = response(RecordMessage::parse(reply), replyCut);
    }
    if (!row.serverIP.isEmpty())
        object[QStringLiteral("serverIPAddress")] = row.serverIP;
    return object;
}

QJsonObject HarBuilder::build(const QList<Row> &rows, const QString &creatorVersion)
{
    QJsonArray entries;
    for (const Row &row : rows)
        entries.append(entry(row));
    const QJsonObject log { { QStringLiteral("version"), QStringLiteral("1.2") },
        { QStringLiteral("creator"),
            QJsonObject { { QStringLiteral("name"), MessageBox::title() },
                { QStringLiteral("version"), creatorVersion } } },
        { QStringLiteral("entries"), entries } };
    return QJsonObject { { QStringLiteral("log"), log } };
}
