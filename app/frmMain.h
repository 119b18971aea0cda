#pragma once

#include "Breakpoints.h"
#include "IProxyShell.h"
#include "Options.h"
#include "RecordView.h"
#include "frmRequestEditor.h"

#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <optional>

class CProxyServer;
class CTray;
class PictureBox;
class QAction;
class QLabel;
class QMenu;
class QLineEdit;
class QPlainTextEdit;
class QScrollArea;
class QTabBar;
class QToolButton;
class frmHeld;
class HistoryModel;
class HistoryView;
class QSplitter;
struct HistoryRow;

// The main window: the connection history, the recorded request or reply of the clicked row,
// the menus, the tray icon and the orderly end of the program. It owns the proxy server.
class frmMain : public QMainWindow, public IProxyShell
{
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    // Creates the tray icon and the server, sets up the history and starts the server.
    void Form_Load();
    void CloseProgram();
    // What "E&xit", "&Remove Tarnwick" and a termination signal do.
    void endProgram();

    // IProxyShell
    IHistoryList *historyList() override;
    void UpdateIcon(qint16 icon) override;
    void messageBox(const QString &text, MessageIcon icon) override;

    // What the text pane shows for a record file of the requests folder in the given view.
    static RecordView::Shown recordShown(
        const QString &fileName, const QString &missingText, RecordView::Mode mode);

    // Test seam: overrides whether the desktop has a notification area.
    static void setTrayAvailableForTest(std::optional<bool> available);

    QPointer<CProxyServer> Proxy;
    QPointer<CTray> Tray;
    qint16 mMouse = 0;
    // "END" once an exit command has been given.
    QString Tag;

    QPlainTextEdit *txtSniff = nullptr;
    // Raw, Decoded, Hex: how txtSniff shows the record.
    QTabBar *tabRecordView = nullptr;
    // Sent to browser, From server: which reply the pane shows, when the user edited the reply.
    QTabBar *tabReplySource = nullptr;
    // Takes txtSniff's place when a decoded body is a picture.
    QScrollArea *scrPicture = nullptr;
    QLabel *lblPictureHeader = nullptr;
    QLabel *imgPicture = nullptr;
    QLineEdit *txtFilter = nullptr;
    QLabel *Label4 = nullptr;
    HistoryModel *History = nullptr;
    HistoryView *ListView1 = nullptr;
    QSplitter *splitter = nullptr;
    PictureBox *pic = nullptr;
    PictureBox *pics[2] = { nullptr, nullptr };
    QLabel *lblServerState = nullptr;
    // Shown while breakpoints are on, with the button that turns them off.
    QLabel *lblBreakpoints = nullptr;
    QToolButton *cmdBreakpointsOff = nullptr;
    // The exchanges held at breakpoints; comes up when one is held.
    frmHeld *Held = nullptr;
    QMenu *mnuFile = nullptr;
    QMenu *mnuTools = nullptr;
    QMenu *mnuPopupTray = nullptr;
    QMenu *mnuPopupRow = nullptr;
    QList<QAction *> mnuFileItem;
    QList<QAction *> mnuToolsItem;
    QList<QAction *> mnuPopupTrayItem;
    QList<QAction *> mnuPopupRowItem;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void StartProxy();
    void ViewResponseFile();
    void updateServerState();
    void mnuFileItem_Click(int Index);
    void mnuToolsItem_Click(int Index);
    void mnuPopupTrayItem_Click(int Index);
    void mnuPopupRowItem_Click(int Index);
    void ListView1_RowMenuRequested(int index, const QPoint &globalPos);
    void showRecord(const QString &fileName, const QString &missingText);
    void showRecordPane(bool show);
    void exportHar();
    void ListView1_MouseDown(int Button, int Shift, int x, int y);
    void ListView1_ItemClick(int index);
    void Tray_LButtonDblClick();
    void Tray_RButtonUp();
    bool trayAvailable() const;
    void historyRowsDropped(const QList<HistoryRow> &rows);
    // Deletes the records of the unticked rows, through the record writer.
    void deleteRecords(const QList<HistoryRow> &rows);
    // At the end of the program: waits for the writer, with the wait window once it takes a while.
    void waitForRecordDeletion();
    // The ticked rows, or every row when none is ticked.
    QList<HistoryRow> listedRows() const;
    // The ticked rows, else the selected row, else the row the menu was opened on.
    QList<HistoryRow> commandRows() const;
    // A row's request record, bounded; empty with why when it cannot be sent again.
    QByteArray resendableRequest(const HistoryRow &row, QString *why) const;
    void resendRows();
    void editAndResend();
    void openEditor(frmRequestEditor::Mode mode, const frmRequestEditor::Draft &draft);
    void showBreakpoints();
    // On: the kept rules hold exchanges from now on; off: nothing is held.
    void setBreakpointsOn(bool on);
    void endHistory();
    // Reads tarnwick-options.ini, applies it and opens the kept history.
    void loadOptions();
    void saveOptions();
    static QString keptHistoryPath();
    void openKeptHistory();
    void openSession();
    void saveSession();

    // The record in the text pane, shown again when the view changes.
    QString m_shownFile;
    QString m_shownMissingText;
    bool m_showingPicture = false;
    // The shown reply was edited: the server's own lies beside it.
    bool m_hasOriginal = false;
    bool m_paneShown = true;
    int m_menuRow = -1;
    Options m_options;
    QList<BreakpointRule> m_breakpointRules;
    bool m_breakpointsOn = false;
    bool m_loaded = false;
    bool m_closing = false;
};
