#include "FakeOrigin.h"
#include "HttpsFixtures.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <openssl/x509.h>

#include <gtest/gtest.h>

namespace {

// The base64 SHA-256 of a certificate's public key, as Chromium's SPKI trust list takes it.
QByteArray spkiHash(X509 *certificate)
{
    unsigned char *der = nullptr;
    const int size = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    const QByteArray hash = QCryptographicHash::hash(
        QByteArray(reinterpret_cast<const char *>(der), size), QCryptographicHash::Sha256);
    OPENSSL_free(der);
    return hash.toBase64();
}

} // namespace

// Guards against what only a real browser does: sub-resources over one decrypted connection or
// several, ALPN, SNI, and a page that breaks when any piece of it is lost on the way.
TEST(Browser, LoadsAnHttpsPageWithItsPictureAndScriptThroughDecryption)
{
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed";
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    const QSslConfiguration tls = p.origin(QStringLiteral("localhost"));
    FakeOrigin site(&tls);
    site.setReply({}, FakeOrigin::Closing::WhenAsked);
    const QByteArray png = QByteArray::fromBase64(
        "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8DwHwAFBQIAX8jx0gAAAABJRU5ErkJggg==");
    site.pages = { { "/page.html",
                       "<html><body><img id=i src=/dot.png><script src=/run.js></script></body></html>" },
        { "/dot.png", png },
        { "/run.js",
            "addEventListener('load', () => document.body.dataset.seen = "
            "document.getElementById('i').naturalWidth);" } };

    QTemporaryDir profile;
    QProcess browser;
    browser.start(chromium,
        QStringLiteral("--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                       "--disable-background-networking --disable-component-update --disable-sync "
                       "--proxy-bypass-list=<-loopback> --virtual-time-budget=5000 --dump-dom")
                .split(QLatin1Char(' '))
            + QStringList { QStringLiteral("--user-data-dir=") + profile.path(),
                QStringLiteral("--proxy-server=") + p.h.proxyUrl(),
                QStringLiteral("--ignore-certificate-errors-spki-list=")
                    + QString::fromLatin1(spkiHash(p.https.authority().x509())),
                site.url(QStringLiteral("/page.html")) });
    ASSERT_TRUE(waitFor([&] { return browser.state() == QProcess::NotRunning; }, 60000)) << "chromium hangs";
    const QByteArray dom = browser.readAllStandardOutput();
    EXPECT_TRUE(dom.contains("data-seen=\"1\""))
        << dom.constData() << browser.readAllStandardError().constData();

    ASSERT_TRUE(p.h.waitUntilIdle(15000));
    QHash<QString, QStringList> rows;
    for (int i = 1; i <= p.h.rowCount(); ++i)
        rows.insert(p.h.row(i).at(3), p.h.row(i));
    for (const auto &[path, body] : site.pages.asKeyValueRange()) {
        const QStringList row = rows.value(site.url(QString::fromLatin1(path)));
        ASSERT_EQ(row.size(), 11) << path.constData();
        EXPECT_EQ(row.at(6), QStringLiteral("DONE"));
        EXPECT_TRUE(p.h.readRecord(row.at(8)).endsWith("\r\n\r\n" + body)) << path.constData();
    }
}
