#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

class PictureBox;

// The program's icon in the notification area. It follows the picture of a picture box and turns
// the shell's mouse codes into six events. While one of those events is being handled, further
// notifications are dropped: the context menu opened from RButtonUp would otherwise receive
// events from its own clicks.
class CTray : public QObject
{
    Q_OBJECT

public:
    // The length of the stored tip field; at most one less than this shows.
    static constexpr int TipFieldLength = 64;

    // The shell's mouse codes, delivered as the x coordinate of a mouse move over the picture box.
    enum MouseCode {
        MouseMove = 512,
        LeftDown = 513,
        LeftUp = 514,
        LeftDoubleClick = 515,
        RightDown = 516,
        RightUp = 517,
        RightDoubleClick = 518,
    };

    explicit CTray(QObject *parent = nullptr);
    ~CTray() override;

    void setPicBox(PictureBox *pic);
    PictureBox *picBox() const;

    // The stored field: the text cut to 63 characters, a NUL, then blanks up to 64.
    QString TipText() const { return m_szTip; }
    void setTipText(const QString &text);

    bool ShowIcon();
    void DeleteIcon();
    bool isShown() const { return m_shown; }

    // The icon as the desktop shows it; null before the first ShowIcon.
    QSystemTrayIcon *trayIcon() const { return m_icon; }

    static bool available();

    void notify(int code);
    void mouseMovedTwips(int x);

signals:
    void RButtonDown();
    void RButtonUp();
    void RButtonDblClick();
    void LButtonDown();
    void LButtonUp();
    void LButtonDblClick();

private:
    QString shownTip() const;
    void mPic_PictureChanged();
    void icon_Activated(QSystemTrayIcon::ActivationReason reason);

    QPointer<PictureBox> mPic;
    QPointer<QSystemTrayIcon> m_icon;
    QMetaObject::Connection m_picConnection;
    QString m_szTip;
    bool m_busy = false;
    bool m_shown = false;
    int m_activationDepth = 0;
};
