#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QScopeGuard>

#include <deque>
#include <functional>
#include <mutex>
#include <utility>

// Calls posted from one thread to an object of another, run there by its event loop in the order
// they were posted; the receiving class passes its customEvent() to deliver(). Qt's event queue
// guarantees that whatever the poster did before posting is seen by the call, but its locks are
// inside Qt, which is not built with ThreadSanitizer: the call travels in an event made here,
// and the annotations tell ThreadSanitizer what the queue guarantees. They compile to nothing
// otherwise.
namespace CrossThread {
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
inline void published(void *token)
{
    __tsan_release(token);
}
inline void received(void *token)
{
    __tsan_acquire(token);
}
#else
inline void published(void *) { }
inline void received(void *) { }
#endif

class CallEvent : public QEvent
{
public:
    explicit CallEvent(std::function<void()> call)
        : QEvent(type())
        , m_call(std::move(call))
    { }
    // Acquires what the poster published even when the call never ran: Qt deletes the events
    // still queued for an ending thread there, without delivering them.
    ~CallEvent() override { received(this); }
    static QEvent::Type type()
    {
        static const auto registered = QEvent::Type(QEvent::registerEventType());
        return registered;
    }
    void run() { m_call(); }

private:
    std::function<void()> m_call;
};

template <typename F> void post(QObject *receiver, F &&call)
{
    auto *event = new CallEvent(std::forward<F>(call));
    published(event);
    QCoreApplication::postEvent(receiver, event);
}

// Calls for one receiver from any thread, fetched by one event: a thread that posts many calls
// while the receiver is busy wakes it once, not once per call. Calls run in the order they were
// posted, each taken from the queue only when the one before it has returned, so that a nested
// event loop inside a call goes on with the next ones in order. The receiver owns the inbox;
// posted events die with the receiver.
class Inbox
{
public:
    template <typename F> void post(QObject *receiver, F &&call)
    {
        bool wake = false;
        {
            const std::lock_guard lock(m_lock);
            m_calls.emplace_back(std::forward<F>(call));
            wake = !std::exchange(m_posted, true);
        }
        if (wake)
            CrossThread::post(receiver, [this] { runAll(); });
    }
    // Told, on the receiver's thread, before a batch of calls runs (true) and after (false).
    void setAround(std::function<void(bool before)> around) { m_around = std::move(around); }

private:
    void runAll()
    {
        if (m_around)
            m_around(true);
        const auto after = qScopeGuard([this] {
            if (m_around)
                m_around(false);
        });
        for (;;) {
            std::function<void()> call;
            {
                const std::lock_guard lock(m_lock);
                if (m_calls.empty()) {
                    m_posted = false;
                    return;
                }
                call = std::move(m_calls.front());
                m_calls.pop_front();
            }
            call();
        }
    }

    std::mutex m_lock;
    std::deque<std::function<void()>> m_calls;
    bool m_posted = false; // an event to run them is on its way
    std::function<void(bool)> m_around;
};

// For the receiver's customEvent(): runs a posted call; false for any other event.
inline bool deliver(QEvent *event)
{
    received(event);
    if (event->type() != CallEvent::type())
        return false;
    static_cast<CallEvent *>(event)->run();
    return true;
}
} // namespace CrossThread
