#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <functional>
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
