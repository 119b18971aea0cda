#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>

// A CA of the test's own and server certificates it signs, made with OpenSSL for the run:
// valid ones, expired ones and ones for another name.
class TestPki
{
public:
    QByteArray caPem() const { return pem(m_ca.get()); }
    // A server certificate for name, valid from daysFrom to daysTo (relative to now), and its key.
    QSslCertificate server(const QString &name, int daysFrom, int daysTo, QSslKey *key) const
    {
        const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> leafKey(EVP_EC_gen("P-256"), EVP_PKEY_free);
        const std::unique_ptr<X509, decltype(&X509_free)> leaf(
            make(name, leafKey.get(), m_ca.get(), daysFrom, daysTo, false), X509_free);
        BIO *bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PrivateKey(bio, leafKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
        *key = QSslKey(read(bio), QSsl::Ec);
        return QSslCertificate(pem(leaf.get()));
    }

private:
    X509 *make(const QString &name, EVP_PKEY *key, X509 *issuer, int daysFrom, int daysTo, bool ca) const
    {
        X509 *cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(++m_serial));
        X509_gmtime_adj(X509_getm_notBefore(cert), long(daysFrom) * 86400);
        X509_gmtime_adj(X509_getm_notAfter(cert), long(daysTo) * 86400);
        X509_set_pubkey(cert, key);
        X509_NAME *subject = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
            reinterpret_cast<const unsigned char *>(name.toUtf8().constData()), -1, -1, 0);
        X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : subject);
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
        const QByteArray extensions[] = { ca ? "critical,CA:TRUE" : "CA:FALSE",
            ca ? "critical,keyCertSign,cRLSign" : "digitalSignature", ca ? "" : "DNS:" + name.toUtf8() };
        const int nids[] = { NID_basic_constraints, NID_key_usage, NID_subject_alt_name };
        for (int i = 0; i < 3; ++i) {
            if (extensions[i].isEmpty())
                continue;
            X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nids[i], extensions[i].constData());
            X509_add_ext(cert, ext, -1);
            X509_EXTENSION_free(ext);
        }
        X509_sign(cert, issuer ? m_caKey.get() : key, EVP_sha256());
        return cert;
    }
    static QByteArray read(BIO *bio)
    {
        char *data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        const QByteArray out(data, size);
        BIO_free(bio);
        return out;
    }
    static QByteArray pem(X509 *cert)
    {
        BIO *bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, cert);
        return read(bio);
    }

    // In this order: the CA is made from the key, counting serials from zero.
    mutable int m_serial = 0;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> m_caKey { EVP_EC_gen("P-256"), EVP_PKEY_free };
    std::unique_ptr<X509, decltype(&X509_free)> m_ca {
        make(QStringLiteral("Tarnwick test CA"), m_caKey.get(), nullptr, -1, 30, true), X509_free
    };
};
