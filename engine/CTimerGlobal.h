#pragma once

#include <QPointer>

class CTimer;

// The program-wide registry of the one running CTimer: turns each window-system timer callback
// into that object's Timer event.
namespace CTimerGlobal {

extern QPointer<CTimer> ActiveTimer;
extern qint32 ActiveTimerID;

// Registers the timer and starts the window-system timer; the identifier, or 0 on failure.
qint32 StartGlobalTimer(CTimer *timer, qint32 interval);
// Stops the registered window-system timer and clears the registration; 0 on failure.
qint32 StopGlobalTimer();
// The callback the window system calls; swallows every failure.
void TimerProc(quint32 hwnd, quint32 uMsg, quint32 idEvent, quint32 dwTime);

} // namespace CTimerGlobal
