// nullserver: the floor of the end-to-end benchmark. It speaks 9P2000 on
// standard input and output and answers every request with the smallest
// plausible success reply, doing no work beyond framing: one read for the
// header, one for the body (each loops only if the stream delivers less), and
// one write per reply. Whatever a server under test costs above this is the
// cost of its own request handling.
//
// Replies carry the same number of bytes a small in-memory server sends, so
// the floor moves the same traffic: qids for attach/walk/open/create, the
// requested count for writes, a 67-byte stat record (empty name, owners
// "velmor") for Rstat. Reads serve one virtual file of NULLSERVER_EOF bytes
// (unbounded when unset): min(count, msize - 11, bytes left past the offset).
// The benchmark sets NULLSERVER_EOF to the listing length the server under
// test returned for its directory, so both deliver a listing in the same reads
// and bytes, and to the file length for file reads.
//
// "nullserver post NAME" posts itself through the Linux stand-in as the
// server under test does (VELMOR_SRV names the registry) and serves the
// other end of its socket pair the same way, through the stand-in's reads and
// writes, so the floor sits behind the same multiplexer. SIGTERM, SIGINT and
// SIGHUP end it with status 0 there.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "kernel/velmor.h"

namespace {

constexpr uint32_t buf_cap = 131072;  // largest message accepted, as the server under test
uint8_t buf[buf_cap];
int in_fd = 0, out_fd = 1;  // the stream served

uint32_t get32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint64_t get64(const uint8_t* p) {
    return get32(p) | uint64_t(get32(p + 4)) << 32;
}
void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    put16(p, uint16_t(v)), put16(p + 2, uint16_t(v >> 16));
}

// Posted, the stream is the stand-in's; on stdio, plain reads and writes.
bool posted = false;

int64_t stream_read(uint8_t* p, uint32_t n) {
    return posted ? sys_read(in_fd, p, n) : read(in_fd, p, n);
}

int64_t stream_write(const uint8_t* p, uint32_t n) {
    return posted ? sys_write(out_fd, p, n) : write(out_fd, p, n);
}

// Reads exactly n bytes; false on end of stream or error.
bool read_full(uint8_t* p, uint32_t n) {
    while (n > 0) {
        int64_t r = stream_read(p, n);
        if (r <= 0) return false;
        p += r, n -= uint32_t(r);
    }
    return true;
}

// A stat record as a small in-memory server sends it for its root: empty name,
// owners "velmor"; 41 fixed bytes + 2 + 3 * 8 = 67.
constexpr uint32_t stat_len = 67;
uint8_t stat_record[stat_len];

void build_stat_record() {
    uint8_t* p = stat_record;
    put16(p, stat_len - 2);  // size; type, dev, qid.vers, atime, mtime, length stay 0
    p[8] = 0x80;             // qid.type: directory
    p[13] = 1;               // qid.path
    put32(p + 21, 0x800001FF);
    for (uint32_t at = 43; at < stat_len; at += 8) {  // name is empty: 41..42 = 0
        put16(p + at, 6);
        memcpy(p + at + 2, "velmor", 6);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "post") == 0) {
        // A stop signal ends the process at once: the benchmark sends it
        // only when no request is in flight. A client's hang-up must not.
        struct sigaction sa {};
        sa.sa_handler = [](int) { _exit(0); };
        sigemptyset(&sa.sa_mask);
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
        sa.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &sa, nullptr);
        int32_t sv[2];
        if (sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, sv) < 0) return 1;
        if (sys_srv_post(argv[2], sv[0]) < 0) return 1;
        in_fd = out_fd = sv[1];
        posted = true;
    } else if (argc != 1) {
        static const char usage[] = "usage: nullserver [post NAME]\n";
        ssize_t w = write(2, usage, sizeof usage - 1);
        (void)w;
        return 2;
    }
    const char* eof_env = getenv("NULLSERVER_EOF");
    const uint64_t eof = eof_env && *eof_env ? strtoull(eof_env, nullptr, 10) : UINT64_MAX;
    uint32_t msize = buf_cap;
    build_stat_record();
    for (;;) {
        if (!read_full(buf, 7)) return 0;
        const uint32_t size = get32(buf);
        if (size < 7 || size > buf_cap || !read_full(buf + 7, size - 7)) return 1;
        const uint8_t type = buf[4];
        uint32_t n = 7;  // reply length; header-only replies (clunk, remove, flush, wstat)
        switch (type) {
            case 100:  // Tversion: echo, msize lowered to what we can hold
                if (size < 13) return 1;
                msize = get32(buf + 7) < buf_cap ? get32(buf + 7) : buf_cap;
                put32(buf + 7, msize);
                n = size;
                break;
            case 104:    // Tattach -> qid
            case 112:    // Topen -> qid, iounit
            case 114: {  // Tcreate -> qid, iounit; a directory qid when perm says so
                uint8_t qtype = 0x80;
                if (type == 114) {  // fid[4] name[s] perm[4] mode[1]
                    const uint32_t perm_at = 13 + (buf[11] | buf[12] << 8);
                    if (perm_at + 5 > size) return 1;
                    qtype = buf[perm_at + 3] & 0x80;
                }
                memset(buf + 7, 0, 17);
                buf[7] = qtype, buf[12] = 1;  // qid type, vers 0, path 1
                n = type == 104 ? 20 : 24;
                break;
            }
            case 110: {  // Twalk -> one qid per name
                if (size < 17) return 1;
                const uint16_t nwname = uint16_t(buf[15] | buf[16] << 8);
                if (nwname > 16) return 1;
                put16(buf + 7, nwname);
                memset(buf + 9, 0, 13u * nwname);
                n = 9 + 13u * nwname;
                break;
            }
            case 116: {  // Tread: fid[4] offset[8] count[4]
                if (size < 23) return 1;
                const uint64_t off = get64(buf + 11);
                uint64_t c = get32(buf + 19);
                if (c + 11 > msize) c = msize > 11 ? msize - 11 : 0;
                if (c > (off < eof ? eof - off : 0)) c = off < eof ? eof - off : 0;
                put32(buf + 7, uint32_t(c));
                n = 11 + uint32_t(c);
                break;
            }
            case 118:  // Twrite: fid[4] offset[8] count[4] -> count
                if (size < 23) return 1;
                memmove(buf + 7, buf + 19, 4);
                n = 11;
                break;
            case 124:  // Tstat -> stat[n] with one record
                put16(buf + 7, stat_len);
                memcpy(buf + 9, stat_record, stat_len);
                n = 9 + stat_len;
                break;
            case 108:
            case 120:
            case 122:
            case 126:  // Tflush, Tclunk, Tremove, Twstat
                break;
            default: {  // Tauth and anything else: Rerror
                static const char text[] = "not implemented";
                put16(buf + 7, sizeof text - 1);
                memcpy(buf + 9, text, sizeof text - 1);
                n = 9 + sizeof text - 1;
                buf[4] = 107 - 1;  // becomes 107 below
                break;
            }
        }
        buf[4] = uint8_t(buf[4] + 1);
        put32(buf, n);
        if (stream_write(buf, n) != int64_t(n)) return 1;
    }
}
