#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <vector>

// Measures how late the event loop of its thread runs a 10 ms timer, for the benchmarks: switched
// on by the environment variable TARNWICK_PROBE naming a file, into which it writes one lateness
// in milliseconds per line when it goes.
class LatenessProbe : public QObject
{
    Q_OBJECT

public:
    static constexpr int IntervalMs = 10;
    // About three hours of samples; later ones are dropped.
    static constexpr size_t MaxSamples = 1 << 20;

    explicit LatenessProbe(const QString &path, QObject *parent = nullptr);
    ~LatenessProbe() override;

    // A probe when TARNWICK_PROBE is set, else null.
    static LatenessProbe *fromEnvironment(QObject *parent);

private:
    QString m_path;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_due = 0;
    std::vector<quint16> m_samples;
};
