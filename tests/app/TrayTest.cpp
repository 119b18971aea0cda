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
        const auto record
            = [this](const char *name) { return [this, name] { names.append(QLatin1String(name)); }; };
        QObject::connect(&tray, &CTray::LButtonDown, &tray, record("LButtonDown"));
        QObject::connect(&tray, &CTray::LButtonUp, &tray, record("LButtonUp"));
        QObject::connect(&tray, &CTray::LButtonDblClick, &tray, record("LButtonDblClick"));
        QObject::connect(&tray, &CTray::RButtonDown, &tray, record("RButtonDown"));
        QObject::connect(&tray, &CTray::RButtonUp, &tray, record("RButtonUp"));
        QObject::connect(&tray, &CTray::RButtonDblClick, &tray, record("RButtonDblClick"));
    }
    QStringList names;
};

struct CodeRow {
    const char *name;
    int code;
    const char *event; // nullptr: nothing is raised
};

const CodeRow codeRows[] = {
    { "left down", 513, "LButtonDown" },
    { "left up", 514, "LButtonUp" },
    { "left double click", 515, "LButtonDblClick" },
    { "right down", 516, "RButtonDown" },
    { "right up", 517, "RButtonUp" },
    { "right double click", 518, "RButtonDblClick" },
    { "plain move", 512, nullptr },
    { "middle down", 519, nullptr },
    { "zero", 0, nullptr },
};

} // namespace

TEST(Tray, MouseCodesRaiseTheirEvent)
{
    for (const CodeRow &row : codeRows) {
        SCOPED_TRACE(row.name);
        CTray tray;
        EventLog log(tray);
        tray.notify(row.code);
        const QStringList expected = row.event ? QStringList { QLatin1String(row.event) } : QStringList {};
        EXPECT_EQ(log.names, expected);
    }
}

TEST(Tray, CodeArrivingAsTwipsIsRoundedToThePixel)
{
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
    struct Row {
        const char *name;
        QSystemTrayIcon::ActivationReason reason;
        QStringList events;
    };
    const Row rows[] = {
        { "click", QSystemTrayIcon::Trigger, { QStringLiteral("LButtonDown"), QStringLiteral("LButtonUp") } },
        { "double click", QSystemTrayIcon::DoubleClick,
            { QStringLiteral("LButtonDblClick"), QStringLiteral("LButtonUp") } },
        // The menu must open on the release, after the press has been handled.
        { "context", QSystemTrayIcon::Context,
            { QStringLiteral("RButtonDown"), QStringLiteral("RButtonUp") } },
        { "middle click", QSystemTrayIcon::MiddleClick, {} },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        PictureBox pic;
        pic.setPicture(solidIcon(Qt::green));
        CTray tray;
        tray.setPicBox(&pic);
        ASSERT_TRUE(tray.ShowIcon());
        EventLog log(tray);
        emit tray.trayIcon()->activated(row.reason);
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
    EXPECT_EQ(log.names, QStringList { QStringLiteral("RButtonUp") });

    tray.notify(CTray::LeftDown);
    EXPECT_EQ(log.names, (QStringList { QStringLiteral("RButtonUp"), QStringLiteral("LButtonDown") }));
}

TEST(Tray, ReleasedByItsOwnHandler)
{
    // Guards against touching the tray or its icon after a handler released them (exit from the menu).
    PictureBox pic;
    pic.setPicture(solidIcon(Qt::green));
    auto *tray = new CTray;
    tray->setPicBox(&pic);
    ASSERT_TRUE(tray->ShowIcon());
    QPointer<QSystemTrayIcon> icon = tray->trayIcon();
    QObject::connect(tray, &CTray::RButtonUp, tray, [tray] { delete tray; });
    emit icon->activated(QSystemTrayIcon::Context);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(icon.isNull());
}

TEST(Tray, TipFieldKeepsAtMost63Characters)
{
    struct Row {
        const char *name;
        QString text;
        QString shown;
    };
    const QString exact(63, QLatin1Char('a'));
    const Row rows[] = {
        { "empty", QString(), QString() },
        { "caption", QStringLiteral("Tarnwick v0.1.0"), QStringLiteral("Tarnwick v0.1.0") },
        { "63 characters", exact, exact },
        { "64 characters", exact + QLatin1Char('b'), exact },
        { "100 characters", QString(100, QLatin1Char('c')), QString(63, QLatin1Char('c')) },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        PictureBox pic;
        pic.setPicture(solidIcon(Qt::green));
        CTray tray;
        tray.setPicBox(&pic);
        tray.setTipText(row.text);
        ASSERT_TRUE(tray.ShowIcon());
        const QString field = tray.TipText();
        ASSERT_EQ(field.size(), CTray::TipFieldLength);
        EXPECT_EQ(field.left(row.shown.size()), row.shown);
        EXPECT_EQ(field.at(row.shown.size()), QChar(0));
        EXPECT_EQ(field.mid(row.shown.size() + 1).trimmed(), QString());
        EXPECT_EQ(tray.trayIcon()->toolTip(), row.shown);

        // A change after the icon is shown reaches the shown icon.
        tray.setTipText(QStringLiteral("later"));
        EXPECT_EQ(tray.trayIcon()->toolTip(), QStringLiteral("later"));
    }
}

TEST(Tray, PictureChangeUpdatesTheShownIconInPlace)
{
    PictureBox pic;
    const QIcon idle = solidIcon(Qt::green);
    const QIcon busy = solidIcon(Qt::red);
    pic.setPicture(idle);
    CTray tray;
    tray.setPicBox(&pic);
    tray.setTipText(QStringLiteral("Tarnwick"));
    ASSERT_TRUE(tray.ShowIcon());
    QSystemTrayIcon *icon = tray.trayIcon();
    ASSERT_TRUE(icon);

    for (const QIcon &picture : { busy, idle, busy }) {
        pic.setPicture(picture);
        EXPECT_EQ(tray.trayIcon(), icon);
        EXPECT_TRUE(icon->isVisible());
        EXPECT_TRUE(tray.isShown());
        EXPECT_EQ(icon->icon().cacheKey(), picture.cacheKey());
        EXPECT_EQ(icon->toolTip(), QStringLiteral("Tarnwick"));
    }

    tray.DeleteIcon();
    EXPECT_FALSE(icon->isVisible());
    EXPECT_FALSE(tray.isShown());
}

TEST(Tray, ShowIconNeedsAPictureBox)
{
    CTray tray;
    EXPECT_FALSE(tray.ShowIcon());
    EXPECT_FALSE(tray.isShown());
    EXPECT_EQ(tray.trayIcon(), nullptr);

    // A picture box that has gone away counts as none.
    auto pic = std::make_unique<PictureBox>();
    tray.setPicBox(pic.get());
    pic.reset();
    EXPECT_FALSE(tray.ShowIcon());
    EXPECT_FALSE(tray.isShown());
}
