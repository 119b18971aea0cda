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

TEST_F(TimerTest, ThePlatformIsCalledOnlyOnAChangeItsFailuresAreRaisedAndHandlerFailuresKept)
{
    auto timer = std::make_unique<CTimer>();
    timer->setInterval(5000);
    timer->setEnabled(true);
    timer->setEnabled(true);
    timer->setInterval(250);
    EXPECT_EQ(platform.lastElapse, 5000u) << "a new interval waits for the next start";
    timer->setEnabled(false);
    timer->setEnabled(false);
    timer->setEnabled(true);
    EXPECT_EQ(platform.setCalls, 2);
    EXPECT_EQ(platform.lastElapse, 250u);
    timer.reset();
    EXPECT_EQ(platform.killedIds, (std::vector<qint32> { 100, 101 }));
    EXPECT_EQ(CTimerGlobal::ActiveTimer, nullptr);

    // A refused start or stop is raised and leaves Enabled as it was; a failing KillTimer at
    // destruction reaches nobody.
    auto failing = std::make_unique<CTimer>();
    platform.failSet = true;
    EXPECT_THROW(failing->setEnabled(true), RaisedError);
    EXPECT_FALSE(failing->Enabled());
    platform.failSet = false;
    failing->setEnabled(true);
    platform.failKill = true;
    EXPECT_THROW(failing->setEnabled(false), RaisedError);
    EXPECT_TRUE(failing->Enabled());
    EXPECT_NO_THROW(failing.reset());

    // Failures of a handler stay in the callback, and the timer keeps ticking; a callback still
    // queued after the timer was stopped finds nothing registered.
    CTimer ticking;
    int ticks = 0;
    QObject::connect(&ticking, &CTimer::Timer, &ticking, [&] {
        if (++ticks == 1)
            throw std::runtime_error("handler failed");
        throw RaisedError(5, QStringLiteral("handler"), QStringLiteral("raised"));
    });
    platform.failKill = false;
    ticking.setEnabled(true);
    EXPECT_NO_THROW(platform.tick());
    EXPECT_NO_THROW(platform.tick());
    ticking.setEnabled(false);
    platform.tick();
    EXPECT_EQ(ticks, 2);
}

TEST_F(TimerTest, TheQtPlatformTicksOnTheEventLoopAndSurvivesItsOwnDestruction)
{
    // Guards against the Qt timer being deleted while it is still emitting the tick whose
    // handler destroyed the CTimer.
    TimerPlatform::setInstance(nullptr);
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
}

} // namespace
