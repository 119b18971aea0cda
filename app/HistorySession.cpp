#include "HistorySession.h"

#include "CExchange.h"
#include "HarBuilder.h"
#include "MessageBox.h"
#include "TarnwickVersion.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>

#include <functional>

using namespace Qt::StringLiterals;

namespace {
// Records larger than this are saved by their HAR fields alone, so that an entry stays well
// under EntryLimit once in base64 beside its decoded bodies.
constexpr qint64 ExactLimit = 64LL * 1024 * 1024;
// HAR entries nest a dozen levels; a browser's initiator stacks a few more.
constexpr int DepthLimit = 256;
constexpr qint64 ChunkBytes = 1024 * 1024;

const QString Tarnwick = u"_tarnwick"_s;

// A JSON document read from a device a value at a time: the reader sees the outer objects as a
// stream of members and gets each value's bytes whole, so memory holds one value, never the file.
class JsonStream
{
public:
    enum class Status { Ok, End, TooLarge, TooDeep };

    explicit JsonStream(QIODevice &device)
        : m_device(device)
    { }

    // The next byte that is not white space, left unread; -1 at the end.
    int peek()
    {
        for (;; ++m_pos) {
            if (m_pos == m_buffer.size() && !refill())
                return -1;
            const char c = m_buffer.at(m_pos);
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
                return static_cast<uchar>(c);
        }
    }

    bool take(char c)
    {
        if (peek() != static_cast<uchar>(c))
            return false;
        ++m_pos;
        return true;
    }

    qint64 offset() const { return m_offset + m_pos; }

    // The bytes of the next value, found by its brackets and quotes alone: the caller hands them
    // to a full JSON parser.
    Status value(QByteArray *out, qint64 limit)
    {
        out->clear();
        const int first = peek();
        if (first < 0)
            return Status::End;
        const bool scalar = first != '{' && first != '[' && first != '"';
        int depth = 0;
        bool inString = false;
        bool escaped = false;
        for (;;) {
            if (m_pos == m_buffer.size() && !refill())
                return scalar && !out->isEmpty() ? Status::Ok : Status::End;
            const char *begin = m_buffer.constData() + m_pos;
            const char *end = m_buffer.constData() + m_buffer.size();
            const char *at = begin;
            bool done = false;
            for (; at < end && !done; ++at) {
                const char c = *at;
                if (scalar) {
                    done
                        = c == ',' || c == '}' || c == ']' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
                    if (done)
                        --at;
                } else if (inString) {
                    if (escaped)
                        escaped = false;
                    else if (c == '\\')
                        escaped = true;
                    else if (c == '"') {
                        inString = false;
                        done = depth == 0;
                    }
                } else if (c == '"') {
                    inString = true;
                } else if (c == '{' || c == '[') {
                    if (++depth > DepthLimit)
                        return Status::TooDeep;
                } else if (c == '}' || c == ']') {
                    done = --depth == 0;
                }
            }
            out->append(begin, at - begin);
            m_pos += at - begin;
            if (out->size() > limit)
                return Status::TooLarge;
            if (done)
                return Status::Ok;
        }
    }

private:
    bool refill()
    {
        m_offset += m_buffer.size();
        m_buffer = m_device.read(ChunkBytes);
        m_pos = 0;
        return !m_buffer.isEmpty();
    }

    QIODevice &m_device;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qint64 m_offset = 0;
};

// Walks a HAR file's log.entries, handing each entry's bytes to onEntry; everything else is
// checked to be JSON and passed over.
class HarReader
{
public:
    using EntryHandler = std::function<bool(const QByteArray &entry, QString *fault)>;

    HarReader(QIODevice &device, EntryHandler onEntry)
        : m_json(device)
        , m_onEntry(std::move(onEntry))
    { }

    bool read()
    {
        const int first = m_json.peek();
        if (first < 0)
            return fail(u"The file is empty."_s);
        if (first == '[')
            return notHar(u"it is not a JSON object"_s);
        bool sawEntries = false;
        const bool ok = object([&](const QString &key) {
            if (key != "log"_L1)
                return skip();
            if (m_json.peek() != '{')
                return notHar(u"log is not an object"_s);
            return object([&](const QString &member) {
                if (member != "entries"_L1)
                    return skip();
                if (m_json.peek() != '[')
                    return notHar(u"log.entries is not an array"_s);
                sawEntries = true;
                return entries();
            });
        });
        if (!ok)
            return false;
        if (m_json.peek() >= 0)
            return fail(u"The file is not JSON: more follows its end at byte %1."_s.arg(m_json.offset()));
        return sawEntries || notHar(u"it has no log.entries"_s);
    }

    QString fault;

private:
    bool fail(const QString &text)
    {
        fault = text;
        return false;
    }

    bool notHar(const QString &why) { return fail(u"The file is not HAR: "_s + why + u"."_s); }

    // The structure broke off: either the file ends early or it is not JSON.
    bool broken()
    {
        if (m_json.peek() < 0)
            return fail(u"The file ends too early, at byte %1: it is cut short."_s.arg(m_json.offset()));
        return fail(u"The file is not JSON: unexpected byte at %1."_s.arg(m_json.offset()));
    }

    bool valueFault(JsonStream::Status status, const QString &what)
    {
        if (status == JsonStream::Status::End)
            return broken();
        return fail(what
            + (status == JsonStream::Status::TooLarge
                    ? u" is larger than %1 MiB."_s.arg(HistorySession::EntryLimit >> 20)
                    : u" nests deeper than %1 levels."_s.arg(DepthLimit)));
    }

    bool object(const std::function<bool(const QString &key)> &member)
    {
        if (!m_json.take('{'))
            return broken();
        if (m_json.take('}'))
            return true;
        do {
            QByteArray key;
            if (m_json.peek() != '"')
                return broken();
            if (const auto status = m_json.value(&key, ChunkBytes); status != JsonStream::Status::Ok)
                return valueFault(status, u"A member name"_s);
            const QJsonArray decoded = QJsonDocument::fromJson('[' + key + ']').array();
            if (decoded.size() != 1 || !m_json.take(':'))
                return broken();
            if (!member(decoded.first().toString()))
                return false;
        } while (m_json.take(','));
        return m_json.take('}') || broken();
    }

    bool skip()
    {
        QByteArray bytes;
        const qint64 start = m_json.offset();
        if (const auto status = m_json.value(&bytes, HistorySession::EntryLimit);
            status != JsonStream::Status::Ok)
            return valueFault(status, u"The member at byte %1"_s.arg(start));
        QJsonParseError error;
        QJsonDocument::fromJson('[' + bytes + ']', &error);
        if (bytes.isEmpty() || error.error != QJsonParseError::NoError)
            return fail(u"The file is not JSON: bad value at byte %1."_s.arg(start));
        return true;
    }

    bool entries()
    {
        m_json.take('[');
        if (m_json.take(']'))
            return true;
        int index = 0;
        do {
            const QString name = u"Entry %1"_s.arg(++index);
            QByteArray bytes;
            const auto status = m_json.value(&bytes, HistorySession::EntryLimit);
            if (status == JsonStream::Status::End)
                return fail(name + u": the file ends before the entry does."_s);
            if (status != JsonStream::Status::Ok)
                return valueFault(status, name);
            QString why;
            if (!m_onEntry(bytes, &why))
                return fail(name + u": "_s + why);
        } while (m_json.take(','));
        return m_json.take(']') || broken();
    }

    JsonStream m_json;
    EntryHandler m_onEntry;
};

// Text a hostile file may have put line breaks in, kept to the one line of a record it belongs on.
QByteArray oneLine(const QString &text)
{
    return text.toUtf8().replace('\r', ' ').replace('\n', ' ');
}

// An entry's members by dotted path, each of the type it must have. The first member that is
// missing (when required) or of another type is the fault; null counts as missing.
class Fields
{
public:
    explicit Fields(const QJsonObject &root)
        : m_root(root)
    { }

    QJsonValue get(const QString &path, QJsonValue::Type type, bool required = false)
    {
        if (!fault.isEmpty())
            return QJsonValue::Undefined;
        QJsonValue value = m_root;
        qsizetype from = 0;
        while (from <= path.size()) {
            qsizetype dot = path.indexOf(u'.', from);
            if (dot < 0)
                dot = path.size();
            value = value.toObject().value(QStringView(path).sliced(from, dot - from));
            if (dot < path.size() && !value.isObject() && !value.isUndefined() && !value.isNull()) {
                fault = path.left(dot) + u" is not an object."_s;
                return QJsonValue::Undefined;
            }
            from = dot + 1;
        }
        if (value.isUndefined() || value.isNull()) {
            if (required)
                fault = path + u" is missing."_s;
            return QJsonValue::Undefined;
        }
        if (value.type() != type) {
            static const QHash<int, QString> names { { QJsonValue::String, u"a string"_s },
                { QJsonValue::Double, u"a number"_s }, { QJsonValue::Bool, u"true or false"_s },
                { QJsonValue::Array, u"an array"_s }, { QJsonValue::Object, u"an object"_s } };
            fault = path + u" is not "_s + names.value(type);
            fault += u'.';
            return QJsonValue::Undefined;
        }
        return value;
    }

    QString text(const QString &path, bool required = false)
    {
        return get(path, QJsonValue::String, required).toString();
    }

    // A string member in base64, or the fault.
    QByteArray base64(const QString &path)
    {
        const QString text = this->text(path);
        auto decoded
            = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded && fault.isEmpty())
            fault = path + u" is not valid base64."_s;
        return *decoded;
    }

    // A body as HAR keeps it: text, or base64 when an encoding member says so.
    QByteArray body(const QString &path, const QString &encodingPath)
    {
        const QString encoding = text(encodingPath);
        if (encoding.isEmpty())
            return text(path).toUtf8();
        if (encoding != "base64"_L1 && fault.isEmpty())
            fault = encodingPath + u" is neither empty nor base64."_s;
        return base64(path);
    }

    struct HeaderLines {
        QByteArray lines;
        bool hadLength = false;
        bool hadHost = false;
        QString authority; // HTTP/2's stand-in for Host
    };

    // A header list as a record holds it: HTTP/2 pseudo-fields and the framing fields dropped,
    // line breaks a hostile file may hold turned into spaces.
    HeaderLines headers(const QString &path)
    {
        HeaderLines result;
        const QJsonArray list = get(path, QJsonValue::Array, true).toArray();
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QJsonObject pair = list.at(i).toObject();
            const QJsonValue name = pair.value(u"name"_s), value = pair.value(u"value"_s);
            if (!name.isString() || !value.isString()) {
                if (fault.isEmpty())
                    fault = u"%1[%2] is not a name and value."_s.arg(path).arg(i);
                return result;
            }
            const QByteArray lower = name.toString().toLower().toUtf8();
            if (lower == ":authority")
                result.authority = value.toString();
            result.hadHost = result.hadHost || lower == "host";
            result.hadLength = result.hadLength || lower == "content-length";
            if (lower.startsWith(':') || lower == "content-length" || lower == "transfer-encoding"
                || lower == "content-encoding")
                continue;
            result.lines += oneLine(name.toString()) + ": " + oneLine(value.toString()) + "\r\n";
        }
        return result;
    }

    QString fault;

private:
    const QJsonObject &m_root;
};

QByteArray versionWord(const QString &version)
{
    static const QRegularExpression http(u"^HTTP/\\d\\.\\d$"_s, QRegularExpression::CaseInsensitiveOption);
    return http.match(version).hasMatch() ? version.toUpper().toLatin1() : QByteArrayLiteral("HTTP/1.1");
}

// What one entry becomes: its records and its row.
struct Opened {
    QByteArray request;
    std::optional<QByteArray> reply;
    HistoryRow row;
    QString savedName; // the record name the entry was saved under, when it has a sound one
    QDateTime started;
};

// Reads an entry; the fault, when there is one, names the member.
std::optional<Opened> readEntry(
    const QJsonObject &entry, const QString &note, const QString &exactNote, QString *fault)
{
    Fields fields(entry);
    Opened opened;
    const QString method = fields.text(u"request.method"_s, true);
    const QString url = fields.text(u"request.url"_s, true);
    const QUrl parsed(url);
    auto sent = fields.headers(u"request.headers"_s);
    // HAR 1.2 gives postData no encoding; this program's own files and some tools add one.
    const QString encoding = fields.get(u"request.postData._encoding"_s, QJsonValue::String).isString()
        ? u"request.postData._encoding"_s
        : u"request.postData.encoding"_s;
    const QByteArray requestBody = fields.body(u"request.postData.text"_s, encoding);
    if (sent.hadLength || !requestBody.isEmpty())
        sent.lines += "Content-Length: " + QByteArray::number(requestBody.size()) + "\r\n";
    if (!sent.hadHost)
        sent.lines.prepend(
            "Host: " + (sent.authority.isEmpty() ? parsed.authority() : sent.authority).toUtf8() + "\r\n");
    // A decrypted HTTPS request is recorded as the browser sent it inside the tunnel, in origin form.
    const QByteArray target = parsed.scheme() == "https"_L1
        ? parsed.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment)
        : parsed.toEncoded(QUrl::RemoveFragment);
    const QByteArray version = versionWord(fields.text(u"request.httpVersion"_s));
    opened.request = oneLine(method) + ' ' + (target.isEmpty() ? QByteArrayLiteral("/") : target) + ' '
        + version + "\r\n" + sent.lines + "\r\n" + requestBody;

    const int status = fields.get(u"response.status"_s, QJsonValue::Double, true).toInt();
    auto received = fields.headers(u"response.headers"_s);
    const QByteArray replyBody = fields.body(u"response.content.text"_s, u"response.content.encoding"_s);
    if (received.hadLength || !replyBody.isEmpty())
        received.lines += "Content-Length: " + QByteArray::number(replyBody.size()) + "\r\n";
    if (status > 0)
        opened.reply = versionWord(fields.text(u"response.httpVersion"_s)) + ' ' + QByteArray::number(status)
            + ' ' + oneLine(fields.text(u"response.statusText"_s)) + "\r\n" + received.lines + "\r\n"
            + replyBody;

    opened.started
        = QDateTime::fromString(fields.text(u"startedDateTime"_s), Qt::ISODateWithMs).toLocalTime();
    HistoryRow &row = opened.row;
    row.fullUrl = url;
    row.note = note;
    row.cells[HistoryRow::Host] = parsed.host();
    row.cells[HistoryRow::IP] = fields.text(u"serverIPAddress"_s);
    row.cells[HistoryRow::Type] = method;
    row.cells[HistoryRow::URL] = parsed.toString(QUrl::RemoveQuery | QUrl::RemoveFragment);
    row.cells[HistoryRow::Status] = opened.reply ? u"DONE"_s : u"ERROR"_s;
    row.cells[HistoryRow::Code] = opened.reply ? QString::number(status) : QString();
    row.cells[HistoryRow::QBytes] = QLocale().toString(opened.request.size());
    row.cells[HistoryRow::ABytes] = QLocale().toString(opened.reply ? opened.reply->size() : 0);

    if (fields.get(Tarnwick, QJsonValue::Object).isObject()) {
        const QJsonArray cells = fields.get(Tarnwick + u".cells"_s, QJsonValue::Array, true).toArray();
        if (fields.fault.isEmpty() && cells.size() != HistoryRow::ColumnCount)
            fields.fault = Tarnwick + u".cells does not hold %1 cells."_s.arg(int(HistoryRow::ColumnCount));
        for (qsizetype i = 0; i < cells.size() && fields.fault.isEmpty(); ++i) {
            if (!cells.at(i).isString())
                fields.fault = Tarnwick + u".cells[%1] is not a string."_s.arg(i);
            row.cells[size_t(i)] = cells.at(i).toString();
        }
        static const QRegularExpression recordName(u"^(\\d{12}-[A-Z]{5})-Q\\.txt$"_s);
        if (const auto match = recordName.match(row.cells[HistoryRow::RequestFile]); match.hasMatch())
            opened.savedName = match.captured(1);
        row.checked = fields.get(Tarnwick + u".checked"_s, QJsonValue::Bool).toBool();
        row.fullUrl = fields.text(Tarnwick + u".fullUrl"_s);
        row.resent = entry.value(Tarnwick).toObject().value(u"resent"_s).toBool();
        bool exact = entry.value(Tarnwick).toObject().contains(u"request"_s);
        if (exact)
            opened.request = fields.base64(Tarnwick + u".request"_s);
        if (entry.value(Tarnwick).toObject().contains(u"response"_s))
            opened.reply = fields.base64(Tarnwick + u".response"_s);
        else
            exact = exact && status == 0;
        if (exact)
            row.note = exactNote;
    }
    if (!fields.fault.isEmpty()) {
        *fault = fields.fault;
        return std::nullopt;
    }
    return opened;
}

bool holds(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() == bytes.size() && file.readAll() == bytes;
}

// Reads a record whole when it exists and is no larger than limit.
std::optional<QByteArray> exactRecord(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > ExactLimit)
        return std::nullopt;
    return file.readAll();
}

bool plainFileName(const QString &name)
{
    return !name.isEmpty() && name != "."_L1 && name != ".."_L1 && !name.contains(u'/')
        && !name.contains(u'\\');
}
} // namespace

bool HistorySession::save(
    const QString &path, const QList<HistoryRow> &rows, const QString &recordFolder, QString *error)
{
    QSaveFile file(path);
    bool ok = file.open(QIODevice::WriteOnly);
    const QJsonObject creator { { u"name"_s, MessageBox::title() },
        { u"version"_s,
            u"%1.%2.%3"_s.arg(TARNWICK_VERSION_MAJOR)
                .arg(TARNWICK_VERSION_MINOR)
                .arg(TARNWICK_VERSION_PATCH) } };
    const QByteArray head = R"({"log":{"version":"1.2","creator":)"
        + QJsonDocument(creator).toJson(QJsonDocument::Compact) + R"(,"entries":[)";
    ok = ok && file.write(head) == head.size();
    bool first = true;
    for (const HistoryRow &row : rows) {
        if (!ok)
            break;
        const QString requestName = row.cells[HistoryRow::RequestFile];
        const QString replyName = row.cells[HistoryRow::ResponseFile];
        if (!plainFileName(requestName) || !QFile::exists(recordFolder + requestName))
            continue;
        const std::optional<QByteArray> request = exactRecord(recordFolder + requestName);
        const QString replyPath = plainFileName(replyName) ? recordFolder + replyName : QString();
        QJsonObject entry = HarBuilder::entry({ recordFolder + requestName, replyPath,
            row.cells[HistoryRow::IP], row.cells[HistoryRow::Status], row.fullUrl });
        QJsonArray cells;
        for (const QString &cell : row.cells)
            cells.append(cell);
        QJsonObject extra { { u"cells"_s, cells }, { u"checked"_s, row.checked },
            { u"fullUrl"_s, row.fullUrl } };
        if (row.resent)
            extra[u"resent"_s] = true;
        if (request)
            extra[u"request"_s] = QString::fromLatin1(request->toBase64());
        if (const auto reply = replyPath.isEmpty() ? std::nullopt : exactRecord(replyPath))
            extra[u"response"_s] = QString::fromLatin1(reply->toBase64());
        entry[Tarnwick] = extra;
        const QByteArray bytes = (first ? "\n" : ",\n") + QJsonDocument(entry).toJson(QJsonDocument::Compact);
        ok = file.write(bytes) == bytes.size();
        first = false;
    }
    ok = ok && file.write("\n]}}\n") == 5 && file.commit();
    if (!ok && error)
        *error = u"Unable to write "_s + path + u": "_s + file.errorString();
    return ok;
}

std::optional<QList<HistoryRow>> HistorySession::open(
    const QString &path, const QString &recordFolder, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = u"Unable to read "_s + path + u": "_s + file.errorString();
        return std::nullopt;
    }
    const QString name = QFileInfo(path).fileName();
    const QString rebuiltNote = u"Opened from %1: rebuilt from the HAR fields"_s.arg(name);
    const QString exactNote = u"Opened from %1: exact recorded bytes"_s.arg(name);
    QList<HistoryRow> rows;
    QStringList written;
    // Writes a record, never over a file that is there.
    const auto write = [&](const QString &recordPath, const QByteArray &bytes, QString *fault) {
        QFile record(recordPath);
        if (record.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            written.append(recordPath);
            if (record.write(bytes) == bytes.size() && record.flush())
                return true;
        }
        *fault = u"unable to write "_s + recordPath + u": "_s + record.errorString();
        return false;
    };
    HarReader reader(file, [&](const QByteArray &bytes, QString *fault) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
        if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
            *fault
                = document.isNull() ? u"not JSON: "_s + parseError.errorString() + u'.' : u"not an object."_s;
            return false;
        }
        std::optional<Opened> opened = readEntry(document.object(), rebuiltNote, exactNote, fault);
        if (!opened)
            return false;
        // A history opened at start finds its records where it left them.
        QString base = opened->savedName;
        const bool there = !base.isEmpty() && holds(recordFolder + base + u"-Q.txt"_s, opened->request)
            && (opened->reply ? holds(recordFolder + base + u"-A.txt"_s, *opened->reply)
                              : !QFile::exists(recordFolder + base + u"-A.txt"_s));
        if (!there) {
            base = CExchange::freeRecordName(recordFolder, opened->started, base);
            if (!write(recordFolder + base + u"-Q.txt"_s, opened->request, fault)
                || (opened->reply && !write(recordFolder + base + u"-A.txt"_s, *opened->reply, fault)))
                return false;
        }
        HistoryRow &row = opened->row;
        row.cells[HistoryRow::RequestFile] = base + u"-Q.txt"_s;
        row.cells[HistoryRow::ResponseFile] = opened->reply ? base + u"-A.txt"_s : QString();
        rows.append(std::move(row));
        return true;
    });
    if (reader.read())
        return rows;
    for (const QString &recordPath : std::as_const(written))
        QFile::remove(recordPath);
    if (error)
        *error = reader.fault;
    return std::nullopt;
}
