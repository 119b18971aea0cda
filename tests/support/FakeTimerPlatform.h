#pragma once

#include "TimerPlatform.h"

#include <vector>

// A window-system timer layer for tests: records every call, hands out identifiers 100, 101, ...,
// can be told to fail, and runs the callback only when the test calls tick().
class FakeTimerPlatform : public TimerPlatform
{
public:
    qint32 SetTimer(quint32, quint32, quint32 uElapse, TimerProcType lpTimerFunc) override
    {
        ++setCalls;
        lastElapse = uElapse;
        callback = lpTimerFunc;
        return failSet ? 0 : nextId++;
    }
    qint32 KillTimer(quint32, qint32 uIDEvent) override
    {
        killedIds.push_back(uIDEvent);
        return failKill ? 0 : 1;
    }
    void tick() const
    {
        if (callback)
            callback(0, 0x0113, 0, 0);
    }

    int setCalls = 0;
    quint32 lastElapse = 0;
    std::vector<qint32> killedIds;
    TimerProcType callback = nullptr;
    bool failSet = false;
    bool failKill = false;
    qint32 nextId = 100;
};
