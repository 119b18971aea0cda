#include "ProxyCredentials.h"

#include <QStringList>

#include <optional>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {
const QString Algorithm = QStringLiteral("pbkdf2-sha256");
constexpr int HashBytes = 32;
// A stored form with more would make each check a denial of service.
constexpr int MaxIterations = 10000000;

QByteArray derive(const QByteArray &password, const QByteArray &salt, int iterations)
{
    QByteArray out(HashBytes, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()),
            reinterpret_cast<const unsigned char *>(salt.constData()), int(salt.size()), iterations,
            EVP_sha256(), int(out.size()), reinterpret_cast<unsigned char *>(out.data()))
        != 1)
        return {};
    return out;
}

struct Parsed {
    int iterations = 0;
    QByteArray salt, hash;
};

std::optional<Parsed> parse(const QString &stored)
{
    const QStringList parts = stored.split(QLatin1Char('$'));
    if (parts.size() != 4 || parts[0] != Algorithm)
        return std::nullopt;
    Parsed out;
    bool ok = false;
    out.iterations = parts[1].toInt(&ok);
    const auto salt
        = QByteArray::fromBase64Encoding(parts[2].toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    const auto hash
        = QByteArray::fromBase64Encoding(parts[3].toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!ok || out.iterations < 1 || out.iterations > MaxIterations || !salt || !hash
        || salt.decoded.isEmpty() || hash.decoded.size() != HashBytes)
        return std::nullopt;
    out.salt = salt.decoded;
    out.hash = hash.decoded;
    return out;
}
} // namespace

QString ProxyCredentials::hashPassword(const QString &password, int iterations)
{
    QByteArray salt(SaltBytes, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(salt.data()), int(salt.size())) != 1)
        return {};
    const QByteArray hash = derive(password.toUtf8(), salt, iterations);
    if (hash.isEmpty())
        return {};
    return QStringLiteral("%1$%2$%3$%4")
        .arg(Algorithm, QString::number(iterations), QString::fromLatin1(salt.toBase64()),
            QString::fromLatin1(hash.toBase64()));
}

bool ProxyCredentials::wellFormed(const QString &stored)
{
    return parse(stored).has_value();
}

bool ProxyCredentials::verify(const QString &stored, const QByteArray &password)
{
    const std::optional<Parsed> parsed = parse(stored);
    if (!parsed)
        return false;
    const QByteArray hash = derive(password, parsed->salt, parsed->iterations);
    return hash.size() == HashBytes
        && CRYPTO_memcmp(hash.constData(), parsed->hash.constData(), HashBytes) == 0;
}

ProxyCredentials::ProxyCredentials(const QString &user, const QString &passwordHash)
    : m_user(user)
    , m_hash(passwordHash)
{ }

bool ProxyCredentials::required() const
{
    return !m_user.isEmpty();
}

bool ProxyCredentials::accepts(const QByteArray &authorization)
{
    if (!required())
        return true;
    if (authorization.isEmpty())
        return false;
    if (!m_lastGood.isEmpty() && authorization.size() == m_lastGood.size()
        && CRYPTO_memcmp(authorization.constData(), m_lastGood.constData(), size_t(m_lastGood.size())) == 0)
        return true;
    // RFC 9110 section 11.1: the scheme name is case-insensitive; RFC 7617: user-id ":" password.
    const QByteArray value = authorization.trimmed();
    const qsizetype space = value.indexOf(' ');
    if (space < 0 || value.first(space).compare("basic", Qt::CaseInsensitive) != 0)
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(
        value.mid(space + 1).trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    const QByteArray &pair = decoded.decoded;
    const qsizetype colon = pair.indexOf(':');
    if (colon < 0 || pair.first(colon) != m_user.toUtf8() || !verify(m_hash, pair.mid(colon + 1)))
        return false;
    m_lastGood = authorization;
    return true;
}
