// Fuzzes the multiplexer that shares a posted server among many clients,
// with the real server behind it (mux_rig.h): one thread asks the
// multiplexer for the next request and serves it, so every input runs the
// same way.
//
// The input is a program of small operations over up to kSlots client
// connections: connect (a new client in a free slot), a well-formed request
// built with the codec (fid and tag numbers from a small range, so clients
// and requests collide on them), raw bytes, half of a well-formed request,
// shutting down a client's sending side, hanging a client up, and running the
// multiplexer and server for a few turns. Every client reads what it is sent.
//
// Checked: after every request the server serves, that it answered it (a
// wire error means the multiplexer let a request through that the server
// cannot frame or decode), that the reply is one whole message of the right
// kind, and that the tables hold (tree_check.h); every message a client gets
// is a whole R-message no larger than the msize its session negotiated; and
// at the end, once every client has hung up and the multiplexer has caught
// up, that the server holds no fid: each client's fids were clunked.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "harness.h"
#include "kernel/linux/standin.h"
#include "mux_rig.h"
#include "tolvane/tolvane.h"
#include "tree_check.h"

using namespace tolvane;

namespace {

constexpr int kSlots = 4;           // client connections open at once
constexpr int kConnects = 40;       // connections made per input (over the cap of 32)
constexpr int kOps = 300;           // operations per input
constexpr int kTurnsPerOp = 16;     // turns one "run" operation may ask for
constexpr int kSettleTurns = 4000;  // turns allowed for the multiplexer to catch up at the end
constexpr uint32_t kServerMsize = 131072;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_relay: %s\n", what.c_str());
    std::abort();
}

using Src = tolvane_test::FuzzInput;

struct Client {
    int fd = -1;
    std::vector<uint8_t> in;  // bytes received, not yet a whole message
    uint32_t msize = kServerMsize;
};

mux_rig::Rig rig;
Client clients[kSlots];
std::vector<uint8_t> msg(SRV_BUF_CAP + 64);

uint32_t pick_fid(Src& s) {
    uint8_t b = s.u8();
    if (b < 248) return b % 6;
    if (b < 252) return P9_NOFID;
    return s.u32();
}

uint16_t pick_tag(Src& s) {
    uint8_t b = s.u8();
    return b < 250 ? static_cast<uint16_t>(b % 8) : P9_NOTAG;
}

const std::string kNames[] = {"", "a", "b", "var", "etc", "..", ".", "x/y", "lib", "d1"};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];

const uint8_t* u8p(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

// Builds one well-formed request into msg; its length.
int32_t build_request(Src& s) {
    p9_cursor c;
    p9_cursor_init(&c, msg.data(), msg.size());
    uint16_t tag = pick_tag(s);
    switch (s.u8() % 12) {
        case 0: {
            static const uint32_t msizes[] = {8192, 131072, 1u << 20, 0, 64, 24};
            return p9_emit_tversion(&c, tag, msizes[s.u8() % 6], u8p("9P2000"), 6);
        }
        case 1: {
            const std::string& a = kNames[s.u8() % kNameCount];
            uint32_t afid = s.u8() < 230 ? P9_NOFID : pick_fid(s);
            return p9_emit_tattach(&c, tag, pick_fid(s), afid, u8p("u"), 1, u8p(a), a.size());
        }
        case 2: {
            uint32_t fid = pick_fid(s);
            uint32_t newfid = s.u8() & 1 ? fid : pick_fid(s);
            uint16_t nw = static_cast<uint16_t>(s.u8() % 4);
            const uint8_t* names[P9_MAX_WELEM];
            uint64_t lens[P9_MAX_WELEM];
            for (uint16_t k = 0; k < nw; k++) {
                const std::string& n = kNames[s.u8() % kNameCount];
                names[k] = u8p(n);
                lens[k] = n.size();
            }
            return p9_emit_twalk(&c, tag, fid, newfid, nw, names, lens);
        }
        case 3: {
            uint32_t fid = pick_fid(s);
            uint8_t mode = static_cast<uint8_t>(s.u8() % 4);
            mode |= static_cast<uint8_t>(s.u8() & 0x10);
            return p9_emit_topen(&c, tag, fid, mode);
        }
        case 4: {
            const std::string& n = kNames[s.u8() % kNameCount];
            uint32_t perm = s.u8() & 1 ? DM_DIR | 0755 : 0644;
            uint32_t fid = pick_fid(s);
            uint8_t mode = static_cast<uint8_t>(s.u8() % 3);
            return p9_emit_tcreate(&c, tag, fid, u8p(n), n.size(), perm, mode);
        }
        case 5: {
            static const uint32_t lens[] = {0, 1, 100, 4096, 20000};
            uint32_t len = lens[s.u8() % 5];
            std::vector<uint8_t> data(len, s.u8());
            uint64_t off = s.u8() < 200 ? s.u8() : s.u32();
            return p9_emit_twrite(&c, tag, pick_fid(s), off, data.data(), len);
        }
        case 6: {
            static const uint32_t counts[] = {0, 10, 4096, 131072, 0xffffffffu};
            uint32_t fid = pick_fid(s);
            uint64_t off = s.u8();
            return p9_emit_tread(&c, tag, fid, off, counts[s.u8() % 5]);
        }
        case 7:
            return p9_emit_tclunk(&c, tag, pick_fid(s));
        case 8: {
            uint32_t fid = pick_fid(s);
            const uint8_t m[] = {11,
                                 0,
                                 0,
                                 0,
                                 tolvane::P9_TREMOVE,
                                 static_cast<uint8_t>(tag),
                                 static_cast<uint8_t>(tag >> 8),
                                 static_cast<uint8_t>(fid),
                                 static_cast<uint8_t>(fid >> 8),
                                 static_cast<uint8_t>(fid >> 16),
                                 static_cast<uint8_t>(fid >> 24)};
            std::copy(m, m + sizeof m, msg.begin());
            return sizeof m;
        }
        case 9:
            return p9_emit_tstat(&c, tag, pick_fid(s));
        case 10:
            return p9_emit_tflush(&c, tag, pick_tag(s));
        default:
            return p9_emit_tauth(&c, tag, pick_fid(s), u8p("u"), 1, u8p(""), 0);
    }
}

void send_bytes(Client& c, const uint8_t* p, size_t n) {
    if (c.fd < 0 || n == 0) return;
    // A full socket takes part of the message: the rest of the stream is then
    // garbage to the multiplexer, which it must survive as well.
    ssize_t w = send(c.fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)w;
}

// Reads what client c was sent and checks every whole message of it.
void drain(Client& c) {
    if (c.fd < 0) return;
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        c.in.insert(c.in.end(), buf, buf + n);
    }
    size_t at = 0;
    while (c.in.size() - at >= 7) {
        uint32_t size = mux_rig::le32(c.in.data() + at);
        if (size < 7 || size > kServerMsize)
            fail("a client got a reply of size " + std::to_string(size));
        if (c.in.size() - at < size) break;
        uint8_t type = c.in[at + 4];
        if (type % 2 == 0 || type < P9_RVERSION || type > P9_RWSTAT) {
            fail("a client got message type " + std::to_string(type));
        }
        if (size > c.msize) {
            fail("a reply of " + std::to_string(size) + " bytes, type " + std::to_string(type) +
                 ", msize " + std::to_string(c.msize));
        }
        if (type == P9_RVERSION && size >= 11) c.msize = mux_rig::le32(c.in.data() + at + 7);
        at += size;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
}

// One turn of multiplexer and server, with every check. Whether a request
// was served.
bool turn() {
    mux_rig::Turn t = mux_rig::turn(rig);
    if (t == mux_rig::SERVED) {
        uint8_t type = rig.request[4];
        uint16_t tag = harness::le16(rig.request + 5);
        if (rig.result != 1) {
            fail("request type " + std::to_string(type) + " of " +
                 std::to_string(mux_rig::le32(rig.request)) + " bytes: the request step answered " +
                 std::to_string(rig.result));
        }
        std::string bad = harness::check_reply(type, tag, rig.reply.data(), rig.reply.size());
        if (!bad.empty()) fail("request type " + std::to_string(type) + ": " + bad);
        std::string broken = tree_check::check_tree();
        if (!broken.empty()) fail("after request type " + std::to_string(type) + ": " + broken);
    }
    for (Client& c : clients) drain(c);
    return t != mux_rig::IDLE;
}

void hang_up(Client& c) {
    if (c.fd >= 0) close(c.fd);
    c = Client{};
}

void run(Src& s) {
    int connects = 0;
    for (int ops = 0; ops < kOps && !s.done(); ops++) {
        uint8_t op = s.u8();
        Client& c = clients[(op >> 4) % kSlots];
        switch (op % 16) {
            case 0:
            case 1:
                if (c.fd < 0 && connects < kConnects) {
                    connects++;
                    c.fd =
                        mux_rig::connect(rig, op & 0x80 ? SESS_DIALECT_LINUX : SESS_DIALECT_NATIVE);
                    if (c.fd < 0) fail("no socket pair");
                }
                break;
            case 2:
            case 3:
            case 4:
            case 5:
            case 6:
            case 7: {
                int32_t n = build_request(s);
                if (n < 0) fail("a request did not build");
                send_bytes(c, msg.data(), static_cast<size_t>(n));
                break;
            }
            case 8: {  // half of a request: the rest may follow as raw bytes, or never
                int32_t n = build_request(s);
                if (n < 0) fail("a request did not build");
                send_bytes(c, msg.data(), static_cast<size_t>(s.u8()) % static_cast<size_t>(n));
                break;
            }
            case 9: {  // raw bytes, often with a plausible size field in front
                size_t n = s.u8() % 40;
                std::vector<uint8_t> raw;
                if (s.u8() & 1) {
                    uint32_t size = static_cast<uint32_t>(n + 4);
                    raw = {static_cast<uint8_t>(size), 0, 0, 0};
                }
                for (size_t k = 0; k < n && !s.done(); k++) raw.push_back(s.u8());
                send_bytes(c, raw.data(), raw.size());
                break;
            }
            case 10:
                if (c.fd >= 0) shutdown(c.fd, SHUT_WR);
                break;
            case 11:
                hang_up(c);
                break;
            default: {
                int turns = 1 + s.u8() % kTurnsPerOp;
                for (int k = 0; k < turns; k++) turn();
            }
        }
    }
    // Everybody hangs up; once the multiplexer has caught up, no fid may be left.
    for (Client& c : clients) hang_up(c);
    int quiet = 0;
    for (int k = 0; k < kSettleTurns && quiet < 3; k++) quiet = turn() ? 0 : quiet + 1;
    if (quiet < 3) fail("the multiplexer did not settle");
    for (uint64_t f = 0; f < FID_CAP; f++) {
        if (fid_used[f]) {
            fail("server fid " + std::to_string(fid_id[f]) + " left after every client hung up");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmor_linux_reset();
    if (!mux_rig::open(rig)) fail("the rig did not open");
    Src s{data, size};
    run(s);
    mux_rig::close_rig(rig);
    return 0;
}
