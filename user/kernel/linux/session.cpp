// The sessions of a posted name (see session.h): version, fids, request
// checks and the rewriting of requests and replies, with no sockets.
#include "kernel/linux/session.h"

#include <cstring>
#include <string_view>

#include "kernel/linux/errmap.h"
#include "tolvane/errors.h"

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
    for (uint32_t f = 0; f < SESS_FID_CAP; f++) {
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
            s.flight_newfid = static_cast<int32_t>(n);
            return n;
        }
    }
    return -1;
}

// Gives each of client c's fids to the stand-in, to be clunked.
void orphan_fids(Session& s, int c) {
    for (uint32_t f = 0; f < SESS_FID_CAP; f++) {
        if (s.fid_used[f] != 0 && s.fid_client[f] == c) s.fid_client[f] = SESS_OWN;
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

// Rewrites the fids of request msg for the server. False when a new fid
// cannot be mapped (every server fid is handed out).
bool map_fids(Session& s, int c, uint8_t* msg) {
    uint8_t type = msg[AT_TYPE];
    uint32_t fid = get_le(msg + AT_FID, 4);
    switch (type) {
        case P9_TATTACH: {  // fid is the new one; afid names an existing fid or none
            int64_t f = fid_new(s, c, fid);
            if (f < 0) return false;
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
        default:  // Topen, Tcreate, Twrite, Tstat, Twstat
            put_le(msg + AT_FID, fid_to_server(s, c, fid), 4);
            return true;
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
    s.flight_client = SESS_NOBODY;
    s.flight_type = 0;
    s.flight_nwname = 0;
    s.flight_newfid = -1;
    s.opened = false;
}

void sess_open(Session& s, int c, uint8_t dialect) {
    s.client_open[c] = 1;
    s.client_dialect[c] = dialect;
    s.client_msize[c] = SESS_SERVER_MSIZE;
}

void sess_close(Session& s, int c) {
    orphan_fids(s, c);
    s.client_open[c] = 0;
    if (s.flight_client == c) s.flight_client = SESS_OWN;  // its reply goes nowhere
}

uint32_t sess_own_next(Session& s) {
    if (s.flight_client != SESS_NOBODY) return 0;
    p9_cursor cur;
    p9_cursor_init(&cur, s.own.data(), s.own.size());
    int32_t n = 0;
    if (!s.opened) {
        s.opened = true;
        n = p9_emit_tversion(&cur, P9_NOTAG, SESS_SERVER_MSIZE, VERSION_9P2000,
                             sizeof VERSION_9P2000);
    } else {
        for (uint32_t f = 0; f < SESS_FID_CAP && n == 0; f++) {
            if (s.fid_used[f] == 0 || s.fid_client[f] != SESS_OWN) continue;
            s.fid_used[f] = 0;
            n = p9_emit_tclunk(&cur, 0, f);
        }
    }
    if (n <= 0) return 0;
    s.flight_client = SESS_OWN;
    s.flight_type = s.own[AT_TYPE];
    s.flight_newfid = -1;
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
    s.flight_newfid = -1;
    s.flight_nwname = 0;
    if (!map_fids(s, c, msg)) {
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
    uint8_t type = len >= P9_HEADER_LEN ? reply[AT_TYPE] : 0;
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
