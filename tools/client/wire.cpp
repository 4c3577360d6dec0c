// The wire layer: timed whole-message writes, framed reads that keep what
// arrives past a message, and the reply check every client call makes.
#include "wire.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "9p/9p.h"

namespace tlnclient {

namespace {

using Clock = std::chrono::steady_clock;

std::string errno_text(int e) {
    return std::strerror(e);
}

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    return static_cast<int>(left.count());
}

// A write to a pipe whose reader is gone raises SIGPIPE; the caller must see
// EPIPE instead and must not change the process's signal disposition. On a
// socket MSG_NOSIGNAL does that; on a pipe SIGPIPE is blocked around the write
// and a SIGPIPE the write raised is taken off the pending set again.
ssize_t write_quietly(int fd, const uint8_t* p, size_t n, bool sock) {
    if (sock) return ::send(fd, p, n, MSG_NOSIGNAL);
    sigset_t pipe_set, old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
    sigset_t pending;
    sigpending(&pending);
    bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    ssize_t r = ::write(fd, p, n);
    int saved = errno;
    if (r < 0 && saved == EPIPE && !was_pending) {
        timespec zero{0, 0};
        while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return r;
}

bool is_socket(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

bool is_blocking(int fd) {
    int fl = ::fcntl(fd, F_GETFL);
    return fl < 0 || (fl & O_NONBLOCK) == 0;
}

// Waits until FD is ready for EVENTS: 1, 0 when the deadline passed, or -1
// with errno set.
int wait_ready(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd pfd{fd, events, 0};
        int r = ::poll(&pfd, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

}  // namespace

std::string type_name(uint8_t t) {
    static const char* const names[] = {
        "Tversion", "Rversion", "Tauth",   "Rauth", "Tattach", "Rattach", "Terror",
        "Rerror",   "Tflush",   "Rflush",  "Twalk", "Rwalk",   "Topen",   "Ropen",
        "Tcreate",  "Rcreate",  "Tread",   "Rread", "Twrite",  "Rwrite",  "Tclunk",
        "Rclunk",   "Tremove",  "Rremove", "Tstat", "Rstat",   "Twstat",  "Rwstat"};
    if (t >= P9_TVERSION && t <= P9_RWSTAT) return names[t - P9_TVERSION];
    return "type " + std::to_string(t);
}

Status check_reply(const uint8_t* msg, uint32_t len, uint16_t tag, uint8_t want) {
    uint32_t size;
    uint8_t type;
    uint16_t rtag;
    if (p9_decode_header(msg, len, &size, &type, &rtag) < 0) {
        return Error{ErrorKind::protocol, "undecodable reply header"};
    }
    if (rtag != tag) {
        return Error{ErrorKind::protocol, type_name(type) + " with tag " + std::to_string(rtag) +
                                              " answers no request (expected tag " +
                                              std::to_string(tag) + ")"};
    }
    if (type == P9_RERROR) {
        const uint8_t* text;
        uint64_t text_len;
        if (p9_decode_rerror(msg, len, &rtag, &text, &text_len) < 0) {
            return Error{ErrorKind::protocol, "malformed Rerror"};
        }
        return Error{ErrorKind::refused,
                     std::string(reinterpret_cast<const char*>(text), text_len)};
    }
    if (type != want) {
        return Error{ErrorKind::protocol,
                     "expected " + type_name(want) + ", got " + type_name(type)};
    }
    return ok_status();
}

Wire::Wire(int rfd, int wfd, uint32_t capacity, int timeout_ms)
    : rfd_(rfd),
      wfd_(wfd),
      wsock_(is_socket(wfd)),
      rblocking_(is_blocking(rfd)),
      timeout_ms_(timeout_ms),
      buf_(capacity) {}

Status Wire::send(const uint8_t* p, size_t n) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
    size_t done = 0;
    while (done < n) {
        ssize_t k = write_quietly(wfd_, p + done, n - done, wsock_);
        if (k > 0) {
            done += static_cast<size_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        if (k < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            return Error{ErrorKind::connection, "the server hung up"};
        }
        if (k == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return Error{ErrorKind::connection, "write: " + errno_text(errno)};
        }
        int r = wait_ready(wfd_, POLLOUT, deadline);
        if (r < 0) return Error{ErrorKind::connection, "poll: " + errno_text(errno)};
        if (r == 0) {
            return timeout_error(" ms sending to the server");
        }
    }
    return ok_status();
}

Result<uint32_t> Wire::recv(uint32_t max) {
    // The message returned last goes; what came after it is the next one's.
    if (last_ > 0) {
        if (have_ > last_) std::memmove(buf_.data(), buf_.data() + last_, have_ - last_);
        have_ -= last_;
        last_ = 0;
    }
    if (max > buf_.size()) max = static_cast<uint32_t>(buf_.size());
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
    bool wait_first = rblocking_;
    for (;;) {
        if (have_ >= 4) {
            const uint8_t* p = buf_.data();
            uint32_t size = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                            static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
            if (size < P9_HEADER_LEN || size > max) {
                return Error{ErrorKind::protocol, "reply size " + std::to_string(size) +
                                                      " outside 7.." + std::to_string(max)};
            }
            if (have_ >= size) {
                last_ = size;
                return size;
            }
        }
        if (wait_first) {
            int r = wait_ready(rfd_, POLLIN, deadline);
            if (r < 0) return Error{ErrorKind::connection, "poll: " + errno_text(errno)};
            if (r == 0) {
                return timeout_error(" ms waiting for the server's reply");
            }
        }
        ssize_t k = ::read(rfd_, buf_.data() + have_, buf_.size() - have_);
        wait_first = true;
        if (k > 0) {
            have_ += static_cast<size_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR) {
            wait_first = rblocking_;
            continue;
        }
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (k == 0 || errno == ECONNRESET) {
            return Error{
                ErrorKind::connection,
                have_ == 0 ? "the server hung up" : "the server hung up in the middle of a reply"};
        }
        return Error{ErrorKind::connection, "read: " + errno_text(errno)};
    }
}

}  // namespace tlnclient
