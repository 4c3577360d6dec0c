// Tversion, Rversion and Rerror: the messages the server needs before any
// other. msize and the texts are carried as they are; their meaning is the
// caller's business.
#include "9p/9p_internal.h"

namespace {

// Tversion and Rversion share one layout: msize[4] version[s].
int32_t emit_version(p9_cursor* c, uint8_t type, uint16_t tag, uint32_t msize,
                     const uint8_t* version, uint64_t version_len) {
    if (p9_header_begin(c, type, tag) || p9_put_u32(c, msize) ||
        p9_put_string(c, version, version_len))
        return c->err;
    return p9_header_finish(c);
}

int64_t decode_version(const uint8_t* buf, uint64_t len, uint8_t type, uint16_t* tag,
                       uint32_t* msize, const uint8_t** version, uint64_t* version_len) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, type);
    p9_read_u32(&r, msize);
    p9_read_string(&r, version, version_len);
    return p9_reader_end(&r, tag);
}

}  // namespace

int32_t p9_emit_tversion(p9_cursor* c, uint16_t tag, uint32_t msize, const uint8_t* version,
                         uint64_t version_len) {
    return emit_version(c, P9_TVERSION, tag, msize, version, version_len);
}

int32_t p9_emit_rversion(p9_cursor* c, uint16_t tag, uint32_t msize, const uint8_t* version,
                         uint64_t version_len) {
    return emit_version(c, P9_RVERSION, tag, msize, version, version_len);
}

int32_t p9_emit_rerror(p9_cursor* c, uint16_t tag, const uint8_t* ename, uint64_t ename_len) {
    if (p9_header_begin(c, P9_RERROR, tag) || p9_put_string(c, ename, ename_len)) return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_tversion(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* msize,
                           const uint8_t** version, uint64_t* version_len) {
    return decode_version(buf, len, P9_TVERSION, tag, msize, version, version_len);
}

int64_t p9_decode_rversion(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* msize,
                           const uint8_t** version, uint64_t* version_len) {
    return decode_version(buf, len, P9_RVERSION, tag, msize, version, version_len);
}

int64_t p9_decode_rerror(const uint8_t* buf, uint64_t len, uint16_t* tag, const uint8_t** ename,
                         uint64_t* ename_len) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_RERROR);
    p9_read_string(&r, ename, ename_len);
    return p9_reader_end(&r, tag);
}
