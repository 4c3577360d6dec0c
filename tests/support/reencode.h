// The codec's round-trip oracle, shared by the fuzz target and the codec
// tests: decode a buffer with the decoder of one message type and, when it
// accepts, encode the decoded fields again with the matching encoder into a
// cursor of exactly the decoded size. An accepted message must come back as
// exactly the bytes it was decoded from. Part of the header-only test kit.
#pragma once

#include <cstdint>

#include "9p/9p.h"

namespace codec_oracle {

struct Result {
    int64_t decoded = -3;  // the decoder's result; -3 also for a type without a decoder
    int32_t encoded = 0;   // the encoder's result, when decoded >= 0
    bool same = false;     // encoded == decoded and the bytes are equal
};

// Every field any decoder can produce; each decoder fills the ones it has.
struct Fields {
    uint16_t tag = 0, oldtag = 0, nw = 0, stype = 0;
    uint32_t fid = 0, afid = 0, newfid = 0, msize = 0, iounit = 0, count = 0, perm = 0;
    uint32_t dev = 0, smode = 0, atime = 0, mtime = 0;
    uint8_t mode = 0;
    uint8_t qtype = 0;
    uint32_t qvers = 0;
    uint64_t qpath = 0, offset = 0, length = 0;
    const uint8_t* s[4] = {};  // strings in wire order (name, uid, gid, muid for a stat)
    uint64_t slen[4] = {};
    const uint8_t* data = nullptr;
    const uint8_t* wnames[P9_MAX_WELEM] = {};
    uint64_t wlens[P9_MAX_WELEM] = {};
    uint8_t qtypes[P9_MAX_WELEM] = {};
    uint32_t qverss[P9_MAX_WELEM] = {};
    uint64_t qpaths[P9_MAX_WELEM] = {};
};

// Stands for "one stat record at offset 0" where a message type is expected;
// no message has type 0.
inline constexpr uint8_t STAT_RECORD = 0;

// Every message type the codec has a decoder for.
inline constexpr uint8_t MESSAGE_TYPES[] = {
    P9_TVERSION, P9_RVERSION, P9_TAUTH, P9_RAUTH,  P9_TATTACH, P9_RATTACH, P9_RERROR,
    P9_TFLUSH,   P9_RFLUSH,   P9_TWALK, P9_RWALK,  P9_TOPEN,   P9_ROPEN,   P9_TCREATE,
    P9_RCREATE,  P9_TREAD,    P9_RREAD, P9_TWRITE, P9_RWRITE,  P9_TCLUNK,  P9_RCLUNK,
    P9_TREMOVE,  P9_RREMOVE,  P9_TSTAT, P9_RSTAT,  P9_TWSTAT,  P9_RWSTAT,
};

// Calls a decoder whose parameters end in the 17 stat out-parameters.
template <typename Decoder, typename... Head>
int64_t decode_with_stat(Decoder decoder, const uint8_t* in, uint64_t len, Fields& f,
                         Head... head) {
    return decoder(in, len, head..., &f.stype, &f.dev, &f.qtype, &f.qvers, &f.qpath, &f.smode,
                   &f.atime, &f.mtime, &f.length, &f.s[0], &f.slen[0], &f.s[1], &f.slen[1], &f.s[2],
                   &f.slen[2], &f.s[3], &f.slen[3]);
}

// Calls an encoder whose parameters end in the 17 stat values.
template <typename Encoder, typename... Head>
int32_t encode_with_stat(Encoder encoder, p9_cursor* c, const Fields& f, Head... head) {
    return encoder(c, head..., f.stype, f.dev, f.qtype, f.qvers, f.qpath, f.smode, f.atime, f.mtime,
                   f.length, f.s[0], f.slen[0], f.s[1], f.slen[1], f.s[2], f.slen[2], f.s[3],
                   f.slen[3]);
}

// Decodes in[0, len) as a message of the given type (or as a stat record).
inline int64_t decode(uint8_t type, const uint8_t* in, uint64_t len, Fields& f) {
    switch (type) {
        case P9_TVERSION:
            return p9_decode_tversion(in, len, &f.tag, &f.msize, &f.s[0], &f.slen[0]);
        case P9_RVERSION:
            return p9_decode_rversion(in, len, &f.tag, &f.msize, &f.s[0], &f.slen[0]);
        case P9_RERROR:
            return p9_decode_rerror(in, len, &f.tag, &f.s[0], &f.slen[0]);
        case P9_TAUTH:
            return p9_decode_tauth(in, len, &f.tag, &f.afid, &f.s[0], &f.slen[0], &f.s[1],
                                   &f.slen[1]);
        case P9_RAUTH:
            return p9_decode_rauth(in, len, &f.tag, &f.qtype, &f.qvers, &f.qpath);
        case P9_TATTACH:
            return p9_decode_tattach(in, len, &f.tag, &f.fid, &f.afid, &f.s[0], &f.slen[0], &f.s[1],
                                     &f.slen[1]);
        case P9_RATTACH:
            return p9_decode_rattach(in, len, &f.tag, &f.qtype, &f.qvers, &f.qpath);
        case P9_TFLUSH:
            return p9_decode_tflush(in, len, &f.tag, &f.oldtag);
        case P9_RFLUSH:
            return p9_decode_rflush(in, len, &f.tag);
        case P9_TWALK:
            return p9_decode_twalk(in, len, &f.tag, &f.fid, &f.newfid, &f.nw, f.wnames, f.wlens);
        case P9_RWALK:
            return p9_decode_rwalk(in, len, &f.tag, &f.nw, f.qtypes, f.qverss, f.qpaths);
        case P9_TOPEN:
            return p9_decode_topen(in, len, &f.tag, &f.fid, &f.mode);
        case P9_ROPEN:
            return p9_decode_ropen(in, len, &f.tag, &f.qtype, &f.qvers, &f.qpath, &f.iounit);
        case P9_TCREATE:
            return p9_decode_tcreate(in, len, &f.tag, &f.fid, &f.s[0], &f.slen[0], &f.perm,
                                     &f.mode);
        case P9_RCREATE:
            return p9_decode_rcreate(in, len, &f.tag, &f.qtype, &f.qvers, &f.qpath, &f.iounit);
        case P9_TREAD:
            return p9_decode_tread(in, len, &f.tag, &f.fid, &f.offset, &f.count);
        case P9_RREAD:
            return p9_decode_rread(in, len, &f.tag, &f.data, &f.count);
        case P9_TWRITE:
            return p9_decode_twrite(in, len, &f.tag, &f.fid, &f.offset, &f.data, &f.count);
        case P9_RWRITE:
            return p9_decode_rwrite(in, len, &f.tag, &f.count);
        case P9_TCLUNK:
            return p9_decode_tclunk(in, len, &f.tag, &f.fid);
        case P9_RCLUNK:
            return p9_decode_rclunk(in, len, &f.tag);
        case P9_TREMOVE:
            return p9_decode_tremove(in, len, &f.tag, &f.fid);
        case P9_RREMOVE:
            return p9_decode_rremove(in, len, &f.tag);
        case P9_TSTAT:
            return p9_decode_tstat(in, len, &f.tag, &f.fid);
        case P9_RSTAT:
            return decode_with_stat(p9_decode_rstat, in, len, f, &f.tag);
        case P9_TWSTAT:
            return decode_with_stat(p9_decode_twstat, in, len, f, &f.tag, &f.fid);
        case STAT_RECORD:
            return decode_with_stat(p9_decode_stat, in, len, f, uint64_t{0});
        case P9_RWSTAT:
            return p9_decode_rwstat(in, len, &f.tag);
        default:
            return -3;
    }
}

// Encodes the fields of a message of the given type through c.
inline int32_t encode(uint8_t type, p9_cursor* c, const Fields& f) {
    switch (type) {
        case P9_TVERSION:
            return p9_emit_tversion(c, f.tag, f.msize, f.s[0], f.slen[0]);
        case P9_RVERSION:
            return p9_emit_rversion(c, f.tag, f.msize, f.s[0], f.slen[0]);
        case P9_RERROR:
            return p9_emit_rerror(c, f.tag, f.s[0], f.slen[0]);
        case P9_TAUTH:
            return p9_emit_tauth(c, f.tag, f.afid, f.s[0], f.slen[0], f.s[1], f.slen[1]);
        case P9_RAUTH:
            return p9_emit_rauth(c, f.tag, f.qtype, f.qvers, f.qpath);
        case P9_TATTACH:
            return p9_emit_tattach(c, f.tag, f.fid, f.afid, f.s[0], f.slen[0], f.s[1], f.slen[1]);
        case P9_RATTACH:
            return p9_emit_rattach(c, f.tag, f.qtype, f.qvers, f.qpath);
        case P9_TFLUSH:
            return p9_emit_tflush(c, f.tag, f.oldtag);
        case P9_RFLUSH:
            return p9_emit_rflush(c, f.tag);
        case P9_TWALK:
            return p9_emit_twalk(c, f.tag, f.fid, f.newfid, f.nw, f.wnames, f.wlens);
        case P9_RWALK:
            return p9_emit_rwalk(c, f.tag, f.nw, f.qtypes, f.qverss, f.qpaths);
        case P9_TOPEN:
            return p9_emit_topen(c, f.tag, f.fid, f.mode);
        case P9_ROPEN:
            return p9_emit_ropen(c, f.tag, f.qtype, f.qvers, f.qpath, f.iounit);
        case P9_TCREATE:
            return p9_emit_tcreate(c, f.tag, f.fid, f.s[0], f.slen[0], f.perm, f.mode);
        case P9_RCREATE:
            return p9_emit_rcreate(c, f.tag, f.qtype, f.qvers, f.qpath, f.iounit);
        case P9_TREAD:
            return p9_emit_tread(c, f.tag, f.fid, f.offset, f.count);
        case P9_RREAD:
            return p9_emit_rread(c, f.tag, f.data, f.count);
        case P9_TWRITE:
            return p9_emit_twrite(c, f.tag, f.fid, f.offset, f.data, f.count);
        case P9_RWRITE:
            return p9_emit_rwrite(c, f.tag, f.count);
        case P9_TCLUNK:
            return p9_emit_tclunk(c, f.tag, f.fid);
        case P9_RCLUNK:
            return p9_emit_rclunk(c, f.tag);
        case P9_TREMOVE:
            return p9_emit_tremove(c, f.tag, f.fid);
        case P9_RREMOVE:
            return p9_emit_rremove(c, f.tag);
        case P9_TSTAT:
            return p9_emit_tstat(c, f.tag, f.fid);
        case P9_RSTAT:
            return encode_with_stat(p9_emit_rstat, c, f, f.tag);
        case P9_TWSTAT:
            return encode_with_stat(p9_emit_twstat, c, f, f.tag, f.fid);
        case STAT_RECORD:
            return encode_with_stat(p9_emit_stat, c, f);
        case P9_RWSTAT:
            return p9_emit_rwstat(c, f.tag);
        default:
            return -3;
    }
}

inline bool same_bytes(const uint8_t* a, const uint8_t* b, uint64_t n) {
    for (uint64_t i = 0; i < n; i++)
        if (a[i] != b[i]) return false;
    return true;
}

// Decodes in[0, len) with the decoder of type (STAT_RECORD for a stat record)
// and re-encodes what it accepts into out, which must have room for len bytes.
inline Result reencode(uint8_t type, const uint8_t* in, uint64_t len, uint8_t* out) {
    Fields f;
    Result r;
    r.decoded = decode(type, in, len, f);
    if (r.decoded < 0) return r;
    p9_cursor c;
    p9_cursor_init(&c, out, static_cast<uint64_t>(r.decoded));
    r.encoded = encode(type, &c, f);
    r.same = r.encoded == r.decoded && same_bytes(in, out, static_cast<uint64_t>(r.decoded));
    return r;
}

}  // namespace codec_oracle
