#include "CTray.h"
#include "PictureBox.h"

#include <QCoreApplication>
#include <QPixmap>
#include <QPointer>

#include <gtest/gtest.h>

#include <memory>

namespace {

QIcon solidIcon(Qt::GlobalColor color)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

// A tray whose icon is shown, with a green picture and the tip given before it was shown; it
// records the tray's events, by name, in the order they are raised.
struct ShownTray {
    explicit ShownTray(const QString &tip = {})
    {
        pic.setPicture(solidIcon(Qt::green));
        tray->setPicBox(&pic);
        tray->setTipText(tip);
        EXPECT_TRUE(tray->ShowIcon());
        const std::pair<void (CTray::*)(), const char *> events[]
            = { { &CTray::LButtonDown, "LButtonDown" }, { &CTray::LButtonUp, "LButtonUp" },
                  { &CTray::LButtonDblClick, "LButtonDblClick" }, { &CTray::RButtonDown, "RButtonDown" },
                  { &CTray::RButtonUp, "RButtonUp" }, { &CTray::RButtonDblClick, "RButtonDblClick" } };
        for (const auto &[signal, name] : events)
            QObject::connect(tray, signal, tray, [this, name = name] { names.append(QLatin1String(name)); });
    }
    ~ShownTray() { delete tray; }
    PictureBox pic;
    CTray *tray = new CTray;
    QStringList names;
};

} // namespace

TEST(Tray, MouseCodesAndActivationsRaiseTheirEvents)
{
    // The context menu must open on the release, after the press has been handled.
    const struct {
        const char *name;
        int reason; // an activation, or -1 for the codes 0 and 512 to 519 in turn
        const char *events; // in the order raised
    } rows[]
        = { { "codes", -1, "LButtonDown LButtonUp LButtonDblClick RButtonDown RButtonUp RButtonDblClick" },
              // Regression: a click never restored the window on trays that report no double click.
              { "click", QSystemTrayIcon::Trigger, "LButtonDown LButtonUp LButtonDblClick" },
              { "double click", QSystemTrayIcon::DoubleClick, "LButtonDblClick LButtonUp" },
              { "context", QSystemTrayIcon::Context, "RButtonDown RButtonUp" },
              { "middle click", QSystemTrayIcon::MiddleClick, "" } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ShownTray shown;
        if (row.reason < 0) {
            for (const int code : { 0, 512, 513, 514, 515, 516, 517, 518, 519 })
                shown.tray->notify(code);
        } else {
            emit shown.tray->trayIcon()->activated(QSystemTrayIcon::ActivationReason(row.reason));
        }
        QCoreApplication::processEvents();
        EXPECT_EQ(shown.names.join(QLatin1Char(' ')), QLatin1String(row.events));
    }
}

TEST(Tray, NotificationsInsideAHandlerAreDroppedAHandlerMayReleaseTheTrayAndTheIconFollowsItsPicture)
{
    ShownTray shown;
    // Stands in for the context menu: while it is open, clicks on the icon arrive again.
    QObject::connect(shown.tray, &CTray::RButtonUp, shown.tray, [&shown] {
        shown.tray->notify(CTray::LeftDown);
        shown.tray->notify(CTray::RightUp);
    });
    shown.tray->notify(CTray::RightUp);
    shown.tray->notify(CTray::LeftDown);
    EXPECT_EQ(shown.names.join(QLatin1Char(' ')), QStringLiteral("RButtonUp LButtonDown"));

    // Guards against touching the tray or its icon after a handler released them (exit from the menu).
    QPointer<QSystemTrayIcon> icon = shown.tray->trayIcon();
    QObject::connect(shown.tray, &CTray::RButtonUp, shown.tray, [&shown] {
        delete shown.tray;
        shown.tray = nullptr;
    });
    // Regression: "Remove" ran inside the desktop's activation call and tore down its D-Bus link.
    emit icon->activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(shown.tray) << "handled within the activation";
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(icon.isNull());

    // The shown icon follows a live picture box in place, with its tip; a box that went away is none.
    ShownTray second(QStringLiteral("Tarnwick"));
    QSystemTrayIcon *followed = second.tray->trayIcon();
    for (const QIcon &picture : { solidIcon(Qt::red), solidIcon(Qt::green) }) {
        second.pic.setPicture(picture);
        EXPECT_EQ(second.tray->trayIcon(), followed);
        EXPECT_TRUE(followed->isVisible());
        EXPECT_EQ(followed->icon().cacheKey(), picture.cacheKey());
        EXPECT_EQ(followed->toolTip(), QStringLiteral("Tarnwick"));
    }
    second.tray->DeleteIcon();
    EXPECT_FALSE(followed->isVisible() || second.tray->isShown());

    // A picture box that went away is no picture box.
    CTray tray;
    auto pic = std::make_unique<PictureBox>();
    tray.setPicBox(pic.get());
    pic.reset();
    EXPECT_FALSE(tray.ShowIcon() || tray.isShown() || tray.trayIcon());
}
