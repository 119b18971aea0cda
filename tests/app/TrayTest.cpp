#include "CTray.h"
#include "PictureBox.h"
#include "Twips.h"

#include <QCoreApplication>
#include <QPixmap>
#include <QPointer>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

QIcon solidIcon(Qt::GlobalColor color)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

// Records the tray's events, by name, in the order they are raised.
struct EventLog {
    explicit EventLog(CTray &tray)
    {
        const std::pair<void (CTray::*)(), const char *> events[]
            = { { &CTray::LButtonDown, "LButtonDown" }, { &CTray::LButtonUp, "LButtonUp" },
                  { &CTray::LButtonDblClick, "LButtonDblClick" }, { &CTray::RButtonDown, "RButtonDown" },
                  { &CTray::RButtonUp, "RButtonUp" }, { &CTray::RButtonDblClick, "RButtonDblClick" } };
        for (const auto &[signal, name] : events)
            QObject::connect(
                &tray, signal, &tray, [this, name = name] { names.append(QLatin1String(name)); });
    }
    QStringList names;
};

// A tray whose icon is shown, with a green picture and the tip given before it was shown.
struct ShownTray {
    explicit ShownTray(const QString &tip = {})
    {
        pic.setPicture(solidIcon(Qt::green));
        tray->setPicBox(&pic);
        tray->setTipText(tip);
        EXPECT_TRUE(tray->ShowIcon());
    }
    PictureBox pic;
    CTray *tray = new CTray;
    ~ShownTray() { delete tray; }
};

} // namespace

TEST(Tray, MouseCodesRaiseTheirEvent)
{
    const struct {
        int code;
        const char *event; // nullptr: nothing is raised
    } rows[] = { { 513, "LButtonDown" }, { 514, "LButtonUp" }, { 515, "LButtonDblClick" },
        { 516, "RButtonDown" }, { 517, "RButtonUp" }, { 518, "RButtonDblClick" }, { 512, nullptr },
        { 519, nullptr }, { 0, nullptr } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.code);
        CTray tray;
        EventLog log(tray);
        tray.notify(row.code);
        EXPECT_EQ(log.names, row.event ? QStringList { QLatin1String(row.event) } : QStringList {});
    }

    // A code arriving as twips is rounded to the pixel.
    PictureBox pic;
    CTray tray;
    tray.setPicBox(&pic);
    EventLog log(tray);
    const double perPixel = Twips::perPixelX(&pic);
    tray.mouseMovedTwips(static_cast<int>(std::lround(517.4 * perPixel)));
    tray.mouseMovedTwips(static_cast<int>(std::lround(512.6 * perPixel)));
    EXPECT_EQ(log.names, (QStringList { QStringLiteral("RButtonUp"), QStringLiteral("LButtonDown") }));
}

TEST(Tray, ActivationsBecomeShellCodeSequences)
{
    const struct {
        const char *name;
        QSystemTrayIcon::ActivationReason reason;
        QStringList events;
    } rows[] = {
        { "click", QSystemTrayIcon::Trigger, { QStringLiteral("LButtonDown"), QStringLiteral("LButtonUp") } },
        { "double click", QSystemTrayIcon::DoubleClick,
            { QStringLiteral("LButtonDblClick"), QStringLiteral("LButtonUp") } },
        // The menu must open on the release, after the press has been handled.
        { "context", QSystemTrayIcon::Context,
            { QStringLiteral("RButtonDown"), QStringLiteral("RButtonUp") } },
        { "middle click", QSystemTrayIcon::MiddleClick, {} },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ShownTray shown;
        EventLog log(*shown.tray);
        emit shown.tray->trayIcon()->activated(row.reason);
        EXPECT_EQ(log.names, row.events);
    }
}

TEST(Tray, NotificationsInsideAHandlerAreDropped)
{
    CTray tray;
    EventLog log(tray);
    // Stands in for the context menu: while it is open, clicks on the icon arrive again.
    QObject::connect(&tray, &CTray::RButtonUp, &tray, [&tray] {
        tray.notify(CTray::LeftDown);
        tray.notify(CTray::RightUp);
    });
    tray.notify(CTray::RightUp);
    tray.notify(CTray::LeftDown);
    EXPECT_EQ(log.names, (QStringList { QStringLiteral("RButtonUp"), QStringLiteral("LButtonDown") }));
}

TEST(Tray, ReleasedByItsOwnHandler)
{
    // Guards against touching the tray or its icon after a handler released them (exit from the menu).
    ShownTray shown;
    QPointer<QSystemTrayIcon> icon = shown.tray->trayIcon();
    QObject::connect(shown.tray, &CTray::RButtonUp, shown.tray, [&shown] {
        delete shown.tray;
        shown.tray = nullptr;
    });
    emit icon->activated(QSystemTrayIcon::Context);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(icon.isNull());
}

TEST(Tray, PictureChangeUpdatesTheShownIconInPlace)
{
    ShownTray shown(QStringLiteral("Tarnwick"));
    CTray &tray = *shown.tray;
    QSystemTrayIcon *icon = tray.trayIcon();
    for (const QIcon &picture : { solidIcon(Qt::red), solidIcon(Qt::green) }) {
        shown.pic.setPicture(picture);
        EXPECT_EQ(tray.trayIcon(), icon);
        EXPECT_TRUE(icon->isVisible());
        EXPECT_EQ(icon->icon().cacheKey(), picture.cacheKey());
        EXPECT_EQ(icon->toolTip(), QStringLiteral("Tarnwick"));
    }
    tray.DeleteIcon();
    EXPECT_FALSE(icon->isVisible());
    EXPECT_FALSE(tray.isShown());
}

TEST(Tray, ShowIconNeedsALivePictureBox)
{
    CTray tray;
    EXPECT_FALSE(tray.ShowIcon());
    EXPECT_EQ(tray.trayIcon(), nullptr);

    auto pic = std::make_unique<PictureBox>();
    tray.setPicBox(pic.get());
    pic.reset();
    EXPECT_FALSE(tray.ShowIcon());
    EXPECT_FALSE(tray.isShown());
}
