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
// Waiting. Between messages the read first waits in poll() on the descriptor
// and on a self-pipe that the signal handler writes, so a signal that arrives
// just before the wait still wakes it (a signal alone would only interrupt a
// read already blocked). Inside a message with no stop requested the read
// blocks in read(2) directly: a signal interrupts it (the handlers are
// installed without SA_RESTART) and the loop then waits in poll() with the
// grace timeout.
//
// Read-ahead. The server reads a message as its 7 header bytes and then its
// body. A read that finds nothing buffered asks the descriptor, with one
// readv(2), for the caller's bytes plus up to READ_AHEAD more into a static
// buffer, and the next reads are served from there; a small request then
// costs one read(2) instead of two. The read-ahead is kept smaller than a
// large message on purpose: the body of a large write then goes straight
// into the server's buffer instead of being copied twice. The caller always
// sees exactly the stream's bytes, in order. One descriptor at a time owns
// the buffered bytes; others read without read-ahead meanwhile.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kernel/linux/internal.h"
#include "kernel/linux/standin.h"

namespace {

constexpr uint64_t READ_AHEAD = 16384;
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
};

Frame frames[FRAME_SLOTS];

uint8_t ahead_buf[READ_AHEAD];
int32_t ahead_slot = -1;  // frame slot that owns the buffered bytes
uint64_t ahead_pos = 0;
uint64_t ahead_len = 0;

volatile sig_atomic_t stop_requested = 0;
int stop_pipe[2] = {-1, -1};
int32_t stop_grace_ms = STOP_GRACE_DEFAULT_MS;

extern "C" void on_stop_signal(int) {
    int saved = errno;
    stop_requested = 1;
    if (stop_pipe[1] >= 0) {
        char c = 1;
        ssize_t r = write(stop_pipe[1], &c, 1);  // full pipe: a wake-up is pending anyway
        (void)r;
    }
    errno = saved;
}

void drain_stop_pipe() {
    if (stop_pipe[0] < 0) return;
    char sink[64];
    while (read(stop_pipe[0], sink, sizeof sink) > 0) {
    }
}

bool at_boundary(const Frame& f) { return f.msg_left == 0 && f.hdr_have == 0; }

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

// Waits until fd is readable or the self-pipe wakes us. 1: readable (or at
// end of stream, or failed: the read tells); 0: look at the stop request
// again; -ETIMEDOUT after timeout_ms (negative: no limit); other negatives on
// failure.
int64_t wait_readable(int64_t fd, int32_t timeout_ms) {
    pollfd p[2] = {{static_cast<int>(fd), POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
    int r = poll(p, stop_pipe[0] >= 0 ? 2 : 1, timeout_ms);
    if (r < 0) return errno == EINTR ? 0 : -errno;
    if (r == 0) return -ETIMEDOUT;
    if (stop_pipe[0] >= 0 && (p[1].revents & POLLIN)) {
        drain_stop_pipe();
        return 0;
    }
    return 1;
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
        if (stop_requested && boundary) return 0;

        if (s >= 0 && ahead_slot == s && ahead_pos < ahead_len) {
            uint64_t k = ahead_len - ahead_pos;
            if (k > n) k = n;
            memcpy(out, ahead_buf + ahead_pos, k);
            ahead_pos += k;
            frame_feed(frames[s], out, k);
            return static_cast<int64_t>(k);
        }

        if (boundary || stop_requested) {
            int64_t w = wait_readable(fd, boundary ? -1 : stop_grace_ms);
            if (w < 0) return w;
            if (w == 0) continue;
        }

        ssize_t r;
        bool ahead = s >= 0 && (ahead_slot < 0 || ahead_pos >= ahead_len);
        if (ahead) {
            iovec iov[2] = {{out, n}, {ahead_buf, READ_AHEAD}};
            r = readv(static_cast<int>(fd), iov, 2);
        } else {
            r = read(static_cast<int>(fd), out, n);
        }
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
    stop_requested = 0;
    stop_grace_ms = STOP_GRACE_DEFAULT_MS;
    drain_stop_pipe();
}

void velmor_linux_start() {
    if (stop_pipe[0] < 0 && pipe2(stop_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        stop_pipe[0] = stop_pipe[1] = -1;  // stops then only interrupt a blocked read
    }
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

void velmor_linux_set_stop_grace_ms(int32_t ms) { stop_grace_ms = ms < 0 ? 0 : ms; }
