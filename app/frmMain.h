#pragma once

#include "IProxyShell.h"

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
class QPlainTextEdit;
class QtHistoryList;

// The main window: the connection history, the recorded request or reply of the clicked row,
// the menus, the tray icon and the orderly end of the program. It owns the proxy server.
class frmMain : public QMainWindow, public IProxyShell
{
    Q_OBJECT

public:
    // Records larger than this are shown only in part.
    static constexpr qint64 RecordViewLimit = 4 * 1024 * 1024;
    // Where the screen shows a zero byte of a record.
    static constexpr char16_t ZeroByteMark = u'\u2400';

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
    void DeleteTempFiles() override;
    void messageBox(const QString &text, MessageIcon icon) override;

    // The text shown for a record file of the requests folder, read as the row click reads it.
    static QString recordText(const QString &fileName, const QString &missingText);

    // Test seam: overrides whether the desktop has a notification area.
    static void setTrayAvailableForTest(std::optional<bool> available);

    QPointer<CProxyServer> Proxy;
    QPointer<CTray> Tray;
    qint16 mMouse = 0;
    // "END" once an exit command has been given.
    QString Tag;

    QPlainTextEdit *txtSniff = nullptr;
    QLabel *Label4 = nullptr;
    QtHistoryList *ListView1 = nullptr;
    PictureBox *pic = nullptr;
    PictureBox *pics[2] = { nullptr, nullptr };
    QLabel *lblServerState = nullptr;
    QMenu *mnuFile = nullptr;
    QMenu *mnuTools = nullptr;
    QMenu *mnuPopupTray = nullptr;
    QList<QAction *> mnuFileItem;
    QList<QAction *> mnuToolsItem;
    QList<QAction *> mnuPopupTrayItem;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void SetupColumns();
    void StartProxy();
    void ViewResponseFile();
    void Form_Resize();
    void updateServerState();
    void mnuFileItem_Click(int Index);
    void mnuToolsItem_Click(int Index);
    void mnuPopupTrayItem_Click(int Index);
    void ListView1_MouseDown(int Button, int Shift, int x, int y);
    void ListView1_ItemClick(int index);
    void Tray_LButtonDblClick();
    void Tray_RButtonUp();
    bool trayAvailable() const;

    bool m_loaded = false;
    bool m_closing = false;
};
