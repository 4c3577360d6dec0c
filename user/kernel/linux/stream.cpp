// Descriptor reads and writes of the Linux stand-in: framing and read-ahead.
// The stop request, and the reads it can end, are stop.cpp's. The server's
// end of a posted pair is read and written through its multiplexer
// (mux.cpp) instead.
//
// Framing. Every byte a read hands to the caller passes through a small 9P
// framer (the first 4 bytes of each message are its little-endian size), so
// the stand-in knows whether the reader stands between two messages. The
// server reads nothing but 9P from the descriptors it reads.
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
//
// Trace. When a trace is on (trace.h), what each call read or wrote is
// handed to it afterwards.
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kernel/linux/internal.h"
#include "kernel/linux/stop.h"
#include "kernel/linux/trace.h"

namespace {

constexpr uint64_t READ_AHEAD = 16384;
// Read ahead of a header that follows a large message: a Twrite's fid, offset
// and count (the largest fixed part of a request that can be large).
constexpr uint64_t FIELDS_AHEAD = 16;
constexpr uint64_t MAX_IO = 1u << 30;  // largest count handed to one read(2) or write(2)
constexpr int32_t FRAME_SLOTS = 8;     // descriptors whose framing is tracked

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

// A read of fd through its framing and the read-ahead (n > 0).
int64_t framed_read(int64_t fd, uint8_t* out, uint64_t n) {
    int32_t s = frame_slot(fd);
    for (;;) {
        bool boundary = s < 0 || at_boundary(frames[s]);
        if (boundary && stop_is_requested()) return 0;

        if (s >= 0 && ahead_slot == s && ahead_pos < ahead_len) {
            uint64_t k = ahead_len - ahead_pos;
            if (k > n) k = n;
            memcpy(out, ahead_buf + ahead_pos, k);
            ahead_pos += k;
            frame_feed(frames[s], out, k);
            return static_cast<int64_t>(k);
        }

        if (!boundary && stop_is_requested()) {
            int64_t w = wait_readable(fd);
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

}  // namespace

int64_t stream_read(int64_t fd, void* buf, uint64_t n) {
    if (fd < 0 || fd > 0x7fffffff) return -EBADF;
    if (n == 0) return 0;
    if (buf == nullptr) return -EFAULT;
    if (n > MAX_IO) n = MAX_IO;
    if (Mux* m = srv_mux(fd)) return mux_read(m, buf, n);
    int64_t r = framed_read(fd, static_cast<uint8_t*>(buf), n);
    if (trace_on) trace_stdio_read(fd, buf, r);
    return r;
}

int64_t stream_write(int64_t fd, const void* buf, uint64_t n) {
    if (fd < 0 || fd > 0x7fffffff) return -EBADF;
    if (n > 0 && buf == nullptr) return -EFAULT;
    if (Mux* m = srv_mux(fd)) return mux_write(m, buf, n);
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
    if (trace_on) trace_stdio_write(fd, buf, static_cast<int64_t>(done));
    return static_cast<int64_t>(done);
}

void stream_reset() {
    for (Frame& f : frames) f = Frame{};
    ahead_slot = -1;
    ahead_pos = 0;
    ahead_len = 0;
    stop_reset();
}
