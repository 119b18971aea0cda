#pragma once

#include <QMetaObject>
#include <QObject>

#include <utility>

// Calls posted from one thread to an object of another, run there by its event loop in the order
// they were posted. Qt's event queue guarantees that whatever the poster did before posting is
// seen by the call, but its locks are inside Qt, which is not built with ThreadSanitizer; the
// annotations here tell ThreadSanitizer what the queue guarantees, and compile to nothing
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

template <typename F> void post(QObject *receiver, F &&call)
{
    published(receiver);
    QMetaObject::invokeMethod(
        receiver,
        [receiver, call = std::forward<F>(call)]() mutable {
            received(receiver);
            call();
        },
        Qt::QueuedConnection);
}
} // namespace CrossThread
