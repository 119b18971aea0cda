#pragma once

#include <QByteArray>
#include <QString>

// The user name and password a client must give the proxy (Proxy-Authorization, Basic scheme).
// The password is kept only as a salted PBKDF2-SHA256 hash in the form
// "pbkdf2-sha256$<iterations>$<salt, base64>$<hash, base64>".
class ProxyCredentials
{
public:
    static constexpr int Iterations = 100000;
    static constexpr int SaltBytes = 16;

    // A hash of password with a fresh random salt; empty if no random bytes could be had.
    static QString hashPassword(const QString &password, int iterations = Iterations);
    // The stored form can be read (algorithm, iteration count, salt and hash).
    static bool wellFormed(const QString &stored);
    // Compares in constant time; false for a stored form that cannot be read.
    static bool verify(const QString &stored, const QByteArray &password);

    ProxyCredentials() = default;
    ProxyCredentials(const QString &user, const QString &passwordHash);
    // Clients must authenticate.
    bool required() const;
    // A Proxy-Authorization value that names the user and the password. The last value that
    // passed is remembered, so that the requests of a kept-alive connection do not each pay
    // for the hash.
    bool accepts(const QByteArray &authorization);

private:
    QString m_user;
    QString m_hash;
    QByteArray m_lastGood;
};
