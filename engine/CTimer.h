#pragma once

#include <QObject>

// Raises Timer at a fixed interval while enabled, through the program-wide registry
// CTimerGlobal. Starting or stopping the window-system timer can fail; the failure is raised
// to the caller of setEnabled as a RaisedError with source "clsTimer".
class CTimer : public QObject
{
    Q_OBJECT

public:
    static constexpr qint32 ErrorCouldNotStart = -2147221504 + 60000;
    static constexpr qint32 ErrorCouldNotStop = -2147221504 + 60001;

    explicit CTimer(QObject *parent = nullptr);
    ~CTimer() override;

    void setInterval(qint32 lVal);
    qint32 Interval() const;
    bool Enabled() const;
    void setEnabled(bool blnVal);

    // Called only by the registry's callback.
    void RaiseTimer();

signals:
    void Timer();

private:
    void StartTimer();
    void StopTimer();

    bool m_enabled = false;
    qint32 m_timerId = 0;
    qint32 m_interval = 0;
};
