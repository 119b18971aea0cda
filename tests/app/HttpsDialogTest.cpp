#include "CProxyServer.h"
#include "HttpsDecryption.h"
#include "MainModule.h"
#include "MessageBox.h"
#include "ProgramValues.h"
#include "TestFolder.h"
#include "Wait.h"
#include "cDialog.h"
#include "frmHttps.h"
#include "frmLog.h"
#include "frmMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class HttpsDialogTest : public testing::Test
{
protected:
    void SetUp() override
    {
        MessageBox::setHookForTest([this](const QString &text, MessageBox::Icon) { boxes.append(text); });
        setQuitHookForTest([](int) {});
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        // No tarnwick.ini: these stand.
        ServerIP = QStringLiteral("127.0.0.1");
        ServerPort = probe.serverPort();
        LogFileName.clear();
    }

    void TearDown() override
    {
        if (frmMain *window = mainWindow())
            window->endProgram();
        flushDeferredDeletes();
        MessageBox::setHookForTest({});
        setQuitHookForTest({});
        cDialog::setNextFileAnswerForTest(nullptr);
    }

    void start()
    {
        int exitCode = -1;
        ASSERT_TRUE(StartUp(folder.path(), &exitCode));
        main = mainWindow();
    }

    // Opens the dialog from the Tools menu and lets act work it while it is modal.
    void throughMenu(const std::function<void(frmHttps &)> &act)
    {
        QTimer::singleShot(0, main, [&] {
            frmHttps *dialog = main->findChild<frmHttps *>();
            ASSERT_NE(dialog, nullptr);
            act(*dialog);
            if (dialog->isVisible())
                dialog->reject();
        });
        main->findChild<QAction *>(QStringLiteral("mnuToolsItem4"))->trigger();
    }

    TestFolder folder;
    const QString ini = folder.path() + QStringLiteral("tarnwick-https.ini");
    frmMain *main = nullptr;
    QStringList boxes;
};

} // namespace

TEST_F(HttpsDialogTest, OkAppliesAndSavesAtOnceWhileCancelAndBadHostsChangeNothing)
{
    const struct {
        const char *name, *hosts;
        QPushButton *frmHttps::*button;
        bool saved;
    } rows[] = {
        { "a line that is no host", "good.example\n\nbad host\n", &frmHttps::cmdOK, false },
        { "pattern, address and name", " *.bank.example\n\n[::1]\n10.0.0.1\nmail.example.", &frmHttps::cmdOK,
            true },
        { "Cancel", "x.example", &frmHttps::cmdCancel, false },
    };
    start();
    // Guards against a CA appearing for users who never turned decryption on.
    EXPECT_FALSE(QFile::exists(folder.path() + QStringLiteral("ca")));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        boxes.clear();
        throughMenu([&](frmHttps &dialog) {
            dialog.chkDecrypt->setChecked(true);
            dialog.txtNeverDecrypt->setPlainText(QString::fromLatin1(row.hosts));
            QTest::mouseClick(dialog.*row.button, Qt::LeftButton);
            EXPECT_EQ(dialog.isVisible(), !row.saved && row.button == &frmHttps::cmdOK);
        });
        HttpsDecryption *decryption = main->Proxy->httpsDecryption();
        EXPECT_EQ(QFile::exists(ini), row.saved);
        EXPECT_EQ(decryption->active(), row.saved);
        EXPECT_EQ(boxes.size(), row.saved || row.button == &frmHttps::cmdCancel ? 0 : 1);
        EXPECT_TRUE(boxes.isEmpty() || boxes[0].startsWith(QStringLiteral("Line 3 ")));
        if (row.saved) {
            EXPECT_EQ(HttpsSettings::load(ini).neverDecryptHosts.join(QLatin1Char(' ')),
                QStringLiteral("*.bank.example [::1] 10.0.0.1 mail.example."));
            EXPECT_FALSE(decryption->shouldDecrypt(QStringLiteral("www.bank.example")));
            // Back off for the Cancel row, which must leave it so.
            ASSERT_TRUE(decryption->apply(HttpsSettings(), nullptr) && QFile::remove(ini));
        }
    }
}

TEST_F(HttpsDialogTest, AnUnreadableCaOrExtraCaFileAtStartIsShownLoggedAndLeavesDecryptionOff)
{
    const struct {
        const char *name, *extraCA, *reason;
    } rows[] = {
        { "damaged CA certificate", "", "is damaged" },
        { "missing extra CA file", "nothing-here.pem", "Cannot read the extra trusted CA file" },
        { "extra CA file holding no certificate", "tarnwick-https.ini", "holds no PEM certificate" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        boxes.clear();
        QDir(folder.path() + QStringLiteral("ca")).removeRecursively();
        HttpsDecryption maker(folder.path());
        ASSERT_TRUE(maker.authority().load(nullptr));
        const QString certificate = maker.authority().certificatePath();
        if (!*row.extraCA) {
            QFile damaged(certificate);
            ASSERT_TRUE(damaged.open(QIODevice::WriteOnly) && damaged.write("-----BEGIN CERT") > 0);
        }
        const QByteArray onDisk = readAll(certificate);
        HttpsSettings settings;
        settings.enabled = true;
        settings.extraTrustedCA = *row.extraCA ? folder.path() + QLatin1String(row.extraCA) : QString();
        ASSERT_TRUE(settings.save(ini));

        start();
        ASSERT_EQ(boxes.size(), 1);
        EXPECT_TRUE(boxes[0].startsWith(QStringLiteral("HTTPS decryption is off: "))
            && boxes[0].contains(QLatin1String(row.reason)))
            << qPrintable(boxes[0]);
        EXPECT_TRUE(logWindow()->txtLog->toPlainText().contains(boxes[0]));
        EXPECT_FALSE(httpsDecryption()->shouldDecrypt(QStringLiteral("example.org")));
        EXPECT_EQ(readAll(certificate), onDisk);
        main->endProgram();
        flushDeferredDeletes();
        // The exit keeps what the user chose rather than what could be done.
        EXPECT_EQ(HttpsSettings::load(ini), settings);
    }
}

TEST_F(HttpsDialogTest, ExportWritesPemOrDerByTheFileNameAndNewCaAsksFirst)
{
    // Exporting before decryption was ever on makes the CA rather than failing.
    HttpsDecryption decryption(folder.path());
    frmHttps dialog(&decryption, nullptr, nullptr);
    const struct {
        const char *name;
        QSsl::EncodingFormat format;
    } exports[] = { { "ca.pem", QSsl::Pem }, { "ca.crt", QSsl::Pem }, { "ca.cer", QSsl::Der } };
    for (const auto &row : exports) {
        SCOPED_TRACE(row.name);
        const QString path = folder.path() + QLatin1String(row.name);
        cDialog::setNextFileAnswerForTest([&](const cDialog::FileRequest &) { return path; });
        QTest::mouseClick(dialog.cmdExportCA, Qt::LeftButton);
        // Read in the other encoding, the bytes would give no certificate at all.
        EXPECT_EQ(QSslCertificate(readAll(path), row.format), decryption.authority().certificate());
    }
    HttpsSettings settings { true, {}, folder.path() + QStringLiteral("ca.pem") };
    ASSERT_TRUE(decryption.apply(settings, nullptr));
    EXPECT_EQ(decryption.extraTrustedCAs(), QList<QSslCertificate> { decryption.authority().certificate() });

    for (const bool yes : { false, true }) {
        SCOPED_TRACE(yes ? "accepted" : "declined");
        boxes.clear();
        const QSslCertificate before = decryption.authority().certificate();
        MessageBox::setNextAnswerForTest(yes);
        QTest::mouseClick(dialog.cmdNewCA, Qt::LeftButton);
        EXPECT_EQ(boxes.size(), 1);
        EXPECT_EQ(decryption.authority().certificate() != before, yes);
    }
}

TEST_F(HttpsDialogTest, EveryCaptionShowsWholeAtAnyFontSize)
{
    // Guards against captions cut off when the font is larger than the one the dialog was tried with.
    const QFont font = QApplication::font();
    QFont large = font;
    large.setPointSizeF(font.pointSizeF() * 1.75);
    QApplication::setFont(large);
    frmHttps dialog(nullptr, nullptr, nullptr);
    dialog.show();
    for (QWidget *widget : dialog.findChildren<QWidget *>()) {
        auto *label = qobject_cast<QLabel *>(widget);
        if (label && label->wordWrap()) {
            EXPECT_LE(label->heightForWidth(label->width()), label->height());
        } else if (label || qobject_cast<QAbstractButton *>(widget)) {
            EXPECT_GE(widget->width(), widget->sizeHint().width()) << qPrintable(widget->objectName());
        }
    }
    QApplication::setFont(font);
}
