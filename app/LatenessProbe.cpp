#include "LatenessProbe.h"

#include <QFile>

#include <algorithm>

LatenessProbe::LatenessProbe(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(IntervalMs);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        const qint64 now = m_clock.elapsed();
        if (m_samples.size() < MaxSamples)
            m_samples.push_back(static_cast<quint16>(std::clamp<qint64>(now - m_due, 0, 65535)));
        m_due = now + IntervalMs;
    });
    m_clock.start();
    m_due = IntervalMs;
    m_timer.start();
}

LatenessProbe::~LatenessProbe()
{
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    QByteArray text;
    text.reserve(static_cast<qsizetype>(m_samples.size() * 3));
    for (const quint16 sample : m_samples)
        text += QByteArray::number(sample) + '\n';
    file.write(text);
}

LatenessProbe *LatenessProbe::fromEnvironment(QObject *parent)
{
    const QString path = qEnvironmentVariable("TARNWICK_PROBE");
    return path.isEmpty() ? nullptr : new LatenessProbe(path, parent);
}
