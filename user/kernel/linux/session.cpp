// The sessions of a posted name (see session.h): version, fids, request
// checks and the rewriting of requests and replies, with no sockets.
#include "kernel/linux/session.h"

#include <cstring>
#include <string_view>

#include "errors/errmap.h"
#include "errors/errors.h"

namespace {

uint32_t get_le(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = v << 8 | p[i];
    return v;
}

void put_le(uint8_t* p, uint32_t v, int n) {
    for (int i = 0; i < n; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool is_forwarded(uint8_t type) {
    switch (type) {
        case P9_TVERSION:
        case P9_TAUTH:
        case P9_TATTACH:
        case P9_TFLUSH:
        case P9_TWALK:
        case P9_TOPEN:
        case P9_TCREATE:
        case P9_TREAD:
        case P9_TWRITE:
        case P9_TCLUNK:
        case P9_TREMOVE:
        case P9_TSTAT:
        case P9_TWSTAT:
            return true;
        default:
            return false;
    }
}

// Whether request [buf, buf + len) of the given type decodes as the server
// will decode it. A Twrite's data may be large: it is checked from its fixed
// fields. Twstat is refused by the server from its header alone.
bool decodes(uint8_t type, const uint8_t* buf, uint64_t len) {
    uint16_t tag, u16;
    uint32_t u32a, u32b;
    uint64_t u64, la, lb;
    uint8_t u8;
    const uint8_t *pa, *pb;
    const uint8_t* names[P9_MAX_WELEM];
    uint64_t lens[P9_MAX_WELEM];
    switch (type) {
        case P9_TVERSION:
            return p9_decode_tversion(buf, len, &tag, &u32a, &pa, &la) >= 0;
        case P9_TAUTH:
            return p9_decode_tauth(buf, len, &tag, &u32a, &pa, &la, &pb, &lb) >= 0;
        case P9_TATTACH:
            return p9_decode_tattach(buf, len, &tag, &u32a, &u32b, &pa, &la, &pb, &lb) >= 0;
        case P9_TFLUSH:
            return p9_decode_tflush(buf, len, &tag, &u16) >= 0;
        case P9_TWALK:
            return p9_decode_twalk(buf, len, &tag, &u32a, &u32b, &u16, names, lens) >= 0;
        case P9_TOPEN:
            return p9_decode_topen(buf, len, &tag, &u32a, &u8) >= 0;
        case P9_TCREATE:
            return p9_decode_tcreate(buf, len, &tag, &u32a, &pa, &la, &u32b, &u8) >= 0;
        case P9_TREAD:
            return p9_decode_tread(buf, len, &tag, &u32a, &u64, &u32b) >= 0;
        case P9_TWRITE:
            return len >= TWRITE_FIXED && get_le(buf + AT_TWRITE_COUNT, 4) == len - TWRITE_FIXED;
        case P9_TCLUNK:
            return p9_decode_tclunk(buf, len, &tag, &u32a) >= 0;
        case P9_TREMOVE:
            return p9_decode_tremove(buf, len, &tag, &u32a) >= 0;
        case P9_TSTAT:
            return p9_decode_tstat(buf, len, &tag, &u32a) >= 0;
        case P9_TWSTAT:
            return len >= AT_FID + 4;
        default:
            return false;
    }
}

// ---- Fids ----

// The server fid that client c's fid cfid maps to, or -1.
int64_t fid_find(const Session& s, int c, uint32_t cfid) {
    for (uint32_t f = 0; f < s.fid_top; f++) {
        if (s.fid_used[f] != 0 && s.fid_client[f] == c && s.fid_cfid[f] == cfid) return f;
    }
    return -1;
}

uint32_t fid_to_server(const Session& s, int c, uint32_t cfid) {
    int64_t f = fid_find(s, c, cfid);
    return f < 0 ? SESS_FID_UNKNOWN : static_cast<uint32_t>(f);
}

// The server fid for a fid a request makes: the one the client already uses
// under that number (the server then refuses it as in use), else a new
// mapping that the reply confirms or undoes (recorded as the flight's new
// fid). -1 when the map is full.
int64_t fid_new(Session& s, int c, uint32_t cfid) {
    int64_t f = fid_find(s, c, cfid);
    if (f >= 0) return f;
    for (uint32_t n = 0; n < SESS_FID_CAP; n++) {
        if (s.fid_used[n] == 0) {
            s.fid_used[n] = 1;
            s.fid_client[n] = static_cast<int16_t>(c);
            s.fid_cfid[n] = cfid;
            s.fid_path_len[n] = SESS_PATH_UNKNOWN;
            s.flight_newfid = static_cast<int32_t>(n);
            if (n >= s.fid_top) s.fid_top = n + 1;
            return n;
        }
    }
    return -1;
}

// Gives each of client c's fids to the stand-in, to be clunked.
void orphan_fids(Session& s, int c) {
    for (uint32_t f = 0; f < s.fid_top; f++) {
        if (s.fid_used[f] != 0 && s.fid_client[f] == c) {
            s.fid_client[f] = SESS_OWN;
            s.orphans = true;
        }
    }
}

// ---- Answers made here ----

uint32_t emit_rerror(const Session& s, int c, uint16_t tag, std::string_view text, uint8_t* out) {
    if (s.client_dialect[c] == SESS_DIALECT_LINUX) text = errmap_linux_text(text);
    p9_cursor cur;
    p9_cursor_init(&cur, out, SESS_SMALL_REPLY);
    int32_t n =
        p9_emit_rerror(&cur, tag, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

constexpr uint8_t VERSION_9P2000[] = {'9', 'P', '2', '0', '0', '0'};

// A client Tversion: ends its session and answers as the server would; an
// msize too small for any reply is refused and changes nothing.
uint32_t local_version(Session& s, int c, const uint8_t* msg, uint8_t* out) {
    uint16_t tag = static_cast<uint16_t>(get_le(msg + AT_TAG, 2));
    uint32_t msize = get_le(msg + AT_TVERSION_MSIZE, 4);
    if (msize < P9_MSIZE_MIN) return emit_rerror(s, c, tag, VELMOR_ERR_MSIZE, out);
    orphan_fids(s, c);
    s.client_msize[c] = msize < SESS_SERVER_MSIZE ? msize : SESS_SERVER_MSIZE;
    p9_cursor cur;
    p9_cursor_init(&cur, out, SESS_SMALL_REPLY);
    int32_t n =
        p9_emit_rversion(&cur, tag, s.client_msize[c], VERSION_9P2000, sizeof VERSION_9P2000);
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t local_rflush(uint16_t tag, uint8_t* out) {
    p9_cursor cur;
    p9_cursor_init(&cur, out, SESS_SMALL_REPLY);
    int32_t n = p9_emit_rflush(&cur, tag);
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

// ---- Paths ----

// Sets the flight's path to fid f's path followed by the n names (f < 0 or
// a path too long: unknown).
void flight_path_from(Session& s, int64_t f, const uint8_t* const* names, const uint64_t* lens,
                      uint16_t n) {
    bool known = f >= 0 && f < static_cast<int64_t>(SESS_FID_CAP);
    uint16_t len = known ? s.fid_path_len[static_cast<uint64_t>(f)] : SESS_PATH_UNKNOWN;
    if (len != SESS_PATH_UNKNOWN) memcpy(s.flight_path.data(), s.fid_path[f].data(), len);
    for (uint16_t k = 0; k < n && len != SESS_PATH_UNKNOWN; k++) {
        uint64_t need = len + (len > 0 ? 1 : 0) + lens[k];
        if (need > SESS_PATH_CAP) {
            len = SESS_PATH_UNKNOWN;
            break;
        }
        if (len > 0) s.flight_path[len++] = '/';
        memcpy(s.flight_path.data() + len, names[k], lens[k]);
        len = static_cast<uint16_t>(len + lens[k]);
    }
    s.flight_path_len = len;
}

// Rewrites the fids of request msg for the server. False when a new fid
// cannot be mapped (every server fid is handed out).
bool map_fids(Session& s, int c, uint8_t* msg, uint32_t len) {
    uint8_t type = msg[AT_TYPE];
    uint32_t fid = get_le(msg + AT_FID, 4);
    bool paths = s.client_dialect[c] == SESS_DIALECT_LINUX;  // only its Twstats need them
    switch (type) {
        case P9_TATTACH: {  // fid is the new one; afid names an existing fid or none
            int64_t f = fid_new(s, c, fid);
            if (f < 0) return false;
            if (paths) {
                uint16_t tag;
                uint32_t u32a, u32b;
                const uint8_t *uname, *aname;
                uint64_t uname_len, aname_len = 1;
                (void)p9_decode_tattach(msg, len, &tag, &u32a, &u32b, &uname, &uname_len, &aname,
                                        &aname_len);
                s.flight_path_fid = static_cast<int32_t>(f);
                s.flight_path_len = aname_len == 0 ? 0 : SESS_PATH_UNKNOWN;
            }
            uint32_t afid = get_le(msg + AT_TATTACH_AFID, 4);
            put_le(msg + AT_FID, static_cast<uint32_t>(f), 4);
            if (afid != P9_NOFID) put_le(msg + AT_TATTACH_AFID, fid_to_server(s, c, afid), 4);
            return true;
        }
        case P9_TWALK: {  // newfid is new unless it is fid itself
            uint32_t newfid = get_le(msg + AT_TWALK_NEWFID, 4);
            uint32_t sfid = fid_to_server(s, c, fid);
            int64_t f = newfid == fid ? sfid : fid_new(s, c, newfid);
            if (f < 0) return false;
            s.flight_nwname = static_cast<uint16_t>(get_le(msg + AT_TWALK_NWNAME, 2));
            uint16_t tag, n;
            uint32_t u32a, u32b;
            const uint8_t* names[P9_MAX_WELEM];
            uint64_t lens[P9_MAX_WELEM];
            if (paths && p9_decode_twalk(msg, len, &tag, &u32a, &u32b, &n, names, lens) >= 0) {
                int64_t from = sfid < SESS_FID_CAP ? static_cast<int64_t>(sfid) : -1;
                flight_path_from(s, from, names, lens, n);
                s.flight_path_fid = f == SESS_FID_UNKNOWN ? -1 : static_cast<int32_t>(f);
            }
            put_le(msg + AT_FID, sfid, 4);
            put_le(msg + AT_TWALK_NEWFID, static_cast<uint32_t>(f), 4);
            return true;
        }
        case P9_TAUTH:
            if (fid != P9_NOFID) put_le(msg + AT_FID, fid_to_server(s, c, fid), 4);
            return true;
        case P9_TCLUNK:
        case P9_TREMOVE: {  // the server releases the fid whatever it answers
            int64_t f = fid_find(s, c, fid);
            put_le(msg + AT_FID, f < 0 ? SESS_FID_UNKNOWN : static_cast<uint32_t>(f), 4);
            if (f >= 0) s.fid_used[f] = 0;
            return true;
        }
        case P9_TREAD: {
            uint32_t count = get_le(msg + AT_TREAD_COUNT, 4);
            uint32_t most = s.client_msize[c] - RREAD_FIXED;
            if (count > most) put_le(msg + AT_TREAD_COUNT, most, 4);
            put_le(msg + AT_FID, fid_to_server(s, c, fid), 4);
            return true;
        }
        case P9_TCREATE: {  // the fid moves to the new file
            uint32_t sfid = fid_to_server(s, c, fid);
            uint16_t tag;
            uint32_t u32a, perm;
            uint8_t mode;
            const uint8_t* name;
            uint64_t name_len;
            if (paths && sfid < SESS_FID_CAP &&
                p9_decode_tcreate(msg, len, &tag, &u32a, &name, &name_len, &perm, &mode) >= 0) {
                flight_path_from(s, sfid, &name, &name_len, 1);
                s.flight_path_fid = static_cast<int32_t>(sfid);
            }
            put_le(msg + AT_FID, sfid, 4);
            return true;
        }
        default:  // Topen, Twrite, Tstat, Twstat
            put_le(msg + AT_FID, fid_to_server(s, c, fid), 4);
            return true;
    }
}

// ---- A Twstat done with ordinary requests (the Linux dialect) ----

enum : uint8_t {
    SCRIPT_NONE = 0,
    SCRIPT_STAT = 1,    // Tstat of the client's fid: is it good, a file, how long
    SCRIPT_ATTACH = 2,  // Tattach of a fid of the stand-in's own
    SCRIPT_WALK = 3,    // Twalk of it down the client fid's path, 16 names at a time
    SCRIPT_OPEN = 4,    // Topen for writing, with OTRUNC for length 0
    SCRIPT_WRITE = 5,   // Twrite of no bytes at the length asked
    SCRIPT_CLUNK = 6,   // Tclunk of the own fid: the change is saved
};

// Whether Twstat msg changes nothing but the length and the times; *length
// is the length asked (P9_WSTAT_LENGTH_UNCHANGED for the times alone).
bool length_or_times(const uint8_t* msg, uint32_t len, uint64_t* length) {
    uint16_t tag, type;
    uint32_t fid, dev, qvers, mode, atime, mtime;
    uint8_t qtype;
    uint64_t qpath, name_len, uid_len, gid_len, muid_len;
    const uint8_t *name, *uid, *gid, *muid;
    if (p9_decode_twstat(msg, len, &tag, &fid, &type, &dev, &qtype, &qvers, &qpath, &mode, &atime,
                         &mtime, length, &name, &name_len, &uid, &uid_len, &gid, &gid_len, &muid,
                         &muid_len) < 0) {
        return false;
    }
    (void)atime;  // the times are the server's to keep, and it keeps none
    (void)mtime;
    return type == P9_WSTAT_TYPE_UNCHANGED && dev == P9_WSTAT_DEV_UNCHANGED &&
           qtype == P9_WSTAT_QIDTYPE_UNCHANGED && qvers == P9_WSTAT_QIDVERS_UNCHANGED &&
           qpath == P9_WSTAT_QIDPATH_UNCHANGED && mode == P9_WSTAT_MODE_UNCHANGED &&
           name_len == 0 && uid_len == 0 && gid_len == 0 && muid_len == 0;
}

void script_refuse(Session& s, std::string_view text) {
    if (s.script_error_len > 0) return;  // the first refusal is the one answered
    uint64_t n = text.size() < s.script_error.size() ? text.size() : s.script_error.size();
    memcpy(s.script_error.data(), text.data(), n);
    s.script_error_len = static_cast<uint16_t>(n);
}

// The text of Rerror reply (empty when it is not one that decodes).
std::string_view rerror_text(const uint8_t* reply, uint32_t len) {
    uint16_t tag;
    const uint8_t* text;
    uint64_t text_len;
    if (p9_decode_rerror(reply, len, &tag, &text, &text_len) < 0) return {};
    return {reinterpret_cast<const char*>(text), text_len};
}

// The next names of the script's path (at most P9_MAX_WELEM), from
// script_walked on; how many, and the path's offset after them.
uint16_t script_names(const Session& s, const uint8_t** names, uint64_t* lens, uint16_t* end) {
    const std::array<char, SESS_PATH_CAP>& path = s.fid_path[s.script_sfid];
    uint16_t len = s.fid_path_len[s.script_sfid];
    uint16_t at = s.script_walked, n = 0;
    while (at < len && n < P9_MAX_WELEM) {
        uint16_t from = at;
        while (at < len && path[at] != '/') at++;
        names[n] = reinterpret_cast<const uint8_t*>(path.data() + from);
        lens[n++] = at - from;
        if (at < len) at++;  // the separator
    }
    *end = at;
    return n;
}

// Takes the reply to the script's step and decides the next step. True when
// the script is over (its answer is then due).
bool script_advance(Session& s, const uint8_t* reply, uint32_t len) {
    uint8_t type = len >= P9_HEADER_LEN ? reply[AT_TYPE] : 0;
    if (type == P9_RERROR) {
        std::string_view text = rerror_text(reply, len);
        script_refuse(s, text.empty() ? std::string_view(VELMOR_ERR_MALFORMED) : text);
    }
    auto own = static_cast<uint32_t>(s.script_fid);
    switch (s.script_step) {
        case SCRIPT_STAT: {
            uint16_t tag, stype;
            uint32_t dev, qvers, mode, atime, mtime;
            uint8_t qtype;
            uint64_t length, nl, ul, gl, ml;
            const uint8_t *name, *uid, *gid, *muid;
            if (type != P9_RSTAT ||
                p9_decode_rstat(reply, len, &tag, &stype, &dev, &qtype, &qvers, &s.script_qpath,
                                &mode, &atime, &mtime, &length, &name, &nl, &uid, &ul, &gid, &gl,
                                &muid, &ml) < 0) {
                script_refuse(s, VELMOR_ERR_MALFORMED);
                return true;
            }
            uint64_t want = s.script_length;
            if (want == P9_WSTAT_LENGTH_UNCHANGED || want == length) return true;
            uint16_t path_len =
                s.script_sfid < SESS_FID_CAP ? s.fid_path_len[s.script_sfid] : SESS_PATH_UNKNOWN;
            if ((qtype & P9_QTDIR) != 0 || (want > 0 && want < length) || path_len == 0 ||
                path_len == SESS_PATH_UNKNOWN) {
                script_refuse(s, tolvane::ERR_TWSTAT_NOT_SUPPORTED);
                return true;
            }
            if (want > SESS_FILE_CAP) {
                script_refuse(s, tolvane::ERR_FILE_TOO_LARGE);
                return true;
            }
            for (uint32_t f = 0; f < SESS_FID_CAP && s.script_fid < 0; f++) {
                if (s.fid_used[f] != 0) continue;
                s.fid_used[f] = 1;
                s.fid_client[f] = SESS_SCRIPT;
                s.fid_path_len[f] = SESS_PATH_UNKNOWN;
                s.script_fid = static_cast<int32_t>(f);
                if (f >= s.fid_top) s.fid_top = f + 1;
            }
            if (s.script_fid < 0) {
                script_refuse(s, tolvane::ERR_FID_TABLE_FULL);
                return true;
            }
            s.script_walked = 0;
            s.script_step = SCRIPT_ATTACH;
            return false;
        }
        case SCRIPT_ATTACH:
            if (type == P9_RATTACH) {
                s.script_step = SCRIPT_WALK;
                return false;
            }
            s.fid_used[own] = 0;  // not made
            return true;
        case SCRIPT_WALK: {
            const uint8_t* names[P9_MAX_WELEM];
            uint64_t lens[P9_MAX_WELEM];
            uint16_t end = 0;
            uint16_t n = script_names(s, names, lens, &end);
            uint16_t tag, nwqid = 0;
            uint8_t qtypes[P9_MAX_WELEM];
            uint32_t qvers[P9_MAX_WELEM];
            uint64_t qpaths[P9_MAX_WELEM];
            bool whole = type == P9_RWALK &&
                         p9_decode_rwalk(reply, len, &tag, &nwqid, qtypes, qvers, qpaths) >= 0 &&
                         nwqid == n;
            s.script_walked = end;
            if (!whole) {
                script_refuse(s, tolvane::ERR_FILE_REMOVED);
                s.script_step = SCRIPT_CLUNK;
            } else if (end < s.fid_path_len[s.script_sfid]) {
                return false;  // more names to walk
            } else if (n == 0 || qpaths[n - 1] != s.script_qpath) {
                script_refuse(s, tolvane::ERR_FILE_REMOVED);  // another file by now
                s.script_step = SCRIPT_CLUNK;
            } else {
                s.script_step = SCRIPT_OPEN;
            }
            return false;
        }
        case SCRIPT_OPEN:
            s.script_step = type == P9_ROPEN && s.script_length > 0 ? SCRIPT_WRITE : SCRIPT_CLUNK;
            return false;
        case SCRIPT_WRITE:
            s.script_step = SCRIPT_CLUNK;
            return false;
        default:  // the clunk: the server has released the fid whatever it said
            s.fid_used[own] = 0;
            return true;
    }
}

// The request of the script's next step, in s.own; its length.
int32_t script_request(Session& s, p9_cursor* cur) {
    auto own = static_cast<uint32_t>(s.script_fid);
    switch (s.script_step) {
        case SCRIPT_STAT:
            return p9_emit_tstat(cur, 0, s.script_sfid);
        case SCRIPT_ATTACH:
            return p9_emit_tattach(cur, 0, own, P9_NOFID, nullptr, 0, nullptr, 0);
        case SCRIPT_WALK: {
            const uint8_t* names[P9_MAX_WELEM];
            uint64_t lens[P9_MAX_WELEM];
            uint16_t end = 0;
            uint16_t n = script_names(s, names, lens, &end);
            return p9_emit_twalk(cur, 0, own, own, n, names, lens);
        }
        case SCRIPT_OPEN: {
            uint8_t mode = P9_OWRITE | (s.script_length == 0 ? P9_OTRUNC : 0);
            return p9_emit_topen(cur, 0, own, mode);
        }
        case SCRIPT_WRITE:
            return p9_emit_twrite(cur, 0, own, s.script_length, nullptr, 0);
        default:
            return p9_emit_tclunk(cur, 0, own);
    }
}

}  // namespace

void sess_init(Session& s) {
    s.client_open.fill(0);
    s.client_dialect.fill(SESS_DIALECT_NATIVE);
    s.client_msize.fill(SESS_SERVER_MSIZE);
    s.fid_used.fill(0);
    s.fid_client.fill(SESS_OWN);
    s.fid_cfid.fill(0);
    s.fid_path_len.fill(SESS_PATH_UNKNOWN);
    s.orphans = false;
    s.fid_top = 0;
    s.flight_path_fid = -1;
    s.flight_client = SESS_NOBODY;
    s.flight_type = 0;
    s.flight_nwname = 0;
    s.flight_newfid = -1;
    s.opened = false;
    s.flight_script = false;
    s.script_step = SCRIPT_NONE;
    s.script_waiting = false;
    s.script_client = SESS_NOBODY;
}

void sess_open(Session& s, int c, uint8_t dialect) {
    s.client_open[c] = 1;
    s.client_dialect[c] = dialect;
    s.client_msize[c] = SESS_SERVER_MSIZE;
}

void sess_close(Session& s, int c) {
    orphan_fids(s, c);
    s.client_open[c] = 0;
    if (s.flight_client == c) s.flight_client = SESS_OWN;     // its reply goes nowhere
    if (s.script_client == c) s.script_client = SESS_NOBODY;  // the script ends, unheard
}

uint32_t sess_own_next(Session& s) {
    if (s.flight_client != SESS_NOBODY) return 0;
    p9_cursor cur;
    p9_cursor_init(&cur, s.own.data(), s.own.size());
    int32_t n = 0;
    bool script = false;
    if (!s.opened) {
        s.opened = true;
        n = p9_emit_tversion(&cur, P9_NOTAG, SESS_SERVER_MSIZE, VERSION_9P2000,
                             sizeof VERSION_9P2000);
    } else if (s.script_step != SCRIPT_NONE && !s.script_waiting) {
        n = script_request(s, &cur);
        script = true;
        s.script_waiting = true;
    } else if (s.orphans) {  // scanned only while there may be some: it is on every request's path
        for (uint32_t f = 0; f < s.fid_top && n == 0; f++) {
            if (s.fid_used[f] == 0 || s.fid_client[f] != SESS_OWN) continue;
            s.fid_used[f] = 0;
            n = p9_emit_tclunk(&cur, 0, f);
        }
        s.orphans = n > 0;
    }
    if (n <= 0) return 0;
    s.flight_client = SESS_OWN;
    s.flight_type = s.own[AT_TYPE];
    s.flight_newfid = -1;
    s.flight_path_fid = -1;
    s.flight_script = script;
    return static_cast<uint32_t>(n);
}

void sess_scan(uint8_t* buf, uint64_t first, uint64_t at) {
    uint8_t type = buf[at + AT_TYPE];
    if (!is_forwarded(type)) {
        buf[at + AT_TYPE] = TYPE_UNSERVED;
        return;
    }
    if (type != P9_TFLUSH || get_le(buf + at, 4) != TFLUSH_LEN) return;
    uint32_t oldtag = get_le(buf + at + AT_TFLUSH_OLDTAG, 2);
    for (uint64_t m = first; m < at; m += get_le(buf + m, 4)) {
        uint8_t t = buf[m + AT_TYPE];
        if (t != TYPE_FLUSHED && t != TYPE_RFLUSH && get_le(buf + m + AT_TAG, 2) == oldtag) {
            buf[m + AT_TYPE] = TYPE_FLUSHED;
            buf[at + AT_TYPE] = TYPE_RFLUSH;
            return;
        }
    }
}

uint32_t sess_reply_room(const Session& s, int c, const uint8_t* msg) {
    if (msg[AT_TYPE] != P9_TREAD) return SESS_SMALL_REPLY;
    uint32_t count = get_le(msg + AT_TREAD_COUNT, 4);
    uint32_t most = s.client_msize[c] - RREAD_FIXED;
    uint32_t need = RREAD_FIXED + (count < most ? count : most);
    return need > SESS_SMALL_REPLY ? need : SESS_SMALL_REPLY;
}

SessAction sess_take(Session& s, int c, uint8_t* msg, uint32_t len, uint8_t* answer,
                     uint32_t* answer_len) {
    uint8_t type = msg[AT_TYPE];
    uint16_t tag = static_cast<uint16_t>(get_le(msg + AT_TAG, 2));
    *answer_len = 0;
    if (type == TYPE_FLUSHED) return SESS_ANSWER;  // nothing to say
    if (type == TYPE_RFLUSH) {
        *answer_len = local_rflush(tag, answer);
        return SESS_ANSWER;
    }
    if (type == TYPE_UNSERVED) {
        *answer_len = emit_rerror(s, c, tag, tolvane::ERR_NOT_IMPLEMENTED, answer);
        return SESS_ANSWER;
    }
    // A Tversion is read whatever the session's msize, so a session can
    // always be begun again.
    bool too_big = len > s.client_msize[c] && type != P9_TVERSION;
    if (too_big || !decodes(type, msg, len)) {
        *answer_len = emit_rerror(s, c, tag, VELMOR_ERR_MALFORMED, answer);
        return SESS_ANSWER;
    }
    if (type == P9_TVERSION) {
        *answer_len = local_version(s, c, msg, answer);
        return SESS_ANSWER;
    }
    if (type == P9_TFLUSH) {  // the request it names is answered or dropped
        *answer_len = local_rflush(tag, answer);
        return SESS_ANSWER;
    }
    uint64_t length = 0;
    if (type == P9_TWSTAT && s.client_dialect[c] == SESS_DIALECT_LINUX &&
        length_or_times(msg, len, &length)) {
        s.script_step = SCRIPT_STAT;
        s.script_waiting = false;
        s.script_client = static_cast<int16_t>(c);
        s.script_tag = tag;
        s.script_sfid = fid_to_server(s, c, get_le(msg + AT_FID, 4));
        s.script_fid = -1;
        s.script_length = length;
        s.script_error_len = 0;
        return SESS_LATER;
    }
    s.flight_newfid = -1;
    s.flight_nwname = 0;
    s.flight_path_fid = -1;
    if (!map_fids(s, c, msg, len)) {
        *answer_len = emit_rerror(s, c, tag, tolvane::ERR_FID_TABLE_FULL, answer);
        return SESS_ANSWER;
    }
    s.flight_client = static_cast<int16_t>(c);
    s.flight_type = type;
    return SESS_FORWARD;
}

int sess_reply(Session& s, const uint8_t* reply, uint32_t len, uint8_t* alt, uint32_t* alt_len) {
    *alt_len = 0;
    int c = s.flight_client;
    s.flight_client = SESS_NOBODY;
    if (s.flight_script) {
        s.flight_script = false;
        s.script_waiting = false;
        if (!script_advance(s, reply, len)) return -1;
        s.script_step = SCRIPT_NONE;
        c = s.script_client;
        if (c < 0) return -1;
        if (s.script_error_len > 0) {
            *alt_len =
                emit_rerror(s, c, s.script_tag,
                            std::string_view(s.script_error.data(), s.script_error_len), alt);
        } else {
            p9_cursor cur;
            p9_cursor_init(&cur, alt, SESS_SMALL_REPLY);
            int32_t n = p9_emit_rwstat(&cur, s.script_tag);
            *alt_len = n > 0 ? static_cast<uint32_t>(n) : 0;
        }
        return c;
    }
    uint8_t type = len >= P9_HEADER_LEN ? reply[AT_TYPE] : 0;
    if (s.flight_path_fid >= 0) {
        bool done = type == P9_RATTACH || type == P9_RCREATE ||
                    (type == P9_RWALK && len >= AT_RWALK_NWQID + 2 &&
                     get_le(reply + AT_RWALK_NWQID, 2) == s.flight_nwname);
        auto f = static_cast<uint32_t>(s.flight_path_fid);
        if (done) {
            s.fid_path_len[f] = s.flight_path_len;
            if (s.flight_path_len != SESS_PATH_UNKNOWN) {
                memcpy(s.fid_path[f].data(), s.flight_path.data(), s.flight_path_len);
            }
        }
        s.flight_path_fid = -1;
    }
    if (s.flight_newfid >= 0) {
        auto f = static_cast<uint32_t>(s.flight_newfid);
        bool made = s.flight_type == P9_TATTACH
                        ? type == P9_RATTACH
                        : type == P9_RWALK && len >= AT_RWALK_NWQID + 2 &&
                              get_le(reply + AT_RWALK_NWQID, 2) == s.flight_nwname;
        if (!made) s.fid_used[f] = 0;
        s.flight_newfid = -1;
    }
    if (c < 0 || type == 0 || s.client_open[c] == 0) return -1;
    if (s.client_dialect[c] == SESS_DIALECT_LINUX && type == P9_RERROR &&
        len >= AT_RERROR_ENAME + 2) {
        uint32_t n = get_le(reply + AT_RERROR_ENAME, 2);
        if (AT_RERROR_ENAME + 2 + n == len) {
            std::string_view text(reinterpret_cast<const char*>(reply + AT_RERROR_ENAME + 2), n);
            if (errmap_linux_text(text).data() != text.data()) {
                *alt_len =
                    emit_rerror(s, c, static_cast<uint16_t>(get_le(reply + AT_TAG, 2)), text, alt);
            }
        }
    }
    return c;
}
