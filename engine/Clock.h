#pragma once

#include <QDateTime>

#include <functional>
#include <optional>

// The program's clock and random source. Tests set the time and the random sequence instead
// of sleeping or hoping.
class Clock
{
public:
    // Current local date and time (or the time a test has set).
    static QDateTime now();
    // Milliseconds from a fixed point; moves with a test's time too.
    static qint64 tickCount();
    // A random number r with 0 <= r < 1.
    static double rnd();
    // Seeds the random source from the system clock, once at start-up.
    static void randomize();

    static void setNowForTest(std::optional<QDateTime> now);
    static void advanceForTest(qint64 milliseconds);
    static void setRandomForTest(std::function<double()> source);
};
