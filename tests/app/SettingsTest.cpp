#include "CProxyServer.h"
#include "HttpsDecryption.h"
#include "MainModule.h"
#include "MessageBox.h"
#include "ProgramValues.h"
#include "RecordWriter.h"
#include "TestFolder.h"
#include "Twips.h"
#include "cDialog.h"
#include "frmHttps.h"
#include "frmSettings.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace {

using namespace Qt::StringLiterals;

class SettingsDialog : public testing::Test
{
protected:
    void SetUp() override
    {
        MessageBox::setHookForTest([this](const QString &text, MessageBox::Icon icon) {
            boxes.append(text);
            EXPECT_EQ(icon, MessageBox::Icon::Exclamation);
        });
        open();
    }

    void TearDown() override { MessageBox::setHookForTest(nullptr); }

    // A fresh dialog on screen over stored values; the server's log file is one the dialog never
    // names, so any call to the server shows.
    void open()
    {
        ServerIP = u"127.0.0.1"_s;
        ServerPort = 8080;
        LogFileName = stored;
        proxy.setAccessLogFile(untouched);
        dialog = std::make_unique<frmSettings>(&proxy, nullptr);
        dialog->show();
    }

    TestFolder folder;
    const QString stored = folder.path() + u"access.txt"_s;
    const QString untouched = folder.path() + u"untouched.txt"_s;
    CProxyServer proxy { nullptr };
    std::unique_ptr<frmSettings> dialog;
    QStringList boxes;
};

using Values = std::tuple<QString, qint32, QString>;

Values values(const char *ip, qint32 port, const char *log)
{
    return { QLatin1String(ip), port, QLatin1String(log) };
}

} // namespace

TEST_F(SettingsDialog, OkStoresValidValuesAndRepointsOnlyAChangedLogOtherwiseNothingIsStored)
{
    const QString other = folder.path() + u"other.txt"_s;
    const struct {
        const char *name;
        const char *ip, *port; // nullptr: the fields as the dialog opened
        QString log;
        const char *storedIp = nullptr; // nullptr: nothing stored
        qint32 storedPort = 0;
        bool cancelled = false;
    } rows[] = { { "opened with the stored values", nullptr, nullptr, stored, "127.0.0.1", 8080 },
        { "empty address, lowest port, other log", "", "0", other, "", 0 },
        { "IPv6, highest port, log name in other letter case", "::1", "65535",
            folder.path() + u"ACCESS.txt"_s, "::1", 65535 },
        { "blanks around, log emptied", " 10.0.0.2 ", " 80 ", QString(), "10.0.0.2", 80 },
        { "no port", "", "", other }, { "port not a number", "", "abc", other },
        { "port too high", "", "70000", other }, { "port beyond 32 bits", "", "99999999999", other },
        { "port with sign", "", "+80", other }, { "host name", "localhost", "80", other },
        { "bad IPv6", "::g", "80", other }, { "Cancel", "10.1.1.1", "81", other, nullptr, 0, true } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        boxes.clear();
        open();
        if (row.ip) {
            dialog->txtIP->setText(QLatin1String(row.ip));
            dialog->txtPort->setText(QLatin1String(row.port));
            dialog->txtLogFile->setText(row.log);
        }
        QTest::mouseClick(row.cancelled ? dialog->cmdCancel : dialog->cmdOK, Qt::LeftButton);
        // A refused value keeps the dialog open, with one box saying why.
        const bool refused = !row.cancelled && !row.storedIp;
        EXPECT_EQ(std::pair(dialog->isVisible(), boxes.size()), std::pair(refused, qsizetype(refused)));
        const QString log = row.storedIp ? row.log : stored;
        EXPECT_EQ(std::tie(ServerIP, ServerPort, LogFileName),
            row.storedIp ? Values(QLatin1String(row.storedIp), row.storedPort, log)
                         : Values(u"127.0.0.1"_s, 8080, log));
        // Address and port wait for the next start; a changed log takes the very next line.
        EXPECT_EQ(proxy.AccessLogFile(), log == stored ? untouched : log);
        proxy.AddLog(u"after the dialog"_s);
        RecordWriter::instance().drain(5000);
        EXPECT_EQ(QFileInfo(log).size() > 0, log != stored && !log.isEmpty());
    }
}

TEST_F(SettingsDialog, BrowseFillsInTheChosenTextFileWithoutStoringOrCreatingIt)
{
    cDialog::setNextFileAnswerForTest([](auto &) { return std::optional(AppFolder + u"mylog"_s); });
    QTest::mouseClick(dialog->cmdGetFolder, Qt::LeftButton);
    EXPECT_EQ(dialog->txtLogFile->text(), AppFolder + u"mylog.txt"_s);
    EXPECT_EQ(dialog->focusWidget(), dialog->txtLogFile);
    EXPECT_FALSE(QFile::exists(AppFolder + u"mylog.txt"_s));
    EXPECT_EQ(LogFileName, stored);
}

TEST_F(SettingsDialog, EveryCaptionOfTheSettingsAndHttpsDialogsAndTheHighestPortShowWhole)
{
    // Guards against captions cut off by the designed sizes or at a larger font than the dialogs were
    // tried with, and against the port box showing "9401" for 19401.
    const QFont font = QApplication::font();
    HttpsDecryption decryption(folder.path());
    for (const double dpi : { 96.0, 144.0, 192.0 }) {
        SCOPED_TRACE(dpi);
        // Fonts grow with the dpi as they would on such a screen.
        QFont scaled = font;
        scaled.setPointSizeF(font.pointSizeF() * dpi / 96.0);
        QApplication::setFont(scaled);
        Twips::setDpiForTest(dpi);
        open();
        dialog->txtPort->setText(u"65535"_s);
        frmHttps https(&decryption, nullptr, nullptr);
        https.show();
        for (QWidget *shown : QList<QWidget *> { dialog.get(), &https }) {
            shown->grab();
            for (QWidget *widget : shown->findChildren<QWidget *>()) {
                SCOPED_TRACE(widget->objectName().toStdString());
                auto *label = qobject_cast<QLabel *>(widget);
                if (label && label->wordWrap()) {
                    EXPECT_LE(label->heightForWidth(label->width()), label->height());
                } else if (label) {
                    EXPECT_LE(
                        label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width());
                } else if (shown == &https && qobject_cast<QAbstractButton *>(widget)) {
                    // Only the HTTPS dialog is laid out by Qt; the other keeps its designed buttons.
                    EXPECT_GE(widget->width(), widget->sizeHint().width());
                }
            }
        }
        // Shown whole, the port's text starts at the box's left edge and ends before its right.
        QLineEdit *port = dialog->txtPort;
        EXPECT_EQ(port->cursorPositionAt(QPoint(4, port->height() / 2)), 0);
        EXPECT_EQ(port->cursorPositionAt(QPoint(port->width() - 4, port->height() / 2)), 5);
        // Grown controls push the others aside instead of covering them.
        for (QWidget *parent : QList<QWidget *> { dialog.get(), dialog->Frame1 }) {
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

TEST(SettingsFile, ReadsUpToTheFirstBadLineAndWritesThreeCrLfLinesWithTheSpacedPort)
{
    const Values before = values("old-ip", 1234, "old.log");
    const struct {
        const char *name;
        const char *content; // nullptr: no file at all
        Values expected;
        bool written = false; // writing the expected values gives back the content
    } rows[] = { { "no file", nullptr, before }, { "empty file", "", before },
        { "negative port takes the sign's place", "10.0.0.1\r\n-5 \r\nlog.txt\r\n",
            values("10.0.0.1", -5, "log.txt"), true },
        { "only the first line", "10.0.0.1\r\n", values("10.0.0.1", 1234, "old.log") },
        { "second line not a number", "10.0.0.1\r\nabc\r\nlog.txt\r\n", values("10.0.0.1", 1234, "old.log") },
        { "port beyond 32 bits", "10.0.0.1\r\n 4294967296 \r\nlog.txt\r\n",
            values("10.0.0.1", 1234, "old.log") },
        { "empty lines are values", "\r\n 0 \r\n\r\n", values("", 0, ""), true },
        { "LF line ends", "10.0.0.1\n 81 \nlog.txt\n", values("10.0.0.1", 81, "log.txt") },
        { "no line end after the third line", "10.0.0.1\r\n 82 \r\nlog.txt",
            values("10.0.0.1", 82, "log.txt") },
        { "lines after the third are ignored", "a\r\n 83 \r\nb\r\nc\r\n", values("a", 83, "b") } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TestFolder folder;
        QFile file(settingsFilePath());
        ASSERT_TRUE(!row.content || (file.open(QIODevice::WriteOnly) && file.write(row.content) >= 0));
        file.close();
        std::tie(ServerIP, ServerPort, LogFileName) = before;
        ReadSettings();
        EXPECT_EQ(std::tie(ServerIP, ServerPort, LogFileName), row.expected);
        if (row.written) {
            ASSERT_TRUE(WriteSettings(nullptr) && file.open(QIODevice::ReadOnly));
            EXPECT_EQ(file.readAll(), row.content);
        }
    }
}
