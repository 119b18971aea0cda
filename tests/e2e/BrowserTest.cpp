#include "FakeOrigin.h"
#include "HttpsFixtures.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QNetworkInterface>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

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

bool onlyLoopback()
{
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    return std::ranges::all_of(
        all, [](const QNetworkInterface &i) { return i.flags().testFlag(QNetworkInterface::IsLoopBack); });
}

// A new network namespace starts with its loopback down.
void bringLoopbackUp()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request {};
    std::strcpy(request.ifr_name, "lo");
    if (fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags |= IFF_UP;
        ioctl(fd, SIOCSIFFLAGS, &request);
    }
    if (fd >= 0)
        close(fd);
}

} // namespace

// Guards against what only a real browser does: sub-resources over one decrypted connection or
// several, ALPN, SNI, and a page that breaks when any piece of it is lost on the way.
TEST(Browser, LoadsAnHttpsPageWithItsPictureAndScriptThroughDecryption)
{
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed";
    // Chromium calls its own hosts whatever it is told, and the proxy would forward those calls:
    // it runs only where nothing but loopback can be reached, so this test runs itself again in a
    // network namespace of its own.
    if (!onlyLoopback()) {
        if (QProcess::execute(QStringLiteral("unshare"), { QStringLiteral("-n"), QStringLiteral("true") }) != 0)
            GTEST_SKIP() << "no loopback-only network namespace can be made; chromium is not run";
        QProcess inner;
        inner.setProcessChannelMode(QProcess::MergedChannels);
        inner.start(QStringLiteral("unshare"),
            { QStringLiteral("-n"), QCoreApplication::applicationFilePath(),
                QStringLiteral("--gtest_filter=Browser.LoadsAnHttpsPageWithItsPictureAndScriptThroughDecryption") });
        ASSERT_TRUE(inner.waitForFinished(120000));
        const QByteArray output = inner.readAll();
        EXPECT_TRUE(inner.exitCode() == 0 && output.contains("[  PASSED  ] 1 test")) << output.constData();
        return;
    }
    bringLoopbackUp();
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    const QSslConfiguration tls = p.origin(QStringLiteral("localhost"));
    FakeOrigin site(&tls);
    site.setReply({}, FakeOrigin::Closing::WhenAsked);
    const QByteArray png = QByteArray::fromBase64(
        "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8DwHwAFBQIAX8jx0gAAAABJRU5ErkJggg==");
    // A page of 60 resources, as a browser fetches them: many streams on one HTTP/2 connection.
    QByteArray page = "<html><body><img id=i src=/dot.png><script src=/run.js></script>";
    site.pages = { { "/dot.png", png },
        { "/run.js",
            "addEventListener('load', () => document.body.dataset.seen = "
            "document.getElementById('i').naturalWidth);" } };
    for (int i = 0; i < 58; ++i) {
        const QByteArray path = "/r" + QByteArray::number(i) + (i % 2 ? ".css" : ".png");
        page += i % 2 ? "<link rel=stylesheet href=" + path + ">" : "<img src=" + path + ">";
        site.pages.insert(path, i % 2 ? "p" + QByteArray::number(i) + "{}" : png);
    }
    site.pages.insert("/page.html", page + "</body></html>");

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
    QByteArray summaries;
    for (int i = 1; i <= p.h.rowCount(); ++i) {
        rows.insert(p.h.row(i).at(3), p.h.row(i));
        if (p.h.row(i).at(2) == QStringLiteral("CONNECT"))
            summaries += p.h.readRecord(p.h.row(i).at(8)) + '\n';
    }
    EXPECT_TRUE(summaries.contains("Protocols: browser h2, ")) << "chromium multiplexes over HTTP/2\n"
                                                               << summaries.constData();
    for (const auto &[path, body] : site.pages.asKeyValueRange()) {
        const QStringList row = rows.value(site.url(QString::fromLatin1(path)));
        ASSERT_EQ(row.size(), 11) << path.constData();
        EXPECT_EQ(row.at(6), QStringLiteral("DONE"));
        EXPECT_TRUE(p.h.readRecord(row.at(8)).endsWith("\r\n\r\n" + body)) << path.constData();
    }
}
