#include "CertificateAuthority.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSaveFile>
#include <QSslSocket>

#include <optional>

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

void OpenSslFree::operator()(X509 *certificate) const
{
    X509_free(certificate);
}

void OpenSslFree::operator()(EVP_PKEY *key) const
{
    EVP_PKEY_free(key);
}

QSslConfiguration LeafCertificate::serverConfiguration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setAllowedNextProtocols({ QByteArrayLiteral("h2"), QByteArrayLiteral("http/1.1") });
    // Asking for a client certificate would make browsers prompt the user to pick one.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

namespace {

constexpr long Day = 24 * 60 * 60;
constexpr int CaValidityDays = 3652;
// Browsers refuse server certificates valid for longer than 398 days.
constexpr int LeafValidityDays = 397;
// RFC 5280 upper bound for a common name; the SAN carries longer host names alone.
constexpr qsizetype MaxCommonName = 64;

struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// Leaves OpenSSL's error queue empty: Qt's TLS sockets on this thread read the same queue and
// would take our leftovers for their own failures.
QString takeOpenSslErrors()
{
    QString text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.isEmpty())
            text += QStringLiteral("; ");
        text += QString::fromLatin1(buffer);
    }
    return text;
}

bool fail(QString *why, const QString &text)
{
    takeOpenSslErrors();
    if (why)
        *why = text;
    return false;
}

// A key file protected by a pass phrase is refused rather than prompted for on a terminal.
int noPassPhrase(char *, int, int, void *)
{
    return -1;
}

void wipe(QByteArray &secret)
{
    OPENSSL_cleanse(secret.data(), static_cast<size_t>(secret.size()));
    secret.clear();
}

QByteArray bioBytes(BIO *bio)
{
    BUF_MEM *memory = nullptr;
    BIO_get_mem_ptr(bio, &memory);
    return memory ? QByteArray(memory->data, static_cast<qsizetype>(memory->length)) : QByteArray();
}

QByteArray certificatePem(X509 *certificate)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    return bio && PEM_write_bio_X509(bio.get(), certificate) == 1 ? bioBytes(bio.get()) : QByteArray();
}

QByteArray keyPem(EVP_PKEY *key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    QByteArray pem = bioBytes(bio.get());
    BUF_MEM *memory = nullptr;
    BIO_get_mem_ptr(bio.get(), &memory);
    OPENSSL_cleanse(memory->data, memory->length);
    return pem;
}

BioPtr readBio(const QByteArray &bytes)
{
    return BioPtr(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
}

EvpKeyPtr newKey()
{
    return EvpKeyPtr(EVP_EC_gen("P-256"));
}

bool setRandomSerial(X509 *certificate)
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    BIGNUM *number = BN_bin2bn(bytes, sizeof bytes, nullptr);
    const bool ok = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    return ok;
}

bool addExtension(X509 *certificate, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    const bool ok = extension && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return ok;
}

bool addNameEntry(X509_NAME *name, const char *field, const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
               reinterpret_cast<const unsigned char *>(utf8.constData()), static_cast<int>(utf8.size()), -1,
               0)
        == 1;
}

// Built as a structure rather than from "DNS:..." text, so that a host can never smuggle a
// second name in.
bool addSubjectAltName(X509 *certificate, const QString &host, bool isAddress, bool critical)
{
    const QByteArray ascii = host.toLatin1();
    ASN1_STRING *value = isAddress ? a2i_IPADDRESS(ascii.constData()) : ASN1_IA5STRING_new();
    if (!value)
        return false;
    if (!isAddress && ASN1_STRING_set(value, ascii.constData(), static_cast<int>(ascii.size())) != 1) {
        ASN1_STRING_free(value);
        return false;
    }
    GENERAL_NAME *name = GENERAL_NAME_new();
    GENERAL_NAMES *names = sk_GENERAL_NAME_new_null();
    bool ok = false;
    if (name && names) {
        GENERAL_NAME_set0_value(name, isAddress ? GEN_IPADD : GEN_DNS, value);
        value = nullptr;
        ok = sk_GENERAL_NAME_push(names, name) > 0;
        if (ok)
            name = nullptr;
        ok = ok
            && X509_add1_ext_i2d(
                   certificate, NID_subject_alt_name, names, critical ? 1 : 0, X509V3_ADD_DEFAULT)
                == 1;
    }
    ASN1_STRING_free(value);
    GENERAL_NAME_free(name);
    GENERAL_NAMES_free(names);
    return ok;
}

// The form a host takes in a certificate and as the cache key: a canonical address, or a
// lower-case DNS name of letters, digits, hyphens and underscores without its root dot.
std::optional<std::pair<QString, bool>> certificateHost(QString host)
{
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    QHostAddress address;
    if (address.setAddress(host)) {
        address.setScopeId(QString());
        return std::pair { address.toString(), true };
    }
    host = host.toLower();
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (host.isEmpty() || host.size() > 253)
        return std::nullopt;
    for (const QStringView label : QStringView(host).split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > 63)
            return std::nullopt;
        for (const QChar c : label) {
            const char16_t u = c.unicode();
            if (!((u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-' || u == '_'))
                return std::nullopt;
        }
    }
    return std::pair { host, false };
}

QString userName()
{
    for (const char *variable : { "USER", "USERNAME", "LOGNAME" }) {
        const QString name = qEnvironmentVariable(variable);
        if (!name.isEmpty())
            return name;
    }
    return QDir::home().dirName();
}

#ifdef Q_OS_UNIX
// Written beside its final name and moved over it, so a failure leaves the old file whole; the
// file is created with its final mode, so a key is never readable by others even for a moment.
bool writeFile(const QString &path, QByteArray bytes, mode_t mode, QString *why)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    ::unlink(temporary.constData());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    bool ok = fd >= 0;
    for (qsizetype done = 0; ok && done < bytes.size();) {
        const ssize_t written
            = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        ok = written > 0 || (written < 0 && errno == EINTR);
        done += written > 0 ? written : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    wipe(bytes);
    if (!ok || ::rename(temporary.constData(), target.constData()) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(ok ? errno : error));
        ::unlink(temporary.constData());
        return fail(why, QStringLiteral("Cannot write %1: %2").arg(path, reason));
    }
    return true;
}
#else
bool writeFile(const QString &path, QByteArray bytes, int, QString *why)
{
    QSaveFile file(path);
    const bool ok = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
    wipe(bytes);
    return ok || fail(why, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
}
#endif

bool readFile(const QString &path, QByteArray *bytes, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(why, QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    *bytes = file.readAll();
    return true;
}

} // namespace

CertificateAuthority::CertificateAuthority(const QString &folder, int leafCacheSize)
    : m_folder(QDir(folder).filePath(QStringLiteral("ca")))
    , m_cacheSize(qMax(1, leafCacheSize))
{ }

CertificateAuthority::~CertificateAuthority() = default;

QString CertificateAuthority::certificatePath() const
{
    return QDir(m_folder).filePath(QStringLiteral("tarnwick-ca.pem"));
}

QString CertificateAuthority::keyPath() const
{
    return QDir(m_folder).filePath(QStringLiteral("tarnwick-ca-key.pem"));
}

bool CertificateAuthority::isLoaded() const
{
    const std::lock_guard lock(m_lock);
    return m_caCertificate && m_caKey;
}

QSslCertificate CertificateAuthority::certificate() const
{
    const std::lock_guard lock(m_lock);
    return m_caQt;
}

X509 *CertificateAuthority::x509() const
{
    const std::lock_guard lock(m_lock);
    return m_caCertificate.get();
}

bool CertificateAuthority::load(QString *why)
{
    const std::lock_guard lock(m_lock);
    const QString certPath = certificatePath();
    const QString keyFile = keyPath();
    const bool haveCertificate = QFileInfo::exists(certPath);
    const bool haveKey = QFileInfo::exists(keyFile);
    if (!haveCertificate && !haveKey)
        return create(why);
    if (!haveKey)
        return fail(why, QStringLiteral("The CA certificate %1 has no key file beside it").arg(certPath));
    if (!haveCertificate)
        return fail(why, QStringLiteral("The CA key %1 has no certificate file beside it").arg(keyFile));
#ifdef Q_OS_UNIX
    constexpr QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup
        | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    if (QFile::permissions(keyFile) & others)
        return fail(why,
            QStringLiteral("The CA key %1 can be read by other users; make it readable by its owner only "
                           "(chmod 600) or make a new CA")
                .arg(keyFile));
#endif

    QByteArray certBytes;
    QByteArray keyBytes;
    if (!readFile(certPath, &certBytes, why) || !readFile(keyFile, &keyBytes, why))
        return false;
    X509Ptr certificate(PEM_read_bio_X509(readBio(certBytes).get(), nullptr, noPassPhrase, nullptr));
    EvpKeyPtr key(PEM_read_bio_PrivateKey(readBio(keyBytes).get(), nullptr, noPassPhrase, nullptr));
    wipe(keyBytes);
    if (!certificate)
        return fail(why, QStringLiteral("The CA certificate %1 is damaged").arg(certPath));
    if (!key)
        return fail(
            why, QStringLiteral("The CA key %1 is damaged or protected by a pass phrase").arg(keyFile));
    if (X509_check_private_key(certificate.get(), key.get()) != 1)
        return fail(why,
            QStringLiteral("The CA key %1 does not belong to the certificate %2").arg(keyFile, certPath));
    if (X509_check_ca(certificate.get()) == 0)
        return fail(why, QStringLiteral("%1 is not a CA certificate").arg(certPath));
    if (X509_cmp_current_time(X509_get0_notAfter(certificate.get())) <= 0)
        return fail(why, QStringLiteral("The CA certificate %1 has expired; make a new CA").arg(certPath));

    m_caQt = QSslCertificate(certificatePem(certificate.get()), QSsl::Pem);
    m_caCertificate = std::move(certificate);
    m_caKey = std::move(key);
    forgetLeaves();
    return true;
}

bool CertificateAuthority::renew(QString *why)
{
    return create(why);
}

bool CertificateAuthority::create(QString *why)
{
    const std::lock_guard lock(m_lock);
    EvpKeyPtr key = newKey();
    X509Ptr certificate(X509_new());
    X509 *cert = certificate.get();
    if (!key || !cert || X509_set_version(cert, X509_VERSION_3) != 1 || !setRandomSerial(cert))
        return fail(why, QStringLiteral("Cannot make a CA: ") + takeOpenSslErrors());

    const QDateTime now = QDateTime::currentDateTimeUtc();
    // The user and the time of making set this installation's CA apart from every other.
    const QString commonName
        = QStringLiteral("Tarnwick CA %1 %2")
              .arg(userName().left(24), now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    X509_NAME *subject = X509_get_subject_name(cert);
    const bool ok = X509_gmtime_adj(X509_getm_notBefore(cert), -Day)
        && X509_time_adj_ex(X509_getm_notAfter(cert), CaValidityDays, 0, nullptr)
        && addNameEntry(subject, "O", QStringLiteral("Tarnwick")) && addNameEntry(subject, "CN", commonName)
        && X509_set_issuer_name(cert, subject) == 1 && X509_set_pubkey(cert, key.get()) == 1
        && addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE")
        && addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign")
        && addExtension(cert, cert, NID_subject_key_identifier, "hash")
        && X509_sign(cert, key.get(), EVP_sha256()) > 0;
    if (!ok)
        return fail(why, QStringLiteral("Cannot make a CA: ") + takeOpenSslErrors());

#ifdef Q_OS_UNIX
    if (::mkdir(QFile::encodeName(m_folder).constData(), 0700) != 0 && errno != EEXIST)
        return fail(why,
            QStringLiteral("Cannot make the folder %1: %2")
                .arg(m_folder, QString::fromLocal8Bit(std::strerror(errno))));
#else
    if (!QDir().mkpath(m_folder))
        return fail(why, QStringLiteral("Cannot make the folder %1").arg(m_folder));
#endif
    // The key goes first: a certificate without its key is refused on the next load, never
    // mistaken for a usable CA.
    if (!writeFile(keyPath(), keyPem(key.get()), 0600, why)
        || !writeFile(certificatePath(), certificatePem(cert), 0644, why))
        return false;

    m_caQt = QSslCertificate(certificatePem(cert), QSsl::Pem);
    m_caCertificate = std::move(certificate);
    m_caKey = std::move(key);
    forgetLeaves();
    return true;
}

bool CertificateAuthority::exportCertificate(const QString &fileName, QString *why) const
{
    const std::lock_guard lock(m_lock);
    if (!isLoaded())
        return fail(why, QStringLiteral("There is no CA certificate to export"));
    QSaveFile file(fileName);
    const QByteArray bytes
        = fileName.endsWith(QStringLiteral(".cer"), Qt::CaseInsensitive) ? m_caQt.toDer() : m_caQt.toPem();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return fail(why, QStringLiteral("Cannot write %1: %2").arg(fileName, file.errorString()));
    return true;
}

void CertificateAuthority::forgetLeaves()
{
    const std::lock_guard lock(m_lock);
    m_leaves.clear();
    m_leafIndex.clear();
}

std::shared_ptr<const LeafCertificate> CertificateAuthority::leafFor(const QString &host, QString *why)
{
    const std::lock_guard lock(m_lock);
    if (!isLoaded()) {
        fail(why, QStringLiteral("The CA is not loaded"));
        return {};
    }
    const auto name = certificateHost(host);
    if (!name) {
        fail(why, QStringLiteral("Not a host name: %1").arg(host));
        return {};
    }
    const auto [certHost, isAddress] = *name;
    if (const auto found = m_leafIndex.constFind(certHost); found != m_leafIndex.cend()) {
        m_leaves.splice(m_leaves.begin(), m_leaves, *found);
        return m_leaves.front();
    }

    if (!m_leafKey) {
        m_leafKey = newKey();
        QByteArray pem = m_leafKey ? keyPem(m_leafKey.get()) : QByteArray();
        m_leafKeyQt = QSslKey(pem, QSsl::Ec, QSsl::Pem);
        wipe(pem);
        if (m_leafKeyQt.isNull()) {
            m_leafKey.reset();
            fail(why, QStringLiteral("Cannot make a key for host certificates: ") + takeOpenSslErrors());
            return {};
        }
    }

    auto leaf = std::make_shared<LeafCertificate>();
    leaf->x509.reset(X509_new());
    X509 *cert = leaf->x509.get();
    X509 *ca = m_caCertificate.get();
    // A host name too long for a common name goes in the SAN alone, which must then be critical.
    const bool withCommonName = certHost.size() <= MaxCommonName;
    bool ok = cert && X509_set_version(cert, X509_VERSION_3) == 1 && setRandomSerial(cert)
        && X509_gmtime_adj(X509_getm_notBefore(cert), -Day)
        && X509_time_adj_ex(X509_getm_notAfter(cert), LeafValidityDays - 1, 0, nullptr)
        && (!withCommonName || addNameEntry(X509_get_subject_name(cert), "CN", certHost))
        && X509_set_issuer_name(cert, X509_get_subject_name(ca)) == 1
        && X509_set_pubkey(cert, m_leafKey.get()) == 1
        && addExtension(cert, ca, NID_basic_constraints, "critical,CA:FALSE")
        && addExtension(cert, ca, NID_key_usage, "critical,digitalSignature")
        && addExtension(cert, ca, NID_ext_key_usage, "serverAuth")
        && addExtension(cert, ca, NID_subject_key_identifier, "hash")
        && addExtension(cert, ca, NID_authority_key_identifier, "keyid:always")
        && addSubjectAltName(cert, certHost, isAddress, !withCommonName);
    // No leaf outlives the CA that signs it.
    if (ok && ASN1_TIME_compare(X509_get0_notAfter(cert), X509_get0_notAfter(ca)) > 0)
        ok = X509_set1_notAfter(cert, X509_get0_notAfter(ca)) == 1;
    if (!ok || X509_sign(cert, m_caKey.get(), EVP_sha256()) <= 0) {
        fail(why, QStringLiteral("Cannot make a certificate for %1: %2").arg(host, takeOpenSslErrors()));
        return {};
    }

    leaf->host = certHost;
    leaf->certificate = QSslCertificate(certificatePem(cert), QSsl::Pem);
    leaf->chain = { leaf->certificate, m_caQt };
    leaf->key = m_leafKeyQt;
    EVP_PKEY_up_ref(m_leafKey.get());
    leaf->privateKey.reset(m_leafKey.get());

    m_leaves.push_front(std::move(leaf));
    m_leafIndex.insert(certHost, m_leaves.begin());
    if (static_cast<int>(m_leaves.size()) > m_cacheSize) {
        m_leafIndex.remove(m_leaves.back()->host);
        m_leaves.pop_back();
    }
    return m_leaves.front();
}
