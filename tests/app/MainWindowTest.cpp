#include "CProxyServer.h"
#include "CTray.h"
#include "MainModule.h"
#include "MessageBox.h"
#include "PictureBox.h"
#include "ProgramValues.h"
#include "QtHistoryList.h"
#include "TarnwickVersion.h"
#include "Twips.h"
#include "Wait.h"
#include "frmLog.h"
#include "frmMain.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// Records which windows of a class were shown.
class ShowSpy : public QObject
{
public:
    explicit ShowSpy(const char *className)
        : m_className(className)
    {
        qApp->installEventFilter(this);
    }
    ~ShowSpy() override { qApp->removeEventFilter(this); }
    int shown = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->inherits(m_className))
            ++shown;
        return false;
    }

private:
    const char *m_className;
};

} // namespace

class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        MessageBox::setHookForTest([this](const QString &text, MessageBox::Icon) { messages.append(text); });
        setQuitHookForTest([this](int code) { exitCodes.append(code); });
        frmMain::setTrayAvailableForTest(true);
        ServerIP.clear();
        ServerPort = 0;
        LogFileName.clear();
        folder = QDir::toNativeSeparators(dir.path()) + QDir::separator();
        port = freePort();
        ASSERT_NE(port, 0);
        writeFile(folder + QStringLiteral("tarnwick.ini"),
            "127.0.0.1\r\n " + QByteArray::number(port) + " \r\n\r\n");
    }

    void start()
    {
        int exitCode = -1;
        ASSERT_TRUE(StartUp(dir.path(), &exitCode));
        main = mainWindow();
        list = main->ListView1;
        QCoreApplication::processEvents();
    }

    void TearDown() override
    {
        if (frmMain *window = mainWindow())
            window->endProgram();
        flushDeferredDeletes();
        MessageBox::setHookForTest({});
        setQuitHookForTest({});
        frmMain::setTrayAvailableForTest(std::nullopt);
    }

    QString records() const { return folder + QStringLiteral("requests") + QDir::separator(); }

    // Appends a row naming its record files; files with content are created.
    void addRow(const QString &request, const QByteArray &requestBytes, const QString &response,
        const QByteArray *responseBytes, bool checked = false)
    {
        list->add();
        const int index = list->count();
        list->setText(index, QStringLiteral("host%1").arg(index));
        list->setSubItem(index, 7, request);
        list->setSubItem(index, 8, response);
        list->setChecked(index, checked);
        if (!request.isEmpty())
            writeFile(records() + request, requestBytes);
        if (responseBytes)
            writeFile(records() + response, *responseBytes);
    }

    void click(int index, Qt::MouseButton button)
    {
        const QRect rect = list->visualItemRect(list->topLevelItem(index - 1));
        QTest::mouseClick(list->viewport(), button, {}, rect.center());
    }

    // Resizes the window so that its outer height, as the layout counts it, is designHeight twips.
    void setDesignHeight(int designHeight)
    {
        const int chrome = main->height() - main->centralWidget()->height();
        main->resize(main->width(), Twips::toPixelsY(designHeight - 690, main) + chrome);
        QCoreApplication::processEvents();
    }

    bool fileExists(const QString &name) const { return QFileInfo::exists(records() + name); }

    QTemporaryDir dir;
    QString folder;
    quint16 port = 0;
    frmMain *main = nullptr;
    QtHistoryList *list = nullptr;
    QStringList messages;
    QList<int> exitCodes;
};

TEST_F(MainWindowTest, LoadStartsTheServerFromTheSettingsAndSetsUpTheWindow)
{
    start();
    EXPECT_EQ(main->windowTitle(), QStringLiteral("Tarnwick v") + main->Proxy->Version());
    EXPECT_EQ(main->Proxy->Version(),
        QStringLiteral("%1.%2.%3")
            .arg(TARNWICK_VERSION_MAJOR)
            .arg(TARNWICK_VERSION_MINOR)
            .arg(TARNWICK_VERSION_PATCH));

    using A = IHistoryList::Alignment;
    const struct {
        const char *header;
        A alignment;
    } columns[] = { { "Host", A::Left }, { "IP Address", A::Left }, { "Type", A::Center }, { "URL", A::Left },
        { "Q-Bytes", A::Right }, { "A-Bytes", A::Right }, { "Status", A::Center },
        { "Request File (Q)", A::Left }, { "Response File (A)", A::Left } };
    ASSERT_EQ(list->columnCount(), 9);
    for (int i = 0; i < 9; ++i) {
        SCOPED_TRACE(columns[i].header);
        EXPECT_EQ(list->headerItem()->text(i), QString::fromUtf8(columns[i].header));
        EXPECT_EQ(list->columnAlignment(i), columns[i].alignment);
    }
    EXPECT_EQ(list->columnWidth(0), Twips::toPixelsX(2000, list));

    ASSERT_TRUE(main->Proxy->Running());
    EXPECT_EQ(main->Proxy->Port(), port);
    EXPECT_EQ(ServerIP, QStringLiteral("127.0.0.1"));
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(probe.waitForConnected(2000));
    EXPECT_EQ(main->lblServerState->text(), QStringLiteral("Listening on 127.0.0.1:%1").arg(port));

    // The access log writes into the log window, which has collected lines before being shown.
    frmLog *log = logWindow();
    EXPECT_EQ(main->Proxy->AccessLog().textBox(), log->txtLog);
    EXPECT_FALSE(log->isVisible());
    EXPECT_TRUE(log->txtLog->toPlainText().contains(
        QStringLiteral("Proxy server started on 127.0.0.1:%1").arg(port)));
    EXPECT_TRUE(main->pic->picture().cacheKey() == main->pics[0]->picture().cacheKey());
}

TEST_F(MainWindowTest, StatusBarSaysWhyTheServerIsNotListening)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, port));
    start();
    EXPECT_FALSE(main->Proxy->Running());
    const QString text = main->lblServerState->text();
    EXPECT_TRUE(text.startsWith(QStringLiteral("Not listening on 127.0.0.1:%1: ").arg(port)))
        << qPrintable(text);
    EXPECT_TRUE(text.endsWith(main->Proxy->lastStartError()));
    EXPECT_FALSE(main->Proxy->lastStartError().isEmpty());
}

TEST_F(MainWindowTest, RowClicksShowTheRecordOfTheButtonPressedLast)
{
    start();
    const QByteArray request("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    const QByteArray response("HTTP/1.0 200 OK\r\n\r\nbody");
    const QByteArray binary("HTTP/1.0 200 OK\r\n\r\nab\0cd\0", 25);
    addRow(QStringLiteral("r1-Q.txt"), request, QStringLiteral("r1-A.txt"), &response);
    addRow(QStringLiteral("r2-Q.txt"), request, QString(), nullptr);
    addRow(QStringLiteral("r3-Q.txt"), request, QStringLiteral("r3-A.txt"), nullptr);
    addRow(QStringLiteral("r4-Q.txt"), request, QStringLiteral("r4-A.txt"), &binary);
    addRow(QString(), QByteArray(), QString(), nullptr);
    addRow(QStringLiteral("r6-Q.txt"), request, QStringLiteral("../tarnwick.ini"), nullptr);

    const QString gone
        = QStringLiteral("Cannot read the record file ") + records() + QStringLiteral("r3-A.txt: ");
    const struct {
        const char *name;
        int row;
        Qt::MouseButton button; // NoButton: an item click with no press on the list
        QString expected;
        bool prefix;
    } rows[] = {
        { "left shows the request", 1, Qt::LeftButton, QString::fromLatin1(request), false },
        { "right shows the reply", 1, Qt::RightButton, QString::fromLatin1(response), false },
        { "middle shows the reply", 1, Qt::MiddleButton, QString::fromLatin1(response), false },
        { "right on a row without reply", 2, Qt::RightButton, QStringLiteral("No Response File."), false },
        { "reply named but not on disk", 3, Qt::RightButton, gone, true },
        { "zero bytes are marked, not cut", 4, Qt::RightButton,
            QStringLiteral("HTTP/1.0 200 OK\r\n\r\nab\u2400cd\u2400"), false },
        { "left on a row with no request name", 5, Qt::LeftButton, QStringLiteral("No Request File."),
            false },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        main->txtSniff->setPlainText(QStringLiteral("stale"));
        click(row.row, row.button);
        const QString shown = main->txtSniff->toPlainText();
        // The text box shows CR LF as one line break.
        QString expected = row.expected;
        expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        if (row.prefix)
            EXPECT_TRUE(shown.startsWith(expected)) << qPrintable(shown);
        else
            EXPECT_EQ(shown, expected);
        EXPECT_EQ(list->selectedIndex(), row.row);
    }
}

TEST_F(MainWindowTest, ItemClickWithoutPressTakesTheReplyPathOfTheSelectedRow)
{
    // Guards against the first item click, with mMouse still 0, reading the request instead.
    start();
    const QByteArray response("reply one");
    addRow(QStringLiteral("a-Q.txt"), "request one", QStringLiteral("a-A.txt"), &response);
    list->setSelectedIndex(1);
    ASSERT_EQ(main->mMouse, 0);
    emit list->itemClick(1);
    EXPECT_EQ(main->txtSniff->toPlainText(), QStringLiteral("reply one"));

    // After a left press the next item click shows the request, whichever row was pressed.
    addRow(QStringLiteral("b-Q.txt"), "request two", QString(), nullptr);
    click(2, Qt::LeftButton);
    list->setSelectedIndex(1);
    emit list->itemClick(1);
    EXPECT_EQ(main->txtSniff->toPlainText(), QStringLiteral("request one"));
}

TEST_F(MainWindowTest, LargeRecordsShowTheirStartAndSayHowBigTheyAre)
{
    // Guards against a huge reply being loaded whole into the text box.
    start();
    QByteArray big(frmMain::RecordViewLimit + 1000, 'x');
    addRow(QStringLiteral("big-Q.txt"), "q", QStringLiteral("big-A.txt"), &big);
    click(1, Qt::RightButton);
    const QString shown = main->txtSniff->toPlainText();
    EXPECT_TRUE(shown.startsWith(QString(1000, QLatin1Char('x'))));
    EXPECT_LT(shown.size(), frmMain::RecordViewLimit + frmMain::RecordViewLimit / 1000 + 300);
    const QString lastLine = shown.section(QLatin1Char('\n'), -1);
    EXPECT_TRUE(lastLine.contains(QString::number(big.size()))) << qPrintable(lastLine);
    EXPECT_TRUE(lastLine.contains(records() + QStringLiteral("big-A.txt"))) << qPrintable(lastLine);
}

TEST_F(MainWindowTest, ShortWindowsHideTheTextBoxAndTallOnesShowItAgain)
{
    start();
    const int tallTop = Twips::toPixelsY(2895, main);
    setDesignHeight(4500);
    EXPECT_FALSE(main->txtSniff->isVisible());
    EXPECT_EQ(main->ListView1->y(), main->txtSniff->y());
    EXPECT_EQ(main->ListView1->height(), Twips::toPixelsY(4500 - 800, main));

    // One pixel taller is past the threshold.
    setDesignHeight(4500 + 15);
    EXPECT_TRUE(main->txtSniff->isVisible());
    EXPECT_EQ(main->ListView1->y(), tallTop);
    EXPECT_EQ(main->ListView1->height(), Twips::toPixelsY(4515 - 3615, main));
    EXPECT_EQ(main->ListView1->width(), main->txtSniff->width());

    // The list never gets a negative size, however small the window.
    main->resize(40, 40);
    QCoreApplication::processEvents();
    EXPECT_GE(main->ListView1->height(), 0);
    EXPECT_GE(main->ListView1->width(), 0);
}

TEST_F(MainWindowTest, NothingMovesWhileMinimized)
{
    start();
    setDesignHeight(6000);
    const QRect before = main->ListView1->geometry();
    main->showMinimized();
    QCoreApplication::processEvents();
    setDesignHeight(4000);
    EXPECT_EQ(main->ListView1->geometry(), before);
    EXPECT_TRUE(main->txtSniff->isVisibleTo(main));

    main->showNormal();
    QCoreApplication::processEvents();
    EXPECT_FALSE(main->isMinimized());
    EXPECT_FALSE(main->txtSniff->isVisibleTo(main));
}

TEST_F(MainWindowTest, TheCloseBoxKeepsTheProgramRunning)
{
    const struct {
        const char *name;
        bool tray;
        bool visible;
        bool minimized;
    } rows[] = {
        { "hides when there is a notification area", true, false, false },
        // Guards against a window hidden for good when nothing could bring it back.
        { "minimizes when there is none", false, true, true },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        frmMain::setTrayAvailableForTest(row.tray);
        start();
        main->close();
        QCoreApplication::processEvents();
        EXPECT_EQ(main->isVisible(), row.visible);
        EXPECT_EQ(main->isMinimized(), row.minimized);
        EXPECT_EQ(mainWindow(), main);
        EXPECT_TRUE(main->Proxy && main->Proxy->Running());
        EXPECT_TRUE(exitCodes.isEmpty());

        // A double click on the tray icon brings the window back either way.
        main->Tray->notify(CTray::LeftDoubleClick);
        QCoreApplication::processEvents();
        EXPECT_TRUE(main->isVisible());
        EXPECT_FALSE(main->isMinimized());

        // The log window only hides too, and keeps its lines.
        ShowLog();
        frmLog *log = logWindow();
        EXPECT_TRUE(log->isVisible());
        log->close();
        EXPECT_FALSE(log->isVisible());
        EXPECT_EQ(logWindow(), log);
        EXPECT_FALSE(log->txtLog->toPlainText().isEmpty());

        main->endProgram();
        flushDeferredDeletes();
        exitCodes.clear();
    }
}

TEST_F(MainWindowTest, ExitCommandsPurgeUncheckedRecordsWriteSettingsAndQuit)
{
    const struct {
        const char *name;
        const char *action;
        bool hidden;
    } rows[] = {
        { "File > Exit", "mnuFileItem0", false },
        { "Remove Tarnwick while hidden in the tray", "mnuPopupTrayItem0", true },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        start();
        if (row.hidden)
            main->hide();
        const QByteArray reply("reply");
        addRow(QStringLiteral("u-Q.txt"), "q", QStringLiteral("u-A.txt"), &reply);
        addRow(QStringLiteral("k-Q.txt"), "q", QStringLiteral("k-A.txt"), &reply, true);
        addRow(QStringLiteral("n-Q.txt"), "q", QString(), nullptr);
        // A file deleted by hand does not stop the purge of the rows after it.
        addRow(QStringLiteral("h-Q.txt"), "q", QStringLiteral("h-A.txt"), nullptr);
        addRow(QStringLiteral("z-Q.txt"), "q", QStringLiteral("z-A.txt"), &reply);
        QPointer<frmMain> window(main);
        QPointer<frmLog> log(logWindow());
        QPointer<CProxyServer> proxy(main->Proxy);

        main->findChild<QAction *>(QString::fromLatin1(row.action))->trigger();
        flushDeferredDeletes();

        for (const char *gone : { "u-Q.txt", "u-A.txt", "n-Q.txt", "z-Q.txt", "z-A.txt" })
            EXPECT_FALSE(fileExists(QString::fromLatin1(gone))) << gone;
        EXPECT_TRUE(fileExists(QStringLiteral("k-Q.txt")));
        EXPECT_TRUE(fileExists(QStringLiteral("k-A.txt")));
        QFile ini(folder + QStringLiteral("tarnwick.ini"));
        ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
        EXPECT_EQ(ini.readAll(), "127.0.0.1\r\n " + QByteArray::number(port) + " \r\n\r\n");
        EXPECT_EQ(exitCodes, QList<int> { 0 });
        EXPECT_TRUE(window.isNull() && log.isNull() && proxy.isNull());
        EXPECT_EQ(mainWindow(), nullptr);
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        EXPECT_FALSE(probe.waitForConnected(500));

        exitCodes.clear();
        QFile::remove(records() + QStringLiteral("k-Q.txt"));
        QFile::remove(records() + QStringLiteral("k-A.txt"));
    }
}

TEST_F(MainWindowTest, UnwritableSettingsAreReportedAndTheProgramStillEnds)
{
    start();
    QFile::remove(folder + QStringLiteral("tarnwick.ini"));
    ASSERT_TRUE(QDir(folder).mkdir(QStringLiteral("tarnwick.ini")));
    QPointer<frmMain> window(main);
    main->endProgram();
    flushDeferredDeletes();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(QStringLiteral("Unable to save the settings to ") + folder
        + QStringLiteral("tarnwick.ini:\r\n\r\n")));
    EXPECT_GT(messages[0].size(),
        QStringLiteral("Unable to save the settings to :\r\n\r\n").size() + folder.size() + 12);
    EXPECT_EQ(exitCodes, QList<int> { 1 });
    EXPECT_TRUE(window.isNull());
}

TEST_F(MainWindowTest, AnExitRequestedDuringThePurgeEndsTheProgramOnce)
{
    // Guards against the purge's event pass re-running the close routine on a half-closed window.
    start();
    const QByteArray reply("reply");
    addRow(QStringLiteral("e-Q.txt"), "q", QStringLiteral("e-A.txt"), &reply);
    QTimer::singleShot(0, main, [window = QPointer<frmMain>(main)] {
        if (window)
            window->endProgram();
    });
    main->endProgram();
    flushDeferredDeletes();
    QCoreApplication::processEvents();
    EXPECT_EQ(exitCodes, QList<int> { 0 });
    EXPECT_FALSE(fileExists(QStringLiteral("e-A.txt")));
}

TEST_F(MainWindowTest, ClearConnectionHistoryEmptiesTheListButKeepsCheckedFiles)
{
    start();
    const QByteArray reply("reply");
    addRow(QStringLiteral("c1-Q.txt"), "q", QStringLiteral("c1-A.txt"), &reply);
    addRow(QStringLiteral("c2-Q.txt"), "q", QStringLiteral("c2-A.txt"), &reply, true);
    const quint64 generation = list->generation();
    main->findChild<QAction *>(QStringLiteral("mnuToolsItem3"))->trigger();
    EXPECT_EQ(list->count(), 0);
    EXPECT_NE(list->generation(), generation);
    EXPECT_FALSE(fileExists(QStringLiteral("c1-Q.txt")));
    EXPECT_FALSE(fileExists(QStringLiteral("c1-A.txt")));
    EXPECT_TRUE(fileExists(QStringLiteral("c2-Q.txt")));
    EXPECT_TRUE(fileExists(QStringLiteral("c2-A.txt")));
    EXPECT_EQ(mainWindow(), main);
}

TEST_F(MainWindowTest, TheWaitWindowAppearsOnlyWhileTheMainWindowIsOnScreen)
{
    start();
    enum class State { Visible, Hidden, Minimized };
    const struct {
        const char *name;
        State state;
        int shown;
    } rows[] = {
        { "visible", State::Visible, 1 },
        { "hidden in the tray", State::Hidden, 0 },
        { "minimized", State::Minimized, 0 },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.state == State::Visible)
            main->showNormal();
        else if (row.state == State::Hidden)
            main->hide();
        else
            main->showMinimized();
        QCoreApplication::processEvents();
        ShowSpy spy("frmWait");
        main->DeleteTempFiles();
        EXPECT_EQ(spy.shown, row.shown);
    }
}

TEST_F(MainWindowTest, TheLogTextBoxGrowsWithItsWindow)
{
    start();
    ShowLog();
    frmLog *log = logWindow();
    QCoreApplication::processEvents();
    const QSize box = log->txtLog->size();
    log->resize(log->width() + 60, log->height() + 45);
    QCoreApplication::processEvents();
    EXPECT_EQ(log->txtLog->size(), box + QSize(60, 45));
    EXPECT_EQ(log->txtLog->pos(), QPoint(Twips::toPixelsX(15, log), 0));
}

TEST(LogTextBox, CountsLineBreaksAsCrLf)
{
    // Guards against the log purge threshold drifting by one character per line.
    LogTextBox box;
    box.appendAtEnd(QStringLiteral("one\r\n"));
    box.appendAtEnd(QStringLiteral("two\r\n"));
    EXPECT_EQ(box.textLength(), 10);
    box.replaceAll(QStringLiteral("x\r\n"));
    EXPECT_EQ(box.textLength(), 3);
}
