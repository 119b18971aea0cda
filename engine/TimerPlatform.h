#pragma once

#include <QtGlobal>

// The window-system timer layer: SetTimer and KillTimer as the interval timer expects them,
// realised over Qt timers. Tests install their own instance to simulate failures.
class TimerPlatform
{
public:
    using TimerProcType = void (*)(quint32 hwnd, quint32 uMsg, quint32 idEvent, quint32 dwTime);

    virtual ~TimerPlatform() = default;

    // Starts a repeating timer that calls lpTimerFunc on the GUI thread every uElapse
    // milliseconds. Returns a nonzero identifier, or 0 on failure.
    virtual qint32 SetTimer(quint32 hwnd, quint32 nIDEvent, quint32 uElapse, TimerProcType lpTimerFunc) = 0;
    // Stops the timer; nonzero on success.
    virtual qint32 KillTimer(quint32 hwnd, qint32 uIDEvent) = 0;

    // The layer in use (the Qt one unless a test has installed another).
    static TimerPlatform *instance();
    // Installs a layer; nullptr restores the Qt one. The caller keeps ownership.
    static void setInstance(TimerPlatform *platform);
};
