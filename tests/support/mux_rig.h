// The real server behind the Linux stand-in's multiplexer, driven by one
// thread: the multiplexer is asked (without waiting) whether a request is
// ready, and when one is the server serves it with its request step
// (serve_one), whose reads and writes of its end of the posted pair are the
// multiplexer's. Shared by the multiplexer fuzz target and the model test of
// clients interleaved on one server (header-only, like tree_check.h). Links
// tolvane_core with velmor_linux.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kernel/linux/internal.h"
#include "kernel/linux/standin.h"
#include "kernel/velmor.h"
#include "tolvane/tolvane.h"
#include "zero_tables.h"

namespace mux_rig {

struct Rig {
    Mux* mux = nullptr;
    int32_t sv[2] = {-1, -1};    // [0] posted, [1] the server's end
    std::string registry;        // where the posted name's sockets are
    uint8_t request[7] = {};     // the header of the request last served
    std::vector<uint8_t> reply;  // and its reply, as the server wrote it
    int32_t result = 1;          // serve_one's last answer
};

inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A fresh server (zeroed tables, the skeleton, no backing store) posted with
// no clients yet, its sockets in a new directory under /tmp. False when that
// could not be made (nothing is left open then).
inline bool open(Rig& g) {
    using namespace tolvane;
    harness::zero_tables();
    tln_backing_ok = 0;
    init_tree();
    char dir[] = "/tmp/tolvane-rig-XXXXXX";
    if (mkdtemp(dir) == nullptr) return false;
    g.registry = dir;
    setenv("VELMOR_SRV", dir, 1);
    if (sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, g.sv) < 0) return false;
    if (sys_srv_post("rig", g.sv[0]) < 0 || (g.mux = srv_mux(g.sv[1])) == nullptr) {
        close(g.sv[0]);
        close(g.sv[1]);
        return false;
    }
    srv_rfd = g.sv[1];
    srv_wfd = g.sv[1];
    return true;
}

// A new client: the client's end of its socket (nonblocking), or -1.
inline int connect(Rig& g, uint8_t dialect = SESS_DIALECT_NATIVE) {
    int c[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, c) != 0) return -1;
    mux_adopt(g.mux, c[1], dialect);
    return c[0];
}

enum Turn : int { IDLE = 0, SERVED = 1 };

// One turn: the multiplexer looks at every socket, and when a request is
// ready the server serves it (its header, reply and result kept in g).
inline Turn turn(Rig& g) {
    if (!mux_wait(g.mux, 0)) return IDLE;
    g.result = tolvane::serve_one();
    mux_last_header(g.mux, g.request);
    uint32_t size = le32(tolvane::srv_buf.data());
    if (size > tolvane::SRV_BUF_CAP) size = 0;
    g.reply.assign(tolvane::srv_buf.begin(), tolvane::srv_buf.begin() + size);
    return SERVED;
}

// Ends the posted name, closes the pair and removes the directory (the
// clients' own ends are the caller's).
inline void close_rig(Rig& g) {
    velmor_linux_reset();
    for (int fd : g.sv) {
        if (fd >= 0) close(fd);
    }
    if (!g.registry.empty()) rmdir(g.registry.c_str());
    g = Rig{};
}

}  // namespace mux_rig
