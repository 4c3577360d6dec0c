// The multiplexer behind a posted name: many 9P2000 clients on one server
// stream, inside the server's own reads and writes of that stream.
//
// On velmor the kernel's mount driver shares one posted channel among every
// program that mounts it, with no thread of its own: the process that waits
// for a reply does the reading. Here the server's own stream calls play that
// part. The stand-in made the pair whose one end was posted, so it knows the
// other end as the server's: a sys_read of it waits (poll) on the name's
// listening sockets and its clients, takes the next whole request round-
// robin, lets the session core (session.cpp) check and map it, and hands the
// server the bytes of that one request; a sys_write of it takes the server's
// one reply, lets the session core map it back, and sends it to its client
// without blocking. The server sees one stream and one request at a time,
// and nothing passes through the pair itself.
//
// Memory. Each client has an input buffer (its requests, handed to the
// server straight from there) and an output ring (replies its socket has not
// taken yet). Before a request goes to the server, room for its largest
// reply is reserved in the output ring, so a reply always has somewhere to
// go and a client that stops reading holds up nobody else: its requests wait
// until it reads again.
//
// Fairness. Clients with whole requests waiting are served round-robin, one
// request each per turn. While requests keep coming, the sockets are looked
// at (without waiting) every POLL_EVERY requests, so new clients, hang-ups and
// pending replies are seen even when nobody ever has to wait.
//
// Over the cap. MUX_CLIENT_CAP clients are served at once. A connection
// beyond them is accepted only when one of REFUSE_CAP places is free; it gets
// Rerror VELMOR_ERR_TOO_MANY with the tag of its first message and is closed.
// Until a place frees, it waits in the listening socket's backlog, so every
// client turned away is told why.
//
// Trace. When a trace is on (trace.h), each client's coming and going, each
// message it sends, each request and reply of the server and each answer of
// the stand-in's own is handed to it.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "errors/errmap.h"
#include "kernel/linux/internal.h"
#include "kernel/linux/ring.h"
#include "kernel/linux/session.h"
#include "kernel/linux/stop.h"
#include "kernel/linux/trace.h"

namespace {

constexpr uint64_t IN_CAP = 2 * SESS_SERVER_MSIZE;    // a client's requests
constexpr uint64_t OUT_RING = 4 * SESS_SERVER_MSIZE;  // a client's replies
constexpr int REFUSE_CAP = 8;                         // clients over the cap, being told so
constexpr int POLL_EVERY = 16;                        // requests taken between looks around
constexpr int QUIESCE_IDLE_MS = 200;
constexpr int64_t QUIESCE_TOTAL_MS = 2000;
constexpr int REFUSE_WAIT_MS = 2000;  // for a refused client's first message
constexpr int ACCEPT_RETRY_MS = 100;
// The longest a read blocked on the one client waits before it looks around
// (see read_one_client).
constexpr int ONE_CLIENT_WAIT_S = 1;

static_assert(OUT_RING >= 2 * SESS_SERVER_MSIZE + SESS_SMALL_REPLY);
static_assert((OUT_RING & (OUT_RING - 1)) == 0, "a ring's size is a power of two");

enum : uint8_t { CLIENT_FREE = 0, CLIENT_OPEN = 1 };
constexpr int16_t NONE = -2;  // no request in hand

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool would_block(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Client {
    int fd = -1;
    uint8_t state = CLIENT_FREE;
    uint8_t dialect = SESS_DIALECT_NATIVE;
    bool eof = false;       // sent its last byte
    uint64_t head = 0;      // the next request not yet taken
    uint64_t scanned = 0;   // whole messages end here
    uint64_t tail = 0;      // bytes received end here
    Ring out;               // replies not yet taken by the client
    uint64_t reserved = 0;  // room in out held for the reply to come
};

struct Refused {
    int fd = -1;
    uint8_t hdr[P9_HEADER_LEN];
    uint32_t have = 0;
    int64_t deadline = 0;
};

}  // namespace

struct Mux {
    int server_fd = -1;  // the descriptor the server reads and writes
    int posted_fd = -1;  // the pair's posted end, held so the pair stays whole
    int listen_fd[MUX_LISTEN_CAP] = {-1, -1};
    uint8_t listen_dialect[MUX_LISTEN_CAP] = {};
    int nlisten = 0;

    Session sess;
    Client clients[MUX_CLIENT_CAP];
    Refused refused[REFUSE_CAP];
    // Bit i: client i is open; client i has a whole request waiting. The
    // loops on every request's path go by these rather than over every place.
    uint32_t open_mask = 0;
    uint32_t ready_mask = 0;
    int nrefused = 0;
    int rr = 0;          // the client looked at first in the next turn
    int since_poll = 0;  // requests taken since the sockets were last looked at

    // The request in hand: whose (NONE, SESS_OWN or a client), where its
    // bytes are, and how many the server has read.
    int16_t cur = NONE;
    const uint8_t* cur_msg = nullptr;
    uint32_t cur_len = 0;
    uint32_t cur_pos = 0;
    bool at_server = false;  // handed whole; its reply is owed
    uint8_t last_hdr[P9_HEADER_LEN] = {};

    uint8_t answer[SESS_SMALL_REPLY];
    uint8_t alt[SESS_SMALL_REPLY];
    uint8_t in_buf[MUX_CLIENT_CAP][IN_CAP];
    uint8_t out_buf[MUX_CLIENT_CAP][OUT_RING];
};

namespace {

static_assert(MUX_CLIENT_CAP <= 32, "a client is a bit of a 32-bit mask");

constexpr uint32_t bit(int i) {
    return uint32_t{1} << i;
}

// Keeps client i's bit in ready_mask true to its buffer.
void note_ready(Mux& m, int i) {
    const Client& c = m.clients[i];
    if (c.state == CLIENT_OPEN && c.head < c.scanned) {
        m.ready_mask |= bit(i);
    } else {
        m.ready_mask &= ~bit(i);
    }
}

// ---- Replies to clients ----

void client_drop(Mux& m, int i);

// Writes what client i's output ring holds. Drops the client when its socket
// is gone.
void flush_to_client(Mux& m, int i) {
    Client& c = m.clients[i];
    while (c.state == CLIENT_OPEN && ring_used(c.out) > 0) {
        iovec iov[2];
        int n = ring_iov(c.out, c.out.head, ring_used(c.out), iov);
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = static_cast<size_t>(n);
        ssize_t w = sendmsg(c.fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w < 0) {
            if (!would_block(errno)) client_drop(m, i);
            return;
        }
        c.out.head += static_cast<uint64_t>(w);
    }
}

// Hands client i a message: straight to its socket when nothing is waiting
// before it, the rest into its output ring.
void deliver(Mux& m, int i, const uint8_t* msg, uint64_t len) {
    Client& c = m.clients[i];
    if (c.state != CLIENT_OPEN) return;
    uint64_t sent = 0;
    if (ring_used(c.out) == 0) {
        ssize_t w = send(c.fd, msg, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w < 0 && !would_block(errno)) {
            client_drop(m, i);
            return;
        }
        if (w > 0) sent = static_cast<uint64_t>(w);
    }
    if (sent == len) return;
    if (ring_room(c.out) < len - sent) {  // more than was held for it: cannot happen
        client_drop(m, i);
        return;
    }
    ring_append(c.out, msg + sent, len - sent);
}

// ---- Client life ----

void client_close(Mux& m, int i) {
    if (trace_on) trace_client_close(&m, i);
    Client& c = m.clients[i];
    if (c.fd >= 0) close(c.fd);
    c = Client{};
    m.open_mask &= ~bit(i);
    m.ready_mask &= ~bit(i);
    sess_close(m.sess, i);
}

// Drops client i now: what it queued is discarded, a reply still owed to it
// goes nowhere, and its fids are clunked at the server.
void client_drop(Mux& m, int i) {
    if (m.clients[i].state == CLIENT_OPEN) client_close(m, i);
}

bool refused_free(const Mux& m) {
    return m.nrefused < REFUSE_CAP;
}

bool client_free(const Mux& m) {
    return m.open_mask != (MUX_CLIENT_CAP == 32 ? ~uint32_t{0} : bit(MUX_CLIENT_CAP) - 1);
}

void client_open(Mux& m, int fd, uint8_t dialect) {
    for (int i = 0; i < MUX_CLIENT_CAP; i++) {
        Client& c = m.clients[i];
        if (c.state != CLIENT_FREE) continue;
        c = Client{};
        c.fd = fd;
        c.state = CLIENT_OPEN;
        c.dialect = dialect;
        ring_init(c.out, m.out_buf[i], OUT_RING);
        m.open_mask |= bit(i);
        sess_open(m.sess, i, dialect);
        if (trace_on) trace_client_open(&m, i, dialect);
        return;
    }
    for (Refused& f : m.refused) {
        if (f.fd < 0) {
            f.fd = fd;
            f.have = 0;
            f.deadline = now_ms() + REFUSE_WAIT_MS;
            m.nrefused++;
            return;
        }
    }
    close(fd);  // the caller checked for a free place: cannot happen
}

// A refused client gets Rerror VELMOR_ERR_TOO_MANY with the tag of its first
// message (usually its Tversion), and is closed.
void refused_read(Mux& m, Refused& f) {
    ssize_t n = recv(f.fd, f.hdr + f.have, P9_HEADER_LEN - f.have, MSG_DONTWAIT);
    if (n < 0 && would_block(errno)) return;
    if (n > 0) f.have += static_cast<uint32_t>(n);
    if (n > 0 && f.have < P9_HEADER_LEN) return;
    if (f.have == P9_HEADER_LEN) {
        uint8_t msg[SESS_SMALL_REPLY];
        p9_cursor c;
        p9_cursor_init(&c, msg, sizeof msg);
        uint16_t tag = static_cast<uint16_t>(f.hdr[AT_TAG] | f.hdr[AT_TAG + 1] << 8);
        int32_t len = p9_emit_rerror(&c, tag, reinterpret_cast<const uint8_t*>(VELMOR_ERR_TOO_MANY),
                                     sizeof VELMOR_ERR_TOO_MANY - 1);
        if (len > 0) {
            if (trace_on) trace_refused(msg, static_cast<uint32_t>(len));
            ssize_t w = send(f.fd, msg, static_cast<size_t>(len), MSG_DONTWAIT | MSG_NOSIGNAL);
            (void)w;  // best effort: the client is being turned away
        }
    }
    close(f.fd);
    f.fd = -1;
    m.nrefused--;
}

// ---- Reading a client's requests ----

// Frames the whole messages client i's buffer holds. A size field that
// cannot be framed drops the client: where its next message would begin
// cannot be known. Whether a whole request is waiting.
bool frame_requests(Mux& m, int i) {
    Client& c = m.clients[i];
    uint8_t* buf = m.in_buf[i];
    while (c.tail - c.scanned >= 4) {
        uint32_t size = le32(buf + c.scanned);
        if (size < P9_HEADER_LEN || size > SESS_SERVER_MSIZE) {
            client_drop(m, i);
            return false;
        }
        if (c.tail - c.scanned < size) break;
        if (trace_on) trace_client_sent(&m, i, buf + c.scanned, size);
        sess_scan(buf, c.head, c.scanned);
        c.scanned += size;
    }
    note_ready(m, i);
    return c.head < c.scanned;
}

// Reads what client i has sent.
void client_read(Mux& m, int i) {
    Client& c = m.clients[i];
    uint8_t* buf = m.in_buf[i];
    // A message begun that cannot end inside the buffer is moved to the
    // front, with whatever waits before it; that is rare, as messages are
    // mostly taken before the next arrives.
    uint64_t need_end = c.tail - c.scanned >= 4 ? c.scanned + le32(buf + c.scanned) : c.tail + 4;
    if (c.head == c.tail) {
        c.head = c.scanned = c.tail = 0;
    } else if (c.head > 0 && (need_end > IN_CAP || c.tail == IN_CAP)) {
        memmove(buf, buf + c.head, c.tail - c.head);
        c.tail -= c.head;
        c.scanned -= c.head;
        c.head = 0;
    }
    if (c.tail == IN_CAP) return;
    ssize_t got = recv(c.fd, buf + c.tail, IN_CAP - c.tail, MSG_DONTWAIT);
    if (got < 0) {
        if (!would_block(errno)) client_drop(m, i);
        return;
    }
    if (got == 0) {
        c.eof = true;
        c.tail = c.scanned;  // half a message goes nowhere
        return;
    }
    c.tail += static_cast<uint64_t>(got);
    frame_requests(m, i);
}

// ---- Taking the next request ----

// Takes client i's next request: answered here, or put in hand for the
// server. False when it has to wait (no room for its reply yet).
bool take_one(Mux& m, int i) {
    Client& c = m.clients[i];
    uint8_t* msg = m.in_buf[i] + c.head;
    uint32_t size = le32(msg);
    uint32_t room = sess_reply_room(m.sess, i, msg);
    if (ring_room(c.out) < c.reserved + room) return false;
    uint32_t answer_len = 0;
    if (trace_on) trace_take(i, msg, size);
    SessAction act = sess_take(m.sess, i, msg, size, m.answer, &answer_len);
    if (act == SESS_ANSWER) {
        if (trace_on) trace_answer(&m, i, m.answer, answer_len);
        c.head += size;
        note_ready(m, i);
        if (answer_len > 0) deliver(m, i, m.answer, answer_len);
        return true;
    }
    if (act == SESS_LATER) {  // the stand-in's own requests come next
        c.head += size;
        note_ready(m, i);
        c.reserved += room;
        return true;
    }
    c.reserved += room;
    m.cur = static_cast<int16_t>(i);
    m.cur_msg = msg;
    m.cur_len = size;
    m.cur_pos = 0;
    return true;
}

// Puts the stand-in's own next request in hand, if it has one.
bool take_own(Mux& m) {
    uint32_t own = sess_own_next(m.sess);
    if (own == 0) return false;
    m.cur = SESS_OWN;
    m.cur_msg = m.sess.own.data();
    m.cur_len = own;
    m.cur_pos = 0;
    return true;
}

// Puts the next request in hand: the stand-in's own first, then the
// clients' in turn, answering here what needs no server. False when none is
// waiting.
bool take_next(Mux& m) {
    if (take_own(m)) return true;
    bool progress = true;
    while (progress && m.ready_mask != 0) {
        progress = false;
        for (int k = 0; k < MUX_CLIENT_CAP; k++) {
            int i = (m.rr + k) % MUX_CLIENT_CAP;
            if ((m.ready_mask & bit(i)) == 0 || !take_one(m, i)) continue;
            progress = true;
            m.rr = (i + 1) % MUX_CLIENT_CAP;
            if (m.cur != NONE) return true;
            // An answer given here can free a session's fids: they go first.
            if (take_own(m)) return true;
        }
    }
    return false;
}

// Closes the clients that sent their last request and have every reply.
// Whether it closed any (their fids are then to be clunked).
bool finish_clients(Mux& m) {
    bool closed = false;
    for (int i = 0; i < MUX_CLIENT_CAP; i++) {
        if ((m.open_mask & bit(i)) == 0) continue;
        const Client& c = m.clients[i];
        bool owed = m.cur == i;
        if (c.state == CLIENT_OPEN && c.eof && c.head == c.scanned && !owed &&
            ring_used(c.out) == 0) {
            client_close(m, i);
            closed = true;
        }
    }
    return closed;
}

// ---- Waiting ----

// Looks at every socket, waiting up to wait_ms (-1: until something happens,
// 0: not at all), and does what can be done: accepts, reads requests, sends
// pending replies, turns clients away. A stop request ends the wait.
void look_around(Mux& m, int wait_ms, bool stoppable) {
    constexpr int POLL_CAP = MUX_LISTEN_CAP + MUX_CLIENT_CAP + REFUSE_CAP;
    int timeout = wait_ms;
    int64_t now = m.nrefused > 0 ? now_ms() : 0;
    for (const Refused& f : m.refused) {
        if (f.fd < 0) continue;
        int64_t left = f.deadline > now ? f.deadline - now : 0;
        if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
    }
    // Only what may have something to say: listeners while a place is free,
    // open clients with room for requests or replies waiting, refused ones.
    pollfd p[POLL_CAP];
    int who[POLL_CAP];  // client index, or -1 - listener, or -100 - refused
    int np = 0;
    if (client_free(m) || refused_free(m)) {
        for (int l = 0; l < m.nlisten; l++) {
            who[np] = -1 - l;
            p[np++] = {m.listen_fd[l], POLLIN, 0};
        }
    }
    for (int i = 0; i < MUX_CLIENT_CAP; i++) {
        if ((m.open_mask & bit(i)) == 0) continue;
        const Client& c = m.clients[i];
        short ev = 0;
        if (!c.eof && (c.tail < IN_CAP || c.head > 0)) ev |= POLLIN;
        if (ring_used(c.out) > 0) ev |= POLLOUT;
        if (ev == 0) continue;
        who[np] = i;
        p[np++] = {c.fd, ev, 0};
    }
    for (int k = 0; k < REFUSE_CAP && m.nrefused > 0; k++) {
        if (m.refused[k].fd < 0) continue;
        who[np] = -100 - k;
        p[np++] = {m.refused[k].fd, POLLIN, 0};
    }

    int n = stoppable ? stoppable_poll(p, np, timeout) : poll(p, static_cast<nfds_t>(np), timeout);
    m.since_poll = 0;
    if (n < 0) return;

    // Clients first, so that one that hung up frees its place for the next.
    constexpr short READABLE = POLLIN | POLLHUP | POLLERR;
    for (int k = 0; k < np && n > 0; k++) {
        int i = who[k];
        short re = p[k].revents;
        if (i < 0 || re == 0 || m.clients[i].state != CLIENT_OPEN) continue;
        if (re & POLLHUP) {  // gone both ways; a shutdown of its sending side is no hang-up
            client_drop(m, i);
            continue;
        }
        if (re & (POLLOUT | POLLERR)) flush_to_client(m, i);
        if (m.clients[i].state == CLIENT_OPEN && (p[k].events & POLLIN) && (re & READABLE) &&
            !m.clients[i].eof) {
            client_read(m, i);
        }
    }
    for (int k = 0; k < np && n > 0; k++) {
        if (who[k] >= 0 || who[k] <= -100 || !(p[k].revents & POLLIN)) continue;
        int l = -1 - who[k];
        while (client_free(m) || refused_free(m)) {
            // Blocking, for read_one_client; every other call on it says
            // MSG_DONTWAIT.
            int fd = accept4(m.listen_fd[l], nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                timeval wait = {ONE_CLIENT_WAIT_S, 0};
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
                client_open(m, fd, m.listen_dialect[l]);
                continue;
            }
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                poll(nullptr, 0, ACCEPT_RETRY_MS);  // e.g. out of descriptors
            }
            break;
        }
    }
    if (m.nrefused == 0) return;
    now = now_ms();
    for (int k = 0; k < np; k++) {
        if (who[k] > -100) continue;
        Refused& f = m.refused[-100 - who[k]];
        if (f.fd < 0) continue;
        if (p[k].revents != 0) {
            refused_read(m, f);
        } else if (now >= f.deadline) {
            close(f.fd);
            f.fd = -1;
            m.nrefused--;
        }
    }
}

// With one client and nothing else to watch, waiting for its next request
// needs no poll: a blocking read of its socket waits and reads at once, as a
// read of standard input does, one system call instead of two. A new
// connection ends that read (the listening sockets send SIGIO), and so does a
// stop request; one that comes just before the read begins is seen within
// ONE_CLIENT_WAIT_S (the socket's receive timeout). True when the read
// brought bytes or the end of the client's stream.
bool read_one_client(Mux& m) {
    bool one = m.open_mask != 0 && (m.open_mask & (m.open_mask - 1)) == 0;
    if (m.nrefused > 0 || m.ready_mask != 0 || !one) return false;
    int i = __builtin_ctz(m.open_mask);
    Client& c = m.clients[i];
    if (c.eof || ring_used(c.out) > 0 || c.tail == IN_CAP || wake_take()) return false;
    if (c.head == c.tail) c.head = c.scanned = c.tail = 0;
    if (IN_CAP - c.tail < SESS_SERVER_MSIZE) return false;  // room is made by client_read
    iovec iov = {m.in_buf[i] + c.tail, IN_CAP - c.tail};
    ssize_t got = wakeable_read(c.fd, &iov, 1, true, true);
    if (got < 0) return false;  // woken, stopped, timed out, or a socket that does not block
    if (got == 0) {
        c.eof = true;
        c.tail = c.scanned;  // half a message goes nowhere
        return true;
    }
    c.tail += static_cast<uint64_t>(got);
    frame_requests(m, i);
    return true;
}

// Puts the next request in hand, waiting for one up to wait_ms (-1: for as
// long as it takes). False when none came, or a stop was requested.
bool next_request(Mux& m, int wait_ms) {
    int64_t deadline = wait_ms < 0 ? -1 : now_ms() + wait_ms;
    for (;;) {
        if (stop_is_requested()) return false;
        if (m.since_poll >= POLL_EVERY) look_around(m, 0, false);
        if (take_next(m)) {
            m.since_poll++;
            return true;
        }
        if (finish_clients(m)) continue;  // its fids are clunked before anything waits
        int left = -1;
        if (deadline >= 0) {
            int64_t d = deadline - now_ms();
            left = d > 0 ? static_cast<int>(d) : 0;
        }
        if (left < 0 && read_one_client(m)) continue;
        look_around(m, left, true);
        if (left == 0 && !take_next(m)) return false;
        if (m.cur != NONE) {
            m.since_poll++;
            return true;
        }
    }
}

void close_all(Mux& m) {
    for (Client& c : m.clients) {
        if (c.fd >= 0) close(c.fd);
        c = Client{};
    }
    for (Refused& f : m.refused) {
        if (f.fd >= 0) close(f.fd);
        f.fd = -1;
    }
    m.open_mask = m.ready_mask = 0;
    m.nrefused = 0;
}

}  // namespace

Mux* mux_create(int server_fd, int posted_fd, const int* listen_fds, const uint8_t* dialects,
                int n) {
    // Mapped rather than allocated: the stand-in then needs nothing of the
    // C++ library at run time. Pages of a client's buffers are touched only
    // once that client has used them.
    void* mem =
        mmap(nullptr, sizeof(Mux), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED || n < 0 || n > MUX_LISTEN_CAP) {
        int e = mem == MAP_FAILED ? ENOMEM : EINVAL;
        if (mem != MAP_FAILED) munmap(mem, sizeof(Mux));
        errno = e;
        return nullptr;
    }
    Mux* m = new (mem) Mux;
    m->server_fd = server_fd;
    m->posted_fd = posted_fd;
    m->nlisten = n;
    for (int l = 0; l < n; l++) {
        m->listen_fd[l] = listen_fds[l];
        m->listen_dialect[l] = dialects[l];
    }
    sess_init(m->sess);
    // A connection waiting ends a read blocked on the one client.
    wake_arm();
    for (int l = 0; l < n; l++) {
        fcntl(listen_fds[l], F_SETOWN, getpid());
        fcntl(listen_fds[l], F_SETFL, fcntl(listen_fds[l], F_GETFL) | O_ASYNC);
    }
    return m;
}

int mux_server_fd(const Mux* m) {
    return m->server_fd;
}

int64_t mux_read(Mux* m, void* buf, uint64_t n) {
    if (n == 0) return 0;
    if (m->cur == NONE || m->at_server) {
        // A reply still owed means the server read on without answering:
        // its request is over all the same.
        if (m->at_server) {
            m->at_server = false;
            uint32_t alt_len;
            (void)sess_reply(m->sess, m->alt, 0, m->alt, &alt_len);
            if (m->cur >= 0) m->clients[m->cur].reserved = 0;
            m->cur = NONE;
        }
        if (!next_request(*m, -1)) return 0;
    }
    uint64_t left = m->cur_len - m->cur_pos;
    uint64_t k = n < left ? n : left;
    memcpy(buf, m->cur_msg + m->cur_pos, k);
    if (m->cur_pos == 0) {
        memcpy(m->last_hdr, m->cur_msg, P9_HEADER_LEN);
        if (trace_on) trace_server_reads(m, m->cur, m->cur_msg, m->cur_len);
    }
    m->cur_pos += static_cast<uint32_t>(k);
    if (m->cur_pos == m->cur_len) {
        m->at_server = true;
        if (m->cur >= 0) {
            m->clients[m->cur].head += m->cur_len;
            note_ready(*m, m->cur);
        }
    }
    return static_cast<int64_t>(k);
}

int64_t mux_write(Mux* m, const void* buf, uint64_t n) {
    const auto* reply = static_cast<const uint8_t*>(buf);
    // The server writes each reply whole with one write.
    if (n < P9_HEADER_LEN || n > SESS_SERVER_MSIZE || le32(reply) != n) return -EINVAL;
    if (!m->at_server) {  // answers nothing: goes nowhere
        if (trace_on) {
            trace_server_writes(m, SESS_NOBODY, -1, reply, static_cast<uint32_t>(n), nullptr, 0);
        }
        return static_cast<int64_t>(n);
    }
    m->at_server = false;
    int16_t from = m->cur;
    m->cur = NONE;
    uint32_t alt_len = 0;
    int c = sess_reply(m->sess, reply, static_cast<uint32_t>(n), m->alt, &alt_len);
    if (trace_on) trace_server_writes(m, from, c, reply, static_cast<uint32_t>(n), m->alt, alt_len);
    if (c >= 0) {
        m->clients[c].reserved = 0;
        if (alt_len > 0) {
            deliver(*m, c, m->alt, alt_len);
        } else {
            deliver(*m, c, reply, n);
        }
    }
    return static_cast<int64_t>(n);
}

bool mux_wait(Mux* m, int wait_ms) {
    if (m->cur != NONE && !m->at_server) return true;
    if (m->at_server) return false;  // the server owes a reply first
    return next_request(*m, wait_ms);
}

void mux_adopt(Mux* m, int fd, uint8_t dialect) {
    if (client_free(*m) || refused_free(*m)) {
        client_open(*m, fd, dialect);
    } else {
        close(fd);
    }
}

void mux_last_header(const Mux* m, uint8_t* hdr) {
    memcpy(hdr, m->last_hdr, P9_HEADER_LEN);
}

void mux_quiesce(Mux* m) {
    int64_t deadline = now_ms() + QUIESCE_TOTAL_MS;
    for (;;) {
        bool pending = false;
        for (const Client& c : m->clients) {
            if (c.state == CLIENT_OPEN && ring_used(c.out) > 0) pending = true;
        }
        int64_t left = deadline - now_ms();
        if (!pending || left <= 0) return;
        pollfd p[MUX_CLIENT_CAP];
        int idx[MUX_CLIENT_CAP];
        int np = 0;
        for (int i = 0; i < MUX_CLIENT_CAP; i++) {
            const Client& c = m->clients[i];
            if (c.state == CLIENT_OPEN && ring_used(c.out) > 0) {
                p[np] = {c.fd, POLLOUT, 0};
                idx[np++] = i;
            }
        }
        int wait = static_cast<int>(left < QUIESCE_IDLE_MS ? left : QUIESCE_IDLE_MS);
        int r = poll(p, static_cast<nfds_t>(np), wait);
        if (r == 0) return;  // nobody took anything for a while
        if (r < 0 && errno != EINTR) return;
        for (int k = 0; k < np; k++) {
            if (p[k].revents & POLLHUP) {
                client_drop(*m, idx[k]);
            } else if (p[k].revents != 0) {
                flush_to_client(*m, idx[k]);
            }
        }
    }
}

void mux_free(Mux* m) {
    close_all(*m);
    if (m->posted_fd >= 0) close(m->posted_fd);
    for (int l = 0; l < m->nlisten; l++) close(m->listen_fd[l]);
    m->~Mux();
    munmap(m, sizeof(Mux));
}
