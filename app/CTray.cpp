#include "CTray.h"

#include "PictureBox.h"
#include "Twips.h"

#include <cmath>

CTray::CTray(QObject *parent)
    : QObject(parent)
    , m_szTip(TipFieldLength, QLatin1Char(' '))
{
    m_szTip[0] = QChar(0);
}

CTray::~CTray()
{
    DeleteIcon();
    if (m_icon) {
        // The desktop may be delivering an activation of this icon right now; the icon object
        // must outlive that delivery.
        if (m_activationDepth > 0)
            m_icon->deleteLater();
        else
            delete m_icon;
    }
}

void CTray::setPicBox(PictureBox *pic)
{
    if (m_picConnection)
        disconnect(m_picConnection);
    mPic = pic;
    if (pic)
        m_picConnection = connect(pic, &PictureBox::pictureChanged, this, &CTray::mPic_PictureChanged);
}

PictureBox *CTray::picBox() const
{
    return mPic;
}

void CTray::setTipText(const QString &text)
{
    QString field = text.left(TipFieldLength - 1);
    field.append(QChar(0));
    field = field.leftJustified(TipFieldLength, QLatin1Char(' '));
    m_szTip = field;
    if (m_shown && m_icon)
        m_icon->setToolTip(shownTip());
}

QString CTray::shownTip() const
{
    return m_szTip.left(m_szTip.indexOf(QChar(0)));
}

bool CTray::ShowIcon()
{
    if (!mPic)
        return false;
    if (!m_icon) {
        m_icon = new QSystemTrayIcon();
        // Handled from the event loop, once the desktop's call has returned: on a D-Bus tray a
        // handler that ends the program would otherwise tear down the connection delivering it.
        connect(m_icon, &QSystemTrayIcon::activated, this, &CTray::icon_Activated, Qt::QueuedConnection);
    }
    m_icon->setIcon(mPic->picture());
    m_icon->setToolTip(shownTip());
    m_icon->show();
    m_shown = true;
    return true;
}

void CTray::DeleteIcon()
{
    if (m_icon)
        m_icon->hide();
    m_shown = false;
}

bool CTray::available()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void CTray::notify(int code)
{
    if (m_busy)
        return;
    m_busy = true;
    // A handler may release this tray (the exit command of the context menu).
    QPointer<CTray> self(this);
    switch (code) {
    case LeftDown:
        emit LButtonDown();
        break;
    case LeftUp:
        emit LButtonUp();
        break;
    case LeftDoubleClick:
        emit LButtonDblClick();
        break;
    case RightDown:
        emit RButtonDown();
        break;
    case RightUp:
        emit RButtonUp();
        break;
    case RightDoubleClick:
        emit RButtonDblClick();
        break;
    default:
        break;
    }
    if (self)
        m_busy = false;
}

void CTray::mouseMovedTwips(int x)
{
    notify(static_cast<int>(std::lround(x / Twips::perPixelX(mPic))));
}

void CTray::mPic_PictureChanged()
{
    // Changed in place: hiding and showing again would make the icon jump in the panel.
    if (m_shown && m_icon && mPic)
        m_icon->setIcon(mPic->picture());
}

void CTray::icon_Activated(QSystemTrayIcon::ActivationReason reason)
{
    QPointer<CTray> self(this);
    ++m_activationDepth;
    auto send = [&](int first, int second) {
        notify(first);
        if (self)
            notify(second);
    };
    switch (reason) {
    // StatusNotifierItem hosts report a double click as two single ones, so a click restores
    // the window as a double click does.
    case QSystemTrayIcon::Trigger:
        send(LeftDown, LeftUp);
        if (self)
            notify(LeftDoubleClick);
        break;
    case QSystemTrayIcon::DoubleClick:
        send(LeftDoubleClick, LeftUp);
        break;
    // The context menu opens on the release, as a right click does on the icon itself.
    case QSystemTrayIcon::Context:
        send(RightDown, RightUp);
        break;
    default:
        break;
    }
    if (self)
        --m_activationDepth;
}
