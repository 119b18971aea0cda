#include "CRequest.h"
#include "CurlRun.h"
#include "FakeOrigin.h"
#include "MainWindowFixture.h"
#include "RawBrowser.h"
#include "RecordWriter.h"
#include "frmBreakpoints.h"
#include "frmHeld.h"
#include "frmRequestEditor.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

using namespace Qt::StringLiterals;
using Draft = frmRequestEditor::Draft;

TEST(RequestEditor, BuildsWhatTheBoxesSayAndRefusesWhatTheProxyWould)
{
    const QByteArray post = "POST /p HTTP/1.1\nHost: old\nContent-Length: 3\n";
    // expected: the message built; nullptr when the proxy's parser refuses it (its reason is the
    // error). reply: built as a reply (to GET).
    const struct {
        const char *name;
        Draft draft;
        const char *expected;
        bool reply = false;
    } rows[] = {
        { "body edited: length and Host follow, bare LF becomes CR LF",
            { false, u"127.0.0.1"_s, u"8080"_s, QString::fromLatin1(post), "hello" },
            "POST http://127.0.0.1:8080/p HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nContent-Length: "
            "5\r\n\r\nhello" },
        { "length added after the fields, Host after the start line",
            { false, u"h"_s, u"80"_s, u"PUT http://old:81/a?b HTTP/1.1\r\nAccept: */*\r\n"_s, "xy" },
            "PUT http://h/a?b HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nContent-Length: 2\r\n\r\nxy" },
        { "unticked: the length stays as written",
            { false, u"h"_s, u"80"_s, QString::fromLatin1(post), "abc", false },
            "POST http://h/p HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc" },
        { "https: origin form, default port left out",
            { true, u"example.test"_s, u"443"_s, u"GET http://old?x HTTP/1.1\n"_s, {} },
            "GET /?x HTTP/1.1\r\nHost: example.test\r\n\r\n" },
        { "chunked body: no length added",
            { false, u"h"_s, u"80"_s, u"POST / HTTP/1.1\nTransfer-Encoding: chunked\n"_s,
                "1\r\na\r\n0\r\n\r\n" },
            "POST http://h/ HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n" },
        { "bad field", { false, u"h"_s, u"80"_s, u"GET / HTTP/1.1\nBad Field: x\n"_s, {} }, nullptr },
        { "no host", { false, u""_s, u"80"_s, u"GET / HTTP/1.1\n"_s, {} }, nullptr },
        { "no host, https", { true, u" "_s, u"443"_s, u"GET / HTTP/1.1\n"_s, {} }, nullptr },
        { "body cut short", { false, u"h"_s, u"80"_s, QString::fromLatin1(post), "a", false }, nullptr },
        { "reply: length follows the body",
            { false, {}, {}, u"HTTP/1.1 200 OK\nContent-Length: 1\n"_s, "four" },
            "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfour", true },
        { "reply: more body than its length",
            { false, {}, {}, u"HTTP/1.1 200 OK\nContent-Length: 1\n"_s, "four", false }, nullptr, true },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const frmRequestEditor::Built built = row.reply ? frmRequestEditor::buildReply(row.draft, false)
                                                        : frmRequestEditor::buildRequest(row.draft);
        if (row.expected) {
            EXPECT_EQ(built.message, QByteArray(row.expected));
            EXPECT_EQ(built.error, QString());
            EXPECT_EQ(std::pair(built.origin.host, built.origin.port),
                row.draft.secure ? std::pair(row.draft.host, quint16(443))
                                 : std::pair(QString(), quint16(0)));
        } else if (!row.reply) {
            const std::optional<HttpTarget> origin
                = row.draft.secure ? std::optional(built.origin) : std::nullopt;
            EXPECT_TRUE(!built.error.isEmpty() && built.error == CRequest::check(built.message, origin))
                << qPrintable(built.error);
        } else {
            EXPECT_FALSE(built.error.isEmpty());
        }
    }
    EXPECT_EQ(frmRequestEditor::buildRequest({ false, u"h"_s, u"0"_s, u"GET / HTTP/1.1\n"_s, {} }).error,
        u"The port must be a number from 1 to 65535"_s);

    // What a record opens as in the editor is sent unchanged.
    const QByteArray sent = rows[0].expected;
    EXPECT_EQ(frmRequestEditor::buildRequest(frmRequestEditor::draftOf(sent)).message, sent);

    // Bodies that are not text go through hex, byte for byte.
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes += char(i);
    EXPECT_FALSE(frmRequestEditor::isText(bytes) || frmRequestEditor::isText("a\r\nb"));
    EXPECT_TRUE(frmRequestEditor::isText("caf\xc3\xa9\n\tx"));
    EXPECT_EQ(frmRequestEditor::fromHex(frmRequestEditor::toHex(bytes)), bytes);
    EXPECT_FALSE(frmRequestEditor::fromHex(u"0g"_s) || frmRequestEditor::fromHex(u"abc"_s));
}

namespace {
template <typename T> T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}
} // namespace

TEST_F(MainWindowTest, ResendAndEditAndResendSendTheRecordedRequestAgainAsNewRows)
{
    start();
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" });
    const QString proxy = u"http://127.0.0.1:%1"_s.arg(port);
    ASSERT_EQ(runCurl({ u"-x"_s, proxy, u"-d"_s, u"abc"_s, origin.url(u"/p"_s) }).out, "ok");
    ASSERT_TRUE(waitFor([this] {
        main->History->flush();
        return main->History->row(0).cells[HistoryRow::Status] == u"DONE"_s;
    }));
    RecordWriter::instance().drain(5000);
    const auto resentIcon = [this](int row) {
        main->History->flush();
        return !main->History->data(main->History->index(row, 0), Qt::DecorationRole).isNull();
    };

    // Ctrl+R in the list sends the selected row again, as a row of its own.
    list->selectRow(0);
    list->setFocus();
    QTest::keyClick(list, Qt::Key_R, Qt::ControlModifier);
    ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 2; }));
    // The same request, but for how the proxy keeps its server connection.
    const QByteArray first = origin.requests.first();
    EXPECT_TRUE(origin.requests.last().startsWith(first.left(first.indexOf("Connection:")))
        && origin.requests.last().endsWith("\r\n\r\nabc"));
    EXPECT_TRUE(waitFor([&] { return main->History->rowCount() == 2 && resentIcon(1); }));
    EXPECT_FALSE(resentIcon(0));

    // Edit and Resend with a field added and a longer body: the length follows.
    list->selectRow(0);
    child<QAction>(main, "mnuPopupRowItem3")->trigger();
    auto *editor = main->findChild<frmRequestEditor *>();
    ASSERT_TRUE(editor);
    editor->txtHead->setPlainText(editor->txtHead->toPlainText().trimmed() + u"\nX-Edited: yes\n"_s);
    editor->txtBody->setPlainText(u"edited body"_s);
    QTest::mouseClick(editor->cmdSend, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 3; }));
    const QByteArray edited = origin.requests.last();
    EXPECT_TRUE(edited.contains("\r\nX-Edited: yes\r\n") && edited.contains("\r\nContent-Length: 11\r\n")
        && edited.endsWith("\r\n\r\nedited body"))
        << edited.constData();
    flushDeferredDeletes();

    // A refused request stays in the editor with the parser's reason, and nothing is sent.
    const int connections = origin.connectionsAccepted;
    child<QAction>(main, "mnuFileItem4")->trigger();
    editor = main->findChild<frmRequestEditor *>();
    ASSERT_TRUE(editor);
    editor->txtHost->setText(u"127.0.0.1"_s);
    editor->txtPort->setText(QString::number(origin.port()));
    editor->txtHead->setPlainText(u"GET / HTTP/1.1\nBad Field: x\n"_s);
    QTest::mouseClick(editor->cmdSend, Qt::LeftButton);
    EXPECT_TRUE(editor->isVisible() && !editor->lblError->text().isEmpty());
    editor->close();

    // A tunnel's row is not sent again, and the status bar says why.
    addRow("c-Q.txt", "");
    writeFile(records() + u"c-Q.txt"_s, "CONNECT h:443 HTTP/1.1\r\n\r\n");
    list->selectRow(main->History->rowCount() - 1);
    child<QAction>(main, "mnuPopupRowItem2")->trigger();
    EXPECT_TRUE(main->statusBar()->currentMessage().contains(u"tunnel"_s))
        << qPrintable(main->statusBar()->currentMessage());
    waitFor([] { return false; }, 300);
    EXPECT_EQ(origin.connectionsAccepted, connections);
}

TEST_F(MainWindowTest, BreakpointsHoldExchangesUntilTheUserLetsThemGoOn)
{
    start();
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" });

    // The dialog refuses a rule that stops nowhere, then takes a good one and turns it on.
    QString refusal;
    QTimer::singleShot(0, main, [&] {
        auto *dialog = main->findChild<frmBreakpoints *>();
        ASSERT_TRUE(dialog);
        dialog->addRule({ u"/held"_s, false, false });
        QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
        refusal = dialog->isVisible() ? dialog->lblError->text() : QString();
        dialog->grdRules->item(0, 1)->setCheckState(Qt::Checked);
        dialog->chkOn->setChecked(true);
        QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
    });
    child<QAction>(main, "mnuToolsItem6")->trigger();
    EXPECT_FALSE(refusal.isEmpty());
    EXPECT_TRUE(!main->lblBreakpoints->isHidden() && main->Proxy->breakpoints());

    // Continue lets the request go on; Abort answers the browser with 502.
    for (const bool abort : { false, true }) {
        SCOPED_TRACE(abort ? "abort" : "continue");
        RawBrowser browser(port);
        browser.send(origin.getRequest(u"/held"_s));
        ASSERT_TRUE(waitFor([this] { return main->Held->lstHeld->topLevelItemCount() == 1; }));
        EXPECT_TRUE(main->Held->isVisible());
        EXPECT_EQ(origin.completeRequests(), abort ? 1 : 0);
        QTest::mouseClick(abort ? main->Held->cmdAbort : main->Held->cmdContinue, Qt::LeftButton);
        ASSERT_TRUE(waitFor([&] { return browser.peerClosed || browser.received.endsWith("ok"); }));
        EXPECT_TRUE(browser.received.startsWith(abort ? "HTTP/1.1 502" : "HTTP/1.1 200"));
        EXPECT_TRUE(waitFor([this] { return main->Held->lstHeld->topLevelItemCount() == 0; }));
    }
    // A reply edited while held reaches the browser with its new length; the pane still shows the
    // server's own.
    QTimer::singleShot(0, main, [this] {
        auto *dialog = main->findChild<frmBreakpoints *>();
        ASSERT_TRUE(dialog);
        dialog->grdRules->item(0, 1)->setCheckState(Qt::Unchecked);
        dialog->grdRules->item(0, 2)->setCheckState(Qt::Checked);
        QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
    });
    child<QAction>(main, "mnuToolsItem6")->trigger();
    RawBrowser browser(port);
    browser.send(origin.getRequest(u"/held"_s));
    ASSERT_TRUE(waitFor([this] { return main->Held->lstHeld->topLevelItemCount() == 1; }));
    main->Held->editSelected();
    ASSERT_TRUE(main->Held->editor);
    main->Held->editor->txtBody->setPlainText(u"edited"_s);
    QTest::mouseClick(main->Held->editor->cmdContinue, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return browser.received.endsWith("edited"); }));
    EXPECT_TRUE(browser.received.contains("\r\nContent-Length: 6\r\n"));
    ASSERT_TRUE(waitFor([this] {
        main->History->flush();
        return main->History->row(main->History->rowCount() - 1).cells[HistoryRow::Status] == u"DONE"_s;
    }));
    RecordWriter::instance().drain(5000);
    list->selectRow(main->History->rowCount() - 1);
    emit list->itemClick(main->History->rowCount() - 1);
    main->tabReplySource->setCurrentIndex(1);
    EXPECT_TRUE(main->txtSniff->toPlainText().endsWith(u"ok"_s)) << qPrintable(main->txtSniff->toPlainText());

    QTest::mouseClick(main->cmdBreakpointsOff, Qt::LeftButton);
    EXPECT_TRUE(main->lblBreakpoints->isHidden() && !main->Proxy->breakpoints());
}
