#pragma once

#include "CertificateAuthority.h"
#include "HttpsSettings.h"

#include <QList>
#include <QSslCertificate>
#include <QString>

#include <mutex>

// The program-wide state of HTTPS decryption that the proxy server consults on each CONNECT:
// the settings of tarnwick-https.ini, this installation's CA and the extra CAs trusted for
// servers. Decryption is active only while it is enabled and everything it needs could be read;
// a failure leaves it off rather than half on.
//
// The window thread changes it; network threads ask it on each CONNECT, under its lock (the CA
// has a lock of its own).
class HttpsDecryption
{
public:
    // programFolder ends with the separator, like AppFolder.
    explicit HttpsDecryption(const QString &programFolder);

    // Reads tarnwick-https.ini and applies it. A CA that cannot be read leaves decryption off
    // and its files untouched.
    bool load(QString *why);
    bool save(QString *why) const;
    const HttpsSettings &settings() const;
    QString settingsFileName() const;
    // Keeps the settings whatever happens, so that they are saved as the user chose them, and
    // loads or makes the CA when they turn decryption on. New CONNECTs see the change at once.
    bool apply(const HttpsSettings &settings, QString *why);
    bool active() const;
    bool shouldDecrypt(const QString &host) const;
    CertificateAuthority &authority();
    QList<QSslCertificate> extraTrustedCAs() const;
    // Replaces the CA and every certificate made from it.
    bool renewAuthority(QString *why);

private:
    QString m_folder;
    mutable std::recursive_mutex m_lock;
    HttpsSettings m_settings;
    CertificateAuthority m_authority;
    QList<QSslCertificate> m_extraCAs;
    // Why the extra CA file could not be used; decryption stays off while it is set.
    QString m_extraError;
};
