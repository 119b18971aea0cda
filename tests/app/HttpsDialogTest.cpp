#include "HttpsDecryption.h"
#include "MainWindowFixture.h"
#include "cDialog.h"
#include "frmHttps.h"

#include <QAction>
#include <QCheckBox>
#include <QPushButton>
#include <QTimer>

using HttpsDialogTest = MainWindowTest;

TEST_F(HttpsDialogTest, OkAppliesAndSavesAtOnceWhileCancelAndBadHostsChangeNothing)
{
    const QString httpsIni = folder + QStringLiteral("tarnwick-https.ini");
    const struct {
        const char *name, *hosts;
        QPushButton *frmHttps::*button;
        const char *box;
    } rows[] = { { "a line that is no host", "good.example\n\nbad host\n", &frmHttps::cmdOK, "Line 3 " },
        { "pattern, addresses and name", " *.bank.example\n\n[::1]\n10.0.0.1\nmail.example.",
            &frmHttps::cmdOK, "" },
        { "Cancel", "x.example", &frmHttps::cmdCancel, "" } };
    start();
    // Guards against a CA appearing for users who never turned decryption on.
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("ca")));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        // The dialog is modal: it is worked from inside its own event loop.
        QTimer::singleShot(0, main, [&] {
            frmHttps *dialog = main->findChild<frmHttps *>();
            ASSERT_NE(dialog, nullptr);
            dialog->chkDecrypt->setChecked(true);
            dialog->txtNeverDecrypt->setPlainText(QString::fromLatin1(row.hosts));
            QTest::mouseClick(dialog->*row.button, Qt::LeftButton);
            EXPECT_EQ(dialog->isVisible(), *row.box != 0);
            dialog->reject();
        });
        main->findChild<QAction *>(QStringLiteral("mnuToolsItem4"))->trigger();
        const bool saved = !*row.box && row.button == &frmHttps::cmdOK;
        HttpsDecryption *decryption = main->Proxy->httpsDecryption();
        EXPECT_EQ(std::pair(QFile::exists(httpsIni), decryption->active()), std::pair(saved, saved));
        EXPECT_EQ(std::exchange(messages, {}).join(QLatin1Char('|')).left(7), QLatin1String(row.box));
        if (saved) {
            EXPECT_EQ(HttpsSettings::load(httpsIni).neverDecryptHosts.join(QLatin1Char(' ')),
                QStringLiteral("*.bank.example [::1] 10.0.0.1 mail.example."));
            // Back off for the Cancel row, which must leave it so.
            ASSERT_TRUE(decryption->apply(HttpsSettings(), nullptr) && QFile::remove(httpsIni));
        }
    }
}

TEST_F(HttpsDialogTest, AnUnreadableExtraCaFileAtStartIsShownLoggedAndLeavesDecryptionOff)
{
    const QString httpsIni = folder + QStringLiteral("tarnwick-https.ini");
    const std::tuple<const char *, const char *, const char *> rows[]
        = { { "missing extra CA file", "nothing-here.pem", "Cannot read the extra trusted CA file" },
              { "extra CA file holding no certificate", "tarnwick-https.ini", "holds no PEM certificate" } };
    for (const auto &[name, extraCA, reason] : rows) {
        SCOPED_TRACE(name);
        const HttpsSettings settings { true, {}, folder + QLatin1String(extraCA) };
        ASSERT_TRUE(settings.save(httpsIni));

        start();
        const QString box = std::exchange(messages, {}).join(QLatin1Char('|'));
        EXPECT_TRUE(box.startsWith(QStringLiteral("HTTPS decryption is off: "))
            && box.contains(QLatin1String(reason)))
            << qPrintable(box);
        EXPECT_TRUE(logWindow()->txtLog->toPlainText().contains(box));
        EXPECT_FALSE(httpsDecryption()->shouldDecrypt(QStringLiteral("example.org")));
        end();
        // The exit keeps what the user chose rather than what could be done.
        EXPECT_EQ(HttpsSettings::load(httpsIni), settings);
    }
}

TEST_F(HttpsDialogTest, ExportFollowsTheFileNameAndNewCaAsksFirst)
{
    HttpsDecryption decryption(folder);
    frmHttps dialog(&decryption, nullptr, nullptr);
    dialog.show();
    // Exporting before decryption was ever on makes the CA rather than failing.
    const std::pair<const char *, QSsl::EncodingFormat> exports[]
        = { { "ca.pem", QSsl::Pem }, { "ca.crt", QSsl::Pem }, { "ca.cer", QSsl::Der } };
    for (const auto &[name, format] : exports) {
        SCOPED_TRACE(name);
        const QString path = folder + QLatin1String(name);
        cDialog::setNextFileAnswerForTest([&](const cDialog::FileRequest &) { return path; });
        QTest::mouseClick(dialog.cmdExportCA, Qt::LeftButton);
        // Read in the other encoding, the bytes would give no certificate at all.
        EXPECT_EQ(QSslCertificate::fromPath(path, format).value(0), decryption.authority().certificate());
    }

    for (const bool yes : { false, true }) {
        SCOPED_TRACE(yes ? "accepted" : "declined");
        const QSslCertificate before = decryption.authority().certificate();
        MessageBox::setNextAnswerForTest(yes);
        QTest::mouseClick(dialog.cmdNewCA, Qt::LeftButton);
        EXPECT_EQ(messages.size(), yes ? 2 : 1);
        EXPECT_EQ(decryption.authority().certificate() != before, yes);
    }
}
