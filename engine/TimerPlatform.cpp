#include "TimerPlatform.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <limits>
#include <map>

namespace {

constexpr quint32 WmTimer = 0x0113;
// The window system raises shorter intervals to this; a zero interval would spin the loop.
constexpr quint32 MinimumInterval = 10;

class QtTimerPlatform : public TimerPlatform
{
public:
    qint32 SetTimer(quint32 hwnd, quint32, quint32 uElapse, TimerProcType lpTimerFunc) override
    {
        if (!lpTimerFunc)
            return 0;
        const qint32 id = nextId();
        auto *timer = new QTimer;
        timer->setInterval(int(qBound<quint32>(MinimumInterval, uElapse, std::numeric_limits<int>::max())));
        QObject::connect(timer, &QTimer::timeout, timer, [hwnd, id, lpTimerFunc] {
            lpTimerFunc(hwnd, WmTimer, quint32(id), quint32(QDeadlineTimer::current().deadline()));
        });
        m_timers[id] = timer;
        timer->start();
        return id;
    }

    qint32 KillTimer(quint32, qint32 uIDEvent) override
    {
        const auto found = m_timers.find(uIDEvent);
        if (found == m_timers.end())
            return 0;
        QTimer *timer = found->second;
        m_timers.erase(found);
        timer->stop();
        timer->disconnect();
        // The callback may be the one killing its own timer, inside the timer's timeout signal.
        timer->deleteLater();
        return 1;
    }

private:
    qint32 nextId()
    {
        do {
            m_lastId = m_lastId == std::numeric_limits<qint32>::max() ? 1 : m_lastId + 1;
        } while (m_timers.count(m_lastId));
        return m_lastId;
    }

    std::map<qint32, QTimer *> m_timers;
    qint32 m_lastId = 0;
};

TimerPlatform *installed = nullptr;

} // namespace

TimerPlatform *TimerPlatform::instance()
{
    if (installed)
        return installed;
    // Never destroyed: its timers may outlive the application object at exit.
    static QtTimerPlatform *const qtPlatform = new QtTimerPlatform;
    return qtPlatform;
}

void TimerPlatform::setInstance(TimerPlatform *platform)
{
    installed = platform;
}
