// Descriptor reads and writes of the Linux stand-in, and the stop request.
//
// Framing. Every byte a read hands to the caller passes through a small 9P
// framer (the first 4 bytes of each message are its little-endian size), so
// the stand-in knows whether the reader stands between two messages. The
// server reads nothing but 9P from the descriptors it reads.
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
//
// Read-ahead. The server reads a message as its 7 header bytes and then its
// body (a write's body as its fixed fields and then its data, straight into
// the file). A read that finds nothing buffered asks the descriptor, with one
// readv(2), for the caller's bytes plus up to READ_AHEAD more into a static
// buffer, and the next reads are served from there; a small request then
// costs one read(2) instead of two. A large body is the caller's to place:
// inside a message whose bytes left after the read exceed READ_AHEAD nothing
// is read ahead. And after a message larger than the read-ahead, the next
// header is read with only FIELDS_AHEAD more, enough for the fixed fields of
// any request: when large writes follow one another, the header and fields
// of each come in one read(2) and its data is never copied through the
// read-ahead buffer. The caller always sees exactly the stream's bytes, in
// order. One descriptor at a time owns the buffered bytes; others read
// without read-ahead meanwhile.
#include <poll.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "kernel/linux/internal.h"
#include "kernel/linux/standin.h"

namespace {

constexpr uint64_t READ_AHEAD = 16384;
// Read ahead of a header that follows a large message: a Twrite's fid, offset
// and count (the largest fixed part of a request that can be large).
constexpr uint64_t FIELDS_AHEAD = 16;
constexpr uint64_t MAX_IO = 1u << 30;  // largest count handed to one read(2) or write(2)
constexpr int32_t FRAME_SLOTS = 8;     // descriptors whose framing is tracked
constexpr int32_t STOP_GRACE_DEFAULT_MS = 5000;

// Framing of one descriptor. Between messages: msg_left == 0 and hdr_have == 0.
// Collecting a size field: msg_left == 0 and hdr_have 1 to 3. Inside a body:
// msg_left > 0.
struct Frame {
    int64_t fd = -1;  // -1: slot free
    uint8_t hdr[4] = {};
    uint32_t hdr_have = 0;
    uint64_t msg_left = 0;
    bool last_large = false;  // the last message begun did not fit the read-ahead
};

Frame frames[FRAME_SLOTS];

uint8_t ahead_buf[READ_AHEAD];
int32_t ahead_slot = -1;  // frame slot that owns the buffered bytes
uint64_t ahead_pos = 0;
uint64_t ahead_len = 0;

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

extern "C" void on_stop_signal(int sig) {
    int saved = errno;
    stop_requested.store(1);
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
    errno = saved;
}

bool at_boundary(const Frame& f) {
    return f.msg_left == 0 && f.hdr_have == 0;
}

// Feeds n bytes delivered to the caller through the framer.
void frame_feed(Frame& f, const uint8_t* p, uint64_t n) {
    while (n > 0) {
        if (f.msg_left > 0) {
            uint64_t take = n < f.msg_left ? n : f.msg_left;
            f.msg_left -= take;
            p += take;
            n -= take;
            continue;
        }
        f.hdr[f.hdr_have++] = *p++;
        n--;
        if (f.hdr_have == 4) {
            uint32_t size = static_cast<uint32_t>(f.hdr[0]) | static_cast<uint32_t>(f.hdr[1]) << 8 |
                            static_cast<uint32_t>(f.hdr[2]) << 16 |
                            static_cast<uint32_t>(f.hdr[3]) << 24;
            f.hdr_have = 0;
            // A size below 4 ends the message at its size field; the server
            // refuses such a message anyway.
            f.msg_left = size > 4 ? size - 4 : 0;
            f.last_large = f.msg_left > READ_AHEAD;
        }
    }
}

// The frame slot of fd: its own, a free one, or one that may be recycled
// because it stands between messages with nothing buffered; -1 when every slot
// is busy (the descriptor is then read untracked, always as if between
// messages).
int32_t frame_slot(int64_t fd) {
    for (int32_t i = 0; i < FRAME_SLOTS; i++) {
        if (frames[i].fd == fd) return i;
    }
    int32_t pick = -1;
    for (int32_t i = 0; i < FRAME_SLOTS && pick < 0; i++) {
        if (frames[i].fd < 0) pick = i;
    }
    for (int32_t i = 0; i < FRAME_SLOTS && pick < 0; i++) {
        bool holds_bytes = ahead_slot == i && ahead_pos < ahead_len;
        if (at_boundary(frames[i]) && !holds_bytes) pick = i;
    }
    if (pick < 0) return -1;
    frames[pick] = Frame{};
    frames[pick].fd = fd;
    if (ahead_slot == pick) ahead_slot = -1;
    return pick;
}

// Waits until fd is readable, for at most timeout_ms. 1: readable (or at end
// of stream, or failed: the read tells); 0: interrupted, look at the stop
// request again; -ETIMEDOUT; other negatives on failure.
int64_t wait_readable(int64_t fd, int32_t timeout_ms) {
    pollfd p = {static_cast<int>(fd), POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r < 0) return errno == EINTR ? 0 : -errno;
    if (r == 0) return -ETIMEDOUT;
    return 1;
}

// One readv(2) that a stop signal can end: at a boundary by jumping back
// here, inside a message by interrupting the call; either way the answer is
// -1 with EINTR and the caller finds the stop request. At a boundary the
// request is looked at once more after the read is armed, so none is missed
// in between.
ssize_t stoppable_read(int fd, iovec* iov, int iovcnt, bool boundary) {
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
    ssize_t r;
    if (boundary && stop_requested.load() != 0) {
        r = -1;
        errno = EINTR;
    } else {
        // syscall(2) rather than the C library's wrappers, which are
        // cancellation points with state that a jump out would leave behind.
        r = syscall(SYS_readv, fd, iov, iovcnt);
    }
    int e = errno;
    reader_armed.store(0);
    errno = e;
    return r;
}

}  // namespace

int64_t stream_read(int64_t fd, void* buf, uint64_t n) {
    if (fd < 0 || fd > 0x7fffffff) return -EBADF;
    if (n == 0) return 0;
    if (buf == nullptr) return -EFAULT;
    if (n > MAX_IO) n = MAX_IO;
    auto* out = static_cast<uint8_t*>(buf);
    int32_t s = frame_slot(fd);
    for (;;) {
        bool boundary = s < 0 || at_boundary(frames[s]);
        if (boundary && stop_requested.load() != 0) return 0;

        if (s >= 0 && ahead_slot == s && ahead_pos < ahead_len) {
            uint64_t k = ahead_len - ahead_pos;
            if (k > n) k = n;
            memcpy(out, ahead_buf + ahead_pos, k);
            ahead_pos += k;
            frame_feed(frames[s], out, k);
            return static_cast<int64_t>(k);
        }

        if (!boundary && stop_requested.load() != 0) {
            int64_t w = wait_readable(fd, stop_grace_ms);
            if (w < 0) return w;
            if (w == 0) continue;
        }

        uint64_t ahead_n = 0;
        if (s >= 0 && (ahead_slot < 0 || ahead_pos >= ahead_len)) {
            const Frame& f = frames[s];
            if (boundary) {
                ahead_n = f.last_large ? FIELDS_AHEAD : READ_AHEAD;
            } else if (f.msg_left <= n || f.msg_left - n <= READ_AHEAD) {
                ahead_n = READ_AHEAD;
            }
        }
        iovec iov[2] = {{out, n}, {ahead_buf, ahead_n}};
        ssize_t r = stoppable_read(static_cast<int>(fd), iov, ahead_n > 0 ? 2 : 1, boundary);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        uint64_t got = static_cast<uint64_t>(r);
        if (got > n) {
            ahead_slot = s;
            ahead_pos = 0;
            ahead_len = got - n;
            got = n;
        }
        if (s >= 0) frame_feed(frames[s], out, got);
        return static_cast<int64_t>(got);
    }
}

int64_t stream_write(int64_t fd, const void* buf, uint64_t n) {
    if (fd < 0 || fd > 0x7fffffff) return -EBADF;
    if (n > 0 && buf == nullptr) return -EFAULT;
    auto* p = static_cast<const uint8_t*>(buf);
    uint64_t done = 0;
    // A blocking write may be cut short by a signal; the rest is written
    // after it, so the caller sees all or a failure.
    while (done < n) {
        uint64_t chunk = n - done < MAX_IO ? n - done : MAX_IO;
        ssize_t r = write(static_cast<int>(fd), p + done, chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return done > 0 ? static_cast<int64_t>(done) : -errno;
        if (r == 0) break;
        done += static_cast<uint64_t>(r);
    }
    return static_cast<int64_t>(done);
}

void stream_reset() {
    for (Frame& f : frames) f = Frame{};
    ahead_slot = -1;
    ahead_pos = 0;
    ahead_len = 0;
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
}

void velmor_linux_set_stop_grace_ms(int32_t ms) {
    stop_grace_ms = ms < 0 ? 0 : ms;
}
