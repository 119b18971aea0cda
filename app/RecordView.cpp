#include "RecordView.h"

#include "BodyDecoder.h"
#include "RecordMessage.h"

#include <QJsonDocument>
#include <QStringDecoder>

namespace {
// Lines longer than this are broken for display: laying out one line of megabytes (minified
// scripts, images) takes the text box minutes, while the box wraps long lines anyway.
constexpr qsizetype DisplayLineLimit = 1024;

QString breakLongLines(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / DisplayLineLimit + 1);
    qsizetype run = 0;
    for (const QChar ch : text) {
        if (ch == QLatin1Char('\n') || ch == QLatin1Char('\r')) {
            run = 0;
        } else if (run == DisplayLineLimit) {
            out.append(QLatin1Char('\n'));
            run = 1;
        } else {
            ++run;
        }
        out.append(ch);
    }
    return out;
}

bool isImage(const RecordMessage &message, const QByteArray &body)
{
    static const char *const magic[] = { "\x89PNG", "\xFF\xD8\xFF", "GIF8", "RIFF" };
    if (message.header("Content-Type").trimmed().toLower().startsWith("image/"))
        return true;
    for (const char *start : magic) {
        if (body.startsWith(start))
            return true;
    }
    return false;
}

QString utf8OrLatin1(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString whole = utf8.decode(bytes);
    if (!utf8.hasError())
        return whole;
    // A partly read record may end inside a character; that alone is no reason to give up UTF-8.
    for (qsizetype tail = 1; tail <= qMin<qsizetype>(3, bytes.size()); ++tail) {
        if (static_cast<unsigned char>(bytes[bytes.size() - tail]) < 0xc0)
            continue;
        QStringDecoder head(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        const QString text = head.decode(QByteArrayView(bytes).chopped(tail));
        if (!head.hasError())
            return text + QString::fromLatin1(bytes.right(tail));
        break;
    }
    return QString::fromLatin1(bytes);
}

QString note(const QString &text)
{
    return QStringLiteral("\n[") + text + QLatin1Char(']');
}
} // namespace

QString RecordView::text(const QByteArray &bytes)
{
    QString text = utf8OrLatin1(bytes);
    text.replace(QChar(0), QChar(ZeroByteMark));
    return breakLongLines(text);
}

QString RecordView::hex(const QByteArray &bytes)
{
    static const char digits[] = "0123456789abcdef";
    QString out;
    out.reserve((bytes.size() / 16 + 1) * 79);
    for (qsizetype row = 0; row < bytes.size(); row += 16) {
        out += QStringLiteral("%1  ").arg(row, 8, 16, QLatin1Char('0'));
        QString chars;
        for (qsizetype i = row; i < row + 16; ++i) {
            if (i == row + 8)
                out += QLatin1Char(' ');
            if (i >= bytes.size()) {
                out += QStringLiteral("   ");
                continue;
            }
            const auto byte = static_cast<unsigned char>(bytes[i]);
            out += QLatin1Char(digits[byte >> 4]);
            out += QLatin1Char(digits[byte & 15]);
            out += QLatin1Char(' ');
            chars += byte >= 0x20 && byte < 0x7f ? QLatin1Char(static_cast<char>(byte)) : QLatin1Char('.');
        }
        out += QLatin1Char(' ') + chars + QLatin1Char('\n');
    }
    return out;
}

QString RecordView::prettyJson(const QByteArray &json)
{
    QJsonParseError error;
    QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return QString();
    // Re-indented by hand: QJsonDocument would sort the members of every object.
    QByteArray out;
    int depth = 0;
    bool inString = false;
    const auto newLine = [&out, &depth] { out += '\n' + QByteArray(depth * 2, ' '); };
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < json.size())
                out += json[++i];
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            break;
        case '"':
            inString = true;
            out += c;
            break;
        case '{':
        case '[': {
            qsizetype next = i + 1;
            while (next < json.size() && QByteArrayView(" \t\r\n").contains(json[next]))
                ++next;
            if (next < json.size() && (json[next] == '}' || json[next] == ']')) {
                out += c;
                out += json[next];
                i = next;
                break;
            }
            out += c;
            ++depth;
            newLine();
            break;
        }
        case '}':
        case ']':
            --depth;
            newLine();
            out += c;
            break;
        case ',':
            out += c;
            newLine();
            break;
        case ':':
            out += ": ";
            break;
        default:
            out += c;
        }
    }
    return QString::fromUtf8(out);
}

bool RecordView::looksLikeText(const QByteArray &bytes)
{
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r' && byte != '\f' && byte != 0x1b)
            || byte == 0x7f)
            return false;
    }
    return true;
}

RecordView::Shown RecordView::show(const QByteArray &bytes, Mode mode, bool inputCut)
{
    Shown shown;
    if (mode == Mode::Raw) {
        shown.text = text(bytes.left(ShowLimit));
        return shown;
    }
    if (mode == Mode::Hex) {
        shown.text = hex(bytes.left(ShowLimit));
        return shown;
    }

    const RecordMessage message = RecordMessage::parse(bytes);
    if (message.headerSize < 0) {
        shown.text = text(bytes.left(ShowLimit));
        return shown;
    }
    const BodyDecoder::Result decoded = BodyDecoder::decode(message, inputCut);
    if (!decoded.problem.isEmpty()) {
        shown.text
            = decoded.problem + QStringLiteral(" The raw record follows.\n") + text(bytes.left(ShowLimit));
        return shown;
    }
    shown.text = text(bytes.left(message.headerSize));
    const QByteArray &body = decoded.body;
    QString bodyText;
    if (isImage(message, body) && !decoded.cut && shown.image.loadFromData(body))
        return shown;
    if (message.header("Content-Type").toLower().contains("json") || body.startsWith('{')
        || body.startsWith('['))
        bodyText = prettyJson(body);
    if (bodyText.isEmpty() && looksLikeText(body))
        bodyText = text(body);
    if (bodyText.isEmpty() && !body.isEmpty()) {
        bodyText = hex(body.left(ShowLimit));
        if (body.size() > ShowLimit)
            bodyText += note(QStringLiteral("Only the first %1 bytes of the body are shown").arg(ShowLimit));
    }
    shown.text += bodyText;
    if (decoded.cut)
        shown.text += note(
            QStringLiteral("Decoding stopped at %1 MiB of output").arg(BodyDecoder::OutputLimit >> 20));
    return shown;
}
