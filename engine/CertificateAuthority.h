#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>

#include <openssl/types.h>

#include <list>
#include <memory>
#include <mutex>

struct OpenSslFree {
    void operator()(X509 *certificate) const;
    void operator()(EVP_PKEY *key) const;
};
using X509Ptr = std::unique_ptr<X509, OpenSslFree>;
using EvpKeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree>;

// What a TLS server socket needs to present itself as one host: the leaf and the CA above it,
// and the leaf's private key, in Qt's forms and as OpenSSL objects.
struct LeafCertificate {
    QString host;
    QSslCertificate certificate;
    // The leaf first, then the CA, as QSslConfiguration::setLocalCertificateChain takes it.
    QList<QSslCertificate> chain;
    QSslKey key;
    X509Ptr x509;
    // The same key for every leaf of the run.
    EvpKeyPtr privateKey;

    // For the browser side of a decrypted CONNECT: TLS 1.2 or later, ALPN offering http/1.1
    // alone since the exchange inside is read as HTTP/1.1.
    QSslConfiguration serverConfiguration() const;
};

// The certificate authority of this installation, kept in <folder>/ca/, and the leaf
// certificates it signs for the hosts whose TLS is answered in their place.
//
// The CA is made once, on first use. One that exists but cannot be used is an error for the
// caller to show; its files are only ever replaced by an explicit renew(), since silently
// making a new CA would break the trust every browser of the user has placed in the old one.
//
// Used on one thread; nothing here is locked.
class CertificateAuthority
{
public:
    static constexpr int LeafCacheSize = 300;

    explicit CertificateAuthority(const QString &folder, int leafCacheSize = LeafCacheSize);
    ~CertificateAuthority();
    CertificateAuthority(const CertificateAuthority &) = delete;
    CertificateAuthority &operator=(const CertificateAuthority &) = delete;

    // Reads the CA, making it first when neither of its files exists. On failure nothing on
    // disk has changed and why says what is wrong.
    bool load(QString *why = nullptr);
    // Makes a new CA in place of the old one, whatever state that was in, and forgets every
    // leaf signed by the old one.
    bool renew(QString *why = nullptr);
    bool isLoaded() const;

    QString certificatePath() const;
    QString keyPath() const;

    QSslCertificate certificate() const;
    X509 *x509() const;
    // Writes the CA certificate as DER for a ".cer" file name, as PEM for any other.
    bool exportCertificate(const QString &fileName, QString *why = nullptr) const;

    // The leaf for a host name or IP address literal (IPv6 with or without brackets), from the
    // cache when it was made before. Empty when the CA is not loaded or the host is not one.
    std::shared_ptr<const LeafCertificate> leafFor(const QString &host, QString *why = nullptr);

private:
    bool create(QString *why);
    void forgetLeaves();

    QString m_folder;
    int m_cacheSize;
    // Network threads make leaves while the window may load or replace the CA: everything below
    // is under this lock.
    mutable std::recursive_mutex m_lock;
    X509Ptr m_caCertificate;
    EvpKeyPtr m_caKey;
    QSslCertificate m_caQt;
    EvpKeyPtr m_leafKey;
    QSslKey m_leafKeyQt;

    // Most recently used first.
    std::list<std::shared_ptr<const LeafCertificate>> m_leaves;
    QHash<QString, std::list<std::shared_ptr<const LeafCertificate>>::iterator> m_leafIndex;
};
