#include "HttpsDecryption.h"

#include <QFile>

namespace {
// A bundle of every public CA is a few hundred KiB; anything far beyond that is not a CA file.
constexpr qint64 ExtraCAReadLimit = 16 * 1024 * 1024;

bool fail(QString *why, const QString &text)
{
    if (why)
        *why = text;
    return false;
}
} // namespace

HttpsDecryption::HttpsDecryption(const QString &programFolder)
    : m_folder(programFolder)
    , m_authority(programFolder)
{ }

QString HttpsDecryption::settingsFileName() const
{
    return m_folder + QStringLiteral("tarnwick-https.ini");
}

bool HttpsDecryption::load(QString *why)
{
    return apply(HttpsSettings::load(settingsFileName()), why);
}

bool HttpsDecryption::save(QString *why) const
{
    return m_settings.save(settingsFileName(), why);
}

const HttpsSettings &HttpsDecryption::settings() const
{
    return m_settings;
}

bool HttpsDecryption::apply(const HttpsSettings &settings, QString *why)
{
    const std::lock_guard lock(m_lock);
    m_settings = settings;
    m_extraCAs.clear();
    m_extraError.clear();
    if (!m_settings.enabled)
        return true;

    if (!m_settings.extraTrustedCA.isEmpty()) {
        QFile file(m_settings.extraTrustedCA);
        if (file.open(QIODevice::ReadOnly))
            m_extraCAs = QSslCertificate::fromData(file.read(ExtraCAReadLimit), QSsl::Pem);
        if (!file.isOpen())
            m_extraError = QStringLiteral("Cannot read the extra trusted CA file %1: %2")
                               .arg(m_settings.extraTrustedCA, file.errorString());
        else if (m_extraCAs.isEmpty())
            m_extraError = QStringLiteral("The extra trusted CA file %1 holds no PEM certificate")
                               .arg(m_settings.extraTrustedCA);
    }
    if (!m_authority.isLoaded() && !m_authority.load(why))
        return false;
    return m_extraError.isEmpty() || fail(why, m_extraError);
}

bool HttpsDecryption::active() const
{
    const std::lock_guard lock(m_lock);
    return m_settings.enabled && m_authority.isLoaded() && m_extraError.isEmpty();
}

bool HttpsDecryption::shouldDecrypt(const QString &host) const
{
    const std::lock_guard lock(m_lock);
    return active() && !m_settings.neverDecrypt(host);
}

CertificateAuthority &HttpsDecryption::authority()
{
    return m_authority;
}

QList<QSslCertificate> HttpsDecryption::extraTrustedCAs() const
{
    const std::lock_guard lock(m_lock);
    return m_extraCAs;
}

bool HttpsDecryption::renewAuthority(QString *why)
{
    return m_authority.renew(why);
}
