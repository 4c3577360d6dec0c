// The trace of the server's 9P2000 traffic (trace.h): the hooks, the text
// lines (each message written by fcall.cpp), and the capture file.
//
// What is traced. On standard input and output: the bytes the server reads
// from descriptor 0 and writes to descriptor 1; a text line is written once
// a message is whole (the server reads one in pieces). On a posted name,
// every message passes the multiplexer whole: a client's as it arrives, the
// request the server reads, its reply, and what the stand-in answers or asks
// itself.
//
// The capture. A pcap file of raw IPv4 packets, one TCP connection per
// client, each opened with a handshake and closed with FINs, the sequence
// numbers counting every byte so that a reader reassembles the messages. The
// addresses are made up, 127.0.N.H: N is 0 for standard input and output, and
// 1 + its index for a posted name; the server is H = 1, port 564. Clients of
// NAME come from H = 3 and clients of NAME.linux from H = 4, client k from
// port 49152 + k; the stream the server itself reads and writes (the stand-in's
// own requests, the clients' with the server's fids) comes from H = 2, port
// 49152, as does the client on standard input and output.
//
// Output. Each line or packet is written with one write(2), so nothing is
// held back at exit or lost in a crash. The file is opened nonblocking: a
// pipe or terminal that does not keep up loses messages (said once on
// standard error) rather than hold up the server; any other failed write
// ends the trace, with one line on standard error.
#include "kernel/linux/trace.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "9p/9p.h"
#include "kernel/linux/fcall.h"
#include "kernel/linux/internal.h"
#include "kernel/linux/session.h"

bool trace_on = false;

namespace {

constexpr char TRACE_ENV[] = "VELMOR_TRACE";
constexpr char PCAP_SUFFIX[] = ".pcap";
constexpr char LINUX_SUFFIX[] = ".linux";
constexpr int64_t STDIN_FD = 0;   // the stream a server on standard input and output reads
constexpr int64_t STDOUT_FD = 1;  // and the one it writes
constexpr uint64_t KEEP_CAP = P9_MSIZE_MAX;  // bytes kept of a message arriving in pieces
constexpr int POST_CAP = 16;                 // posted names traced
constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr mode_t TRACE_MODE = 0600;  // it holds names and data of the files served

// The capture file.
constexpr uint32_t PCAP_MAGIC = 0xA1B2C3D4;  // microsecond timestamps
constexpr uint16_t PCAP_MAJOR = 2;
constexpr uint16_t PCAP_MINOR = 4;
constexpr uint32_t PCAP_SNAPLEN = 65535;
constexpr uint32_t LINKTYPE_RAW = 101;  // each packet begins with its IP header
constexpr uint32_t PCAP_FILE_HDR = 24;
constexpr uint32_t PCAP_RECORD_HDR = 16;
constexpr uint32_t IP_HDR = 20;
constexpr uint32_t TCP_HDR = 20;
constexpr uint32_t SEGMENT_CAP = 65535 - IP_HDR - TCP_HDR;  // an IPv4 length is 16 bits
constexpr uint8_t IP_VERSION_IHL = 0x45;                    // IPv4, 5 words of header
constexpr uint16_t IP_DONT_FRAGMENT = 0x4000;
constexpr uint8_t IP_TTL = 64;
constexpr uint8_t IP_PROTO_TCP = 6;
constexpr uint8_t TCP_FIN = 0x01;
constexpr uint8_t TCP_SYN = 0x02;
constexpr uint8_t TCP_PSH = 0x08;
constexpr uint8_t TCP_ACK = 0x10;
constexpr uint16_t TCP_WINDOW = 65535;
constexpr uint32_t TCP_ISN = 1;  // each side's first sequence number
constexpr uint16_t P9_PORT = 564;
constexpr uint16_t CLIENT_PORT_BASE = 49152;
constexpr uint32_t CLIENT_PORTS = 16384;
constexpr uint8_t HOST_SERVER = 1;
constexpr uint8_t HOST_STREAM = 2;
constexpr uint8_t HOST_NATIVE = 3;
constexpr uint8_t HOST_LINUX = 4;

enum : uint8_t { CONN_NONE = 0, CONN_OPEN = 1, CONN_CLOSED = 2 };

// One connection: its number k (NAME#k), and as a TCP connection its
// addresses and the next sequence number of each side.
struct Conn {
    uint8_t state = CONN_NONE;
    uint8_t dialect = SESS_DIALECT_NATIVE;
    uint32_t id = 0;
    uint32_t client_ip = 0;
    uint32_t server_ip = 0;
    uint16_t client_port = 0;
    uint32_t client_seq = TCP_ISN;
    uint32_t server_seq = TCP_ISN;
};

// A message arriving in pieces: its bytes so far (up to KEEP_CAP of them).
struct Assembly {
    uint64_t have = 0;
    uint32_t size = 0;  // the size field, once its 4 bytes are in
    uint8_t buf[KEEP_CAP];
};

struct Post {
    const Mux* mux = nullptr;
    char name[NAME_MAX + 1] = {};
    uint8_t net = 0;  // N of its addresses
    Conn stream;      // what the server reads and writes
    Conn clients[SESS_CLIENT_CAP];
};

// Whose a server fid is: the connection (id 0: nobody's) and the client's
// number for it.
struct FidOwner {
    uint32_t id = 0;
    uint8_t dialect = SESS_DIALECT_NATIVE;
    uint32_t cfid = 0;
};

struct Trace {
    int fd = -1;
    bool pcap = false;
    bool dropping = false;  // said already that the file does not keep up
    char path[PATH_MAX] = {};
    int64_t gmtoff = 0;  // local time's offset from UTC at start, in seconds
    uint32_t next_id = 1;
    uint16_t ip_id = 0;
    Conn stdio;
    Assembly in;   // standard input
    Assembly out;  // standard output
    Post posts[POST_CAP];
    // A client's request as it sent it, before the session rewrote its fids.
    int taken_client = -1;
    uint32_t taken_len = 0;
    uint8_t taken[SESS_SERVER_MSIZE];
    FidOwner fid_owner[SESS_FID_CAP];
};

Trace* tr = nullptr;

// ---- Output ----

void trace_stop() {
    trace_on = false;
    if (tr->fd >= 0) close(tr->fd);
    tr->fd = -1;
}

// Writes a and b with one write. errno is left as it was.
void emit(const void* a, size_t an, const void* b = nullptr, size_t bn = 0) {
    if (!trace_on) return;
    int saved = errno;
    iovec iov[2] = {{const_cast<void*>(a), an}, {const_cast<void*>(b), bn}};
    ssize_t w;
    do {
        w = writev(tr->fd, iov, bn > 0 ? 2 : 1);
    } while (w < 0 && errno == EINTR);
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!tr->dropping) {
            say("[velmor] trace: %s does not keep up; messages are left out of it\n", tr->path);
        }
        tr->dropping = true;
    } else if (w != static_cast<ssize_t>(an + bn)) {
        say("[velmor] trace: cannot write %s (%s); the trace ends here\n", tr->path,
            w < 0 ? strerror(errno) : "short write");
        trace_stop();
    }
    errno = saved;
}

// ---- Lines ----

void line_emit(Line& l) {
    line_end(l);
    emit(l.buf, l.len);
}

// The time of day, local, to the microsecond.
void put_time(Line& l) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t s = (static_cast<int64_t>(ts.tv_sec) + tr->gmtoff) % SECONDS_PER_DAY;
    if (s < 0) s += SECONDS_PER_DAY;
    line_put(l, "%02d:%02d:%02d.%06ld ", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
             static_cast<int>(s % 60), static_cast<long>(ts.tv_nsec / 1000));
}

uint32_t get_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t get_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// ---- The capture ----

void put_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; k++) p[k] = static_cast<uint8_t>(v >> (8 * k));
}

void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put_be32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; k++) p[k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

// The Internet checksum's running sum of big-endian 16-bit words; n may be
// odd only for the last part summed.
uint64_t sum16(const uint8_t* p, uint64_t n, uint64_t sum) {
    for (uint64_t k = 0; k + 1 < n; k += 2) sum += static_cast<uint64_t>(p[k] << 8 | p[k + 1]);
    if (n % 2 == 1) sum += static_cast<uint64_t>(p[n - 1]) << 8;
    return sum;
}

uint16_t checksum(uint64_t sum) {
    while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint32_t loopback(uint8_t net, uint8_t host) {
    return 127u << 24 | static_cast<uint32_t>(net) << 8 | host;
}

void pcap_file_header() {
    uint8_t h[PCAP_FILE_HDR] = {};
    put_le32(h, PCAP_MAGIC);
    put_le16(h + 4, PCAP_MAJOR);
    put_le16(h + 6, PCAP_MINOR);
    put_le32(h + 16, PCAP_SNAPLEN);
    put_le32(h + 20, LINKTYPE_RAW);
    emit(h, sizeof h);
}

// One TCP segment of connection c with n bytes of data (n <= SEGMENT_CAP).
void pcap_segment(Conn& c, bool from_client, uint8_t flags, const uint8_t* data, uint32_t n) {
    uint8_t h[PCAP_RECORD_HDR + IP_HDR + TCP_HDR] = {};
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint32_t packet = IP_HDR + TCP_HDR + n;
    put_le32(h, static_cast<uint32_t>(ts.tv_sec));
    put_le32(h + 4, static_cast<uint32_t>(ts.tv_nsec / 1000));
    put_le32(h + 8, packet);
    put_le32(h + 12, packet);

    uint32_t src = from_client ? c.client_ip : c.server_ip;
    uint32_t dst = from_client ? c.server_ip : c.client_ip;
    uint8_t* ip = h + PCAP_RECORD_HDR;
    ip[0] = IP_VERSION_IHL;
    put_be16(ip + 2, static_cast<uint16_t>(packet));
    put_be16(ip + 4, tr->ip_id++);
    put_be16(ip + 6, IP_DONT_FRAGMENT);
    ip[8] = IP_TTL;
    ip[9] = IP_PROTO_TCP;
    put_be32(ip + 12, src);
    put_be32(ip + 16, dst);
    put_be16(ip + 10, checksum(sum16(ip, IP_HDR, 0)));

    uint32_t& seq = from_client ? c.client_seq : c.server_seq;
    uint32_t ack = from_client ? c.server_seq : c.client_seq;
    uint8_t* tcp = ip + IP_HDR;
    put_be16(tcp, from_client ? c.client_port : P9_PORT);
    put_be16(tcp + 2, from_client ? P9_PORT : c.client_port);
    put_be32(tcp + 4, seq);
    put_be32(tcp + 8, (flags & TCP_ACK) != 0 ? ack : 0);
    tcp[12] = (TCP_HDR / 4) << 4;
    tcp[13] = flags;
    put_be16(tcp + 14, TCP_WINDOW);
    // Over a pseudo header (addresses, protocol, TCP length), the header and
    // the data.
    uint8_t pseudo[12] = {};
    put_be32(pseudo, src);
    put_be32(pseudo + 4, dst);
    pseudo[9] = IP_PROTO_TCP;
    put_be16(pseudo + 10, static_cast<uint16_t>(TCP_HDR + n));
    put_be16(tcp + 16, checksum(sum16(data, n, sum16(tcp, TCP_HDR, sum16(pseudo, 12, 0)))));

    emit(h, sizeof h, data, n);
    seq += n + ((flags & (TCP_SYN | TCP_FIN)) != 0 ? 1 : 0);
}

void conn_open(Conn& c, uint8_t net, uint8_t host, uint32_t id) {
    c = Conn{};
    c.state = CONN_OPEN;
    c.id = id;
    c.client_ip = loopback(net, host);
    c.server_ip = loopback(net, HOST_SERVER);
    c.client_port = static_cast<uint16_t>(CLIENT_PORT_BASE + id % CLIENT_PORTS);
    if (!tr->pcap) return;
    pcap_segment(c, true, TCP_SYN, nullptr, 0);
    pcap_segment(c, false, TCP_SYN | TCP_ACK, nullptr, 0);
    pcap_segment(c, true, TCP_ACK, nullptr, 0);
}

void conn_send(Conn& c, bool from_client, const uint8_t* data, uint64_t n) {
    if (c.state != CONN_OPEN) return;
    while (n > 0) {
        uint32_t k = n < SEGMENT_CAP ? static_cast<uint32_t>(n) : SEGMENT_CAP;
        pcap_segment(c, from_client, TCP_PSH | TCP_ACK, data, k);
        data += k;
        n -= k;
    }
}

void conn_close(Conn& c) {
    if (c.state != CONN_OPEN) return;
    c.state = CONN_CLOSED;
    if (!tr->pcap) return;
    pcap_segment(c, true, TCP_FIN | TCP_ACK, nullptr, 0);
    pcap_segment(c, false, TCP_FIN | TCP_ACK, nullptr, 0);
    pcap_segment(c, true, TCP_ACK, nullptr, 0);
}

// ---- Standard input and output ----

// A message on standard input or output, or the part of it that came.
void stdio_line(const Assembly& a, bool from_client) {
    Line l;
    put_time(l);
    line_put(l, from_client ? "client>server " : "server>client ");
    if (a.have == a.size && a.size <= KEEP_CAP) {
        line_put_message(l, a.buf, a.size, nullptr);
    } else if (a.have >= P9_HEADER_LEN) {
        const char* name = fcall_type_name(a.buf[AT_TYPE]);
        line_put(l, "%s tag %u, %llu of its %u bytes", name != nullptr ? name : "message",
                 get_le16(a.buf + AT_TAG), static_cast<unsigned long long>(a.have), a.size);
    } else {
        line_put(l, "%llu bytes of a message", static_cast<unsigned long long>(a.have));
    }
    line_emit(l);
}

// Feeds bytes of standard input or output to their assembly: a line for
// each message once it is whole.
void assemble(Assembly& a, const uint8_t* p, uint64_t n, bool from_client) {
    while (n > 0) {
        uint64_t want = a.have < 4 ? 4 - a.have : a.size - a.have;
        uint64_t take = n < want ? n : want;
        if (a.have < KEEP_CAP) {
            uint64_t keep = KEEP_CAP - a.have;
            memcpy(a.buf + a.have, p, take < keep ? take : keep);
        }
        a.have += take;
        p += take;
        n -= take;
        if (a.have == 4) a.size = get_le32(a.buf);
        if (a.have == 4 && a.size < P9_HEADER_LEN) {  // nothing can follow it
            Line l;
            put_time(l);
            line_put(l, "%s a size field of %u", from_client ? "client>server" : "server>client",
                     a.size);
            line_emit(l);
            a.have = 0;
        } else if (a.have >= P9_HEADER_LEN && a.have == a.size) {
            stdio_line(a, from_client);
            a.have = 0;
        }
    }
}

// The part of a message standard input ended inside, if any.
void stdio_cut_short() {
    if (tr->in.have > 0) stdio_line(tr->in, true);
    tr->in.have = 0;
}

// ---- Posted names ----

Post* post_of(const Mux* m) {
    for (Post& p : tr->posts) {
        if (p.mux == m) return &p;
    }
    return nullptr;
}

// A connection of post p: NAME#k or NAME.linux#k.
void put_conn(Line& l, const Post& p, uint8_t dialect, uint32_t id) {
    line_put(l, "%s%s#%u", p.name, dialect == SESS_DIALECT_LINUX ? LINUX_SUFFIX : "", id);
}

void put_conn(Line& l, const Post& p, const Conn& c) {
    put_conn(l, p, c.dialect, c.id);
}

// "NAME#k>" and the rest of a line from client i.
void put_from_client(Line& l, const Post& p, const Conn& c, const char* to) {
    put_time(l);
    put_conn(l, p, c);
    line_put(l, ">%s ", to);
}

// Remembers whose a server fid is when a client's Tattach or Twalk makes one:
// client_msg as the client sent it, srv as the server got it.
void note_fid_owner(const Conn& c, const uint8_t* client_msg, const uint8_t* srv, uint32_t len) {
    uint16_t tag, nwname;
    uint32_t fid, sfid, afid, newfid, snewfid;
    const uint8_t *u, *a, *names[P9_MAX_WELEM];
    uint64_t ulen, alen, lens[P9_MAX_WELEM];
    if (client_msg[AT_TYPE] == P9_TATTACH &&
        p9_decode_tattach(client_msg, len, &tag, &fid, &afid, &u, &ulen, &a, &alen) >= 0 &&
        p9_decode_tattach(srv, len, &tag, &sfid, &afid, &u, &ulen, &a, &alen) >= 0 &&
        sfid < SESS_FID_CAP) {
        tr->fid_owner[sfid] = {c.id, c.dialect, fid};
    }
    if (client_msg[AT_TYPE] == P9_TWALK &&
        p9_decode_twalk(client_msg, len, &tag, &fid, &newfid, &nwname, names, lens) >= 0 &&
        p9_decode_twalk(srv, len, &tag, &sfid, &snewfid, &nwname, names, lens) >= 0 &&
        snewfid < SESS_FID_CAP) {
        tr->fid_owner[snewfid] = {c.id, c.dialect, newfid};
    }
}

}  // namespace

void trace_start() {
    const char* path = getenv(TRACE_ENV);
    if (tr != nullptr || path == nullptr || path[0] == '\0') return;
    size_t len = strlen(path);
    if (len >= PATH_MAX) {
        say("[velmor] trace: cannot open %.64s... (%s)\n", path, strerror(ENAMETOOLONG));
        return;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, TRACE_MODE);
    void* mem = fd < 0 ? MAP_FAILED
                       : mmap(nullptr, sizeof(Trace), PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        int e = errno;
        if (fd >= 0) close(fd);
        say("[velmor] trace: cannot open %s (%s)\n", path, strerror(e));
        return;
    }
    tr = new (mem) Trace;
    tr->fd = fd;
    memcpy(tr->path, path, len + 1);
    size_t suffix = sizeof PCAP_SUFFIX - 1;
    tr->pcap = len > suffix && strcmp(path + len - suffix, PCAP_SUFFIX) == 0;
    time_t now = time(nullptr);
    tm local;
    if (localtime_r(&now, &local) != nullptr) tr->gmtoff = local.tm_gmtoff;
    trace_on = true;
    if (tr->pcap) {
        pcap_file_header();
        return;
    }
    Line l;
    char when[64];
    if (strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %z", &local) == 0) when[0] = '\0';
    line_put(l, "# velmor trace of pid %d, from %s (times of day are local)",
             static_cast<int>(getpid()), when);
    line_emit(l);
}

void trace_stdio_read(int64_t fd, const void* buf, int64_t r) {
    if (fd != STDIN_FD || tr->stdio.state == CONN_CLOSED) return;
    if (tr->stdio.state == CONN_NONE) conn_open(tr->stdio, 0, HOST_STREAM, 0);
    if (r > 0) {
        const auto* p = static_cast<const uint8_t*>(buf);
        if (tr->pcap) {
            conn_send(tr->stdio, true, p, static_cast<uint64_t>(r));
        } else {
            assemble(tr->in, p, static_cast<uint64_t>(r), true);
        }
        return;
    }
    if (!tr->pcap) {
        stdio_cut_short();
        Line l;
        put_time(l);
        if (r == 0) {
            line_put(l, "client>server end of stream");
        } else {
            line_put(l, "client>server read failed (%s)", strerror(static_cast<int>(-r)));
        }
        line_emit(l);
    }
    if (r == 0) conn_close(tr->stdio);
}

void trace_stdio_write(int64_t fd, const void* buf, int64_t r) {
    if (fd != STDOUT_FD || tr->stdio.state == CONN_CLOSED) return;
    if (tr->stdio.state == CONN_NONE) conn_open(tr->stdio, 0, HOST_STREAM, 0);
    const auto* p = static_cast<const uint8_t*>(buf);
    if (r <= 0) return;
    if (tr->pcap) {
        conn_send(tr->stdio, false, p, static_cast<uint64_t>(r));
    } else {
        assemble(tr->out, p, static_cast<uint64_t>(r), false);
    }
}

void trace_post(const Mux* m, const char* name) {
    Post* p = post_of(nullptr);  // a free place
    if (p == nullptr) return;
    p->mux = m;
    size_t n = strnlen(name, NAME_MAX);
    memcpy(p->name, name, n);
    p->name[n] = '\0';
    p->net = static_cast<uint8_t>(1 + (p - tr->posts));
    conn_open(p->stream, p->net, HOST_STREAM, 0);
    if (tr->pcap) return;
    Line l;
    put_time(l);
    line_put(l, "velmor posted %s and %s%s", p->name, p->name, LINUX_SUFFIX);
    line_emit(l);
}

void trace_client_open(const Mux* m, int i, uint8_t dialect) {
    Post* p = post_of(m);
    if (p == nullptr) return;
    Conn& c = p->clients[i];
    conn_open(c, p->net, dialect == SESS_DIALECT_LINUX ? HOST_LINUX : HOST_NATIVE, tr->next_id++);
    c.dialect = dialect;
    if (tr->pcap) return;
    Line l;
    put_time(l);
    put_conn(l, *p, c);
    line_put(l, " connected");
    line_emit(l);
}

void trace_client_close(const Mux* m, int i) {
    Post* p = post_of(m);
    if (p == nullptr) return;
    Conn& c = p->clients[i];
    conn_close(c);
    if (tr->pcap) return;
    Line l;
    put_time(l);
    put_conn(l, *p, c);
    line_put(l, " closed");
    line_emit(l);
}

void trace_client_sent(const Mux* m, int i, const uint8_t* msg, uint32_t len) {
    Post* p = post_of(m);
    if (p == nullptr) return;
    Conn& c = p->clients[i];
    if (tr->pcap) {
        conn_send(c, true, msg, len);
        return;
    }
    // A message that is no request never reaches the server, and the session
    // marks it at once, so it has its line now.
    if (fcall_is_request(msg[AT_TYPE])) return;
    Line l;
    put_from_client(l, *p, c, "velmor");
    line_put_message(l, msg, len, nullptr);
    line_emit(l);
}

void trace_take(int i, const uint8_t* msg, uint32_t len) {
    tr->taken_client = i;
    tr->taken_len = len <= sizeof tr->taken ? len : 0;
    memcpy(tr->taken, msg, tr->taken_len);
}

void trace_answer(const Mux* m, int i, const uint8_t* answer, uint32_t len) {
    Post* p = post_of(m);
    if (p == nullptr) return;
    Conn& c = p->clients[i];
    if (tr->pcap) {
        conn_send(c, false, answer, len);
        return;
    }
    uint8_t type = tr->taken_len >= P9_HEADER_LEN ? tr->taken[AT_TYPE] : TYPE_UNSERVED;
    if (tr->taken_client == i && type != TYPE_UNSERVED) {  // that one had its line
        Line l;
        put_from_client(l, *p, c, "velmor");
        if (type == TYPE_FLUSHED) {
            line_put(l, "request tag %u flushed before it reached the server",
                     get_le16(tr->taken + AT_TAG));
        } else {
            if (type == TYPE_RFLUSH) tr->taken[AT_TYPE] = P9_TFLUSH;
            line_put_message(l, tr->taken, tr->taken_len, nullptr);
        }
        line_emit(l);
    }
    if (len == 0) return;
    Line l;
    put_time(l);
    line_put(l, "velmor>");
    put_conn(l, *p, c);
    line_put(l, " ");
    line_put_message(l, answer, len, nullptr);
    line_emit(l);
}

void trace_server_reads(const Mux* m, int from, const uint8_t* msg, uint32_t len) {
    Post* p = post_of(m);
    if (p == nullptr) return;
    if (tr->pcap) {
        conn_send(p->stream, true, msg, len);
        return;
    }
    Line l;
    if (from < 0) {
        put_time(l);
        line_put(l, "velmor>server ");
        line_put_message(l, msg, len, nullptr);
        uint32_t fid = len >= P9_HEADER_LEN + 4 ? get_le32(msg + AT_FID) : P9_NOFID;
        if (msg[AT_TYPE] == P9_TCLUNK && fid < SESS_FID_CAP && tr->fid_owner[fid].id != 0) {
            const FidOwner& o = tr->fid_owner[fid];
            line_put(l, " (");
            put_conn(l, *p, o.dialect, o.id);
            line_put(l, "'s fid %u)", o.cfid);
        }
    } else {
        const Conn& c = p->clients[from];
        bool kept = tr->taken_client == from && tr->taken_len == len;
        put_from_client(l, *p, c, "server");
        line_put_message(l, kept ? tr->taken : msg, len, kept ? msg : nullptr);
        if (kept) note_fid_owner(c, tr->taken, msg, len);
    }
    line_emit(l);
}

void trace_server_writes(const Mux* m, int from, int to, const uint8_t* reply, uint32_t len,
                         const uint8_t* alt, uint32_t alt_len) {
    Post* p = post_of(m);
    if (p == nullptr) return;
    if (tr->pcap) {
        conn_send(p->stream, false, reply, len);
        if (to >= 0) {
            conn_send(p->clients[to], false, alt_len > 0 ? alt : reply,
                      alt_len > 0 ? alt_len : len);
        }
        return;
    }
    Line l;
    put_time(l);
    line_put(l, "server>");
    if (from == SESS_OWN) {
        line_put(l, "velmor");
    } else if (from >= 0) {
        put_conn(l, *p, p->clients[from]);
        if (to < 0) line_put(l, "(gone)");
    } else {
        line_put(l, "nobody");
    }
    line_put(l, " ");
    line_put_message(l, reply, len, nullptr);
    uint16_t tag;
    const uint8_t* text;
    uint64_t text_len;
    if (alt_len > 0 && p9_decode_rerror(alt, alt_len, &tag, &text, &text_len) >= 0) {
        line_put(l, "; sent as: ");
        line_put_str(l, text, text_len, false);
    }
    line_emit(l);
}

void trace_refused(const uint8_t* msg, uint32_t len) {
    if (tr->pcap) return;
    Line l;
    put_time(l);
    line_put(l, "velmor>refused ");
    line_put_message(l, msg, len, nullptr);
    line_emit(l);
}

void trace_exit(int64_t status) {
    if (tr->pcap) {
        conn_close(tr->stdio);
        for (Post& p : tr->posts) {
            if (p.mux == nullptr) continue;
            conn_close(p.stream);
            for (Conn& c : p.clients) conn_close(c);
        }
    } else {
        stdio_cut_short();
        Line l;
        put_time(l);
        line_put(l, "velmor exit %lld", static_cast<long long>(status));
        line_emit(l);
    }
    trace_stop();
}
