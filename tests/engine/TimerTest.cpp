#include "CTimer.h"
#include "CTimerGlobal.h"
#include "FakeTimerPlatform.h"
#include "RaisedError.h"

#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

class TimerTest : public testing::Test
{
protected:
    void SetUp() override { TimerPlatform::setInstance(&platform); }
    void TearDown() override
    {
        CTimerGlobal::ActiveTimer = nullptr;
        CTimerGlobal::ActiveTimerID = 0;
        TimerPlatform::setInstance(nullptr);
    }

    FakeTimerPlatform platform;
};

TEST_F(TimerTest, EnabledCallsThePlatformOnlyOnAChangeWithTheIntervalOfThatStart)
{
    CTimer timer;
    timer.setInterval(5000);
    timer.setEnabled(false);
    EXPECT_TRUE(platform.killedIds.empty());
    timer.setEnabled(true);
    timer.setEnabled(true);
    EXPECT_EQ(platform.setCalls, 1);
    EXPECT_EQ(CTimerGlobal::ActiveTimer, &timer);
    timer.setInterval(250);
    EXPECT_EQ(platform.lastElapse, 5000u) << "a new interval waits for the next start";
    timer.setEnabled(false);
    timer.setEnabled(false);
    EXPECT_EQ(platform.killedIds, std::vector<qint32> { 100 });
    EXPECT_EQ(CTimerGlobal::ActiveTimer, nullptr);
    timer.setEnabled(true);
    EXPECT_EQ(platform.lastElapse, 250u);
}

TEST_F(TimerTest, PlatformFailuresRaiseTheirErrorAndKeepEnabled)
{
    struct Row {
        const char *name;
        bool stopping;
        qint32 number;
        const char *description;
    };
    const Row rows[] = {
        { "start refused", false, qint32(0x8004EA60), "Could not start Timer" },
        { "stop refused", true, qint32(0x8004EA61), "Could not stop Timer" },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        CTimer timer;
        if (row.stopping)
            timer.setEnabled(true);
        platform.failSet = !row.stopping;
        platform.failKill = row.stopping;
        try {
            timer.setEnabled(!row.stopping);
            ADD_FAILURE() << "no error raised";
        } catch (const RaisedError &error) {
            EXPECT_EQ(error.Number, row.number);
            EXPECT_EQ(error.Source, QStringLiteral("clsTimer"));
            EXPECT_EQ(error.Description, QLatin1String(row.description));
        }
        EXPECT_EQ(timer.Enabled(), row.stopping);
        platform.failSet = platform.failKill = false;
    }
}

TEST_F(TimerTest, CallbackSwallowsHandlerFailuresAndKeepsTicking)
{
    CTimer timer;
    int ticks = 0;
    QObject::connect(&timer, &CTimer::Timer, &timer, [&] {
        if (++ticks == 1)
            throw std::runtime_error("handler failed");
        if (ticks == 2)
            throw RaisedError(5, QStringLiteral("handler"), QStringLiteral("raised"));
    });
    timer.setEnabled(true);
    EXPECT_NO_THROW(platform.tick());
    EXPECT_NO_THROW(platform.tick());
    platform.tick();
    EXPECT_EQ(ticks, 3);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_TRUE(platform.killedIds.empty());

    // A callback still queued after the timer was stopped finds nothing registered.
    timer.setEnabled(false);
    EXPECT_NO_THROW(platform.tick());
    EXPECT_EQ(ticks, 3);
}

TEST_F(TimerTest, DestroyingADisabledTimerKillsTheLastIdentifier)
{
    auto timer = std::make_unique<CTimer>();
    for (int i = 0; i < 2; ++i) {
        timer->setEnabled(true);
        timer->setEnabled(false);
    }
    timer.reset();
    EXPECT_EQ(platform.killedIds, (std::vector<qint32> { 100, 101, 101 }));
    EXPECT_EQ(CTimerGlobal::ActiveTimer, nullptr);

    // A failing KillTimer at destruction reaches nobody.
    platform.failKill = true;
    auto failing = std::make_unique<CTimer>();
    failing->setEnabled(true);
    EXPECT_NO_THROW(failing.reset());
}

TEST(QtTimerPlatform, TicksOnTheEventLoopAndSurvivesItsOwnDestruction)
{
    // Guards against the Qt timer being deleted while it is still emitting the tick whose
    // handler destroyed the CTimer.
    auto timer = std::make_unique<CTimer>();
    timer->setInterval(1);
    int ticks = 0;
    QObject::connect(timer.get(), &CTimer::Timer, timer.get(), [&] {
        if (++ticks == 3)
            timer.reset();
    });
    timer->setEnabled(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !timer; }, 5000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(TimerPlatform::instance()->KillTimer(0, 424242), 0);
}

} // namespace
