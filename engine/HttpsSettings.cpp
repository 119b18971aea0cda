#include "HttpsSettings.h"

#include "ProgramValues.h"

#include <QSettings>

namespace {

const QString EnabledKey = QStringLiteral("Enabled");
const QString NeverDecryptKey = QStringLiteral("NeverDecrypt");
const QString ExtraTrustedCAKey = QStringLiteral("ExtraTrustedCA");

QString normalHost(QString host)
{
    host = host.trimmed().toLower();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    return host;
}

} // namespace

QString HttpsSettings::defaultFileName()
{
    return AppFolder + QStringLiteral("tarnwick-https.ini");
}

HttpsSettings HttpsSettings::load(const QString &fileName)
{
    const QSettings file(fileName, QSettings::IniFormat);
    HttpsSettings settings;
    settings.enabled = file.value(EnabledKey, false).toBool();
    settings.neverDecryptHosts = file.value(NeverDecryptKey).toStringList();
    settings.extraTrustedCA = file.value(ExtraTrustedCAKey).toString();
    return settings;
}

bool HttpsSettings::save(const QString &fileName, QString *why) const
{
    QSettings file(fileName, QSettings::IniFormat);
    file.clear();
    file.setValue(EnabledKey, enabled);
    file.setValue(NeverDecryptKey, neverDecryptHosts);
    file.setValue(ExtraTrustedCAKey, extraTrustedCA);
    file.sync();
    if (file.status() == QSettings::NoError)
        return true;
    if (why)
        *why = QStringLiteral("Cannot write %1").arg(fileName);
    return false;
}

bool HttpsSettings::neverDecrypt(const QString &host) const
{
    return hostListed(neverDecryptHosts, host);
}

bool HttpsSettings::hostListed(const QStringList &patterns, const QString &host)
{
    const QString name = normalHost(host);
    if (name.isEmpty())
        return false;
    for (const QString &entry : patterns) {
        const QString pattern = normalHost(entry);
        if (pattern.startsWith(QStringLiteral("*."))) {
            // The dot stays in the suffix, so "*.example.com" never matches "badexample.com".
            const QStringView suffix = QStringView(pattern).mid(1);
            if (suffix.size() > 1 && name.size() > suffix.size() && name.endsWith(suffix))
                return true;
        } else if (!pattern.isEmpty() && name == pattern) {
            return true;
        }
    }
    return false;
}
