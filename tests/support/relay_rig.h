// The real server behind the Linux stand-in's relay, both driven in turn by
// one thread: the relay as a step of its loop (relay_step) and the server as
// its request step (serve_one). Shared by the relay fuzz target and the
// model test of clients interleaved on one server (header-only, like
// tree_check.h). Links tolvane_core with velmor_linux.
//
// The server reads its requests from a feed socket that the rig fills with
// one whole message at a time, taken from the server's end of the posted
// pair: the stand-in reads ahead of the message it is asked for, so whether a
// whole message is waiting cannot be seen on the posted pair itself, and a
// request step that waits for bytes would hang the one thread. Replies go
// straight back on the posted pair, and a request is served only once the
// relay has taken every reply before it, so a reply write never waits either.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/linux/internal.h"
#include "tolvane/tolvane.h"
#include "zero_tables.h"

namespace relay_rig {

struct Rig {
    Relay* relay = nullptr;
    int posted = -1;       // the relay's end of the posted pair (the relay owns it)
    int server = -1;       // the server's end: replies written, requests taken
    int feed[2] = {-1, -1};  // [1] written by the rig, [0] read by the server
    std::vector<uint8_t> taken;  // bytes read from `server`, not yet fed
    std::vector<uint8_t> request;  // the request last served
    std::vector<uint8_t> reply;    // and its reply, as the server wrote it
    int32_t result = 1;            // serve_one's last answer
};

inline void big_buffers(int fd) {
    int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// A fresh server (zeroed tables, the skeleton, no backing store) behind a new
// relay with no clients. False when a descriptor or the relay could not be
// made (nothing is left open then).
inline bool open(Rig& g) {
    using namespace tolvane;
    harness::zero_tables();
    tln_backing_ok = 0;
    init_tree();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g.feed) != 0) {
        close(sv[0]);
        close(sv[1]);
        return false;
    }
    for (int fd : {sv[0], sv[1], g.feed[0], g.feed[1]}) big_buffers(fd);
    g.posted = sv[0];
    g.server = sv[1];
    g.relay = relay_create(sv[0], nullptr, nullptr, 0);
    if (g.relay == nullptr) {
        for (int fd : {sv[1], g.feed[0], g.feed[1]}) close(fd);
        g = Rig{};
        return false;
    }
    srv_rfd = g.feed[0];
    srv_wfd = g.server;
    return true;
}

// A new client of the relay: the client's end of its socket, or -1.
inline int connect(Rig& g, uint8_t dialect = RELAY_DIALECT_NATIVE) {
    int c[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, c) != 0) return -1;
    int fl = fcntl(c[1], F_GETFL);
    fcntl(c[1], F_SETFL, fl | O_NONBLOCK);
    fcntl(c[0], F_SETFL, fcntl(c[0], F_GETFL) | O_NONBLOCK);
    relay_adopt(g.relay, c[1], dialect);
    return c[0];
}

inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Bytes the relay has not yet read of what the server wrote.
inline int unread_replies(const Rig& g) {
    int q = 0;
    if (ioctl(g.server, TIOCOUTQ, &q) != 0) return 0;
    return q;
}

enum Turn : int { IDLE = 0, MOVED = 1, SERVED = 2 };

// One turn: the relay's step, then what it wrote to the server is taken, and
// when a whole request is there and every earlier reply has gone to the relay
// the server serves it (request, reply and result kept in g). IDLE when no
// byte moved between relay and server.
inline Turn turn(Rig& g) {
    relay_step(g.relay, 0);
    bool moved = false;
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = recv(g.server, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        g.taken.insert(g.taken.end(), buf, buf + n);
        moved = true;
    }
    if (g.taken.size() < 4 || unread_replies(g) != 0) return moved ? MOVED : IDLE;
    uint32_t size = le32(g.taken.data());
    // A size the server refuses is served too: the step must answer -1 then,
    // which the caller reports.
    uint64_t len = size < 4 ? 4 : size;
    if (size <= tolvane::SRV_BUF_CAP && g.taken.size() < len) return moved ? MOVED : IDLE;
    if (size > tolvane::SRV_BUF_CAP) len = g.taken.size();
    g.request.assign(g.taken.begin(), g.taken.begin() + static_cast<std::ptrdiff_t>(len));
    g.taken.erase(g.taken.begin(), g.taken.begin() + static_cast<std::ptrdiff_t>(len));
    ssize_t w = send(g.feed[1], g.request.data(), g.request.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w != static_cast<ssize_t>(g.request.size())) {
        g.result = -2;  // the feed did not take a whole message: the rig's own fault
        return SERVED;
    }
    // A request whose size the server refuses leaves the rest of it unread;
    // the end of the feed is written now so the step cannot wait for it.
    if (size < 7 || size > tolvane::SRV_BUF_CAP) shutdown(g.feed[1], SHUT_WR);
    g.result = tolvane::serve_one();
    g.reply.resize(tolvane::SRV_BUF_CAP + 64);
    ssize_t r = recv(g.posted, g.reply.data(), g.reply.size(), MSG_PEEK | MSG_DONTWAIT);
    g.reply.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return SERVED;
}

// Ends the relay and closes every descriptor the rig made (the clients'
// own ends are the caller's).
inline void close_rig(Rig& g) {
    if (g.relay != nullptr) relay_free(g.relay);  // closes `posted` and the clients it serves
    for (int fd : {g.server, g.feed[0], g.feed[1]}) {
        if (fd >= 0) close(fd);
    }
    g = Rig{};
}

}  // namespace relay_rig
