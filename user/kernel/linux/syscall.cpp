// The kernel's six-argument entry on Linux: each velmor call number goes to
// its POSIX implementation in the file of its concern (stream.cpp, srv.cpp,
// store.cpp). Results follow the kernel's convention: not negative on
// success, a negated errno value on failure; an unknown call number answers
// -ENOSYS.
#include <unistd.h>

#include <cerrno>

#include "kernel/linux/internal.h"
#include "kernel/linux/standin.h"
#include "kernel/linux/trace.h"
#include "kernel/velmor.h"

namespace {

template <class T>
T* ptr(int64_t a) {
    return reinterpret_cast<T*>(a);
}

uint64_t u64(int64_t a) {
    return static_cast<uint64_t>(a);
}

// Ends the process. The posted names first hand the replies the server
// already wrote to their clients (bounded in time), so the reply to the last
// request is not lost. Then _exit: nothing of the C++ runtime needs to run (no
// buffered stdio, no exit handlers, no static destructors).
[[noreturn]] void standin_exit(int64_t status) {
    srv_quiesce();
    if (trace_on) trace_exit(status);
    _exit(static_cast<int>(status));
}

}  // namespace

int64_t syscall6(int64_t num, int64_t a0, int64_t a1, int64_t a2, int64_t a3, int64_t a4,
                 int64_t a5) {
    (void)a4;
    (void)a5;
    switch (num) {
        case SYS_EXIT:
            standin_exit(a0);
        case SYS_READ:
            return stream_read(a0, ptr<void>(a1), u64(a2));
        case SYS_WRITE:
            return stream_write(a0, ptr<const void>(a1), u64(a2));
        case SYS_SOCKETPAIR:
            return srv_socketpair(a0, a1, a2, ptr<int32_t>(a3));
        case SYS_SRV_POST:
            return srv_post(ptr<const char>(a0), a1);
        case SYS_TLN_LOAD:
            return store_load(u64(a0), ptr<void>(a1), u64(a2));
        case SYS_TLN_SAVE:
            return store_save(u64(a0), ptr<const void>(a1), u64(a2));
        case SYS_TLN_REJECT:
            return store_reject(u64(a0), ptr<char>(a1), u64(a2));
        default:
            return -ENOSYS;
    }
}

int32_t velmor_linux_wait_request(int64_t fd, int32_t ms) {
    Mux* m = srv_mux(fd);
    if (m == nullptr) return -1;
    return mux_wait(m, ms) ? 1 : 0;
}

void velmor_linux_reset() {
    stream_reset();
    srv_reset();
    store_reset();
    velmor_linux_fs_hook(nullptr);
}
