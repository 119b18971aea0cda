#include "CProxyServer.h"
#include "MessageBox.h"
#include "ProgramValues.h"
#include "TestFolder.h"
#include "Twips.h"
#include "cDialog.h"
#include "frmSettings.h"

#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

class SettingsDialog : public testing::Test
{
protected:
    void SetUp() override
    {
        ServerIP = QStringLiteral("127.0.0.1");
        ServerPort = 8080;
        LogFileName = stored;
        MessageBox::setHookForTest([this](const QString &text, MessageBox::Icon icon) {
            boxes.append(text);
            EXPECT_EQ(icon, MessageBox::Icon::Exclamation);
        });
        open();
    }

    void TearDown() override
    {
        dialog.reset();
        MessageBox::setHookForTest(nullptr);
        cDialog::setNextFileAnswerForTest(nullptr);
    }

    // A fresh dialog on screen; the server's log file is one the dialog never names, so any call to
    // the server shows.
    void open()
    {
        proxy.setAccessLogFile(untouched);
        dialog = std::make_unique<frmSettings>(&proxy, nullptr);
        dialog->show();
    }

    void fill(const QString &ip, const QString &port, const QString &log)
    {
        dialog->txtIP->setText(ip);
        dialog->txtPort->setText(port);
        dialog->txtLogFile->setText(log);
    }

    // Nothing was stored, and the dialog is on screen or not.
    void expectNothingStored(bool visible)
    {
        EXPECT_EQ(dialog->isVisible(), visible);
        EXPECT_EQ(ServerIP, QStringLiteral("127.0.0.1"));
        EXPECT_EQ(ServerPort, 8080);
        EXPECT_EQ(LogFileName, stored);
        EXPECT_EQ(proxy.AccessLogFile(), untouched);
    }

    TestFolder folder;
    const QString stored = folder.path() + QStringLiteral("access.txt");
    const QString untouched = folder.path() + QStringLiteral("untouched.txt");
    CProxyServer proxy { nullptr };
    std::unique_ptr<frmSettings> dialog;
    QStringList boxes;
};

} // namespace

TEST_F(SettingsDialog, OkStoresTheValuesAndRepointsOnlyAChangedLog)
{
    const QString other = folder.path() + QStringLiteral("other.txt");
    const struct {
        const char *name;
        const char *ip, *port; // nullptr: the fields as the dialog opened
        QString log;
        const char *storedIp;
        qint32 storedPort;
    } rows[] = {
        { "opened with the stored values", nullptr, nullptr, stored, "127.0.0.1", 8080 },
        { "empty address, lowest port, other log", "", "0", other, "", 0 },
        { "IPv6, highest port, log name in other letter case", "::1", "65535",
            folder.path() + QStringLiteral("ACCESS.txt"), "::1", 65535 },
        { "blanks around, log emptied", " 10.0.0.2 ", " 80 ", QString(), "10.0.0.2", 80 },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogFileName = stored;
        open();
        if (row.ip)
            fill(QString::fromLatin1(row.ip), QString::fromLatin1(row.port), row.log);
        QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
        EXPECT_TRUE(boxes.isEmpty());
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
        EXPECT_EQ(ServerIP, QString::fromLatin1(row.storedIp));
        EXPECT_EQ(ServerPort, row.storedPort);
        EXPECT_EQ(LogFileName, row.log);
        // Address and port wait for the next start; a changed log takes the very next line.
        EXPECT_EQ(proxy.AccessLogFile(), row.log == stored ? untouched : row.log);
        proxy.AddLog(QStringLiteral("after the dialog"));
        QFile file(row.log);
        EXPECT_EQ(row.log != stored && file.open(QIODevice::ReadOnly) && file.readAll().contains("after"),
            row.log != stored && !row.log.isEmpty());
        EXPECT_FALSE(QFile::exists(stored));
    }
}

TEST_F(SettingsDialog, BadValuesCancelCloseBoxAndEscapeStoreNothing)
{
    const auto ok = [](frmSettings &d) { QTest::mouseClick(d.cmdOK, Qt::LeftButton); };
    const auto cancel = [](frmSettings &d) { QTest::mouseClick(d.cmdCancel, Qt::LeftButton); };
    const struct {
        const char *ip, *port;
        std::function<void(frmSettings &)> leave;
        bool staysOpen; // with one message box saying what is wrong
    } rows[] = { { "127.0.0.1", "", ok, true }, { "127.0.0.1", "abc", ok, true },
        { "127.0.0.1", "70000", ok, true }, { "127.0.0.1", "99999999999", ok, true },
        { "127.0.0.1", "-1", ok, true }, { "127.0.0.1", "+80", ok, true }, { "127.0.0.1", "1.5", ok, true },
        { "localhost", "80", ok, true }, { "256.1.1.1", "80", ok, true }, { "1.2.3.4.5", "80", ok, true },
        { "::g", "80", ok, true }, { "10.1.1.1", "81", cancel, false },
        { "10.1.1.2", "82", [](frmSettings &d) { d.close(); }, false },
        { "10.1.1.3", "83", [](frmSettings &d) { QTest::keyClick(&d, Qt::Key_Escape); }, false } };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.ip) + " port " + row.port);
        boxes.clear();
        open();
        fill(QString::fromLatin1(row.ip), QString::fromLatin1(row.port),
            folder.path() + QStringLiteral("new.txt"));
        row.leave(*dialog);
        EXPECT_EQ(boxes.size(), row.staysOpen ? 1 : 0);
        EXPECT_EQ(dialog->result(), QDialog::Rejected);
        expectNothingStored(row.staysOpen);
    }
}

TEST_F(SettingsDialog, BrowseFillsInTheChosenTextFileWithoutStoringOrCreatingIt)
{
    cDialog::setNextFileAnswerForTest([](const cDialog::FileRequest &) {
        return std::optional<QString>(AppFolder + QStringLiteral("mylog"));
    });
    QTest::mouseClick(dialog->cmdGetFolder, Qt::LeftButton);
    EXPECT_EQ(dialog->txtLogFile->text(), AppFolder + QStringLiteral("mylog.txt"));
    EXPECT_EQ(dialog->focusWidget(), dialog->txtLogFile);
    EXPECT_FALSE(QFile::exists(AppFolder + QStringLiteral("mylog.txt")));
    expectNothingStored(true);
}

TEST_F(SettingsDialog, EveryCaptionAndTheHighestPortShowWhole)
{
    // Guards against the designed sizes cutting captions and the port box showing "9401" for 19401.
    const QFont font = QApplication::font();
    for (const double dpi : { 96.0, 144.0 }) {
        SCOPED_TRACE(dpi);
        // Fonts grow with the dpi as they would on such a screen.
        QFont scaled = font;
        scaled.setPointSizeF(font.pointSizeF() * dpi / 96.0);
        QApplication::setFont(scaled);
        Twips::setDpiForTest(dpi);
        ServerPort = 65535;
        open();
        dialog->grab();
        for (QLabel *label : dialog->findChildren<QLabel *>()) {
            SCOPED_TRACE(label->objectName().toStdString());
            if (label->wordWrap())
                EXPECT_LE(label->heightForWidth(label->width()), label->height());
            else
                EXPECT_LE(
                    label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width());
        }
        // Shown whole, the port's text starts at the box's left edge and ends before its right.
        QLineEdit *port = dialog->txtPort;
        EXPECT_EQ(port->text(), QStringLiteral("65535"));
        EXPECT_EQ(port->cursorPositionAt(QPoint(4, port->height() / 2)), 0);
        EXPECT_EQ(port->cursorPositionAt(QPoint(port->width() - 4, port->height() / 2)), 5);
        // Grown controls push the others aside instead of covering them.
        for (QWidget *parent :
            { static_cast<QWidget *>(dialog.get()), static_cast<QWidget *>(dialog->Frame1) }) {
            const QList<QWidget *> children = parent->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
            for (QWidget *a : children) {
                EXPECT_TRUE(parent->rect().contains(a->geometry())) << a->objectName().toStdString();
                for (QWidget *b : children)
                    EXPECT_TRUE(a == b || !a->geometry().intersects(b->geometry()))
                        << a->objectName().toStdString() << " " << b->objectName().toStdString();
            }
        }
    }
    Twips::setDpiForTest(std::nullopt);
    QApplication::setFont(font);
}
