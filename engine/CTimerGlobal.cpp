#include "CTimerGlobal.h"

#include "CTimer.h"
#include "TimerPlatform.h"

namespace CTimerGlobal {

QPointer<CTimer> ActiveTimer;
qint32 ActiveTimerID = 0;

qint32 StartGlobalTimer(CTimer *timer, qint32 interval)
{
    ActiveTimer = timer;
    ActiveTimerID = TimerPlatform::instance()->SetTimer(0, 0, quint32(interval), &TimerProc);
    return ActiveTimerID;
}

qint32 StopGlobalTimer()
{
    const qint32 result = TimerPlatform::instance()->KillTimer(0, ActiveTimerID);
    ActiveTimer = nullptr;
    return result;
}

void TimerProc(quint32, quint32, quint32, quint32)
{
    // Nothing may reach the event loop from here, and a failing handler must not stop the timer.
    try {
        if (CTimer *timer = ActiveTimer)
            timer->RaiseTimer();
    } catch (...) { }
}

} // namespace CTimerGlobal
