#include "frmMain.h"

#include "CExchange.h"
#include "CProxyServer.h"
#include "CRequest.h"
#include "CTray.h"
#include "Clock.h"
#include "CurlCommand.h"
#include "HarBuilder.h"
#include "Http2Message.h"
#include "HttpTarget.h"
#include "HistoryModel.h"
#include "HistorySession.h"
#include "HistoryView.h"
#include "MainModule.h"
#include "MessageBox.h"
#include "PictureBox.h"
#include "ProgramValues.h"
#include "RecordMessage.h"
#include "RecordWriter.h"
#include "TarnwickVersion.h"
#include "Twips.h"
#include "cDialog.h"
#include "frmBreakpoints.h"
#include "frmHeld.h"
#include "frmHttps.h"
#include "frmLog.h"
#include "frmOptions.h"
#include "frmSettings.h"
#include "frmWait.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QTabBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdio>

namespace {
std::optional<bool> g_trayAvailableForTest;

QPixmap monitorPixmap(int size, const QColor &screen)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.scale(size / 16.0, size / 16.0);
    painter.setPen(QColor(64, 64, 64));
    painter.setBrush(QColor(192, 192, 192));
    painter.drawRect(QRectF(1.5, 1.5, 13, 10));
    painter.setPen(Qt::NoPen);
    painter.setBrush(screen);
    painter.drawRect(QRectF(3, 3, 10, 7));
    painter.setBrush(QColor(96, 96, 96));
    painter.drawRect(QRectF(6, 12, 4, 1));
    painter.drawRect(QRectF(4, 13, 8, 2));
    return pixmap;
}

QIcon monitorIcon(const QColor &screen)
{
    QIcon icon;
    icon.addPixmap(monitorPixmap(16, screen));
    icon.addPixmap(monitorPixmap(32, screen));
    return icon;
}

// A record name from a row: never a path, never the requests folder itself.
bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

// A decoded view reads this much of a record: the largest decoded body and its header.
constexpr qint64 DecodeReadLimit = 17 * 1024 * 1024;
// How long a click waits for a record the writer has not put in place yet; how long the end of
// the program waits for the writer to delete the records, and after how long it says so.
constexpr int RecordWaitMs = 2000;
constexpr int PurgeWaitMs = 30000;
constexpr int PurgeQuietMs = 500;

MessageBox::Icon toMessageBoxIcon(IProxyShell::MessageIcon icon)
{
    switch (icon) {
    case IProxyShell::MessageIcon::Information:
        return MessageBox::Icon::Information;
    case IProxyShell::MessageIcon::Exclamation:
        return MessageBox::Icon::Exclamation;
    case IProxyShell::MessageIcon::None:
        break;
    }
    return MessageBox::Icon::None;
}
} // namespace

frmMain::frmMain(QWidget *parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowIcon(monitorIcon(QColor(0, 160, 0)));

    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    // The record pane above, the history below; the user moves the line between them.
    splitter = new QSplitter(Qt::Vertical, client);
    splitter->setObjectName(QStringLiteral("splitter"));
    splitter->setChildrenCollapsible(true);
    auto *clientLayout = new QVBoxLayout(client);
    clientLayout->setContentsMargins(Twips::toPixelsX(45, this), Twips::toPixelsY(45, this),
        Twips::toPixelsX(45, this), Twips::toPixelsY(45, this));
    clientLayout->addWidget(splitter);

    auto *pane = new QWidget(splitter);
    pane->setObjectName(QStringLiteral("pane"));
    auto *paneLayout = new QVBoxLayout(pane);
    paneLayout->setContentsMargins(0, 0, 0, 0);
    paneLayout->setSpacing(0);
    tabRecordView = new QTabBar(pane);
    tabRecordView->setObjectName(QStringLiteral("tabRecordView"));
    tabRecordView->setDocumentMode(true);
    tabRecordView->setExpanding(false);
    for (const char *view : { "Raw", "Decoded", "Hex" })
        tabRecordView->addTab(QLatin1String(view));
    connect(tabRecordView, &QTabBar::currentChanged, this, [this] {
        if (!m_shownFile.isNull())
            showRecord(m_shownFile, m_shownMissingText);
    });
    tabReplySource = new QTabBar(pane);
    tabReplySource->setObjectName(QStringLiteral("tabReplySource"));
    tabReplySource->setDocumentMode(true);
    tabReplySource->setExpanding(false);
    for (const char *source : { "Sent to browser", "From server" })
        tabReplySource->addTab(QLatin1String(source));
    tabReplySource->hide();
    connect(tabReplySource, &QTabBar::currentChanged, this, [this] {
        if (!m_shownFile.isNull())
            showRecord(m_shownFile, m_shownMissingText);
    });
    auto *views = new QHBoxLayout;
    views->addWidget(tabRecordView);
    views->addSpacing(Twips::toPixelsX(300, this));
    views->addWidget(tabReplySource);
    views->addStretch(1);
    paneLayout->addLayout(views);

    txtSniff = new QPlainTextEdit(pane);
    txtSniff->setObjectName(QStringLiteral("txtSniff"));
    txtSniff->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtSniff->setReadOnly(true);
    txtSniff->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    paneLayout->addWidget(txtSniff, 1);

    scrPicture = new QScrollArea(pane);
    scrPicture->setObjectName(QStringLiteral("scrPicture"));
    auto *picturePage = new QWidget;
    auto *pictureLayout = new QVBoxLayout(picturePage);
    lblPictureHeader = new QLabel(picturePage);
    lblPictureHeader->setObjectName(QStringLiteral("lblPictureHeader"));
    lblPictureHeader->setTextInteractionFlags(Qt::TextSelectableByMouse);
    imgPicture = new QLabel(picturePage);
    imgPicture->setObjectName(QStringLiteral("imgPicture"));
    pictureLayout->addWidget(lblPictureHeader);
    pictureLayout->addWidget(imgPicture);
    pictureLayout->addStretch();
    scrPicture->setWidget(picturePage);
    scrPicture->setWidgetResizable(true);
    scrPicture->hide();
    paneLayout->addWidget(scrPicture, 1);

    auto *listPane = new QWidget(splitter);
    listPane->setObjectName(QStringLiteral("listPane"));
    auto *listLayout = new QVBoxLayout(listPane);
    listLayout->setContentsMargins(0, 0, 0, 0);
    auto *filterLine = new QHBoxLayout;
    Label4 = new QLabel(QStringLiteral("Connection History:"), listPane);
    Label4->setObjectName(QStringLiteral("Label4"));
    filterLine->addWidget(Label4);
    txtFilter = new QLineEdit(listPane);
    txtFilter->setObjectName(QStringLiteral("txtFilter"));
    txtFilter->setPlaceholderText(QStringLiteral("Filter by host, type, URL, status or code (-text hides)"));
    txtFilter->setClearButtonEnabled(true);
    filterLine->addWidget(txtFilter, 1);
    listLayout->addLayout(filterLine);

    History = new HistoryModel(this);
    History->log = [this](const QString &line) {
        if (Proxy)
            Proxy->AddLog(line);
    };
    connect(History, &HistoryModel::rowsDropped, this, &frmMain::historyRowsDropped);
    ListView1 = new HistoryView(History, listPane);
    listLayout->addWidget(ListView1, 1);
    connect(ListView1, &HistoryView::mouseButtonDown, this, &frmMain::ListView1_MouseDown);
    connect(ListView1, &HistoryView::itemClick, this, &frmMain::ListView1_ItemClick);
    connect(ListView1, &HistoryView::keyboardSelect, this, [this](int row) {
        showRecord(History->row(row).cells[HistoryRow::RequestFile], QStringLiteral("No Request File."));
    });
    connect(ListView1, &HistoryView::keyboardEnter, this, [this] { ViewResponseFile(); });
    connect(ListView1, &HistoryView::rowMenuRequested, this, &frmMain::ListView1_RowMenuRequested);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 1);

    connect(txtFilter, &QLineEdit::textChanged, ListView1, &HistoryView::setFilterText);
    auto *find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        txtFilter->setFocus(Qt::ShortcutFocusReason);
        txtFilter->selectAll();
    });

    // They only carry the tray's pictures; the status bar says what the server is doing.
    pic = new PictureBox(client);
    pic->setObjectName(QStringLiteral("pic"));
    pic->hide();
    const QColor screens[2] = { QColor(0, 160, 0), QColor(200, 0, 0) };
    for (int i = 0; i < 2; ++i) {
        pics[i] = new PictureBox(client);
        pics[i]->setObjectName(QStringLiteral("pics%1").arg(i));
        pics[i]->setPicture(monitorIcon(screens[i]));
        pics[i]->hide();
    }

    lblServerState = new QLabel(this);
    lblServerState->setObjectName(QStringLiteral("lblServerState"));
    statusBar()->setObjectName(QStringLiteral("StatusBar1"));
    statusBar()->addWidget(lblServerState, 1);
    lblBreakpoints = new QLabel(QStringLiteral("Breakpoints on"), this);
    lblBreakpoints->setObjectName(QStringLiteral("lblBreakpoints"));
    lblBreakpoints->setStyleSheet(
        QStringLiteral("QLabel { color: white; background: #c00000; padding: 0 4px; }"));
    cmdBreakpointsOff = new QToolButton(this);
    cmdBreakpointsOff->setObjectName(QStringLiteral("cmdBreakpointsOff"));
    cmdBreakpointsOff->setText(QStringLiteral("Turn off"));
    cmdBreakpointsOff->setAutoRaise(true);
    connect(cmdBreakpointsOff, &QToolButton::clicked, this, [this] { setBreakpointsOn(false); });
    statusBar()->addPermanentWidget(lblBreakpoints);
    statusBar()->addPermanentWidget(cmdBreakpointsOff);
    lblBreakpoints->hide();
    cmdBreakpointsOff->hide();

    const auto addItem = [this](QMenu *menu, QList<QAction *> &group, const QString &name,
                             const QString &caption, void (frmMain::*handler)(int)) {
        const int index = static_cast<int>(group.size());
        QAction *action = menu->addAction(caption);
        action->setObjectName(name + QString::number(index));
        connect(action, &QAction::triggered, this, [this, handler, index] { (this->*handler)(index); });
        group.append(action);
    };

    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    addItem(mnuFile, mnuFileItem, QStringLiteral("mnuFileItem"), QStringLiteral("E&xit"),
        &frmMain::mnuFileItem_Click);
    // Item 0 stays "E&xit", as the exit commands are known by; the export goes above it.
    addItem(mnuFile, mnuFileItem, QStringLiteral("mnuFileItem"), QStringLiteral("Export &HAR..."),
        &frmMain::mnuFileItem_Click);
    addItem(mnuFile, mnuFileItem, QStringLiteral("mnuFileItem"), QStringLiteral("&Open Session..."),
        &frmMain::mnuFileItem_Click);
    addItem(mnuFile, mnuFileItem, QStringLiteral("mnuFileItem"), QStringLiteral("&Save Session..."),
        &frmMain::mnuFileItem_Click);
    for (const int item : { 2, 3, 1 })
        mnuFile->insertAction(mnuFileItem[0], mnuFileItem[item]);
    mnuFile->insertSeparator(mnuFileItem[0]);
    addItem(mnuFile, mnuFileItem, QStringLiteral("mnuFileItem"), QStringLiteral("New &Request..."),
        &frmMain::mnuFileItem_Click);
    mnuFile->insertAction(mnuFileItem[2], mnuFileItem[4]);

    mnuTools = menuBar()->addMenu(QStringLiteral("&Tools"));
    mnuTools->setObjectName(QStringLiteral("mnuTools"));
    const QString tools = QStringLiteral("mnuToolsItem");
    addItem(mnuTools, mnuToolsItem, tools, QStringLiteral("&Settings"), &frmMain::mnuToolsItem_Click);
    addItem(mnuTools, mnuToolsItem, tools, QStringLiteral("&Log Window"), &frmMain::mnuToolsItem_Click);
    QAction *separator = mnuTools->addSeparator();
    separator->setObjectName(tools + QString::number(mnuToolsItem.size()));
    mnuToolsItem.append(separator);
    addItem(mnuTools, mnuToolsItem, tools, QStringLiteral("&Clear Connection History"),
        &frmMain::mnuToolsItem_Click);
    // Numbered after the items before it, shown beside the other settings.
    addItem(
        mnuTools, mnuToolsItem, tools, QStringLiteral("&HTTPS Decryption..."), &frmMain::mnuToolsItem_Click);
    mnuTools->insertAction(mnuToolsItem[1], mnuToolsItem[4]);
    addItem(mnuTools, mnuToolsItem, tools, QStringLiteral("&Options..."), &frmMain::mnuToolsItem_Click);
    mnuTools->insertAction(mnuToolsItem[1], mnuToolsItem[5]);
    addItem(mnuTools, mnuToolsItem, tools, QStringLiteral("&Breakpoints..."), &frmMain::mnuToolsItem_Click);
    mnuTools->insertAction(mnuToolsItem[1], mnuToolsItem[6]);

    mnuPopupTray = new QMenu(QStringLiteral("PopupTray"), this);
    mnuPopupTray->setObjectName(QStringLiteral("mnuPopupTray"));
    addItem(mnuPopupTray, mnuPopupTrayItem, QStringLiteral("mnuPopupTrayItem"),
        QStringLiteral("&Remove Tarnwick"), &frmMain::mnuPopupTrayItem_Click);

    mnuPopupRow = new QMenu(QStringLiteral("PopupRow"), this);
    mnuPopupRow->setObjectName(QStringLiteral("mnuPopupRow"));
    addItem(mnuPopupRow, mnuPopupRowItem, QStringLiteral("mnuPopupRowItem"), QStringLiteral("Copy as cURL"),
        &frmMain::mnuPopupRowItem_Click);
    addItem(mnuPopupRow, mnuPopupRowItem, QStringLiteral("mnuPopupRowItem"), QStringLiteral("Copy URL"),
        &frmMain::mnuPopupRowItem_Click);
    mnuPopupRow->addSeparator();
    addItem(mnuPopupRow, mnuPopupRowItem, QStringLiteral("mnuPopupRowItem"), QStringLiteral("&Resend"),
        &frmMain::mnuPopupRowItem_Click);
    addItem(mnuPopupRow, mnuPopupRowItem, QStringLiteral("mnuPopupRowItem"),
        QStringLiteral("&Edit and Resend..."), &frmMain::mnuPopupRowItem_Click);
    // The list takes the shortcut while it has the focus; the menu only shows it.
    mnuPopupRowItem[2]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    mnuPopupRowItem[2]->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    ListView1->addAction(mnuPopupRowItem[2]);

    resize(Twips::toPixelsX(8640, this),
        Twips::toPixelsY(5940, this) + menuBar()->sizeHint().height() + statusBar()->sizeHint().height());
    if (QScreen *screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

frmMain::~frmMain()
{
    // The server's access log writes into the log window and its rows into ListView1; it goes first.
    delete Proxy.data();
    delete Tray.data();
}

void frmMain::Form_Load()
{
    if (m_loaded)
        return;
    m_loaded = true;

    setWindowTitle(MessageBox::title()
        + QStringLiteral(" v%1.%2.%3")
              .arg(TARNWICK_VERSION_MAJOR)
              .arg(TARNWICK_VERSION_MINOR)
              .arg(TARNWICK_VERSION_PATCH));
    Tray = new CTray(this);
    pic->setPicture(pics[0]->picture());
    Tray->setPicBox(pic);
    Tray->setTipText(windowTitle());
    connect(Tray, &CTray::LButtonDblClick, this, &frmMain::Tray_LButtonDblClick);
    connect(Tray, &CTray::RButtonUp, this, &frmMain::Tray_RButtonUp);
    Tray->ShowIcon();

    Proxy = new CProxyServer(this, this);
    Proxy->setHttpsDecryption(httpsDecryption());
    connect(Proxy, &CProxyServer::stateChanged, this, &frmMain::updateServerState);
    Held = new frmHeld(Proxy, this);
    connect(Proxy, &CProxyServer::exchangeHeld, Held, &frmHeld::exchangeHeld);
    connect(Proxy, &CProxyServer::holdEnded, Held, &frmHeld::holdEnded);
    frmLog *log = logWindow();
    if (log)
        log->setWindowIcon(windowIcon());
    Proxy->AccessLog().Setup(QString(), log ? log->txtLog : nullptr, LogFileName);
    loadOptions();
    StartProxy();
}

void frmMain::loadOptions()
{
    const Options::ReadResult read = Options::read(Options::defaultFileName());
    for (const QString &line : read.logLines)
        Proxy->AddLog(line);
    m_options = read.options;
    m_breakpointRules = m_options.breakpointRules;
    Proxy->setThreads(m_options.threads);
    Proxy->setAccess(m_options.access());
    History->setLimit(m_options.historyLimit, m_options.historyMode);
    if (!m_options.windowGeometry.isEmpty())
        restoreGeometry(m_options.windowGeometry);
    if (!m_options.windowSplitter.isEmpty())
        splitter->restoreState(m_options.windowSplitter);
    if (!m_options.historyColumns.isEmpty())
        ListView1->header()->restoreState(m_options.historyColumns);
    if (m_options.keepHistory)
        openKeptHistory();
}

void frmMain::saveOptions()
{
    m_options.windowGeometry = saveGeometry();
    m_options.windowSplitter = splitter->saveState();
    m_options.historyColumns = ListView1->header()->saveState();
    m_options.breakpointRules = m_breakpointRules;
    QString why;
    if (!m_options.write(Options::defaultFileName(), &why) && Proxy)
        Proxy->AddLog(why);
}

QString frmMain::keptHistoryPath()
{
    return AppFolder + QStringLiteral("history.har");
}

void frmMain::openKeptHistory()
{
    const QString path = keptHistoryPath();
    if (!QFileInfo::exists(path))
        return;
    QString error;
    const std::optional<QList<HistoryRow>> rows = HistorySession::open(path, recordFolder(), &error);
    if (rows) {
        History->appendRows(*rows);
        return;
    }
    // Never deleted: it may be all that is left of a day's traffic.
    const QString aside
        = path + QStringLiteral(".damaged-") + Clock::now().toString(QStringLiteral("yyMMddHHmmss"));
    const bool renamed = QFile::rename(path, aside);
    Proxy->AddLog(QStringLiteral("The kept history %1 cannot be opened: %2. %3")
                      .arg(path, error,
                          renamed ? QStringLiteral("It was renamed to ") + aside + QStringLiteral(".")
                                  : QStringLiteral("It could not be renamed aside.")));
}

void frmMain::StartProxy()
{
    CProxyServer::StartArgs args;
    args.IP_Address = ServerIP;
    args.Local_Port = ServerPort;
    args.AccessLogFile = LogFileName;
    Proxy->StartServer(args);
}

void frmMain::updateServerState()
{
    if (!Proxy)
        return;
    const QString address = Proxy->IP() + QLatin1Char(':') + QString::number(Proxy->Port());
    QString state;
    if (Proxy->Running())
        state = QStringLiteral("Listening on ") + address;
    else if (!Proxy->lastStartError().isEmpty())
        state
            = QStringLiteral("Not listening on ") + address + QStringLiteral(": ") + Proxy->lastStartError();
    else
        state = QStringLiteral("Not listening");
    lblServerState->setText(state);
    // Without a screen nobody sees the status bar; whoever started the program sees this instead.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        std::fprintf(stderr, "%s: %s\n", qPrintable(MessageBox::title()), qPrintable(state));
}

IHistoryList *frmMain::historyList()
{
    return History;
}

void frmMain::UpdateIcon(qint16 icon)
{
    if (icon == 0 || icon == 1)
        pic->setPicture(pics[icon]->picture());
}

void frmMain::messageBox(const QString &text, MessageIcon icon)
{
    MessageBox::post(this, text, toMessageBoxIcon(icon));
}

void frmMain::historyRowsDropped(const QList<HistoryRow> &rows)
{
    QHash<quint64, bool> tickedById;
    for (const HistoryRow &row : rows)
        tickedById.insert(row.id, row.checked);
    if (Proxy)
        Proxy->historyRowsRemoved(tickedById);
    deleteRecords(rows);
}

void frmMain::deleteRecords(const QList<HistoryRow> &rows)
{
    // Through the record writer, after whatever it still has to write for these files.
    RecordWriter &writer = RecordWriter::instance();
    const QString folder = recordFolder();
    for (const HistoryRow &row : rows) {
        if (row.checked)
            continue;
        QStringList files { row.cells[HistoryRow::RequestFile], row.cells[HistoryRow::ResponseFile] };
        // The reply record of an exchange still running on a network thread may not be named in
        // the row yet; it takes the request record's name.
        if (files[1].isEmpty() && files[0].endsWith(QStringLiteral("-Q.txt")))
            files[1] = files[0].chopped(6) + QStringLiteral("-A.txt");
        // The server's own reply, kept beside the one the user edited.
        if (files[1].endsWith(QStringLiteral("-A.txt")))
            files.append(CExchange::originalReplyPath(files[1]));
        for (const QString &file : std::as_const(files))
            if (isPlainFileName(file))
                writer.remove(folder + file);
    }
}

void frmMain::waitForRecordDeletion()
{
    RecordWriter &writer = RecordWriter::instance();
    if (writer.drain(PurgeQuietMs) || !isVisible() || isMinimized())
        return writer.drain(PurgeWaitMs), void();
    QPointer<frmMain> self(this);
    QPointer<frmWait> wait = new frmWait(this);
    wait->show();
    // Once, so that the wait window is drawn.
    QCoreApplication::processEvents();
    writer.drain(PurgeWaitMs);
    if (self && wait) {
        wait->close();
        delete wait.data();
    }
}

RecordView::Shown frmMain::recordShown(
    const QString &fileName, const QString &missingText, RecordView::Mode mode)
{
    if (fileName.isEmpty())
        return { missingText, {} };
    if (!isPlainFileName(fileName))
        return { QStringLiteral("Cannot show \"") + fileName
                + QStringLiteral("\": not the name of a record file."),
            {} };

    const QString path = recordFolder() + fileName;
    // A record still queued for the disk is waited for, briefly, rather than shown as missing.
    RecordWriter::instance().waitUntilWritten(path, RecordWaitMs);
    QFile file(path);
    const auto failed = [&] {
        return RecordView::Shown { QStringLiteral("Cannot read the record file ") + path
                + QStringLiteral(": ") + file.errorString(),
            {} };
    };
    if (!file.open(QIODevice::ReadOnly))
        return failed();
    const qint64 size = file.size();
    const QByteArray bytes
        = file.read(mode == RecordView::Mode::Decoded ? DecodeReadLimit : RecordView::ShowLimit);
    if (bytes.isEmpty() && file.error() != QFileDevice::NoError)
        return failed();

    RecordView::Shown shown = RecordView::show(bytes, mode, size > bytes.size());
    if (size > bytes.size()) {
        shown.text += QStringLiteral("\r\n[Only the first %1 bytes are shown. The record has %2 bytes: %3]")
                          .arg(bytes.size())
                          .arg(size)
                          .arg(path);
    }
    return shown;
}

void frmMain::showRecord(const QString &fileName, const QString &missingText)
{
    m_shownFile = fileName.isNull() ? QStringLiteral("") : fileName;
    m_shownMissingText = missingText;
    const auto mode = static_cast<RecordView::Mode>(tabRecordView->currentIndex());
    const QString original = isPlainFileName(fileName) && fileName.endsWith(QStringLiteral("-A.txt"))
        ? CExchange::originalReplyPath(fileName)
        : QString();
    m_hasOriginal = !original.isEmpty() && QFileInfo::exists(recordFolder() + original);
    const bool fromServer = m_hasOriginal && tabReplySource->currentIndex() == 1;
    const RecordView::Shown shown = recordShown(fromServer ? original : fileName, missingText, mode);
    m_showingPicture = !shown.image.isNull();
    if (m_showingPicture) {
        lblPictureHeader->setText(shown.text);
        imgPicture->setPixmap(QPixmap::fromImage(shown.image));
        txtSniff->clear();
    } else {
        imgPicture->clear();
        // Hex columns line up only in a fixed-pitch font.
        txtSniff->setFont(
            mode == RecordView::Mode::Hex ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QFont());
        txtSniff->setPlainText(shown.text);
    }
    showRecordPane(m_paneShown);
}

void frmMain::showRecordPane(bool show)
{
    m_paneShown = show;
    tabRecordView->setVisible(show);
    tabReplySource->setVisible(show && m_hasOriginal);
    txtSniff->setVisible(show && !m_showingPicture);
    scrPicture->setVisible(show && m_showingPicture);
}

void frmMain::ViewResponseFile()
{
    const int row = ListView1->selectedRow();
    const QString name = row >= 0 ? History->row(row).cells[HistoryRow::ResponseFile] : QString();
    showRecord(name, QStringLiteral("No Response File."));
}

void frmMain::ListView1_MouseDown(int Button, int Shift, int x, int y)
{
    Q_UNUSED(Shift);
    Q_UNUSED(x);
    Q_UNUSED(y);
    mMouse = static_cast<qint16>(Button);
}

void frmMain::ListView1_ItemClick(int index)
{
    if (mMouse == 1)
        showRecord(History->row(index).cells[HistoryRow::RequestFile], QStringLiteral("No Request File."));
    else
        ViewResponseFile();
}

void frmMain::mnuFileItem_Click(int Index)
{
    if (Index == 0)
        endProgram();
    else if (Index == 1)
        exportHar();
    else if (Index == 2)
        openSession();
    else if (Index == 3)
        saveSession();
    else if (Index == 4)
        openEditor(frmRequestEditor::Mode::NewRequest,
            { false, {}, QStringLiteral("80"), QStringLiteral("GET / HTTP/1.1\n"), {}, true });
}

namespace {
QString harFilter()
{
    return QLatin1String("HAR Files (*.har)") + QChar(0) + QLatin1String("*.har") + QChar(0);
}
} // namespace

void frmMain::openSession()
{
    QPointer<frmMain> self(this);
    QString fileName;
    const QString path
        = cDialog().GetOpenName(this, fileName, AppFolder, QStringLiteral("Open Session"), harFilter());
    if (!self || path.isEmpty())
        return;
    QString error;
    const std::optional<QList<HistoryRow>> rows = HistorySession::open(path, recordFolder(), &error);
    if (!rows) {
        MessageBox::show(this, QStringLiteral("Cannot open ") + path + QStringLiteral(":\r\n\r\n") + error,
            MessageBox::Icon::Exclamation);
        return;
    }
    History->appendRows(*rows);
}

void frmMain::saveSession()
{
    QPointer<frmMain> self(this);
    QString fileName = QStringLiteral("session.har");
    const QString path = cDialog().GetSaveName(
        this, fileName, AppFolder, QStringLiteral("Save Session"), harFilter(), QStringLiteral("har"));
    if (!self || path.isEmpty())
        return;
    QString error;
    if (!HistorySession::save(path, listedRows(), recordFolder(), &error))
        MessageBox::show(this,
            QStringLiteral("Unable to write ") + path + QStringLiteral(":\r\n\r\n") + error,
            MessageBox::Icon::Exclamation);
}

void frmMain::exportHar()
{
    QPointer<frmMain> self(this);
    const QString folder = recordFolder();
    QList<HarBuilder::Row> rows;
    for (const HistoryRow &row : listedRows()) {
        const QString request = row.cells[HistoryRow::RequestFile];
        if (!isPlainFileName(request))
            continue;
        const QString reply = row.cells[HistoryRow::ResponseFile];
        rows.append({ folder + request, isPlainFileName(reply) ? folder + reply : QString(),
            row.cells[HistoryRow::IP], row.cells[HistoryRow::Status] });
    }

    QString fileName = QStringLiteral("tarnwick.har");
    const QString filter = QLatin1String("HAR Files (*.har)") + QChar(0) + QLatin1String("*.har") + QChar(0);
    const QString path = cDialog().GetSaveName(
        this, fileName, AppFolder, QStringLiteral("Export HAR"), filter, QStringLiteral("har"));
    if (!self || path.isEmpty())
        return;
    const QByteArray json = QJsonDocument(HarBuilder::build(rows,
                                              QStringLiteral("%1.%2.%3")
                                                  .arg(TARNWICK_VERSION_MAJOR)
                                                  .arg(TARNWICK_VERSION_MINOR)
                                                  .arg(TARNWICK_VERSION_PATCH)))
                                .toJson(QJsonDocument::Indented);
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(json) == json.size() && file.commit())
        return;
    MessageBox::show(this,
        QStringLiteral("Unable to write ") + path + QStringLiteral(":\r\n\r\n") + file.errorString(),
        MessageBox::Icon::Exclamation);
}

void frmMain::ListView1_RowMenuRequested(int index, const QPoint &globalPos)
{
    m_menuRow = index;
    mnuPopupRow->popup(globalPos);
}

void frmMain::mnuPopupRowItem_Click(int Index)
{
    if (Index == 2)
        return resendRows();
    if (Index == 3)
        return editAndResend();
    if (m_menuRow < 0 || m_menuRow >= History->rowCount())
        return;
    const HistoryRow row = History->row(m_menuRow);
    const QString name = row.cells[HistoryRow::RequestFile];
    if (!isPlainFileName(name))
        return;
    const QByteArray record = HarBuilder::readRecord(recordFolder() + name, DecodeReadLimit);
    QGuiApplication::clipboard()->setText(Index == 0 ? CurlCommand::fromRecord(record, row.fullUrl)
            : row.fullUrl.isEmpty()                 ? CurlCommand::url(RecordMessage::parse(record))
                                                    : row.fullUrl);
}

void frmMain::mnuToolsItem_Click(int Index)
{
    switch (Index) {
    case 0: {
        frmSettings dialog(Proxy.data(), this);
        dialog.txtIP->setText(ServerIP);
        dialog.txtPort->setText(QString::number(ServerPort));
        dialog.txtLogFile->setText(LogFileName);
        dialog.exec();
        break;
    }
    case 1:
        ShowLog();
        break;
    case 3:
        History->clear();
        break;
    case 4:
        if (HttpsDecryption *decryption = httpsDecryption()) {
            frmHttps dialog(decryption, Proxy.data(), this);
            dialog.exec();
        }
        break;
    case 5: {
        QPointer<frmMain> self(this);
        frmOptions dialog(m_options, this);
        if (dialog.exec() != QDialog::Accepted || !self)
            break;
        m_options = dialog.options();
        History->setLimit(m_options.historyLimit, m_options.historyMode);
        Proxy->setAccess(m_options.access());
        saveOptions();
        break;
    }
    case 6:
        showBreakpoints();
        break;
    default:
        break;
    }
}

void frmMain::mnuPopupTrayItem_Click(int Index)
{
    if (Index == 0)
        endProgram();
}

void frmMain::endProgram()
{
    Tag = QStringLiteral("END");
    QPointer<frmMain> self(this);
    close();
    // A window that never got on screen receives no close request; end it all the same.
    if (self && !m_closing)
        CloseProgram();
}

void frmMain::Tray_LButtonDblClick()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void frmMain::Tray_RButtonUp()
{
    activateWindow();
    mnuPopupTray->exec(QCursor::pos());
}

bool frmMain::trayAvailable() const
{
    return g_trayAvailableForTest.value_or(CTray::available());
}

void frmMain::setTrayAvailableForTest(std::optional<bool> available)
{
    g_trayAvailableForTest = available;
}

void frmMain::closeEvent(QCloseEvent *event)
{
    if (Tag != QLatin1String("END")) {
        event->ignore();
        // Without a notification area a hidden window could never be brought back.
        if (trayAvailable())
            hide();
        else
            showMinimized();
        return;
    }
    CloseProgram();
    event->accept();
}

void frmMain::CloseProgram()
{
    if (m_closing)
        return;
    m_closing = true;

    if (Tray) {
        Tray->DeleteIcon();
        // This may run inside one of the tray's own events (its context menu).
        Tray->deleteLater();
        Tray = nullptr;
    }
    endHistory();
    if (CProxyServer *proxy = Proxy) {
        Proxy = nullptr;
        proxy->Cleanup();
        proxy->deleteLater();
    }
    ExitProgram();
}

QList<HistoryRow> frmMain::listedRows() const
{
    History->flush();
    const bool anyChecked = History->anyChecked();
    QList<HistoryRow> rows;
    for (int row = 0; row < History->rowCount(); ++row)
        if (!anyChecked || History->row(row).checked)
            rows.append(History->row(row));
    return rows;
}

void frmMain::endHistory()
{
    History->flush();
    QList<HistoryRow> rows;
    for (int row = 0; row < History->rowCount(); ++row)
        rows.append(History->row(row));
    QString error;
    // The records stay for the next run, which opens the history again; a history that cannot
    // be saved keeps them too, for the user to find.
    if (m_options.keepHistory) {
        RecordWriter::instance().drain(PurgeWaitMs);
        if (!HistorySession::save(keptHistoryPath(), rows, recordFolder(), &error) && Proxy)
            Proxy->AddLog(QStringLiteral("Unable to keep the history in ") + keptHistoryPath()
                + QStringLiteral(": ") + error);
    } else {
        deleteRecords(rows);
    }
    waitForRecordDeletion();
    saveOptions();
}

QList<HistoryRow> frmMain::commandRows() const
{
    History->flush();
    if (History->anyChecked())
        return listedRows();
    const int row = ListView1->selectedRow() >= 0 ? ListView1->selectedRow() : m_menuRow;
    if (row < 0 || row >= History->rowCount())
        return {};
    return { History->row(row) };
}

QByteArray frmMain::resendableRequest(const HistoryRow &row, QString *why) const
{
    const QString name = row.cells[HistoryRow::RequestFile];
    if (!isPlainFileName(name)) {
        *why = QStringLiteral("it has no request record");
        return {};
    }
    const QString path = recordFolder() + name;
    RecordWriter::instance().waitUntilWritten(path, RecordWaitMs);
    bool cut = false;
    const QByteArray record
        = HarBuilder::readRecord(path, qint64(CRequest::MaxHeaderLength) + CRequest::MaxContentLength, &cut);
    if (record.isEmpty())
        *why = QStringLiteral("its request record cannot be read");
    else if (cut)
        *why = QStringLiteral("its request is larger than the proxy takes");
    else if (RecordMessage::parse(record).word(0).compare("CONNECT", Qt::CaseInsensitive) == 0)
        *why = QStringLiteral("a tunnel (CONNECT) cannot be sent again");
    return why->isEmpty() ? record : QByteArray();
}

void frmMain::resendRows()
{
    QList<CProxyServer::ResendItem> items;
    QStringList refused;
    for (const HistoryRow &row : commandRows()) {
        QString why;
        const QByteArray request = resendableRequest(row, &why);
        if (request.isEmpty()) {
            refused.append(row.cells[HistoryRow::URL].isEmpty() ? row.cells[HistoryRow::RequestFile]
                                                                : row.cells[HistoryRow::URL]);
            refused.last() += QStringLiteral(": ") + why;
            continue;
        }
        CProxyServer::ResendItem item { request, {} };
        // A decrypted request is recorded in origin form; its row knows the server.
        if (const auto origin = HttpTarget::fromUrl(row.fullUrl.toUtf8()); origin && origin->secure)
            item.origin = *origin;
        items.append(item);
    }
    if (!items.isEmpty() && Proxy)
        Proxy->resend(items);
    QString said
        = items.isEmpty() ? QString() : QStringLiteral("Sent %1 request(s) again.").arg(items.size());
    if (!refused.isEmpty())
        said += (said.isEmpty() ? QString() : QStringLiteral(" ")) + QStringLiteral("Not sent: ")
            + refused.join(QStringLiteral("; "));
    statusBar()->showMessage(said, 15000);
}

void frmMain::editAndResend()
{
    const int index
        = m_menuRow >= 0 && m_menuRow < History->rowCount() ? m_menuRow : ListView1->selectedRow();
    if (index < 0)
        return;
    const HistoryRow row = History->row(index);
    QString why;
    const QByteArray request = resendableRequest(row, &why);
    // The editor holds the whole request as text; past this it would take longer than it helps.
    if (request.size() > DecodeReadLimit)
        why = QStringLiteral("its request is too large to edit");
    if (!why.isEmpty()) {
        statusBar()->showMessage(QStringLiteral("Cannot edit and resend this row: ") + why, 15000);
        return;
    }
    // A request that came over HTTP/2 is edited as the HTTP/1.1 request the server got.
    const std::optional<HttpTarget> origin = HttpTarget::fromUrl(row.fullUrl.toLatin1());
    openEditor(frmRequestEditor::Mode::Resend,
        frmRequestEditor::draftOf(
            Http2Message::asHttp11Request(request, origin ? origin->authority : QByteArray()), row.fullUrl));
}

void frmMain::openEditor(frmRequestEditor::Mode mode, const frmRequestEditor::Draft &draft)
{
    auto *editor = new frmRequestEditor(mode, draft, this);
    connect(editor, &frmRequestEditor::sendRequested, this, [this](const CProxyServer::ResendItem &item) {
        if (Proxy)
            Proxy->resend({ item });
    });
    editor->show();
}

void frmMain::showBreakpoints()
{
    QPointer<frmMain> self(this);
    frmBreakpoints dialog(m_breakpointRules, m_breakpointsOn, this);
    if (dialog.exec() != QDialog::Accepted || !self)
        return;
    m_breakpointRules = dialog.rules();
    setBreakpointsOn(dialog.on());
    saveOptions();
}

void frmMain::setBreakpointsOn(bool on)
{
    const std::optional<Breakpoints> made = Breakpoints::make(m_breakpointRules);
    m_breakpointsOn = on && made;
    if (Proxy)
        Proxy->setBreakpoints(m_breakpointsOn ? std::make_shared<const Breakpoints>(*made) : nullptr);
    lblBreakpoints->setVisible(m_breakpointsOn);
    cmdBreakpointsOff->setVisible(m_breakpointsOn);
}
