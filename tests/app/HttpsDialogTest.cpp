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
    }

    void start()
    {
        int exitCode = -1;
        ASSERT_TRUE(StartUp(folder.path(), &exitCode));
    }

    TestFolder folder;
    const QString ini = folder.path() + QStringLiteral("tarnwick-https.ini");
    QStringList boxes;
};

} // namespace

TEST_F(HttpsDialogTest, OkAppliesAndSavesAtOnceWhileCancelAndBadHostsChangeNothing)
{
    const struct {
        const char *name, *hosts;
        QPushButton *frmHttps::*button;
        const char *box;
    } rows[] = {
        { "a line that is no host", "good.example\n\nbad host\n", &frmHttps::cmdOK, "Line 3 " },
        { "pattern, addresses and name", " *.bank.example\n\n[::1]\n10.0.0.1\nmail.example.",
            &frmHttps::cmdOK, "" },
        { "Cancel", "x.example", &frmHttps::cmdCancel, "" },
    };
    start();
    // Guards against a CA appearing for users who never turned decryption on.
    EXPECT_FALSE(QFile::exists(folder.path() + QStringLiteral("ca")));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        // The dialog is modal: it is worked from inside its own event loop.
        QTimer::singleShot(0, mainWindow(), [&] {
            frmHttps *dialog = mainWindow()->findChild<frmHttps *>();
            ASSERT_NE(dialog, nullptr);
            dialog->chkDecrypt->setChecked(true);
            dialog->txtNeverDecrypt->setPlainText(QString::fromLatin1(row.hosts));
            QTest::mouseClick(dialog->*row.button, Qt::LeftButton);
            EXPECT_EQ(dialog->isVisible(), *row.box != 0);
            dialog->reject();
        });
        mainWindow()->findChild<QAction *>(QStringLiteral("mnuToolsItem4"))->trigger();
        const bool saved = !*row.box && row.button == &frmHttps::cmdOK;
        HttpsDecryption *decryption = mainWindow()->Proxy->httpsDecryption();
        EXPECT_EQ(QFile::exists(ini), saved);
        EXPECT_EQ(decryption->active(), saved);
        EXPECT_EQ(std::exchange(boxes, {}).join(QLatin1Char('|')).left(7), QLatin1String(row.box));
        if (saved) {
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
        { "missing extra CA file", "nothing-here.pem", "Cannot read the extra trusted CA file" },
        { "extra CA file holding no certificate", "tarnwick-https.ini", "holds no PEM certificate" },
        { "damaged CA certificate", "", "is damaged" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        HttpsDecryption maker(folder.path());
        ASSERT_TRUE(maker.authority().load(nullptr));
        const QString certificate = maker.authority().certificatePath();
        ASSERT_TRUE(*row.extraCA || QFile::resize(certificate, 20));
        const QByteArray onDisk = readAll(certificate);
        const HttpsSettings settings { true, {},
            *row.extraCA ? folder.path() + QLatin1String(row.extraCA) : QString() };
        ASSERT_TRUE(settings.save(ini));

        start();
        const QString box = std::exchange(boxes, {}).join(QLatin1Char('|'));
        EXPECT_TRUE(box.startsWith(QStringLiteral("HTTPS decryption is off: "))
            && box.contains(QLatin1String(row.reason)))
            << qPrintable(box);
        EXPECT_TRUE(logWindow()->txtLog->toPlainText().contains(box));
        EXPECT_FALSE(httpsDecryption()->shouldDecrypt(QStringLiteral("example.org")));
        EXPECT_EQ(readAll(certificate), onDisk);
        mainWindow()->endProgram();
        flushDeferredDeletes();
        // The exit keeps what the user chose rather than what could be done.
        EXPECT_EQ(HttpsSettings::load(ini), settings);
    }
}

TEST_F(HttpsDialogTest, CaptionsShowWholeExportFollowsTheFileNameAndNewCaAsksFirst)
{
    // Guards against captions cut off at a font larger than the one the dialog was tried with.
    const QFont font = QApplication::font();
    QApplication::setFont(QFont(font.family(), font.pointSize() * 2));
    HttpsDecryption decryption(folder.path());
    frmHttps dialog(&decryption, nullptr, nullptr);
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

    // Exporting before decryption was ever on makes the CA rather than failing.
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

    for (const bool yes : { false, true }) {
        SCOPED_TRACE(yes ? "accepted" : "declined");
        const QSslCertificate before = decryption.authority().certificate();
        MessageBox::setNextAnswerForTest(yes);
        QTest::mouseClick(dialog.cmdNewCA, Qt::LeftButton);
        EXPECT_EQ(boxes.size(), yes ? 2 : 1);
        EXPECT_EQ(decryption.authority().certificate() != before, yes);
    }
}
