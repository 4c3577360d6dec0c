// 9P2000 messages as text (fcall.h): each decoded with the codec and written
// in the usual fcall form.
#include "kernel/linux/fcall.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "9p/9p.h"
#include "kernel/linux/session.h"

namespace {

constexpr uint32_t DATA_SHOWN = 32;  // bytes of a read's or a write's data shown

// Bits of a mode or a permission above the nine permission bits: a qid type's
// bits, 24 places up.
constexpr int DM_SHIFT = 24;
constexpr uint32_t PERM_BITS = 0777;
constexpr uint32_t UNCHANGED32 = 0xFFFFFFFF;  // a Twstat field left as it is
constexpr uint64_t UNCHANGED64 = 0xFFFFFFFFFFFFFFFF;

constexpr const char* TYPE_NAMES[] = {
    "Tversion", "Rversion", "Tauth",   "Rauth", "Tattach", "Rattach", nullptr,
    "Rerror",   "Tflush",   "Rflush",  "Twalk", "Rwalk",   "Topen",   "Ropen",
    "Tcreate",  "Rcreate",  "Tread",   "Rread", "Twrite",  "Rwrite",  "Tclunk",
    "Rclunk",   "Tremove",  "Rremove", "Tstat", "Rstat",   "Twstat",  "Rwstat"};
static_assert(sizeof TYPE_NAMES / sizeof TYPE_NAMES[0] == P9_RWSTAT - P9_TVERSION + 1);

void put_hex(Line& l, const uint8_t* p, uint64_t n) {
    for (uint64_t k = 0; k < n && !l.cut; k++) line_put(l, "%02x", p[k]);
}

// Data: its first DATA_SHOWN bytes, in quotes when they are text (with \n,
// \t, \r, \\ and \' escaped), else in hex; "..." when there is more.
void put_data(Line& l, const uint8_t* d, uint64_t n) {
    uint64_t shown = n < DATA_SHOWN ? n : DATA_SHOWN;
    bool text = true;
    for (uint64_t k = 0; k < shown; k++) {
        uint8_t b = d[k];
        if ((b < ' ' || b >= 0x7F) && b != '\n' && b != '\t' && b != '\r') text = false;
    }
    if (shown == 0) return;
    line_put(l, " ");
    if (text) {
        line_put(l, "'");
        for (uint64_t k = 0; k < shown; k++) {
            switch (d[k]) {
                case '\n':
                    line_put(l, "\\n");
                    break;
                case '\t':
                    line_put(l, "\\t");
                    break;
                case '\r':
                    line_put(l, "\\r");
                    break;
                case '\\':
                    line_put(l, "\\\\");
                    break;
                case '\'':
                    line_put(l, "\\'");
                    break;
                default:
                    line_put(l, "%c", d[k]);
            }
        }
        line_put(l, "'");
    } else {
        put_hex(l, d, shown);
    }
    if (n > shown) line_put(l, "...");
}

// As tlnc shows one: path, version and type bits.
void put_qid(Line& l, uint8_t type, uint32_t vers, uint64_t path) {
    line_put(l, "(%016llx %u %02x)", static_cast<unsigned long long>(path), vers, type);
}

// A mode or permission: a letter for each bit above the permissions (d a l
// m A t), then the permissions in octal: d0755, 0644.
void put_mode(Line& l, uint32_t mode) {
    if (mode == UNCHANGED32) {
        line_put(l, "~");
        return;
    }
    static constexpr struct {
        uint8_t bit;
        char letter;
    } bits[] = {{P9_QTDIR, 'd'},   {P9_QTAPPEND, 'a'}, {P9_QTEXCL, 'l'},
                {P9_QTMOUNT, 'm'}, {P9_QTAUTH, 'A'},   {P9_QTTMP, 't'}};
    for (const auto& b : bits) {
        if ((mode >> DM_SHIFT) & b.bit) line_put(l, "%c", b.letter);
    }
    line_put(l, "%04o", mode & PERM_BITS);
}

// A Twstat field: "~" when it is to stay as it is.
void put_u64(Line& l, uint64_t v, uint64_t unchanged) {
    if (v == unchanged) {
        line_put(l, "~");
    } else {
        line_put(l, "%llu", static_cast<unsigned long long>(v));
    }
}

struct Str {
    const uint8_t* p = nullptr;
    uint64_t n = 0;
};

// A stat record's fields (Rstat, Twstat).
struct Dir {
    uint16_t type = 0;
    uint32_t dev = 0;
    uint8_t qtype = 0;
    uint32_t qvers = 0;
    uint64_t qpath = 0;
    uint32_t mode = 0;
    uint32_t atime = 0;
    uint32_t mtime = 0;
    uint64_t length = 0;
    Str name, uid, gid, muid;
};

// One message, decoded: the fields of its type are set.
struct Fcall {
    uint8_t type = 0;
    uint16_t tag = 0;
    uint32_t fid = 0, afid = 0, newfid = 0, msize = 0, count = 0, perm = 0, iounit = 0;
    uint16_t oldtag = 0, nwname = 0, nwqid = 0;
    uint8_t mode = 0;
    uint64_t offset = 0;
    Str version, uname, aname, ename, name;
    const uint8_t* data = nullptr;
    uint8_t qtype = 0;
    uint32_t qvers = 0;
    uint64_t qpath = 0;
    const uint8_t* wname[P9_MAX_WELEM] = {};
    uint64_t wlen[P9_MAX_WELEM] = {};
    uint8_t wqtype[P9_MAX_WELEM] = {};
    uint32_t wqvers[P9_MAX_WELEM] = {};
    uint64_t wqpath[P9_MAX_WELEM] = {};
    Dir dir;
};

int64_t decode_stat_message(const uint8_t* b, uint64_t n, Fcall& f) {
    Dir& d = f.dir;
    if (f.type == P9_RSTAT) {
        return p9_decode_rstat(b, n, &f.tag, &d.type, &d.dev, &d.qtype, &d.qvers, &d.qpath, &d.mode,
                               &d.atime, &d.mtime, &d.length, &d.name.p, &d.name.n, &d.uid.p,
                               &d.uid.n, &d.gid.p, &d.gid.n, &d.muid.p, &d.muid.n);
    }
    return p9_decode_twstat(b, n, &f.tag, &f.fid, &d.type, &d.dev, &d.qtype, &d.qvers, &d.qpath,
                            &d.mode, &d.atime, &d.mtime, &d.length, &d.name.p, &d.name.n, &d.uid.p,
                            &d.uid.n, &d.gid.p, &d.gid.n, &d.muid.p, &d.muid.n);
}

// Decodes message [b, b + n) with the codec. False when it is not a 9P2000
// message that decodes.
bool decode(const uint8_t* b, uint64_t n, Fcall& f) {
    uint32_t size;
    if (p9_decode_header(b, n, &size, &f.type, &f.tag) < 0) return false;
    int64_t r = -1;
    switch (f.type) {
        case P9_TVERSION:
            r = p9_decode_tversion(b, n, &f.tag, &f.msize, &f.version.p, &f.version.n);
            break;
        case P9_RVERSION:
            r = p9_decode_rversion(b, n, &f.tag, &f.msize, &f.version.p, &f.version.n);
            break;
        case P9_TAUTH:
            r = p9_decode_tauth(b, n, &f.tag, &f.afid, &f.uname.p, &f.uname.n, &f.aname.p,
                                &f.aname.n);
            break;
        case P9_RAUTH:
            r = p9_decode_rauth(b, n, &f.tag, &f.qtype, &f.qvers, &f.qpath);
            break;
        case P9_TATTACH:
            r = p9_decode_tattach(b, n, &f.tag, &f.fid, &f.afid, &f.uname.p, &f.uname.n, &f.aname.p,
                                  &f.aname.n);
            break;
        case P9_RATTACH:
            r = p9_decode_rattach(b, n, &f.tag, &f.qtype, &f.qvers, &f.qpath);
            break;
        case P9_RERROR:
            r = p9_decode_rerror(b, n, &f.tag, &f.ename.p, &f.ename.n);
            break;
        case P9_TFLUSH:
            r = p9_decode_tflush(b, n, &f.tag, &f.oldtag);
            break;
        case P9_RFLUSH:
            r = p9_decode_rflush(b, n, &f.tag);
            break;
        case P9_TWALK:
            r = p9_decode_twalk(b, n, &f.tag, &f.fid, &f.newfid, &f.nwname, f.wname, f.wlen);
            break;
        case P9_RWALK:
            r = p9_decode_rwalk(b, n, &f.tag, &f.nwqid, f.wqtype, f.wqvers, f.wqpath);
            break;
        case P9_TOPEN:
            r = p9_decode_topen(b, n, &f.tag, &f.fid, &f.mode);
            break;
        case P9_ROPEN:
            r = p9_decode_ropen(b, n, &f.tag, &f.qtype, &f.qvers, &f.qpath, &f.iounit);
            break;
        case P9_TCREATE:
            r = p9_decode_tcreate(b, n, &f.tag, &f.fid, &f.name.p, &f.name.n, &f.perm, &f.mode);
            break;
        case P9_RCREATE:
            r = p9_decode_rcreate(b, n, &f.tag, &f.qtype, &f.qvers, &f.qpath, &f.iounit);
            break;
        case P9_TREAD:
            r = p9_decode_tread(b, n, &f.tag, &f.fid, &f.offset, &f.count);
            break;
        case P9_RREAD:
            r = p9_decode_rread(b, n, &f.tag, &f.data, &f.count);
            break;
        case P9_TWRITE:
            r = p9_decode_twrite(b, n, &f.tag, &f.fid, &f.offset, &f.data, &f.count);
            break;
        case P9_RWRITE:
            r = p9_decode_rwrite(b, n, &f.tag, &f.count);
            break;
        case P9_TCLUNK:
            r = p9_decode_tclunk(b, n, &f.tag, &f.fid);
            break;
        case P9_RCLUNK:
            r = p9_decode_rclunk(b, n, &f.tag);
            break;
        case P9_TREMOVE:
            r = p9_decode_tremove(b, n, &f.tag, &f.fid);
            break;
        case P9_RREMOVE:
            r = p9_decode_rremove(b, n, &f.tag);
            break;
        case P9_TSTAT:
            r = p9_decode_tstat(b, n, &f.tag, &f.fid);
            break;
        case P9_RSTAT:
        case P9_TWSTAT:
            r = decode_stat_message(b, n, f);
            break;
        case P9_RWSTAT:
            r = p9_decode_rwstat(b, n, &f.tag);
            break;
        default:
            return false;
    }
    return r >= 0;
}

// A fid of a client's request: the client's number, and with the request as
// the server got it (s), the server's number after a slash: "1/s0".
// P9_NOFID is -1, and a fid the client never made is "s?" at the server.
void put_fid(Line& l, const char* key, uint32_t fid, const Fcall* s, uint32_t sfid) {
    line_put(l, " %s ", key);
    if (fid == P9_NOFID) {
        line_put(l, "-1");
    } else {
        line_put(l, "%u", fid);
    }
    if (s == nullptr || (fid == P9_NOFID && sfid == P9_NOFID)) return;
    if (sfid == SESS_FID_UNKNOWN) {
        line_put(l, "/s?");
    } else if (sfid == P9_NOFID) {
        line_put(l, "/s-1");
    } else {
        line_put(l, "/s%u", sfid);
    }
}

void put_dir(Line& l, const Dir& d) {
    line_put(l, " name ");
    line_put_str(l, d.name.p, d.name.n, true);
    line_put(l, " uid ");
    line_put_str(l, d.uid.p, d.uid.n, true);
    line_put(l, " gid ");
    line_put_str(l, d.gid.p, d.gid.n, true);
    line_put(l, " muid ");
    line_put_str(l, d.muid.p, d.muid.n, true);
    line_put(l, " qid ");
    put_qid(l, d.qtype, d.qvers, d.qpath);
    line_put(l, " mode ");
    put_mode(l, d.mode);
    line_put(l, " atime ");
    put_u64(l, d.atime, UNCHANGED32);
    line_put(l, " mtime ");
    put_u64(l, d.mtime, UNCHANGED32);
    line_put(l, " length ");
    put_u64(l, d.length, UNCHANGED64);
}

// Message f in the usual fcall form; s, when given, is the same request as
// the server got it, whose fids (and a Tread's count, when it was lowered)
// are shown beside the client's.
void put_fcall(Line& l, const Fcall& f, const Fcall* s) {
    line_put(l, "%s tag %u", fcall_type_name(f.type), f.tag);
    switch (f.type) {
        case P9_TVERSION:
        case P9_RVERSION:
            line_put(l, " msize %u version ", f.msize);
            line_put_str(l, f.version.p, f.version.n, true);
            break;
        case P9_TAUTH:
            put_fid(l, "afid", f.afid, s, s != nullptr ? s->afid : 0);
            line_put(l, " uname ");
            line_put_str(l, f.uname.p, f.uname.n, true);
            line_put(l, " aname ");
            line_put_str(l, f.aname.p, f.aname.n, true);
            break;
        case P9_TATTACH:
            put_fid(l, "fid", f.fid, s, s != nullptr ? s->fid : 0);
            put_fid(l, "afid", f.afid, s, s != nullptr ? s->afid : 0);
            line_put(l, " uname ");
            line_put_str(l, f.uname.p, f.uname.n, true);
            line_put(l, " aname ");
            line_put_str(l, f.aname.p, f.aname.n, true);
            break;
        case P9_RAUTH:
        case P9_RATTACH:
            line_put(l, " qid ");
            put_qid(l, f.qtype, f.qvers, f.qpath);
            break;
        case P9_RERROR:
            line_put(l, " ename ");
            line_put_str(l, f.ename.p, f.ename.n, false);
            break;
        case P9_TFLUSH:
            line_put(l, " oldtag %u", f.oldtag);
            break;
        case P9_TWALK:
            put_fid(l, "fid", f.fid, s, s != nullptr ? s->fid : 0);
            put_fid(l, "newfid", f.newfid, s, s != nullptr ? s->newfid : 0);
            line_put(l, " nwname %u", f.nwname);
            for (uint16_t k = 0; k < f.nwname; k++) {
                line_put(l, " %u:", k);
                line_put_str(l, f.wname[k], f.wlen[k], true);
            }
            break;
        case P9_RWALK:
            line_put(l, " nwqid %u", f.nwqid);
            for (uint16_t k = 0; k < f.nwqid; k++) {
                line_put(l, " %u:", k);
                put_qid(l, f.wqtype[k], f.wqvers[k], f.wqpath[k]);
            }
            break;
        case P9_TOPEN:
            put_fid(l, "fid", f.fid, s, s != nullptr ? s->fid : 0);
            line_put(l, " mode %u", f.mode);
            break;
        case P9_TCREATE:
            put_fid(l, "fid", f.fid, s, s != nullptr ? s->fid : 0);
            line_put(l, " name ");
            line_put_str(l, f.name.p, f.name.n, true);
            line_put(l, " perm ");
            put_mode(l, f.perm);
            line_put(l, " mode %u", f.mode);
            break;
        case P9_ROPEN:
        case P9_RCREATE:
            line_put(l, " qid ");
            put_qid(l, f.qtype, f.qvers, f.qpath);
            line_put(l, " iounit %u", f.iounit);
            break;
        case P9_TREAD:
            put_fid(l, "fid", f.fid, s, s != nullptr ? s->fid : 0);
            line_put(l, " offset %llu count %u", static_cast<unsigned long long>(f.offset),
                     f.count);
            if (s != nullptr && s->count != f.count) line_put(l, "/s%u", s->count);
            break;
        case P9_RREAD:
            line_put(l, " count %u", f.count);
            put_data(l, f.data, f.count);
            break;
        case P9_TWRITE:
            put_fid(l, "fid", f.fid, s, s != nullptr ? s->fid : 0);
            line_put(l, " offset %llu count %u", static_cast<unsigned long long>(f.offset),
                     f.count);
            put_data(l, f.data, f.count);
            break;
        case P9_RWRITE:
            line_put(l, " count %u", f.count);
            break;
        case P9_TCLUNK:
        case P9_TREMOVE:
        case P9_TSTAT:
            put_fid(l, "fid", f.fid, s, s != nullptr ? s->fid : 0);
            break;
        case P9_RSTAT:
            put_dir(l, f.dir);
            break;
        case P9_TWSTAT:
            put_fid(l, "fid", f.fid, s, s != nullptr ? s->fid : 0);
            put_dir(l, f.dir);
            break;
        default:  // Rflush, Rclunk, Rremove, Rwstat: the tag alone
            break;
    }
}

}  // namespace

void line_put(Line& l, const char* fmt, ...) {
    if (l.cut) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(l.buf + l.len, LINE_CAP - l.len, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (static_cast<uint32_t>(n) >= LINE_CAP - l.len) {
        l.cut = true;
        l.len = LINE_CAP;
    } else {
        l.len += static_cast<uint32_t>(n);
    }
}

// A string of a message. Bytes outside printable ASCII, and the backslash,
// are written \xNN; so is the space in a word (a name), which then stays one
// word of the line. The empty string is ''.
void line_put_str(Line& l, const uint8_t* s, uint64_t n, bool word) {
    if (n == 0) line_put(l, "''");
    for (uint64_t k = 0; k < n && !l.cut; k++) {
        uint8_t b = s[k];
        if (b > ' ' && b < 0x7F && b != '\\') {
            line_put(l, "%c", b);
        } else if (b == ' ' && !word) {
            line_put(l, " ");
        } else {
            line_put(l, "\\x%02x", b);
        }
    }
}

void line_end(Line& l) {
    if (l.cut) {
        memcpy(l.buf + LINE_CAP - 4, "...\n", 4);
    } else {
        l.buf[l.len++] = '\n';  // vsnprintf left room for its NUL
    }
}

const char* fcall_type_name(uint8_t type) {
    if (type < P9_TVERSION || type > P9_RWSTAT) return nullptr;
    return TYPE_NAMES[type - P9_TVERSION];
}

// A 9P2000 request (T-message) type.
bool fcall_is_request(uint8_t type) {
    return fcall_type_name(type) != nullptr && type % 2 == 0;
}

// Message [msg, msg + len), or what can be said of it when it does not
// decode; srv, when given, is the same request as the server got it.
void line_put_message(Line& l, const uint8_t* msg, uint64_t len, const uint8_t* srv) {
    Fcall f;
    if (decode(msg, len, f)) {
        Fcall s;
        bool both = srv != nullptr && decode(srv, len, s) && s.type == f.type;
        put_fcall(l, f, both ? &s : nullptr);
        return;
    }
    uint64_t shown = len < DATA_SHOWN ? len : DATA_SHOWN;
    if (len >= P9_HEADER_LEN) {
        uint16_t tag = static_cast<uint16_t>(msg[AT_TAG] | msg[AT_TAG + 1] << 8);
        if (const char* name = fcall_type_name(msg[AT_TYPE])) {
            line_put(l, "%s tag %u, %llu bytes that do not decode: ", name, tag,
                     static_cast<unsigned long long>(len));
        } else {
            line_put(l, "type %u tag %u, %llu bytes: ", msg[AT_TYPE], tag,
                     static_cast<unsigned long long>(len));
        }
    } else {
        line_put(l, "%llu bytes: ", static_cast<unsigned long long>(len));
    }
    put_hex(l, msg, shown);
    if (len > shown) line_put(l, "...");
}
