#pragma once

#include <QString>
#include <QStringList>

// The HTTPS decryption settings, kept in their own file beside the program so that
// tarnwick.ini keeps its fixed three lines.
struct HttpsSettings {
    bool enabled = false;
    // Host names and "*.example.com" patterns whose CONNECTs stay plain tunnels.
    QStringList neverDecryptHosts;
    // A PEM file of further CAs trusted for servers; empty for none.
    QString extraTrustedCA;

    // AppFolder + "tarnwick-https.ini".
    static QString defaultFileName();
    // A missing file gives the defaults.
    static HttpsSettings load(const QString &fileName);
    bool save(const QString &fileName, QString *why = nullptr) const;

    // Whether a host is on the never-decrypt list, ignoring case and a final root dot. A plain
    // entry matches that host only; "*.example.com" matches every name below example.com but
    // not example.com itself, which takes an entry of its own.
    bool neverDecrypt(const QString &host) const;
    // The same matching against any list of such entries.
    static bool hostListed(const QStringList &patterns, const QString &host);

    bool operator==(const HttpsSettings &) const = default;
};
