// ThreadSanitizer builds only. QProcess (Qt 6.4) starts a child with clone(CLONE_VM | CLONE_VFORK),
// and the sanitizer's clone interceptor then runs its after-fork code for the child in the memory
// it shares with the parent: from then on the parent's thread ignores its own locks, and every
// later hand-over under a lock is reported as a race. This definition comes before the
// interceptor and goes to the C library's clone, as posix_spawn does; the child only sets up its
// descriptors and calls exec, none of which the sanitizer needs to see.
#include <dlfcn.h>
#include <sys/types.h>

#include <cstdarg>

extern "C" int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) {
    using Clone = int (*)(int (*)(void*), void*, int, void*, ...);
    static const Clone libc = reinterpret_cast<Clone>(dlsym(dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD), "clone"));
    va_list rest;
    va_start(rest, arg);
    pid_t* parentTid = va_arg(rest, pid_t*);
    void* tls = va_arg(rest, void*);
    pid_t* childTid = va_arg(rest, pid_t*);
    va_end(rest);
    return libc(fn, stack, flags, arg, parentTid, tls, childTid);
}
