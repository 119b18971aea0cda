// Linked into the test programs of ThreadSanitizer builds only.
//
// QProcess starts its child with clone(CLONE_VM | CLONE_VFORK): the child runs in our memory
// until it execs. ThreadSanitizer's clone() interceptor takes every clone for a fork and runs its
// after-fork bookkeeping in the child, which here writes into our own state: the starting thread
// is left as the interceptor leaves a forked child, and ThreadSanitizer then missed the locks that
// thread took (the record writer's queue looked written without RecordWriter::post()'s lock). A
// clone that shares our memory is, to the race detector, our own thread going on until exec, so
// it goes straight to the C library; other clones keep the interceptor.
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

#include <cstdarg>

extern "C" int clone(int (*fn)(void *), void *stack, int flags, void *arg, ...)
{
    va_list rest;
    va_start(rest, arg);
    auto *parentTid = va_arg(rest, pid_t *);
    auto *tls = va_arg(rest, void *);
    auto *childTid = va_arg(rest, pid_t *);
    va_end(rest);
    using Clone = int (*)(int (*)(void *), void *, int, void *, ...);
    static const auto intercepted = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
    static const auto direct
        = reinterpret_cast<Clone>(dlsym(dlopen("libc.so.6", RTLD_NOLOAD | RTLD_LAZY), "clone"));
    return ((flags & CLONE_VM) ? direct : intercepted)(fn, stack, flags, arg, parentTid, tls, childTid);
}
