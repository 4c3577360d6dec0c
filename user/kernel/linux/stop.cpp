// The stop request of the Linux stand-in, and the reads it can end.
//
// Stop request. SIGTERM, SIGINT and SIGHUP ask the server to stop the way a
// hang-up does: the read that waits for the next message answers 0 (end of
// stream), so the request in flight has been answered and the server saves
// and exits as at end of stream. Inside a message the read goes on, so a
// request already begun is still served; but if no byte comes for
// stop_grace_ms the read fails and the server stops with a wire error rather
// than wait for a client that never finishes.
//
// Waiting. A read at a message boundary blocks in readv(2) directly, with no
// poll(2) before it. The stop request still cannot be lost: the read arms a
// jump back into itself (sigsetjmp) and names its thread before it looks at
// the request one last time, and disarms when the call returns. A stop
// signal handled on that thread while it is armed jumps back out of the
// call, so the read answers 0 whether the signal came just before the call
// or while it was blocked; handled on another thread, the signal is handed
// on to the armed thread (pthread_kill). When the call has already taken bytes
// from the descriptor as the signal lands, those bytes are dropped with the
// rest of the stream: they begin a message that a stopping server would not
// have begun anyway. Inside a message with no stop requested the read
// blocks in read(2) directly: a stop signal interrupts it (the handlers are
// installed without SA_RESTART; one handled on another thread is handed on
// as above) and the loop then waits in poll() with the grace timeout.
#include "kernel/linux/stop.h"

#include <poll.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "kernel/linux/standin.h"
#include "kernel/linux/trace.h"

namespace {

constexpr int32_t STOP_GRACE_DEFAULT_MS = 5000;

std::atomic<int> stop_requested{0};
int32_t stop_grace_ms = STOP_GRACE_DEFAULT_MS;

// The thread blocked (or about to block) in a read of a descriptor, valid
// while reader_armed is 1; and whether that read stands at a message
// boundary, so that a stop signal handled on that thread jumps to
// boundary_jump. Threads are told apart by pthread_self, which needs no
// system call and stays right in a forked child.
static_assert(std::atomic<int>::is_always_lock_free, "touched by the signal handler");
static_assert(std::atomic<pthread_t>::is_always_lock_free, "touched by the signal handler");
std::atomic<int> reader_armed{0};
std::atomic<pthread_t> reader_thread{};
std::atomic<int> reader_at_boundary{0};
sigjmp_buf boundary_jump;
std::atomic<int> jumped_signal{0};  // the signal that took the jump

// A wake-up (SIGIO: a listening socket of a posted name has a connection
// waiting). Its handler only notes it: the call it lands in fails with
// EINTR (no SA_RESTART) unless it has taken bytes, which are then kept.
std::atomic<int> wake_pending{0};

// Ends the armed read at a boundary, if one is armed: on its own thread by
// the jump, from another by handing the signal on.
void end_armed_read(int sig) {
    if (reader_armed.load() != 0) {
        pthread_t reader = reader_thread.load();
        if (pthread_equal(reader, pthread_self()) != 0) {
            if (reader_at_boundary.load() != 0) {
                reader_armed.store(0);
                jumped_signal.store(sig);
                siglongjmp(boundary_jump, 1);
            }
        } else {
            // Only a signal handled on the reader's own thread ends its read.
            pthread_kill(reader, sig);
        }
    }
}

extern "C" void on_stop_signal(int sig) {
    int saved = errno;
    stop_requested.store(1);
    end_armed_read(sig);
    errno = saved;
}

extern "C" void on_wake_signal(int) {
    wake_pending.store(1);
}

}  // namespace

bool stop_is_requested() {
    return stop_requested.load() != 0;
}

int64_t wait_readable(int64_t fd) {
    pollfd p = {static_cast<int>(fd), POLLIN, 0};
    int r = poll(&p, 1, stop_grace_ms);
    if (r < 0) return errno == EINTR ? 0 : -errno;
    if (r == 0) return -ETIMEDOUT;
    return 1;
}

// System call nr, armed for a stop signal: at a boundary one that lands
// (also just before the call) jumps back here, and the answer is -1 with
// EINTR. At a boundary the request is looked at once more after arming, so
// none is missed in between; with wake, so is a wake-up. syscall(2) rather
// than the C library's wrappers, which are cancellation points with state
// that a jump out would leave behind.
static long armed_call(bool boundary, bool wake, long nr, long a0, long a1, long a2, long a3,
                       long a4) {
    if (boundary && sigsetjmp(boundary_jump, 0) != 0) {
        // The handler left with its signal blocked; unblock it again.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, jumped_signal.load());
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        errno = EINTR;
        return -1;
    }
    reader_thread.store(pthread_self());
    reader_at_boundary.store(boundary ? 1 : 0);
    reader_armed.store(1);
    long r;
    if (boundary && (stop_requested.load() != 0 || (wake && wake_pending.load() != 0))) {
        r = -1;
        errno = EINTR;
    } else {
        r = syscall(nr, a0, a1, a2, a3, a4);
    }
    int e = errno;
    reader_armed.store(0);
    errno = e;
    return r;
}

ssize_t stoppable_read(int fd, iovec* iov, int iovcnt, bool boundary) {
    return wakeable_read(fd, iov, iovcnt, boundary, false);
}

ssize_t wakeable_read(int fd, iovec* iov, int iovcnt, bool boundary, bool wake) {
    return armed_call(boundary, wake, SYS_readv, fd, reinterpret_cast<long>(iov), iovcnt, 0, 0);
}

int stoppable_poll(pollfd* fds, int n, int timeout_ms) {
    timespec ts = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    long at = timeout_ms < 0 ? 0 : reinterpret_cast<long>(&ts);
    return static_cast<int>(
        armed_call(true, false, SYS_ppoll, reinterpret_cast<long>(fds), n, at, 0, 0));
}

bool wake_take() {
    return wake_pending.exchange(0) != 0;
}

void wake_arm() {
    static std::atomic<int> installed{0};
    if (installed.exchange(1) != 0) return;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_wake_signal;
    sa.sa_flags = 0;  // a read blocked waiting for one client must return
    sigaction(SIGIO, &sa, nullptr);
}

void stop_reset() {
    stop_requested.store(0);
    stop_grace_ms = STOP_GRACE_DEFAULT_MS;
}

// The bounds of the program's zero-initialised storage, from the linker.
extern "C" char __bss_start[], _end[];

void velmor_linux_start() {
    // The server's storage is its fixed tables and buffers, megabytes of
    // them zero at start (the data pool, the image buffer). Mapped with huge
    // pages where the system allows it (transparent huge pages in madvise
    // mode), a first touch faults once per 2 MiB instead of once per 4 KiB,
    // and copies through the pool miss the TLB less.
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t lo = (reinterpret_cast<uintptr_t>(__bss_start) + page - 1) & ~(page - 1);
    uintptr_t hi = reinterpret_cast<uintptr_t>(_end) & ~(page - 1);
    if (hi > lo) (void)madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
    // No SA_RESTART: a read blocked inside a message must return to the loop.
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = 0;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    trace_start();
}

void velmor_linux_set_stop_grace_ms(int32_t ms) {
    stop_grace_ms = ms < 0 ? 0 : ms;
}
