#include "CTimer.h"

#include "CTimerGlobal.h"
#include "RaisedError.h"

namespace {

const QString TimerSource = QStringLiteral("clsTimer");

} // namespace

CTimer::CTimer(QObject *parent)
    : QObject(parent)
{ }

CTimer::~CTimer()
{
    try {
        CTimerGlobal::StopGlobalTimer();
    } catch (...) { }
}

void CTimer::setInterval(qint32 lVal)
{
    m_interval = lVal;
}

qint32 CTimer::Interval() const
{
    return m_interval;
}

bool CTimer::Enabled() const
{
    return m_enabled;
}

void CTimer::setEnabled(bool blnVal)
{
    if (blnVal)
        StartTimer();
    else
        StopTimer();
}

void CTimer::RaiseTimer()
{
    emit Timer();
}

void CTimer::StartTimer()
{
    if (m_enabled)
        return;
    m_timerId = CTimerGlobal::StartGlobalTimer(this, m_interval);
    if (m_timerId == 0)
        throw RaisedError(ErrorCouldNotStart, TimerSource, QStringLiteral("Could not start Timer"));
    m_enabled = true;
}

void CTimer::StopTimer()
{
    if (!m_enabled)
        return;
    if (CTimerGlobal::StopGlobalTimer() == 0)
        throw RaisedError(ErrorCouldNotStop, TimerSource, QStringLiteral("Could not stop Timer"));
    m_enabled = false;
}
