// The relay behind a posted name: many 9P2000 clients on one server stream.
//
// On velmor the kernel's mount driver shares one posted channel among every
// program that mounts it, keeping their fids and tags apart. Here one relay
// thread plays that part for the sockets of one posted name. The server does
// not know: it reads one stream, answers one request at a time in order, and
// every byte of its replies is as it wrote them, but for the tag.
//
// What the relay does to a client's requests:
// - Tversion never reaches the server. The relay opened the stream with a
//   Tversion of its own (msize SERVER_MSIZE) and answers each client's itself,
//   as the server would: "9P2000" and the smaller of the client's msize and
//   SERVER_MSIZE. It ends that client's session only: its fids are clunked at
//   the server (dirty ones save), replies still owed to it are dropped.
// - Tags: each forwarded request takes a free server tag; the reply goes back
//   with the client's own tag.
// - Fids: a client's fid numbers are mapped to server fid numbers the relay
//   hands out, in every message that names one. A fid the client never made
//   goes out as SFID_UNKNOWN, which no client is ever given, so the server
//   answers exactly as it answers any unknown fid. A new fid (Tattach fid,
//   Twalk newfid) is mapped when the request goes out and kept only if the
//   reply says it was made (when several requests at the server name the
//   same new fid, if any of their replies does). Tclunk and Tremove end the
//   mapping as they go out: the server releases the fid whatever it answers.
// - Tread's count is lowered to what fits the client's msize, so no reply it
//   gets is larger than its msize.
// - Tflush: a request still queued here is dropped and the Tflush answered
//   with Rflush at once; one already at the server has the Tflush forwarded
//   there, and the client gets the original reply before the Rflush.
// - Malformed requests never reach the server (one that does not decode would
//   end its stream for everybody). A size field below 7 or above
//   SERVER_MSIZE cannot be framed safely: the client is dropped. A message
//   that frames but is larger than the client's msize or does not decode is
//   answered with Rerror RELAY_MALFORMED. Message types the server has no
//   handler for (R-messages, unknown types) are answered here with the
//   server's own "not implemented" refusal.
// - A client that hangs up: what it queued is discarded, replies owed to it
//   are read and dropped, and every server fid it held is clunked, so its
//   writes are saved as if it had clunked them itself. One that only shut
//   down its sending side still gets the replies owed to it first.
//
// Order and fairness. Everything the relay writes to the server is answered
// in the order written, so the fid map is kept in that order: a message's
// fids are mapped when it is committed to the server's queue. Clients with
// queued requests are served round-robin, one message each per turn, and at
// most PIPELINE_CAP requests wait at the server, so a client with many
// requests or large writes delays another by a few requests at most, while
// the server never waits for a client to turn a reply around.
//
// Memory. Each client has an input ring (its requests, forwarded to the
// server straight from there) and an output ring (replies its socket has not
// taken yet). Before a request goes out, room for its largest reply is
// reserved in the output ring, so a reply read from the server always has
// somewhere to go and a client that stops reading holds up nobody else. A
// request's bytes are copied once into the ring and once to the server, a
// reply's once out of the server and once to the client (straight from the
// reply ring when the client's output ring is empty), as a plain relay would.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

#include "9p/9p.h"
#include "kernel/linux/errmap.h"
#include "kernel/linux/internal.h"
#include "kernel/linux/ring.h"
#include "tolvane/errors.h"

namespace {

constexpr uint32_t MSG_MIN = 7;                    // size, type and tag
constexpr uint32_t SERVER_MSIZE = 131072;          // the msize the relay asks of the server
constexpr uint64_t IN_RING = 1u << 18;             // a client's requests
constexpr uint64_t OUT_RING = 1u << 19;            // a client's replies
constexpr uint64_t REPLY_RING = 1u << 18;          // replies read from the server
constexpr uint64_t OWN_RING = 1u << 14;            // the relay's own requests
constexpr int REFUSE_CAP = 4;                      // clients over the cap, being told so
constexpr uint32_t PIPELINE_CAP = 16;              // clients' requests at the server at once
constexpr uint32_t FIDMAP_CAP = 256;               // server fids handed out at once
constexpr uint32_t TAG_CAP = 512;                  // server tags in use at once
constexpr uint32_t SFID_UNKNOWN = 0xFFFFFFFE;      // never handed out
constexpr uint64_t SMALL_REPLY = 256;              // room held for any reply but Rread
constexpr uint64_t RREAD_FIXED = 11;               // size, type, tag, count
constexpr uint64_t TWRITE_FIXED = 23;              // size, type, tag, fid, offset, count
constexpr int SEND_BATCH = 16;                     // messages written to the server per call
constexpr int QUIESCE_IDLE_MS = 200;
constexpr int64_t QUIESCE_TOTAL_MS = 2000;
constexpr int REFUSE_WAIT_MS = 2000;               // for a refused client's first message
constexpr int ACCEPT_RETRY_MS = 100;

// Each of the relay's own requests may need a tag while every client request
// waits at the server: a Tclunk per mapped fid and the opening Tversion.
static_assert(TAG_CAP >= PIPELINE_CAP + FIDMAP_CAP + 1);
static_assert(TAG_CAP < P9_NOTAG);
static_assert(OWN_RING >= (FIDMAP_CAP + 1) * 32);
static_assert(IN_RING >= 2 * SERVER_MSIZE && REPLY_RING >= 2 * SERVER_MSIZE);
static_assert(OUT_RING >= 2 * SERVER_MSIZE + SMALL_REPLY);

// Type bytes the scanner writes over a queued request (every type the relay
// does not forward is first turned into TYPE_UNSERVED, so these never clash
// with what a client sent).
constexpr uint8_t TYPE_UNSERVED = 0;   // answered with the server's "not implemented"
constexpr uint8_t TYPE_FLUSHED = 1;    // dropped by a later Tflush
constexpr uint8_t TYPE_RFLUSH = 2;     // a Tflush that dropped its request: answered here

constexpr char RELAY_MALFORMED[] = "velmor: malformed 9P2000 message";
constexpr char RELAY_TOO_MANY[] = "velmor: too many clients on this channel";

enum : int { RELAY_RUN = 0, RELAY_QUIESCE = 1, RELAY_STOP = 2 };
enum : uint8_t { CLIENT_FREE = 0, CLIENT_OPEN = 1, CLIENT_CLOSING = 2 };
constexpr int16_t OWN = -1;  // a request of the relay's own

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool would_block(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

// sendmsg and recvmsg of n iovecs without blocking (the posted end is shared
// with the server's process, so its file flags are left alone).
ssize_t send_iov(int fd, iovec* iov, int n) {
    msghdr mh{};
    mh.msg_iov = iov;
    mh.msg_iovlen = static_cast<size_t>(n);
    return sendmsg(fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
}

ssize_t recv_iov(int fd, iovec* iov, int n) {
    msghdr mh{};
    mh.msg_iov = iov;
    mh.msg_iovlen = static_cast<size_t>(n);
    return recvmsg(fd, &mh, MSG_DONTWAIT);
}

struct Client {
    int fd = -1;
    uint8_t state = CLIENT_FREE;
    uint8_t dialect = RELAY_DIALECT_NATIVE;
    bool eof = false;           // sent its last byte
    uint32_t msize = SERVER_MSIZE;
    uint32_t session = 0;       // changes with each Tversion and each new connection
    Ring in;                    // requests: [head, next) at or on the way to the server
    uint64_t scanned = 0;       // complete messages end here; scanned up to it
    uint64_t next = 0;          // the first request not yet committed
    uint64_t consumed = 0;      // requests before this are committed or answered
    uint32_t unsent = 0;        // committed requests not yet written whole
    uint32_t owed = 0;          // requests at the server not yet answered
    Ring out;                   // replies not yet taken by the client
    uint64_t reserved = 0;      // room in out held for replies to come
};

struct Pending {  // a request at the server, by server tag
    bool used = false;
    int16_t client = OWN;
    uint32_t session = 0;
    uint16_t ctag = 0;
    uint8_t type = 0;
    uint16_t nwname = 0;        // Twalk: names asked for
    uint32_t map = FIDMAP_CAP;  // new fid mapped by this request, or FIDMAP_CAP
    uint32_t map_gen = 0;
    uint64_t reserve = 0;
};

struct FidMap {  // by server fid number
    bool used = false;
    bool made = false;     // a reply said the server made it
    uint16_t makers = 0;   // requests at the server that may make it
    int16_t client = 0;
    uint32_t cfid = 0;
    uint32_t gen = 0;  // changes each time the entry is freed
};

struct Outgoing {  // a message committed to the server's queue
    int16_t client;  // OWN: from the own ring
    uint64_t at;
    uint64_t len;
};

struct Refused {
    int fd = -1;
    uint8_t hdr[MSG_MIN];
    uint32_t have = 0;
    int64_t deadline = 0;
};

}  // namespace

struct Relay {
    pthread_t thread{};
    bool started = false;
    int posted_fd = -1;
    int listen_fd[RELAY_LISTEN_CAP] = {-1, -1};
    uint8_t listen_dialect[RELAY_LISTEN_CAP] = {};
    int nlisten = 0;
    int wake[2] = {-1, -1};
    std::atomic<int> mode{RELAY_RUN};

    Client clients[RELAY_CLIENT_CAP];
    Refused refused[REFUSE_CAP];
    Pending pending[TAG_CAP];
    uint32_t tag_hint = 0;
    uint32_t at_server = 0;     // clients' requests at the server
    FidMap fids[FIDMAP_CAP];
    int rr = 0;                 // the client served first in the next turn
    int64_t quiesce_deadline = -1;

    Outgoing queue[TAG_CAP];    // committed, not yet written whole: a FIFO
    uint32_t queue_head = 0;
    uint32_t queue_len = 0;
    uint64_t queue_sent = 0;    // bytes of the first message already written
    Ring own;
    Ring replies;

    uint8_t scratch[SERVER_MSIZE];  // a wrapped request, laid flat to decode it
    uint8_t own_buf[OWN_RING];
    uint8_t reply_buf[REPLY_RING];
    uint8_t in_buf[RELAY_CLIENT_CAP][IN_RING];
    uint8_t out_buf[RELAY_CLIENT_CAP][OUT_RING];
};

namespace {

// ---- Server tags and fids ----

int64_t tag_alloc(Relay& r) {
    for (uint32_t k = 0; k < TAG_CAP; k++) {
        uint32_t t = (r.tag_hint + k) % TAG_CAP;
        if (!r.pending[t].used) {
            r.tag_hint = (t + 1) % TAG_CAP;
            r.pending[t] = Pending{};
            r.pending[t].used = true;
            return t;
        }
    }
    return -1;
}

// The server fid that client c's fid cfid maps to, or -1.
int64_t fid_find(const Relay& r, int c, uint32_t cfid) {
    for (uint32_t s = 0; s < FIDMAP_CAP; s++) {
        if (r.fids[s].used && r.fids[s].client == c && r.fids[s].cfid == cfid) return s;
    }
    return -1;
}

uint32_t fid_to_server(const Relay& r, int c, uint32_t cfid) {
    int64_t s = fid_find(r, c, cfid);
    return s < 0 ? SFID_UNKNOWN : static_cast<uint32_t>(s);
}

int64_t fid_map_new(Relay& r, int c, uint32_t cfid) {
    for (uint32_t s = 0; s < FIDMAP_CAP; s++) {
        if (!r.fids[s].used) {
            r.fids[s].used = true;
            r.fids[s].made = false;
            r.fids[s].makers = 0;
            r.fids[s].client = static_cast<int16_t>(c);
            r.fids[s].cfid = cfid;
            return s;
        }
    }
    return -1;
}

void fid_unmap(Relay& r, uint32_t s) {
    r.fids[s].used = false;
    r.fids[s].gen++;
}

// The server fid for a fid that request p makes: the fid's own when the
// client already uses that number (the server then refuses it as in use),
// else a new mapping that p's reply confirms or undoes. A mapping that an
// earlier request at the server may still make is shared: whichever of them
// makes it keeps it, and it is undone only when none did. -1 when the map is
// full.
int64_t new_fid(Relay& r, int c, uint32_t cfid, Pending& p) {
    int64_t s = fid_find(r, c, cfid);
    if (s < 0) s = fid_map_new(r, c, cfid);
    if (s < 0) return -1;
    FidMap& f = r.fids[s];
    if (f.made) return s;
    f.makers++;
    p.map = static_cast<uint32_t>(s);
    p.map_gen = f.gen;
    return s;
}

// ---- The server's queue ----

void queue_push(Relay& r, int16_t client, uint64_t at, uint64_t len) {
    r.queue[(r.queue_head + r.queue_len) % TAG_CAP] = {client, at, len};
    r.queue_len++;
}

// Queues a request of the relay's own (its reply is read and dropped).
void own_request(Relay& r, const uint8_t* msg, uint64_t len) {
    ring_append(r.own, msg, len);
    queue_push(r, OWN, r.own.tail - len, len);
}

// Clunks every server fid left by a client that is gone or began a new
// session (its entries were given to OWN). A fid waits for the next turn
// when no tag or room is free, which takes far more fids than the server has.
void clunk_orphans(Relay& r) {
    for (uint32_t s = 0; s < FIDMAP_CAP; s++) {
        if (!r.fids[s].used || r.fids[s].client != OWN) continue;
        uint8_t msg[16];
        p9_cursor c;
        p9_cursor_init(&c, msg, sizeof msg);
        if (ring_room(r.own) < sizeof msg) return;
        int64_t t = tag_alloc(r);
        if (t < 0) return;
        int32_t n = p9_emit_tclunk(&c, static_cast<uint16_t>(t), s);
        if (n > 0) own_request(r, msg, static_cast<uint64_t>(n));
        fid_unmap(r, s);
    }
}

void clunk_all(Relay& r, int c) {
    for (FidMap& f : r.fids) {
        if (f.used && f.client == c) f.client = OWN;
    }
    clunk_orphans(r);
}

// Writes as much of the queue to the server as it takes. -1 when the
// server's end is gone.
int flush_to_server(Relay& r) {
    while (r.queue_len > 0) {
        iovec iov[2 * SEND_BATCH];
        int n = 0;
        for (uint32_t k = 0; k < r.queue_len && k < SEND_BATCH; k++) {
            const Outgoing& o = r.queue[(r.queue_head + k) % TAG_CAP];
            const Ring& src = o.client == OWN ? r.own : r.clients[o.client].in;
            uint64_t skip = k == 0 ? r.queue_sent : 0;
            n += ring_iov(src, o.at + skip, o.len - skip, iov + n);
        }
        ssize_t w = send_iov(r.posted_fd, iov, n);
        if (w < 0) return would_block(errno) ? 0 : -1;
        uint64_t left = static_cast<uint64_t>(w);
        while (left > 0) {
            Outgoing& o = r.queue[r.queue_head];
            uint64_t rest = o.len - r.queue_sent;
            if (left < rest) {
                r.queue_sent += left;
                break;
            }
            left -= rest;
            r.queue_sent = 0;
            if (o.client == OWN) {
                r.own.head = o.at + o.len;
            } else {
                Client& c = r.clients[o.client];
                c.unsent--;
                c.in.head = c.unsent == 0 ? c.consumed : o.at + o.len;
            }
            r.queue_head = (r.queue_head + 1) % TAG_CAP;
            r.queue_len--;
        }
    }
    return 0;
}

// ---- Replies to clients ----

void client_drop(Relay& r, int i);

// Writes what client i's output ring holds. Drops the client when its socket
// is gone.
void flush_to_client(Relay& r, int i) {
    Client& c = r.clients[i];
    while (c.state == CLIENT_OPEN && ring_used(c.out) > 0) {
        iovec iov[2];
        int n = ring_iov(c.out, c.out.head, ring_used(c.out), iov);
        ssize_t w = send_iov(c.fd, iov, n);
        if (w < 0) {
            if (!would_block(errno)) client_drop(r, i);
            return;
        }
        c.out.head += static_cast<uint64_t>(w);
    }
}

// Hands client i a message given as n iovecs of len bytes in all: straight to
// its socket when nothing is waiting before it, the rest into its output ring.
void deliver_iov(Relay& r, int i, iovec* iov, int n, uint64_t len) {
    Client& c = r.clients[i];
    uint64_t sent = 0;
    if (ring_used(c.out) == 0) {
        ssize_t w = send_iov(c.fd, iov, n);
        if (w < 0 && !would_block(errno)) {
            client_drop(r, i);
            return;
        }
        if (w > 0) sent = static_cast<uint64_t>(w);
    }
    if (sent == len) return;
    if (ring_room(c.out) < len - sent) {  // more than was held for it: cannot happen
        client_drop(r, i);
        return;
    }
    for (int k = 0; k < n; k++) {
        uint64_t piece = iov[k].iov_len;
        uint64_t skip = sent < piece ? sent : piece;
        sent -= skip;
        ring_append(c.out, static_cast<const uint8_t*>(iov[k].iov_base) + skip, piece - skip);
    }
}

void deliver(Relay& r, int i, const Ring& src, uint64_t at, uint64_t len) {
    iovec iov[2];
    int n = ring_iov(src, at, len, iov);
    deliver_iov(r, i, iov, n, len);
}

// Answers client i with a message the relay made.
void answer(Relay& r, int i, const uint8_t* msg, uint64_t len) {
    iovec iov = {const_cast<uint8_t*>(msg), len};
    deliver_iov(r, i, &iov, 1, len);
}

// Answers client i with Rerror text, spoken in the client's dialect.
void answer_rerror(Relay& r, int i, uint16_t tag, std::string_view text) {
    if (r.clients[i].dialect == RELAY_DIALECT_LINUX) text = errmap_linux_text(text);
    uint8_t msg[SMALL_REPLY + 16];
    p9_cursor c;
    p9_cursor_init(&c, msg, sizeof msg);
    int32_t n = p9_emit_rerror(&c, tag, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (n > 0) answer(r, i, msg, static_cast<uint64_t>(n));
}

// ---- Client life ----

void client_close(Relay& r, int i) {
    Client& c = r.clients[i];
    if (c.fd >= 0) close(c.fd);
    c.fd = -1;
    c.state = CLIENT_CLOSING;
    c.out.head = c.out.tail;
    c.reserved = 0;
    clunk_all(r, i);
}

// Drops client i now: requests it queued are discarded (those committed to
// the server still go out whole), replies owed to it will be dropped.
void client_drop(Relay& r, int i) {
    Client& c = r.clients[i];
    if (c.state != CLIENT_OPEN) return;
    c.in.tail = c.next;
    c.scanned = c.next;
    c.consumed = c.next;
    if (c.unsent == 0) c.in.head = c.consumed;
    client_close(r, i);
}

void client_open(Relay& r, int fd, uint8_t dialect) {
    for (int i = 0; i < RELAY_CLIENT_CAP; i++) {
        Client& c = r.clients[i];
        if (c.state != CLIENT_FREE) continue;
        uint32_t session = c.session + 1;
        c = Client{};
        c.fd = fd;
        c.state = CLIENT_OPEN;
        c.dialect = dialect;
        c.session = session;
        ring_init(c.in, r.in_buf[i], IN_RING);
        ring_init(c.out, r.out_buf[i], OUT_RING);
        return;
    }
    for (Refused& f : r.refused) {
        if (f.fd < 0) {
            f.fd = fd;
            f.have = 0;
            f.deadline = now_ms() + REFUSE_WAIT_MS;
            return;
        }
    }
    close(fd);
}

// A refused client gets Rerror RELAY_TOO_MANY with the tag of its first
// message (usually its Tversion), and is closed.
void refused_read(Refused& f) {
    ssize_t n = recv(f.fd, f.hdr + f.have, MSG_MIN - f.have, MSG_DONTWAIT);
    if (n < 0 && would_block(errno)) return;
    if (n > 0) f.have += static_cast<uint32_t>(n);
    if (n > 0 && f.have < MSG_MIN) return;
    if (f.have == MSG_MIN) {
        uint8_t msg[SMALL_REPLY];
        p9_cursor c;
        p9_cursor_init(&c, msg, sizeof msg);
        uint16_t tag = static_cast<uint16_t>(f.hdr[5] | f.hdr[6] << 8);
        int32_t len = p9_emit_rerror(&c, tag, reinterpret_cast<const uint8_t*>(RELAY_TOO_MANY),
                                     sizeof RELAY_TOO_MANY - 1);
        if (len > 0) {
            ssize_t w = send(f.fd, msg, static_cast<size_t>(len), MSG_DONTWAIT | MSG_NOSIGNAL);
            (void)w;  // best effort: the client is being turned away
        }
    }
    close(f.fd);
    f.fd = -1;
}

// ---- Reading and checking a client's requests ----

bool is_forwarded(uint8_t type) {
    switch (type) {
        case P9_TVERSION: case P9_TAUTH: case P9_TATTACH: case P9_TFLUSH: case P9_TWALK:
        case P9_TOPEN: case P9_TCREATE: case P9_TREAD: case P9_TWRITE: case P9_TCLUNK:
        case P9_TREMOVE: case P9_TSTAT: case P9_TWSTAT:
            return true;
        default:
            return false;
    }
}

// Looks at each message that became complete: the frame is checked, unserved
// types are marked, and a Tflush of a request still queued drops it. False
// when the client must be dropped (a size field that cannot be framed).
bool scan(Client& c) {
    while (c.in.tail - c.scanned >= 4) {
        uint32_t size = ring_get_le(c.in, c.scanned, 4);
        if (size < MSG_MIN || size > SERVER_MSIZE) return false;
        if (c.in.tail - c.scanned < size) break;
        uint64_t at = c.scanned;
        c.scanned += size;
        uint8_t type = ring_at(c.in, at + 4);
        if (!is_forwarded(type)) {
            ring_set(c.in, at + 4, TYPE_UNSERVED);
            continue;
        }
        if (type != P9_TFLUSH || size != 9) continue;
        uint16_t oldtag = static_cast<uint16_t>(ring_get_le(c.in, at + 7, 2));
        for (uint64_t m = c.next; m < at; m += ring_get_le(c.in, m, 4)) {
            uint8_t t = ring_at(c.in, m + 4);
            if (t != TYPE_FLUSHED && t != TYPE_RFLUSH &&
                ring_get_le(c.in, m + 5, 2) == oldtag) {
                ring_set(c.in, m + 4, TYPE_FLUSHED);
                ring_set(c.in, at + 4, TYPE_RFLUSH);
                break;
            }
        }
    }
    return true;
}

void client_read(Relay& r, int i) {
    Client& c = r.clients[i];
    iovec iov[2];
    int n = ring_free_iov(c.in, IN_RING, iov);
    if (n == 0) return;
    ssize_t got = recv_iov(c.fd, iov, n);
    if (got < 0) {
        if (!would_block(errno)) client_drop(r, i);
        return;
    }
    if (got == 0) {
        c.eof = true;
        c.in.tail = c.scanned;  // half a message goes nowhere
        return;
    }
    c.in.tail += static_cast<uint64_t>(got);
    if (!scan(c)) client_drop(r, i);
}

// Whether request [buf, buf + len) of the given type decodes as the server
// will decode it. Twstat is refused by the server from its header alone.
bool decodes(uint8_t type, const uint8_t* buf, uint64_t len) {
    uint16_t tag, u16;
    uint32_t u32a, u32b;
    uint64_t u64, la, lb;
    uint8_t u8;
    const uint8_t *pa, *pb;
    const uint8_t* names[P9_MAX_WELEM];
    uint64_t lens[P9_MAX_WELEM];
    switch (type) {
        case P9_TVERSION: return p9_decode_tversion(buf, len, &tag, &u32a, &pa, &la) >= 0;
        case P9_TAUTH: return p9_decode_tauth(buf, len, &tag, &u32a, &pa, &la, &pb, &lb) >= 0;
        case P9_TATTACH:
            return p9_decode_tattach(buf, len, &tag, &u32a, &u32b, &pa, &la, &pb, &lb) >= 0;
        case P9_TFLUSH: return p9_decode_tflush(buf, len, &tag, &u16) >= 0;
        case P9_TWALK:
            return p9_decode_twalk(buf, len, &tag, &u32a, &u32b, &u16, names, lens) >= 0;
        case P9_TOPEN: return p9_decode_topen(buf, len, &tag, &u32a, &u8) >= 0;
        case P9_TCREATE:
            return p9_decode_tcreate(buf, len, &tag, &u32a, &pa, &la, &u32b, &u8) >= 0;
        case P9_TREAD: return p9_decode_tread(buf, len, &tag, &u32a, &u64, &u32b) >= 0;
        case P9_TCLUNK: return p9_decode_tclunk(buf, len, &tag, &u32a) >= 0;
        case P9_TSTAT: return p9_decode_tstat(buf, len, &tag, &u32a) >= 0;
        case P9_TREMOVE: return len == 11;
        case P9_TWSTAT: return len >= 11;
        default: return false;
    }
}

bool request_decodes(Relay& r, const Client& c, uint64_t at, uint32_t size, uint8_t type) {
    if (type == P9_TWRITE) {  // its data may be large: checked from its fixed fields
        return size >= TWRITE_FIXED && ring_get_le(c.in, at + 19, 4) == size - TWRITE_FIXED;
    }
    iovec iov[2];
    if (ring_iov(c.in, at, size, iov) == 1) {
        return decodes(type, static_cast<const uint8_t*>(iov[0].iov_base), size);
    }
    ring_copy_out(c.in, at, size, r.scratch);
    return decodes(type, r.scratch, size);
}

// The room a request's reply may need in the client's output ring.
uint64_t reply_room(const Client& c, uint64_t at, uint8_t type) {
    if (type != P9_TREAD) return SMALL_REPLY;
    uint64_t count = ring_get_le(c.in, at + 19, 4);
    uint64_t most = c.msize > RREAD_FIXED ? c.msize - RREAD_FIXED : 0;
    uint64_t need = RREAD_FIXED + (count < most ? count : most);
    return need > SMALL_REPLY ? need : SMALL_REPLY;
}

// ---- Committing requests to the server, round-robin ----

// Marks client i's next request consumed without sending it.
void consume_local(Client& c, uint32_t size) {
    c.next += size;
    c.consumed = c.next;
    if (c.unsent == 0) c.in.head = c.consumed;
}

// Answers client i's Tflush (size bytes, tag ctag) here: the request it
// names was dropped from the queue or has been answered already.
void answer_rflush(Relay& r, int i, uint32_t size, uint16_t ctag) {
    consume_local(r.clients[i], size);
    uint8_t msg[MSG_MIN];
    p9_cursor cur;
    p9_cursor_init(&cur, msg, sizeof msg);
    if (p9_emit_rflush(&cur, ctag) > 0) answer(r, i, msg, sizeof msg);
}

// A client Tversion: ends its session and answers as the server would.
void local_version(Relay& r, int i, uint64_t at, uint32_t size) {
    Client& c = r.clients[i];
    uint16_t tag = static_cast<uint16_t>(ring_get_le(c.in, at + 5, 2));
    uint32_t msize = ring_get_le(c.in, at + 7, 4);
    consume_local(c, size);
    clunk_all(r, i);
    c.session++;  // replies still owed to the old session are dropped
    c.msize = msize < SERVER_MSIZE ? msize : SERVER_MSIZE;
    static constexpr uint8_t ours[] = {'9', 'P', '2', '0', '0', '0'};
    uint8_t msg[SMALL_REPLY];
    p9_cursor cur;
    p9_cursor_init(&cur, msg, sizeof msg);
    int32_t n = p9_emit_rversion(&cur, tag, c.msize, ours, sizeof ours);
    if (n > 0) answer(r, i, msg, static_cast<uint64_t>(n));
}

// Sends client i's next request on to the server or answers it here. False
// when it has to wait (no room for its reply, or no server tag).
bool commit_one(Relay& r, int i) {
    Client& c = r.clients[i];
    uint64_t at = c.next;
    uint32_t size = ring_get_le(c.in, at, 4);
    uint8_t type = ring_at(c.in, at + 4);
    uint16_t ctag = static_cast<uint16_t>(ring_get_le(c.in, at + 5, 2));
    uint64_t room = reply_room(c, at, type);
    if (ring_room(c.out) < c.reserved + room) return false;

    if (type == TYPE_FLUSHED) {
        consume_local(c, size);
        return true;
    }
    if (type == TYPE_RFLUSH) {
        answer_rflush(r, i, size, ctag);
        return true;
    }
    if (type == TYPE_UNSERVED) {
        consume_local(c, size);
        answer_rerror(r, i, ctag, tolvane::ERR_NOT_IMPLEMENTED);
        return true;
    }
    if (size > c.msize || !request_decodes(r, c, at, size, type)) {
        consume_local(c, size);
        answer_rerror(r, i, ctag, RELAY_MALFORMED);
        return true;
    }
    if (type == P9_TVERSION) {
        local_version(r, i, at, size);
        return true;
    }

    uint16_t flushed_tag = 0;
    if (type == P9_TFLUSH) {
        // Not queued here any more (scan() would have dropped it): flushed at
        // the server if it is there, else already answered.
        uint16_t oldtag = static_cast<uint16_t>(ring_get_le(c.in, at + 7, 2));
        int64_t found = -1;
        for (uint32_t t = 0; t < TAG_CAP && found < 0; t++) {
            const Pending& p = r.pending[t];
            if (p.used && p.client == i && p.session == c.session && p.ctag == oldtag &&
                p.type != P9_TFLUSH) {
                found = t;
            }
        }
        if (found < 0) {
            answer_rflush(r, i, size, ctag);
            return true;
        }
        flushed_tag = static_cast<uint16_t>(found);
    }

    if (r.at_server >= PIPELINE_CAP) return false;
    int64_t stag = tag_alloc(r);
    if (stag < 0) return false;
    Pending& p = r.pending[stag];
    p.session = c.session;
    p.ctag = ctag;
    p.type = type;
    p.reserve = room;

    // Fids, mapped in the order the server will see them.
    uint32_t fid = ring_get_le(c.in, at + 7, 4);
    bool map_full = false;
    switch (type) {
        case P9_TATTACH: {  // fid is the new one; afid names an existing fid or none
            int64_t s = new_fid(r, i, fid, p);
            map_full = s < 0;
            if (map_full) break;
            uint32_t afid = ring_get_le(c.in, at + 11, 4);
            ring_put_le(c.in, at + 7, static_cast<uint32_t>(s), 4);
            if (afid != P9_NOFID) ring_put_le(c.in, at + 11, fid_to_server(r, i, afid), 4);
            break;
        }
        case P9_TWALK: {  // newfid is new unless it is fid itself
            uint32_t newfid = ring_get_le(c.in, at + 11, 4);
            uint32_t sfid = fid_to_server(r, i, fid);
            int64_t s = newfid == fid ? sfid : new_fid(r, i, newfid, p);
            map_full = s < 0;
            if (map_full) break;
            p.nwname = static_cast<uint16_t>(ring_get_le(c.in, at + 15, 2));
            ring_put_le(c.in, at + 7, sfid, 4);
            ring_put_le(c.in, at + 11, static_cast<uint32_t>(s), 4);
            break;
        }
        case P9_TAUTH:
            if (fid != P9_NOFID) ring_put_le(c.in, at + 7, fid_to_server(r, i, fid), 4);
            break;
        case P9_TCLUNK:
        case P9_TREMOVE: {  // the server releases the fid whatever it answers
            int64_t s = fid_find(r, i, fid);
            ring_put_le(c.in, at + 7, s < 0 ? SFID_UNKNOWN : static_cast<uint32_t>(s), 4);
            if (s >= 0) fid_unmap(r, static_cast<uint32_t>(s));
            break;
        }
        case P9_TFLUSH:
            ring_put_le(c.in, at + 7, flushed_tag, 2);
            break;
        case P9_TREAD: {
            uint32_t count = ring_get_le(c.in, at + 19, 4);
            uint64_t most = room - RREAD_FIXED;
            if (count > most) ring_put_le(c.in, at + 19, static_cast<uint32_t>(most), 4);
            ring_put_le(c.in, at + 7, fid_to_server(r, i, fid), 4);
            break;
        }
        default:  // Topen, Tcreate, Twrite, Tstat, Twstat
            ring_put_le(c.in, at + 7, fid_to_server(r, i, fid), 4);
            break;
    }
    if (map_full) {
        p.used = false;
        consume_local(c, size);
        answer_rerror(r, i, ctag, tolvane::ERR_FID_TABLE_FULL);
        return true;
    }
    p.client = static_cast<int16_t>(i);
    ring_put_le(c.in, at + 5, static_cast<uint16_t>(stag), 2);

    c.next += size;
    c.consumed = c.next;
    c.unsent++;
    c.owed++;
    c.reserved += room;
    r.at_server++;
    queue_push(r, static_cast<int16_t>(i), at, size);
    return true;
}

bool client_ready(const Relay& r, int i) {
    const Client& c = r.clients[i];
    return c.state == CLIENT_OPEN && c.next < c.scanned;
}

// Round-robin: one request from each client with one queued, turn after
// turn, while the server's pipeline has room (requests answered here need
// none of it).
void commit_round(Relay& r) {
    bool progress = true;
    while (progress) {
        progress = false;
        for (int k = 0; k < RELAY_CLIENT_CAP; k++) {
            int i = (r.rr + k) % RELAY_CLIENT_CAP;
            if (client_ready(r, i) && commit_one(r, i)) {
                progress = true;
                r.rr = (i + 1) % RELAY_CLIENT_CAP;
            }
        }
    }
}

// ---- Replies from the server ----

// Whether the reply in the reply ring at `at` made the new fid of request p.
bool made_fid(const Relay& r, const Pending& p, uint64_t at) {
    uint8_t type = ring_at(r.replies, at + 4);
    if (p.type == P9_TATTACH) return type == P9_RATTACH;
    return type == P9_RWALK && ring_get_le(r.replies, at + 7, 2) == p.nwname;
}

// Rerror texts for a client of the Linux dialect.
void deliver_rerror_linux(Relay& r, int i, uint64_t at, uint32_t size) {
    uint8_t text[SMALL_REPLY];
    uint64_t len = ring_get_le(r.replies, at + 7, 2);
    if (len > sizeof text || 9 + len != size) {
        deliver(r, i, r.replies, at, size);
        return;
    }
    ring_copy_out(r.replies, at + 9, len, text);
    uint16_t tag = static_cast<uint16_t>(ring_get_le(r.replies, at + 5, 2));
    answer_rerror(r, i, tag, std::string_view(reinterpret_cast<const char*>(text), len));
}

// Hands every whole reply read so far to its client. -1 when the server's
// stream cannot be followed (a bad size or a tag the relay did not send).
int take_replies(Relay& r) {
    while (ring_used(r.replies) >= MSG_MIN) {
        uint64_t at = r.replies.head;
        uint32_t size = ring_get_le(r.replies, at, 4);
        if (size < MSG_MIN || size > SERVER_MSIZE) return -1;
        if (ring_used(r.replies) < size) break;
        uint16_t stag = static_cast<uint16_t>(ring_get_le(r.replies, at + 5, 2));
        if (stag >= TAG_CAP || !r.pending[stag].used) return -1;
        Pending& p = r.pending[stag];
        p.used = false;

        if (p.map < FIDMAP_CAP && r.fids[p.map].gen == p.map_gen) {
            FidMap& f = r.fids[p.map];
            f.makers--;
            if (made_fid(r, p, at)) f.made = true;
            if (!f.made && f.makers == 0) fid_unmap(r, p.map);
        }
        if (p.client != OWN) {
            Client& c = r.clients[p.client];
            r.at_server--;
            c.owed--;
            c.reserved -= c.reserved < p.reserve ? c.reserved : p.reserve;
            if (c.state == CLIENT_OPEN && p.session == c.session) {
                ring_put_le(r.replies, at + 5, p.ctag, 2);
                if (c.dialect == RELAY_DIALECT_LINUX && ring_at(r.replies, at + 4) == P9_RERROR) {
                    deliver_rerror_linux(r, p.client, at, size);
                } else {
                    deliver(r, p.client, r.replies, at, size);
                }
            }
        }
        r.replies.head += size;
    }
    return 0;
}

// Reads what the server has written. -1 at its end of stream or a failure.
int server_read(Relay& r) {
    iovec iov[2];
    int n = ring_free_iov(r.replies, REPLY_RING, iov);
    if (n == 0) return 0;  // cannot happen: replies are taken whole as they come
    ssize_t got = recv_iov(r.posted_fd, iov, n);
    if (got < 0) return would_block(errno) ? 0 : -1;
    if (got == 0) return -1;
    r.replies.tail += static_cast<uint64_t>(got);
    return take_replies(r);
}

// ---- The loop ----

void open_stream(Relay& r) {
    static constexpr uint8_t ours[] = {'9', 'P', '2', '0', '0', '0'};
    uint8_t msg[32];
    p9_cursor c;
    p9_cursor_init(&c, msg, sizeof msg);
    int64_t t = tag_alloc(r);
    int32_t n = p9_emit_tversion(&c, static_cast<uint16_t>(t), SERVER_MSIZE, ours, sizeof ours);
    if (t >= 0 && n > 0) own_request(r, msg, static_cast<uint64_t>(n));
}

void finish_clients(Relay& r) {
    for (int i = 0; i < RELAY_CLIENT_CAP; i++) {
        Client& c = r.clients[i];
        // A client that has sent its last request and has every reply.
        if (c.state == CLIENT_OPEN && c.eof && c.next == c.scanned && c.owed == 0 &&
            ring_used(c.out) == 0) {
            client_close(r, i);
        }
        if (c.state == CLIENT_CLOSING && c.unsent == 0 && c.owed == 0) c.state = CLIENT_FREE;
    }
}

bool replies_owed(const Relay& r) {
    for (const Client& c : r.clients) {
        if (c.state == CLIENT_OPEN && (c.owed > 0 || ring_used(c.out) > 0)) return true;
    }
    return false;
}

// One turn of the loop: waits up to wait_ms (-1: until something happens)
// for any descriptor, then does everything that can be done. False once the
// relay is done: stopped, quiesced, or the server's stream is gone.
bool step(Relay& r, int wait_ms) {
    constexpr int POLL_CAP = 1 + RELAY_LISTEN_CAP + 1 + RELAY_CLIENT_CAP + REFUSE_CAP;
    int mode = r.mode.load();
    if (mode == RELAY_STOP) return false;
    bool running = mode == RELAY_RUN;
    int timeout = wait_ms;
    int64_t now = now_ms();
    if (!running) {
        if (r.quiesce_deadline < 0) r.quiesce_deadline = now + QUIESCE_TOTAL_MS;
        int64_t left = r.quiesce_deadline - now;
        if (!replies_owed(r) || left <= 0) return false;
        int idle = static_cast<int>(left < QUIESCE_IDLE_MS ? left : QUIESCE_IDLE_MS);
        if (timeout < 0 || idle < timeout) timeout = idle;
    }
    for (const Refused& f : r.refused) {
        if (f.fd >= 0) {
            int64_t left = f.deadline > now ? f.deadline - now : 0;
            if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
        }
    }

    pollfd p[POLL_CAP];
    int np = 0;
    p[np++] = {r.wake[0], POLLIN, 0};
    int first_listen = np;
    for (int l = 0; l < r.nlisten; l++) p[np++] = {running ? r.listen_fd[l] : -1, POLLIN, 0};
    int server_at = np;
    p[np++] = {r.posted_fd, static_cast<short>(POLLIN | (r.queue_len > 0 ? POLLOUT : 0)), 0};
    int first_client = np;
    for (const Client& c : r.clients) {
        short ev = 0;
        if (c.state == CLIENT_OPEN) {
            if (running && !c.eof && ring_room(c.in) > 0) ev |= POLLIN;
            if (ring_used(c.out) > 0) ev |= POLLOUT;
        }
        p[np++] = {ev != 0 ? c.fd : -1, ev, 0};
    }
    int first_refused = np;
    for (const Refused& f : r.refused) p[np++] = {f.fd, POLLIN, 0};

    int n = poll(p, static_cast<nfds_t>(np), timeout);
    if (n < 0) return errno == EINTR;
    if (n == 0 && !running && wait_ms != 0) return false;  // quiescing, and nothing more came
    if (p[0].revents != 0) {
        char sink[64];
        while (read(r.wake[0], sink, sizeof sink) > 0) {
        }
        return true;  // the mode changed
    }

    // Clients first, so that one that hung up frees its place for the next.
    constexpr short READABLE = POLLIN | POLLHUP | POLLERR;
    for (int i = 0; i < RELAY_CLIENT_CAP; i++) {
        short re = p[first_client + i].revents;
        if (re == 0 || r.clients[i].state != CLIENT_OPEN) continue;
        if (re & POLLHUP) {  // gone both ways; a shutdown of its sending side is no hang-up
            client_drop(r, i);
            continue;
        }
        if (re & (POLLOUT | POLLERR)) flush_to_client(r, i);
        if (r.clients[i].state == CLIENT_OPEN && (p[first_client + i].events & POLLIN) &&
            (re & READABLE)) {
            client_read(r, i);
        }
    }
    for (int l = 0; l < r.nlisten; l++) {
        if (!(p[first_listen + l].revents & POLLIN)) continue;
        int fd = accept4(r.listen_fd[l], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            client_open(r, fd, r.listen_dialect[l]);
        } else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
            poll(nullptr, 0, ACCEPT_RETRY_MS);  // e.g. out of descriptors
        }
    }
    now = now_ms();
    for (int k = 0; k < REFUSE_CAP; k++) {
        Refused& f = r.refused[k];
        if (f.fd < 0) continue;
        if (p[first_refused + k].revents != 0) {
            refused_read(f);
        } else if (now >= f.deadline) {
            close(f.fd);
            f.fd = -1;
        }
    }

    if ((p[server_at].revents & READABLE) && server_read(r) < 0) {
        return false;  // the server's stream cannot be followed
    }
    if (running) commit_round(r);
    clunk_orphans(r);
    if (flush_to_server(r) < 0) return false;  // the server's end is gone
    finish_clients(r);
    return true;
}

void close_clients(Relay& r) {
    for (Client& c : r.clients) {
        if (c.fd >= 0) close(c.fd);
        c.fd = -1;
    }
    for (Refused& f : r.refused) {
        if (f.fd >= 0) close(f.fd);
        f.fd = -1;
    }
}

void* relay_main(void* arg) {
    Relay& r = *static_cast<Relay*>(arg);
    while (step(r, -1)) {
    }
    close_clients(r);
    return nullptr;
}

void relay_signal(Relay* r, int mode) {
    r->mode.store(mode);
    char c = 1;
    ssize_t w = write(r->wake[1], &c, 1);
    (void)w;  // a full pipe means a wake-up is pending anyway
}

}  // namespace

Relay* relay_create(int posted_fd, const int* listen_fds, const uint8_t* dialects, int n) {
    // Mapped rather than allocated: the stand-in then needs nothing of the
    // C++ library at run time. Pages of a client's rings are touched only
    // once that client has used them.
    void* mem = mmap(nullptr, sizeof(Relay), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
    if (mem == MAP_FAILED || n < 0 || n > RELAY_LISTEN_CAP) {
        int e = mem == MAP_FAILED ? ENOMEM : EINVAL;
        if (mem != MAP_FAILED) munmap(mem, sizeof(Relay));
        close(posted_fd);
        for (int l = 0; l < n && l < RELAY_LISTEN_CAP; l++) close(listen_fds[l]);
        errno = e;
        return nullptr;
    }
    Relay* r = new (mem) Relay;
    r->posted_fd = posted_fd;
    r->nlisten = n;
    for (int l = 0; l < n; l++) {
        r->listen_fd[l] = listen_fds[l];
        r->listen_dialect[l] = dialects[l];
    }
    ring_init(r->own, r->own_buf, OWN_RING);
    ring_init(r->replies, r->reply_buf, REPLY_RING);
    if (pipe2(r->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        int e = errno;
        relay_free(r);
        errno = e;
        return nullptr;
    }

    open_stream(*r);
    return r;
}

Relay* relay_start(int posted_fd, const int* listen_fds, const uint8_t* dialects, int n) {
    Relay* r = relay_create(posted_fd, listen_fds, dialects, n);
    if (r == nullptr) return nullptr;
    // The thread inherits a mask with every signal blocked, so stop requests
    // reach the server's thread.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int e = pthread_create(&r->thread, nullptr, relay_main, r);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (e != 0) {
        relay_free(r);
        errno = e;
        return nullptr;
    }
    r->started = true;
    return r;
}

bool relay_step(Relay* r, int wait_ms) {
    return step(*r, wait_ms);
}

void relay_adopt(Relay* r, int fd, uint8_t dialect) {
    client_open(*r, fd, dialect);
}

void relay_quiesce(Relay* r) {
    if (r->started) relay_signal(r, RELAY_QUIESCE);
}

void relay_stop(Relay* r) {
    if (r->started) relay_signal(r, RELAY_STOP);
}

void relay_join(Relay* r) {
    if (r->started) pthread_join(r->thread, nullptr);
    r->started = false;
}

void relay_free(Relay* r) {
    relay_stop(r);
    relay_join(r);
    close_clients(*r);
    for (int fd : {r->posted_fd, r->wake[0], r->wake[1]}) {
        if (fd >= 0) close(fd);
    }
    for (int l = 0; l < r->nlisten; l++) close(r->listen_fd[l]);
    r->~Relay();
    munmap(r, sizeof(Relay));
}
