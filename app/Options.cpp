#include "Options.h"

#include "ProgramValues.h"
#include "ProxyCredentials.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSaveFile>
#include <QThread>

#include <algorithm>
#include <functional>
#include <utility>

namespace {

// A hand-edited options file is a few lines; anything larger is not one.
constexpr qint64 MaxFileBytes = 64 * 1024;
// Keys and values quoted in the log are cut to this, so one bad line cannot flood it.
constexpr int MaxShownChars = 60;

using namespace Qt::StringLiterals;

struct Key {
    QString name;
    // What the key takes, said in the log after a bad value.
    QString takes;
    std::function<bool(Options &, const QString &value)> parse;
    std::function<QString(const Options &)> format;
    // A bad value is not quoted in the log: it may be a password.
    bool secret = false;
};

Key number(const QString &name, int Options::*field, int min, int max)
{
    return { name, u"a whole number from %1 to %2"_s.arg(min).arg(max),
        [=](Options &options, const QString &value) {
            bool ok = false;
            const int n = value.toInt(&ok);
            if (!ok || n < min || n > max)
                return false;
            options.*field = n;
            return true;
        },
        [=](const Options &options) { return QString::number(options.*field); } };
}

template <typename T> Key choice(const QString &name, T Options::*field, QList<std::pair<QString, T>> words)
{
    QStringList names;
    for (const auto &word : words)
        names.append(word.first);
    return { name, names.join(u" or "_s),
        [=](Options &options, const QString &value) {
            for (const auto &[word, meaning] : words) {
                if (value.compare(word, Qt::CaseInsensitive) == 0) {
                    options.*field = meaning;
                    return true;
                }
            }
            return false;
        },
        [=](const Options &options) {
            for (const auto &[word, meaning] : words) {
                if (options.*field == meaning)
                    return word;
            }
            return QString();
        } };
}

// Window layouts as Qt saves them, in base64; not checked beyond that, Qt refuses what it cannot
// restore.
Key bytes(const QString &name, QByteArray Options::*field)
{
    return { name, u"base64"_s,
        [=](Options &options, const QString &value) {
            auto decoded
                = QByteArray::fromBase64Encoding(value.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded)
                return false;
            options.*field = *decoded;
            return true;
        },
        [=](const Options &options) { return QString::fromLatin1((options.*field).toBase64()); } };
}

// Any text for which valid says yes; lists are comma-separated.
Key text(const QString &name, QString Options::*field, const QString &takes,
    std::function<bool(const QString &)> valid = nullptr)
{
    return { name, takes,
        [=](Options &options, const QString &value) {
            if (valid && !value.isEmpty() && !valid(value))
                return false;
            options.*field = value;
            return true;
        },
        [=](const Options &options) { return options.*field; } };
}

Key list(const QString &name, QStringList Options::*field)
{
    return { name, u"comma-separated host names"_s,
        [=](Options &options, const QString &value) {
            QStringList entries;
            for (const QString &entry : value.split(u',', Qt::SkipEmptyParts))
                if (!entry.trimmed().isEmpty())
                    entries.append(entry.trimmed());
            options.*field = entries;
            return true;
        },
        [=](const Options &options) { return (options.*field).join(u", "_s); } };
}

Key secret(Key key)
{
    key.secret = true;
    return key;
}

// The rules as one line of JSON: [{"pattern": text, "request": bool, "reply": bool}, ...].
Key rules(const QString &name, QList<BreakpointRule> Options::*field)
{
    return { name, u"a JSON list of breakpoint rules"_s,
        [=](Options &options, const QString &value) {
            const QJsonDocument json = QJsonDocument::fromJson(value.toUtf8());
            if (!json.isArray())
                return false;
            QList<BreakpointRule> rules;
            for (const QJsonValue rule : json.array()) {
                if (!rule[u"pattern"_s].isString())
                    return false;
                rules.append({ rule[u"pattern"_s].toString(), rule[u"request"_s].toBool(),
                    rule[u"reply"_s].toBool() });
            }
            options.*field = rules;
            return true;
        },
        [=](const Options &options) {
            QJsonArray rules;
            for (const BreakpointRule &rule : options.*field)
                rules.append(QJsonObject { { u"pattern"_s, rule.pattern }, { u"request"_s, rule.onRequest },
                    { u"reply"_s, rule.onReply } });
            return QString::fromUtf8(QJsonDocument(rules).toJson(QJsonDocument::Compact));
        } };
}

// Adding an option takes its member in Options and one row here.
const QList<Key> &keys()
{
    using Mode = HistoryModel::LimitMode;
    static const QList<Key> table {
        number(u"HistoryLimit"_s, &Options::historyLimit, Options::MinHistoryLimit, Options::MaxHistoryLimit),
        choice(u"HistoryMode"_s, &Options::historyMode,
            { { u"clear"_s, Mode::Clear }, { u"oldest"_s, Mode::Oldest } }),
        choice(u"KeepHistory"_s, &Options::keepHistory, { { u"true"_s, true }, { u"false"_s, false } }),
        number(u"Threads"_s, &Options::threads, 1, Options::MaxThreads),
        bytes(u"WindowGeometry"_s, &Options::windowGeometry),
        bytes(u"WindowSplitter"_s, &Options::windowSplitter),
        bytes(u"HistoryColumns"_s, &Options::historyColumns),
        { u"AllowClients"_s, u"addresses and ranges like 192.168.1.0/24"_s,
            [](Options &options, const QString &value) {
                const auto allowed = ClientAllowList::parse(value);
                if (allowed)
                    options.allowClients = allowed->text();
                return allowed.has_value();
            },
            [](const Options &options) { return options.allowClients; } },
        text(u"ProxyUser"_s, &Options::proxyUser, u"a user name without a colon"_s,
            [](const QString &value) { return !value.contains(u':'); }),
        secret(text(u"ProxyPasswordHash"_s, &Options::proxyPasswordHash, u"a hash Tarnwick made"_s,
            &ProxyCredentials::wellFormed)),
        text(u"UpstreamProxy"_s, &Options::upstreamProxy, u"host:port"_s,
            [](const QString &value) { return UpstreamProxy::parseEndpoint(value).has_value(); }),
        text(u"UpstreamUser"_s, &Options::upstreamUser, u"a user name without a colon"_s,
            [](const QString &value) { return !value.contains(u':'); }),
        secret(text(u"UpstreamPassword"_s, &Options::upstreamPassword, {})),
        list(u"UpstreamBypass"_s, &Options::upstreamBypass),
        rules(u"BreakpointRules"_s, &Options::breakpointRules),
    };
    return table;
}

QString shown(const QString &text)
{
    return u"\"%1\""_s.arg(text.size() > MaxShownChars ? text.left(MaxShownChars) + u"..."_s : text);
}

} // namespace

int Options::defaultThreads()
{
    return std::clamp(QThread::idealThreadCount(), 1, MaxThreads);
}

ProxyAccess Options::access() const
{
    ProxyAccess access;
    if (const auto allowed = ClientAllowList::parse(allowClients))
        access.allowClients = *allowed;
    // A user without a password could never be let in; such options ask for nothing.
    if (!proxyPasswordHash.isEmpty()) {
        access.proxyUser = proxyUser;
        access.proxyPasswordHash = proxyPasswordHash;
    }
    if (const auto endpoint = UpstreamProxy::parseEndpoint(upstreamProxy)) {
        access.upstream = { endpoint->host, endpoint->port, upstreamUser, upstreamPassword, upstreamBypass };
    }
    return access;
}

QString Options::defaultFileName()
{
    return AppFolder + u"tarnwick-options.ini"_s;
}

Options::ReadResult Options::read(const QString &fileName)
{
    ReadResult result;
    const QString file = QFileInfo(fileName).fileName();
    QFile input(fileName);
    if (!input.exists())
        return result;
    if (!input.open(QIODevice::ReadOnly)) {
        result.logLines.append(
            u"%1: cannot be read (%2); using the defaults"_s.arg(file, input.errorString()));
        return result;
    }
    const QByteArray bytes = input.read(MaxFileBytes + 1);
    if (bytes.size() > MaxFileBytes) {
        result.logLines.append(
            u"%1: larger than %2 KiB; using the defaults"_s.arg(file, QString::number(MaxFileBytes / 1024)));
        return result;
    }

    const Options defaults;
    const QStringList lines = QString::fromUtf8(bytes).split(u'\n');
    for (qsizetype number = 0; number < lines.size(); ++number) {
        const QString line = lines[number].trimmed();
        // Blank lines, comments and the section header QSettings would write are no options.
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#') || line.startsWith(u'['))
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0) {
            result.logLines.append(u"%1: line %2 is not key=value: %3; ignored"_s.arg(
                file, QString::number(number + 1), shown(line)));
            continue;
        }
        const QString name = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        const auto key = std::find_if(keys().begin(), keys().end(),
            [&](const Key &candidate) { return candidate.name.compare(name, Qt::CaseInsensitive) == 0; });
        if (key == keys().end()) {
            result.logLines.append(u"%1: unknown key %2; ignored"_s.arg(file, shown(name)));
        } else if (!key->parse(result.options, value)) {
            // An earlier line of the same key does not count either.
            key->parse(result.options, key->format(defaults));
            result.logLines.append(u"%1: bad value for %2: %3 (%4); using %5"_s.arg(file, key->name,
                key->secret ? u"(not shown)"_s : shown(value), key->takes, key->format(defaults)));
        }
    }
    return result;
}

bool Options::write(const QString &fileName, QString *why) const
{
    QByteArray text;
    for (const Key &key : keys())
        text += (key.name + u'=' + key.format(*this) + u'\n').toUtf8();
    // Written whole or not at all, so a crash or a full disk never leaves half an options file.
    QSaveFile output(fileName);
    // The password goes into the file only once nobody else may read it.
    const bool secret = !upstreamPassword.isEmpty();
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (output.open(QIODevice::WriteOnly) && (!secret || output.setPermissions(ownerOnly))
        && output.write(text) == text.size() && output.commit()
        && (!secret || QFile::setPermissions(fileName, ownerOnly)))
        return true;
    if (why)
        *why = u"Cannot write %1: %2"_s.arg(fileName, output.errorString());
    return false;
}
