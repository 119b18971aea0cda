#include "CTray.h"
#include "Clock.h"
#include "Compressed.h"
#include "CurlCommand.h"
#include "MainWindowFixture.h"
#include "RecordView.h"
#include "RecordWriter.h"
#include "RunningProgram.h"
#include "cDialog.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabBar>
#include <QTcpServer>

#include <algorithm>
#include <thread>

namespace {

// Counts the wait windows shown while it lives.
struct WaitWindowSpy : QObject {
    WaitWindowSpy() { qApp->installEventFilter(this); }
    ~WaitWindowSpy() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        shown += event->type() == QEvent::Show && watched->inherits("frmWait");
        return false;
    }
    int shown = 0;
};

} // namespace

TEST_F(MainWindowTest, LoadSaysWhetherTheServerStartedAndTheCloseBoxKeepsTheProgramRunning)
{
    // The port is taken only in the run without a notification area.
    for (const bool taken : { false, true }) {
        SCOPED_TRACE(taken ? "port taken, no notification area" : "port free, notification area");
        frmMain::setTrayAvailableForTest(!taken);
        QTcpServer occupant;
        ASSERT_TRUE(!taken || occupant.listen(QHostAddress::LocalHost, port));
        start();
        EXPECT_TRUE(main->isVisible() && QFileInfo(records()).isDir());
        EXPECT_TRUE(messages.isEmpty()) << qPrintable(messages.join(QLatin1Char('|')));
        const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
        EXPECT_EQ(main->lblServerState->text(),
            taken ? QStringLiteral("Not listening on %1: ").arg(address) + main->Proxy->lastStartError()
                  : QStringLiteral("Listening on ") + address);
        // The access log writes into the log window, which has collected lines before being shown.
        QPointer<frmLog> log = logWindow();
        EXPECT_FALSE(log->isVisible());
        EXPECT_EQ(log->txtLog->toPlainText().contains(QStringLiteral("Proxy server started on ") + address),
            !taken);

        // Guards against a window hidden for good when no notification area could bring it back.
        main->close();
        QCoreApplication::processEvents();
        EXPECT_EQ(std::pair(main->isVisible(), main->isMinimized()), std::pair(taken, taken));
        EXPECT_TRUE(mainWindow() == main && main->Proxy && exitCodes.isEmpty());
        // A double click on the tray icon brings the window back either way.
        main->Tray->notify(CTray::LeftDoubleClick);
        QCoreApplication::processEvents();
        EXPECT_TRUE(main->isVisible() && !main->isMinimized());
        // The log window only hides too, and keeps its lines.
        ShowLog();
        EXPECT_TRUE(log->isVisible());
        log->close();
        EXPECT_TRUE(log && !log->isVisible() && !log->txtLog->toPlainText().isEmpty());
        end();
    }
}

TEST_F(MainWindowTest, AFolderThatCannotBeCreatedEndsTheProgramWithoutSavingSettingsOrKeepingTheLock)
{
    const QString missing = dir.path() + QStringLiteral("/does/not/exist");
    const QString missingFolder = QDir::toNativeSeparators(missing) + QDir::separator();
    int exitCode = -1;
    EXPECT_FALSE(StartUp(missing, &exitCode));
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(messages,
        QStringList { QStringLiteral("Unable to create folder:\r\n\r\n") + missingFolder
            + QStringLiteral("requests") });
    EXPECT_TRUE(mainWindow() == nullptr && logWindow() == nullptr && exitCodes.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(missingFolder + QStringLiteral("tarnwick.ini")));

    // The lock went with the failed start: the same folder starts once it can be created, and a
    // file named requests counts as the record folder.
    ASSERT_TRUE(QDir().mkpath(missing));
    writeFile(missingFolder + QStringLiteral("requests"), "not a folder");
    EXPECT_TRUE(StartUp(missing, &exitCode));
    EXPECT_TRUE(QFileInfo(missingFolder + QStringLiteral("requests")).isFile());
    EXPECT_EQ(messages.size(), 1) << qPrintable(messages.join(QLatin1Char('|')));
}

TEST_F(MainWindowTest, RowClicksAndKeysShowTheRecordInTheChosenView)
{
    start();
    addRow("r1-Q.txt", "r1-A.txt", QByteArray("HTTP/1.0 200 OK\r\n\r\nbody"));
    addRow("r2-Q.txt", "");
    addRow("r3-Q.txt", "r3-A.txt");
    addRow("", "");
    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    addRow("r5-Q.txt", "r5-A.txt", ok + "Content-Encoding: gzip\r\n\r\n" + deflated("zipped"));
    addRow("r6-Q.txt", "r6-A.txt", ok + "Content-Type: image/png\r\n\r\n" + redPng());
    const QString reply = QStringLiteral("HTTP/1.0 200 OK\n\nbody");
    const int left = Qt::LeftButton, right = Qt::RightButton;
    // The input is a mouse button clicked on the row or a key pressed in the list; the view is 0 raw,
    // 1 decoded, 2 hex; the text box shows CR LF as one line break.
    const struct {
        const char *name;
        int row, input, view;
        QString expected;
        bool prefix = false;
    } rows[] = { { "left shows the request", 1, left, 0, QStringLiteral("r1-Q.txt") },
        { "right shows the reply", 1, right, 0, reply },
        { "right on a row without reply", 2, right, 0, QStringLiteral("No Response File.") },
        { "reply named but not on disk", 3, right, 0,
            QStringLiteral("Cannot read the record file ") + records() + QStringLiteral("r3-A.txt: "), true },
        { "left on a row with no request name", 4, left, 0, QStringLiteral("No Request File.") },
        { "decoded reply", 5, right, 1, QStringLiteral("HTTP/1.1 200 OK\nContent-Encoding: gzip\n\nzipped") },
        { "hex", 1, left, 2, QStringLiteral("00000000  72 31 2d 51"), true },
        // Up and Down show the request of the row they move to, Enter its reply.
        { "Down shows the next request", 2, Qt::Key_Down, 0, QStringLiteral("r2-Q.txt") },
        { "Enter shows the reply", 2, Qt::Key_Return, 0, QStringLiteral("No Response File.") } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        main->tabRecordView->setCurrentIndex(row.view);
        main->txtSniff->setPlainText(QStringLiteral("stale"));
        row.input > right ? QTest::keyClick(list, Qt::Key(row.input))
                          : click(row.row, Qt::MouseButton(row.input));
        const QString shown = main->txtSniff->toPlainText();
        EXPECT_EQ(row.prefix ? shown.left(row.expected.size()) : shown, row.expected);
        EXPECT_EQ(selectedIndex(), row.row);
        // Regression: hex columns did not line up in a proportional font.
        EXPECT_EQ(
            main->txtSniff->font() == QFontDatabase::systemFont(QFontDatabase::FixedFont), row.view == 2);
    }
    // Regression: the record pane and the log box took typed text.
    for (QPlainTextEdit *box : { main->txtSniff, static_cast<QPlainTextEdit *>(logWindow()->txtLog) }) {
        QTest::keyClicks(box, QStringLiteral("typed"));
        EXPECT_FALSE(box->toPlainText().contains(QStringLiteral("typed")));
    }

    // A picture takes the text box's place and gives it back for the next text.
    main->tabRecordView->setCurrentIndex(1);
    click(6, Qt::RightButton);
    EXPECT_TRUE(main->scrPicture->isVisible() && !main->txtSniff->isVisible());
    EXPECT_EQ(main->imgPicture->pixmap().size(), QSize(3, 2));
    main->tabRecordView->setCurrentIndex(0);
    EXPECT_TRUE(!main->scrPicture->isVisible() && main->txtSniff->isVisible());

    // Guards against the first item click, with mMouse still 0, reading the request instead, and
    // against the list reporting an old selection while its repaint is held back.
    main->mMouse = 0;
    list->selectRow(0);
    emit list->itemClick(0);
    EXPECT_EQ(main->txtSniff->toPlainText(), reply);

    // Guards against a huge reply being loaded whole into the text box.
    addRow("big-Q.txt", "big-A.txt", QByteArray(RecordView::ShowLimit + 1000, 'x'));
    click(7, Qt::RightButton);
    const QString shown = main->txtSniff->toPlainText();
    EXPECT_LT(shown.size(), RecordView::ShowLimit + RecordView::ShowLimit / 1000 + 300);
    EXPECT_TRUE(shown.section(QLatin1Char('\n'), -1).contains(records() + QStringLiteral("big-A.txt")));

    // Guards against a click on a row whose reply the record writer has not put in place yet
    // showing "No Response File.".
    RecordWriter &writer = RecordWriter::instance();
    addRow("late-Q.txt", "late-A.txt");
    writer.holdForTest(true);
    writer.write(records() + QStringLiteral("late-A.txt"), "HTTP/1.1 204 Late\r\n\r\n");
    std::thread release([&writer] {
        QThread::msleep(200);
        writer.holdForTest(false);
    });
    click(8, Qt::RightButton);
    release.join();
    EXPECT_EQ(main->txtSniff->toPlainText(), QStringLiteral("HTTP/1.1 204 Late\n\n"));

    // A reply the user edited: the pane switches between what the browser got and what the server sent.
    addRow("e-Q.txt", "e-A.txt", "HTTP/1.1 200 OK\r\n\r\nedited");
    writeFile(records() + QStringLiteral("e-A.orig.txt"), "HTTP/1.1 200 OK\r\n\r\nserver");
    click(9, Qt::RightButton);
    EXPECT_TRUE(main->tabReplySource->isVisible()
        && main->txtSniff->toPlainText().endsWith(QStringLiteral("edited")));
    main->tabReplySource->setCurrentIndex(1);
    EXPECT_TRUE(main->txtSniff->toPlainText().endsWith(QStringLiteral("server")));
    click(1, Qt::RightButton);
    EXPECT_FALSE(main->tabReplySource->isVisible());
}

TEST_F(MainWindowTest, RowCommandsCopyTheRequestAsCurlOrItsUrlAndExportHarOfTheTickedRowsOrEveryRow)
{
    start();
    const QByteArray request = "GET http://127.0.0.1:9/p?q HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n";
    addRow("h1-Q.txt", "h1-A.txt", "HTTP/1.1 200 OK\r\n\r\n");
    addRow("h2-Q.txt", "");
    addRow("h3-Q.txt", "h3-A.txt", "HTTP/1.1 404 Not Found\r\n\r\n");
    // Regression: a decrypted tunnel, whose record holds its two TLS sessions, had status 0.
    addRow("h4-Q.txt", "h4-A.txt", "Browser side, answered with a certificate for h:\r\n");
    writeFile(records() + QStringLiteral("h4-Q.txt"), "CONNECT h:443 HTTP/1.1\r\n\r\n");
    writeFile(records() + QStringLiteral("h2-Q.txt"), request);
    const auto contextKey = [this] {
        QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(5, 5), QPoint(5, 5));
        QCoreApplication::sendEvent(list->viewport(), &event);
    };
    const struct {
        const char *name;
        std::function<void()> open;
        const char *item; // nullptr: no menu opens
        QString copied;
    } menus[] = { { "plain right click shows the reply, no menu", [this] { click(2, Qt::RightButton); },
                      nullptr, {} },
        { "Shift+right click, Copy as cURL", [this] { click(2, Qt::RightButton, Qt::ShiftModifier); },
            "mnuPopupRowItem0", CurlCommand::fromRecord(request) },
        { "context-menu key, Copy URL", contextKey, "mnuPopupRowItem1",
            QStringLiteral("http://127.0.0.1:9/p?q") } };
    for (const auto &row : menus) {
        SCOPED_TRACE(row.name);
        QGuiApplication::clipboard()->clear();
        list->selectRow(1);
        row.open();
        EXPECT_EQ(main->mnuPopupRow->isVisible(), row.item != nullptr);
        main->mnuPopupRow->hide();
        if (row.item)
            main->findChild<QAction *>(QLatin1String(row.item))->trigger();
        EXPECT_EQ(QGuiApplication::clipboard()->text(), row.copied);
    }

    const struct {
        const char *name;
        QList<int> ticked, statuses;
    } exports[] = { { "none ticked: every row", {}, { 200, 0, 404, 200 } },
        { "ticked rows only", { 1, 3 }, { 200, 404 } } };
    const QString path = folder + QStringLiteral("out");
    for (const auto &row : exports) {
        SCOPED_TRACE(row.name);
        cDialog::setNextFileAnswerForTest([&path](const cDialog::FileRequest &) { return path; });
        for (int index = 1; index <= main->History->rowCount(); ++index)
            main->History->setChecked(index - 1, row.ticked.contains(index));
        main->findChild<QAction *>(QStringLiteral("mnuFileItem1"))->trigger();
        QFile file(path + QStringLiteral(".har"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QList<int> statuses;
        for (const QJsonValue entry :
            QJsonDocument::fromJson(file.readAll())[QStringLiteral("log")][QStringLiteral("entries")]
                .toArray())
            statuses.append(entry[QStringLiteral("response")][QStringLiteral("status")].toInt());
        EXPECT_EQ(statuses, row.statuses);
    }
    EXPECT_TRUE(messages.isEmpty()) << qPrintable(messages.join(QLatin1Char('|')));
}

TEST_F(MainWindowTest, NewRowsTakeTheSelectionUnlessTheUserPickedARowInTheLastMinute)
{
    start();
    quint64 id = 0;
    const auto exchanges = [&](int count) {
        for (int i = 0; i < count; ++i)
            main->History->exchangeAdded(++id, {});
        main->History->flush();
    };
    exchanges(3);
    EXPECT_EQ(selectedIndex(), 3);
    // Regression: each new row took the selection while the pane still showed the row the user clicked.
    click(1, Qt::LeftButton);
    exchanges(1);
    EXPECT_EQ(selectedIndex(), 1);
    Clock::advanceForTest(HistoryView::PickHoldMs);
    exchanges(1);
    EXPECT_EQ(selectedIndex(), 5);

    // Guards against steady traffic pulling the view away from an older row the user scrolled to.
    exchanges(60);
    QScrollBar *bar = list->verticalScrollBar();
    for (const bool top : { true, false }) {
        SCOPED_TRACE(top ? "scrolled to the top" : "at the bottom");
        top ? list->scrollToTop() : list->scrollToBottom();
        exchanges(1);
        QCoreApplication::processEvents();
        EXPECT_EQ(selectedIndex(), static_cast<int>(id));
        EXPECT_GT(bar->maximum(), 0);
        EXPECT_EQ(bar->value(), top ? 0 : bar->maximum());
    }
    Clock::setNowForTest(std::nullopt);
}

TEST_F(MainWindowTest, TheFilterBoxFiltersTheListAndJudgesARowAgainAsTheEngineFillsItIn)
{
    start();
    addRow("a-Q.txt", "");
    main->txtFilter->setText(QStringLiteral("example"));
    EXPECT_FALSE(list->rowShown(0));
    main->History->exchangeAdded(1, {});
    main->History->flush();
    EXPECT_FALSE(list->rowShown(1));
    HistoryCells filled;
    filled.URL = QStringLiteral("http://example.net/a");
    main->History->exchangeChanged(1, filled);
    main->History->flush();
    EXPECT_TRUE(list->rowShown(1));

    // Ctrl+F focuses the filter.
    main->activateWindow();
    QTest::keyClick(main, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(QApplication::focusWidget(), main->txtFilter);
}

TEST_F(MainWindowTest, ExitAndClearCommandsPurgeUncheckedRecords)
{
    enum Shown { OnScreen, InTheTray, Minimized };
    // slow: the record writer takes a second to delete; only then, at exit and on screen, does the
    // wait window show.
    const struct {
        const char *name, *action;
        Shown shown = OnScreen;
        bool quits = true, exitAgain = false, unwritable = false, slow = false;
    } rows[] = { { "File > Exit", "mnuFileItem0" },
        { "File > Exit, slow deletion", "mnuFileItem0", OnScreen, true, false, false, true },
        { "Remove Tarnwick while hidden in the tray", "mnuPopupTrayItem0", InTheTray, true, false, false,
            true },
        // Guards against the purge's event pass re-running the close routine on a half-closed window.
        { "exit asked again during the purge", "mnuFileItem0", OnScreen, true, true, false, true },
        { "Clear Connection History", "mnuToolsItem3", OnScreen, false, false, false, true },
        { "Clear Connection History while minimized", "mnuToolsItem3", Minimized, false },
        // Last: its settings file stays a folder.
        { "File > Exit with the settings unwritable", "mnuFileItem0", OnScreen, true, false, true } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        start();
        if (row.shown != OnScreen)
            row.shown == InTheTray ? main->hide() : main->showMinimized();
        QCoreApplication::processEvents();
        addRow("k-Q.txt", "k-A.txt", "reply", true);
        addRow("n-Q.txt", "");
        // A file deleted by hand does not stop the purge of the rows after it.
        addRow("h-Q.txt", "h-A.txt");
        addRow("z-Q.txt", "z-A.txt", "reply");
        writeFile(records() + QStringLiteral("z-A.orig.txt"), "reply");
        const QPointer<QObject> parts[] = { main, logWindow(), main->Proxy.data() };
        // Rows the filter hides are purged all the same.
        main->txtFilter->setText(QStringLiteral("host2"));
        if (row.exitAgain)
            QTimer::singleShot(0, main, [this] { main->endProgram(); });
        const QString settingsPath = folder + QStringLiteral("tarnwick.ini");
        ASSERT_TRUE(!row.unwritable || (QFile::remove(settingsPath) && QDir().mkdir(settingsPath)));

        WaitWindowSpy spy;
        RecordWriter &writer = RecordWriter::instance();
        writer.holdForTest(row.slow);
        std::thread release([&writer, slow = row.slow] {
            QThread::msleep(slow ? 1000 : 0);
            writer.holdForTest(false);
        });
        // Regression: clearing the history waited for the writer, nesting an event loop.
        QElapsedTimer took;
        took.start();
        main->findChild<QAction *>(QLatin1String(row.action))->trigger();
        EXPECT_EQ(took.elapsed() < 500, !row.quits || !row.slow);
        release.join();
        flushDeferredDeletes();
        writer.drain(5000);
        EXPECT_EQ(spy.shown, row.quits && row.slow && row.shown == OnScreen ? 1 : 0);

        for (const char *gone : { "n-Q.txt", "z-Q.txt", "z-A.txt", "z-A.orig.txt" })
            EXPECT_FALSE(QFileInfo::exists(records() + QLatin1String(gone))) << gone;
        for (const char *kept : { "k-Q.txt", "k-A.txt" })
            EXPECT_TRUE(QFile::remove(records() + QLatin1String(kept))) << kept;
        if (row.quits) {
            // One box, in which the reason follows the file name.
            const QString unsaved
                = QStringLiteral("Unable to save the settings to %1:\r\n\r\n").arg(settingsPath);
            EXPECT_EQ(messages.size() == 1 && messages[0].size() > unsaved.size() + 12
                    && messages[0].startsWith(unsaved),
                row.unwritable)
                << qPrintable(messages.join(QLatin1Char('|')));
            EXPECT_EQ(exitCodes, QList<int> { row.unwritable ? 1 : 0 });
            EXPECT_TRUE(std::ranges::all_of(parts, &QPointer<QObject>::isNull) && mainWindow() == nullptr);
        } else {
            EXPECT_EQ(main->History->rowCount(), 0);
        }
        end();
    }
}

TEST(Program, AnOffscreenStartWithoutRuntimeFolderSaysOnlyWhereItListens)
{
    // Guards against Qt's platform notices burying the one line a headless user needs.
    RunningProgram program;
    program.environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    ASSERT_TRUE(program.startListening()) << program.stderrText();
    // Some notices come only once the window has been shown for a moment, or at the end.
    waitFor([] { return false; }, 500);
    EXPECT_TRUE(program.terminate());
    EXPECT_EQ(QByteArray(program.stderrText()),
        "Tarnwick: Listening on 127.0.0.1:" + QByteArray::number(program.port) + "\n");
}
