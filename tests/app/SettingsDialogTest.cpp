#include "CProxyServer.h"
#include "MessageBox.h"
#include "ProgramValues.h"
#include "TestFolder.h"
#include "cDialog.h"
#include "frmSettings.h"

#include <QDir>
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
        m_saved = { ServerIP, ServerPort, LogFileName };
        ServerIP = QStringLiteral("127.0.0.1");
        ServerPort = 8080;
        LogFileName = m_folder.path() + QStringLiteral("access.txt");
        m_proxy.setAccessLogFile(untouched());
        MessageBox::setHookForTest([this](const QString &text, MessageBox::Icon icon) {
            m_boxes.append(text);
            m_boxIcons.append(icon);
        });
        m_dialog = std::make_unique<frmSettings>(&m_proxy, nullptr);
        m_dialog->show();
    }

    void TearDown() override
    {
        m_dialog.reset();
        MessageBox::setHookForTest(nullptr);
        cDialog::setNextFileAnswerForTest(nullptr);
        ServerIP = m_saved.ip;
        ServerPort = m_saved.port;
        LogFileName = m_saved.log;
    }

    void fill(const QString &ip, const QString &port, const QString &log)
    {
        m_dialog->txtIP->setText(ip);
        m_dialog->txtPort->setText(port);
        m_dialog->txtLogFile->setText(log);
    }

    // A log file the dialog never names, so any call to the server shows.
    QString untouched() const { return m_folder.path() + QStringLiteral("untouched.txt"); }

    void click(QPushButton *button) { QTest::mouseClick(button, Qt::LeftButton); }

    struct Saved {
        QString ip;
        qint32 port;
        QString log;
    } m_saved;
    TestFolder m_folder;
    CProxyServer m_proxy { nullptr };
    std::unique_ptr<frmSettings> m_dialog;
    QStringList m_boxes;
    QList<MessageBox::Icon> m_boxIcons;
};

} // namespace

TEST_F(SettingsDialog, OpensWithTheStoredValues)
{
    EXPECT_EQ(m_dialog->txtIP->text(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(m_dialog->txtPort->text(), QStringLiteral("8080"));
    EXPECT_EQ(m_dialog->txtLogFile->text(), LogFileName);
}

TEST_F(SettingsDialog, OkStoresTheValues)
{
    struct Row {
        const char *name;
        QString ip, port;
        QString storedIp;
        qint32 storedPort;
    };
    const Row rows[] = {
        { "unchanged", QStringLiteral("127.0.0.1"), QStringLiteral("8080"), QStringLiteral("127.0.0.1"),
            8080 },
        { "empty address, lowest port", QString(), QStringLiteral("0"), QString(), 0 },
        { "IPv6, highest port", QStringLiteral("::1"), QStringLiteral("65535"), QStringLiteral("::1"),
            65535 },
        { "blanks around", QStringLiteral(" 10.0.0.2 "), QStringLiteral(" 80 "), QStringLiteral("10.0.0.2"),
            80 },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        m_dialog = std::make_unique<frmSettings>(&m_proxy, nullptr);
        m_dialog->show();
        fill(row.ip, row.port, LogFileName);
        click(m_dialog->cmdOK);
        EXPECT_TRUE(m_boxes.isEmpty());
        EXPECT_EQ(m_dialog->result(), QDialog::Accepted);
        EXPECT_FALSE(m_dialog->isVisible());
        EXPECT_EQ(ServerIP, row.storedIp);
        EXPECT_EQ(ServerPort, row.storedPort);
        // Neither the running server's address nor its log file is touched.
        EXPECT_EQ(m_proxy.AccessLogFile(), untouched());
    }
}

TEST_F(SettingsDialog, ChangedLogNameRepointsTheAccessLogAtOnce)
{
    struct Row {
        const char *name;
        QString log;
    };
    const QString current = LogFileName;
    const Row rows[] = {
        { "other file", m_folder.path() + QStringLiteral("other.txt") },
        { "letter case only", current.left(current.size() - 10) + QStringLiteral("ACCESS.txt") },
        { "emptied: no log file", QString() },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LogFileName = current;
        m_proxy.setAccessLogFile(untouched());
        m_dialog = std::make_unique<frmSettings>(&m_proxy, nullptr);
        m_dialog->show();
        m_dialog->txtLogFile->setText(row.log);
        click(m_dialog->cmdOK);
        EXPECT_EQ(m_proxy.AccessLogFile(), row.log);
        EXPECT_EQ(LogFileName, row.log);
        EXPECT_EQ(m_dialog->result(), QDialog::Accepted);

        // The very next line goes to the new file, none to the old one.
        m_proxy.AddLog(QStringLiteral("after the dialog"));
        EXPECT_FALSE(QFile::exists(current));
        if (!row.log.isEmpty()) {
            QFile file(row.log);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_TRUE(file.readAll().contains("after the dialog"));
            file.close();
            file.remove();
        }
    }
}

TEST_F(SettingsDialog, InvalidPortOrAddressKeepsTheDialogOpen)
{
    struct Row {
        const char *name;
        QString ip, port;
    };
    const Row rows[] = {
        { "empty port", QStringLiteral("127.0.0.1"), QString() },
        { "letters", QStringLiteral("127.0.0.1"), QStringLiteral("abc") },
        { "above 65535", QStringLiteral("127.0.0.1"), QStringLiteral("70000") },
        { "far above", QStringLiteral("127.0.0.1"), QStringLiteral("99999999999") },
        { "negative", QStringLiteral("127.0.0.1"), QStringLiteral("-1") },
        { "signed", QStringLiteral("127.0.0.1"), QStringLiteral("+80") },
        { "fraction", QStringLiteral("127.0.0.1"), QStringLiteral("1.5") },
        { "host name", QStringLiteral("localhost"), QStringLiteral("80") },
        { "octet too big", QStringLiteral("256.1.1.1"), QStringLiteral("80") },
        { "five parts", QStringLiteral("1.2.3.4.5"), QStringLiteral("80") },
        { "bad IPv6", QStringLiteral("::g"), QStringLiteral("80") },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        m_boxes.clear();
        m_boxIcons.clear();
        fill(row.ip, row.port, m_folder.path() + QStringLiteral("new.txt"));
        click(m_dialog->cmdOK);
        EXPECT_EQ(m_boxes.size(), 1);
        EXPECT_EQ(m_boxIcons.value(0), MessageBox::Icon::Exclamation);
        EXPECT_TRUE(m_dialog->isVisible());
        EXPECT_EQ(ServerIP, QStringLiteral("127.0.0.1"));
        EXPECT_EQ(ServerPort, 8080);
        EXPECT_NE(LogFileName, m_folder.path() + QStringLiteral("new.txt"));
        EXPECT_EQ(m_proxy.AccessLogFile(), untouched());
    }
}

TEST_F(SettingsDialog, CancelAndCloseBoxStoreNothing)
{
    const QString stored = LogFileName;
    struct Row {
        const char *name;
        std::function<void(frmSettings &)> leave;
    };
    const Row rows[] = {
        { "Cancel", [](frmSettings &d) { QTest::mouseClick(d.cmdCancel, Qt::LeftButton); } },
        { "close box", [](frmSettings &d) { d.close(); } },
        { "Escape", [](frmSettings &d) { QTest::keyClick(&d, Qt::Key_Escape); } },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        m_dialog = std::make_unique<frmSettings>(&m_proxy, nullptr);
        m_dialog->show();
        fill(QStringLiteral("10.1.1.1"), QStringLiteral("81"), m_folder.path() + QStringLiteral("x.txt"));
        row.leave(*m_dialog);
        EXPECT_FALSE(m_dialog->isVisible());
        EXPECT_EQ(m_dialog->result(), QDialog::Rejected);
        EXPECT_EQ(ServerIP, QStringLiteral("127.0.0.1"));
        EXPECT_EQ(ServerPort, 8080);
        EXPECT_EQ(LogFileName, stored);
        EXPECT_EQ(m_proxy.AccessLogFile(), untouched());
    }
}

TEST_F(SettingsDialog, BrowseAsksForATextFileInTheProgramFolder)
{
    cDialog::FileRequest asked;
    cDialog::setNextFileAnswerForTest([&asked](const cDialog::FileRequest &request) {
        asked = request;
        return std::optional<QString>(AppFolder + QStringLiteral("mylog"));
    });
    click(m_dialog->cmdGetFolder);
    EXPECT_TRUE(asked.save);
    EXPECT_EQ(asked.title, QStringLiteral("Log File Location"));
    EXPECT_EQ(asked.folder, AppFolder);
    EXPECT_EQ(asked.fileName, QStringLiteral("TarnwickLog.txt"));
    EXPECT_EQ(asked.nameFilters, QStringList { QStringLiteral("Text Files (*.txt)") });
    EXPECT_EQ(asked.defaultSuffix, QStringLiteral("txt"));
    EXPECT_EQ(m_dialog->txtLogFile->text(), AppFolder + QStringLiteral("mylog.txt"));
    EXPECT_EQ(m_dialog->focusWidget(), m_dialog->txtLogFile);
    // Picking a file does not create it.
    EXPECT_FALSE(QFile::exists(AppFolder + QStringLiteral("mylog.txt")));
}

TEST_F(SettingsDialog, BrowseCancelledEmptiesTheFieldButCancelKeepsTheName)
{
    const QString stored = LogFileName;
    cDialog::setNextFileAnswerForTest([](const cDialog::FileRequest &) { return std::optional<QString>(); });
    click(m_dialog->cmdGetFolder);
    EXPECT_EQ(m_dialog->txtLogFile->text(), QString());
    click(m_dialog->cmdCancel);
    EXPECT_EQ(LogFileName, stored);
    EXPECT_EQ(m_proxy.AccessLogFile(), untouched());
}
