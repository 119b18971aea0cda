#include "Clock.h"

#include <QElapsedTimer>

#include <atomic>
#include <mutex>
#include <random>

namespace {
std::optional<QDateTime> g_testNow;
std::atomic<qint64> g_testOffsetMs = 0;
std::function<double()> g_testRandom;
std::mt19937 g_generator;
// Every network thread draws record names.
std::mutex g_generatorLock;

const QElapsedTimer &monotonic()
{
    static const QElapsedTimer timer = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return timer;
}
} // namespace

QDateTime Clock::now()
{
    if (g_testNow)
        return g_testNow->addMSecs(g_testOffsetMs);
    return QDateTime::currentDateTime().addMSecs(g_testOffsetMs);
}

qint64 Clock::tickCount()
{
    return monotonic().elapsed() + g_testOffsetMs;
}

double Clock::rnd()
{
    if (g_testRandom)
        return g_testRandom();
    const std::lock_guard lock(g_generatorLock);
    return std::uniform_real_distribution<double>(0.0, 1.0)(g_generator);
}

void Clock::randomize()
{
    std::random_device device;
    const std::lock_guard lock(g_generatorLock);
    g_generator.seed(static_cast<std::mt19937::result_type>(QDateTime::currentMSecsSinceEpoch()) ^ device());
}

void Clock::setNowForTest(std::optional<QDateTime> now)
{
    g_testNow = std::move(now);
    g_testOffsetMs = 0;
}

void Clock::advanceForTest(qint64 milliseconds)
{
    g_testOffsetMs += milliseconds;
}

void Clock::setRandomForTest(std::function<double()> source)
{
    g_testRandom = std::move(source);
}
