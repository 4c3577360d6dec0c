// Encoders and decoders, both directions, of every message except the version
// and error messages (version.cpp) and the two that carry a stat record
// (stat.cpp). An encoder is p9_header_begin, one writer per field in wire
// order (stopping at the first failure, which the cursor keeps), then
// p9_header_finish. A decoder is p9_reader_begin, one p9_read_* per field in
// wire order, then p9_reader_end, which demands the fields end exactly at the
// size field.
#include "9p/9p_internal.h"

namespace {

// Rauth and Rattach: qid[13].
int32_t emit_qid_only(p9_cursor* c, uint8_t type, uint16_t tag, uint8_t qtype, uint32_t qvers,
                      uint64_t qpath) {
    if (p9_header_begin(c, type, tag) || p9_put_qid(c, qtype, qvers, qpath)) return c->err;
    return p9_header_finish(c);
}

int64_t decode_qid_only(const uint8_t* buf, uint64_t len, uint8_t type, uint16_t* tag,
                        uint8_t* qtype, uint32_t* qvers, uint64_t* qpath) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, type);
    p9_read_qid(&r, qtype, qvers, qpath);
    return p9_reader_end(&r, tag);
}

// Ropen and Rcreate: qid[13] iounit[4].
int32_t emit_qid_iounit(p9_cursor* c, uint8_t type, uint16_t tag, uint8_t qtype, uint32_t qvers,
                        uint64_t qpath, uint32_t iounit) {
    if (p9_header_begin(c, type, tag) || p9_put_qid(c, qtype, qvers, qpath) ||
        p9_put_u32(c, iounit))
        return c->err;
    return p9_header_finish(c);
}

int64_t decode_qid_iounit(const uint8_t* buf, uint64_t len, uint8_t type, uint16_t* tag,
                          uint8_t* qtype, uint32_t* qvers, uint64_t* qpath, uint32_t* iounit) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, type);
    p9_read_qid(&r, qtype, qvers, qpath);
    p9_read_u32(&r, iounit);
    return p9_reader_end(&r, tag);
}

// Tclunk, Tremove, Tstat (fid[4]) and Rwrite (count[4]): one u32.
int32_t emit_u32_only(p9_cursor* c, uint8_t type, uint16_t tag, uint32_t v) {
    if (p9_header_begin(c, type, tag) || p9_put_u32(c, v)) return c->err;
    return p9_header_finish(c);
}

int64_t decode_u32_only(const uint8_t* buf, uint64_t len, uint8_t type, uint16_t* tag,
                        uint32_t* v) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, type);
    p9_read_u32(&r, v);
    return p9_reader_end(&r, tag);
}

// Rflush, Rclunk, Rremove and Rwstat: an empty body, so the size must be exactly 7.
int32_t emit_empty(p9_cursor* c, uint8_t type, uint16_t tag) {
    if (p9_header_begin(c, type, tag)) return c->err;
    return p9_header_finish(c);
}

int64_t decode_empty(const uint8_t* buf, uint64_t len, uint8_t type, uint16_t* tag) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, type);
    return p9_reader_end(&r, tag);
}

}  // namespace

int32_t p9_emit_tauth(p9_cursor* c, uint16_t tag, uint32_t afid, const uint8_t* uname,
                      uint64_t uname_len, const uint8_t* aname, uint64_t aname_len) {
    if (p9_header_begin(c, P9_TAUTH, tag) || p9_put_u32(c, afid) ||
        p9_put_string(c, uname, uname_len) || p9_put_string(c, aname, aname_len))
        return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_tauth(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* afid,
                        const uint8_t** uname, uint64_t* uname_len, const uint8_t** aname,
                        uint64_t* aname_len) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_TAUTH);
    p9_read_u32(&r, afid);
    p9_read_string(&r, uname, uname_len);
    p9_read_string(&r, aname, aname_len);
    return p9_reader_end(&r, tag);
}

int32_t p9_emit_rauth(p9_cursor* c, uint16_t tag, uint8_t qtype, uint32_t qvers, uint64_t qpath) {
    return emit_qid_only(c, P9_RAUTH, tag, qtype, qvers, qpath);
}

int64_t p9_decode_rauth(const uint8_t* buf, uint64_t len, uint16_t* tag, uint8_t* qtype,
                        uint32_t* qvers, uint64_t* qpath) {
    return decode_qid_only(buf, len, P9_RAUTH, tag, qtype, qvers, qpath);
}

int32_t p9_emit_tattach(p9_cursor* c, uint16_t tag, uint32_t fid, uint32_t afid,
                        const uint8_t* uname, uint64_t uname_len, const uint8_t* aname,
                        uint64_t aname_len) {
    if (p9_header_begin(c, P9_TATTACH, tag) || p9_put_u32(c, fid) || p9_put_u32(c, afid) ||
        p9_put_string(c, uname, uname_len) || p9_put_string(c, aname, aname_len))
        return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_tattach(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* fid,
                          uint32_t* afid, const uint8_t** uname, uint64_t* uname_len,
                          const uint8_t** aname, uint64_t* aname_len) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_TATTACH);
    p9_read_u32(&r, fid);
    p9_read_u32(&r, afid);
    p9_read_string(&r, uname, uname_len);
    p9_read_string(&r, aname, aname_len);
    return p9_reader_end(&r, tag);
}

int32_t p9_emit_rattach(p9_cursor* c, uint16_t tag, uint8_t qtype, uint32_t qvers, uint64_t qpath) {
    return emit_qid_only(c, P9_RATTACH, tag, qtype, qvers, qpath);
}

int64_t p9_decode_rattach(const uint8_t* buf, uint64_t len, uint16_t* tag, uint8_t* qtype,
                          uint32_t* qvers, uint64_t* qpath) {
    return decode_qid_only(buf, len, P9_RATTACH, tag, qtype, qvers, qpath);
}

int32_t p9_emit_tflush(p9_cursor* c, uint16_t tag, uint16_t oldtag) {
    if (p9_header_begin(c, P9_TFLUSH, tag) || p9_put_u16(c, oldtag)) return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_tflush(const uint8_t* buf, uint64_t len, uint16_t* tag, uint16_t* oldtag) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_TFLUSH);
    p9_read_u16(&r, oldtag);
    return p9_reader_end(&r, tag);
}

int32_t p9_emit_rflush(p9_cursor* c, uint16_t tag) {
    return emit_empty(c, P9_RFLUSH, tag);
}

int64_t p9_decode_rflush(const uint8_t* buf, uint64_t len, uint16_t* tag) {
    return decode_empty(buf, len, P9_RFLUSH, tag);
}

// The element count is refused before anything is written, so the cursor
// stays as it was (-3 is not recorded in it).
int32_t p9_emit_twalk(p9_cursor* c, uint16_t tag, uint32_t fid, uint32_t newfid, uint16_t nwname,
                      const uint8_t* const* wnames, const uint64_t* wlens) {
    if (nwname > P9_MAX_WELEM) return -3;
    if (p9_header_begin(c, P9_TWALK, tag) || p9_put_u32(c, fid) || p9_put_u32(c, newfid) ||
        p9_put_u16(c, nwname))
        return c->err;
    for (uint16_t i = 0; i < nwname; i++)
        if (p9_put_string(c, wnames[i], wlens[i])) return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_twalk(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* fid,
                        uint32_t* newfid, uint16_t* nwname, const uint8_t** wnames,
                        uint64_t* wlens) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_TWALK);
    p9_read_u32(&r, fid);
    p9_read_u32(&r, newfid);
    uint16_t n;
    p9_read_welem_count(&r, &n);
    for (uint16_t i = 0; i < n; i++) p9_read_string(&r, &wnames[i], &wlens[i]);
    int64_t res = p9_reader_end(&r, tag);
    if (res >= 0) *nwname = n;
    return res;
}

int32_t p9_emit_rwalk(p9_cursor* c, uint16_t tag, uint16_t nwqid, const uint8_t* qtypes,
                      const uint32_t* qvers, const uint64_t* qpaths) {
    if (nwqid > P9_MAX_WELEM) return -3;
    if (p9_header_begin(c, P9_RWALK, tag) || p9_put_u16(c, nwqid)) return c->err;
    for (uint16_t i = 0; i < nwqid; i++)
        if (p9_put_qid(c, qtypes[i], qvers[i], qpaths[i])) return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_rwalk(const uint8_t* buf, uint64_t len, uint16_t* tag, uint16_t* nwqid,
                        uint8_t* qtypes, uint32_t* qvers, uint64_t* qpaths) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_RWALK);
    uint16_t n;
    p9_read_welem_count(&r, &n);
    for (uint16_t i = 0; i < n; i++) p9_read_qid(&r, &qtypes[i], &qvers[i], &qpaths[i]);
    int64_t res = p9_reader_end(&r, tag);
    if (res >= 0) *nwqid = n;
    return res;
}

int32_t p9_emit_topen(p9_cursor* c, uint16_t tag, uint32_t fid, uint8_t mode) {
    if (p9_header_begin(c, P9_TOPEN, tag) || p9_put_u32(c, fid) || p9_put_u8(c, mode))
        return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_topen(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* fid,
                        uint8_t* mode) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_TOPEN);
    p9_read_u32(&r, fid);
    p9_read_u8(&r, mode);
    return p9_reader_end(&r, tag);
}

int32_t p9_emit_ropen(p9_cursor* c, uint16_t tag, uint8_t qtype, uint32_t qvers, uint64_t qpath,
                      uint32_t iounit) {
    return emit_qid_iounit(c, P9_ROPEN, tag, qtype, qvers, qpath, iounit);
}

int64_t p9_decode_ropen(const uint8_t* buf, uint64_t len, uint16_t* tag, uint8_t* qtype,
                        uint32_t* qvers, uint64_t* qpath, uint32_t* iounit) {
    return decode_qid_iounit(buf, len, P9_ROPEN, tag, qtype, qvers, qpath, iounit);
}

int32_t p9_emit_tcreate(p9_cursor* c, uint16_t tag, uint32_t fid, const uint8_t* name,
                        uint64_t name_len, uint32_t perm, uint8_t mode) {
    if (p9_header_begin(c, P9_TCREATE, tag) || p9_put_u32(c, fid) ||
        p9_put_string(c, name, name_len) || p9_put_u32(c, perm) || p9_put_u8(c, mode))
        return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_tcreate(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* fid,
                          const uint8_t** name, uint64_t* name_len, uint32_t* perm, uint8_t* mode) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_TCREATE);
    p9_read_u32(&r, fid);
    p9_read_string(&r, name, name_len);
    p9_read_u32(&r, perm);
    p9_read_u8(&r, mode);
    return p9_reader_end(&r, tag);
}

int32_t p9_emit_rcreate(p9_cursor* c, uint16_t tag, uint8_t qtype, uint32_t qvers, uint64_t qpath,
                        uint32_t iounit) {
    return emit_qid_iounit(c, P9_RCREATE, tag, qtype, qvers, qpath, iounit);
}

int64_t p9_decode_rcreate(const uint8_t* buf, uint64_t len, uint16_t* tag, uint8_t* qtype,
                          uint32_t* qvers, uint64_t* qpath, uint32_t* iounit) {
    return decode_qid_iounit(buf, len, P9_RCREATE, tag, qtype, qvers, qpath, iounit);
}

int32_t p9_emit_tread(p9_cursor* c, uint16_t tag, uint32_t fid, uint64_t offset, uint32_t count) {
    if (p9_header_begin(c, P9_TREAD, tag) || p9_put_u32(c, fid) || p9_put_u64(c, offset) ||
        p9_put_u32(c, count))
        return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_tread(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* fid,
                        uint64_t* offset, uint32_t* count) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_TREAD);
    p9_read_u32(&r, fid);
    p9_read_u64(&r, offset);
    p9_read_u32(&r, count);
    return p9_reader_end(&r, tag);
}

// Rread and Twrite: the data follows its count and must fill the body exactly;
// a count that promises more bytes than the body holds fails in p9_read_data,
// one that promises fewer fails the exact-end test.
int32_t p9_emit_rread(p9_cursor* c, uint16_t tag, const uint8_t* data, uint32_t count) {
    if (p9_header_begin(c, P9_RREAD, tag) || p9_put_u32(c, count) || p9_put_bytes(c, data, count))
        return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_rread(const uint8_t* buf, uint64_t len, uint16_t* tag, const uint8_t** data,
                        uint32_t* count) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_RREAD);
    p9_read_u32(&r, count);
    if (r.err == 0) p9_read_data(&r, *count, data);
    return p9_reader_end(&r, tag);
}

int32_t p9_emit_twrite(p9_cursor* c, uint16_t tag, uint32_t fid, uint64_t offset,
                       const uint8_t* data, uint32_t count) {
    if (p9_header_begin(c, P9_TWRITE, tag) || p9_put_u32(c, fid) || p9_put_u64(c, offset) ||
        p9_put_u32(c, count) || p9_put_bytes(c, data, count))
        return c->err;
    return p9_header_finish(c);
}

int64_t p9_decode_twrite(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* fid,
                         uint64_t* offset, const uint8_t** data, uint32_t* count) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_TWRITE);
    p9_read_u32(&r, fid);
    p9_read_u64(&r, offset);
    p9_read_u32(&r, count);
    if (r.err == 0) p9_read_data(&r, *count, data);
    return p9_reader_end(&r, tag);
}

int32_t p9_emit_rwrite(p9_cursor* c, uint16_t tag, uint32_t count) {
    return emit_u32_only(c, P9_RWRITE, tag, count);
}

int64_t p9_decode_rwrite(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* count) {
    return decode_u32_only(buf, len, P9_RWRITE, tag, count);
}

int32_t p9_emit_tclunk(p9_cursor* c, uint16_t tag, uint32_t fid) {
    return emit_u32_only(c, P9_TCLUNK, tag, fid);
}

int64_t p9_decode_tclunk(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* fid) {
    return decode_u32_only(buf, len, P9_TCLUNK, tag, fid);
}

int32_t p9_emit_rclunk(p9_cursor* c, uint16_t tag) {
    return emit_empty(c, P9_RCLUNK, tag);
}

int64_t p9_decode_rclunk(const uint8_t* buf, uint64_t len, uint16_t* tag) {
    return decode_empty(buf, len, P9_RCLUNK, tag);
}

int32_t p9_emit_tremove(p9_cursor* c, uint16_t tag, uint32_t fid) {
    return emit_u32_only(c, P9_TREMOVE, tag, fid);
}

int64_t p9_decode_tremove(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* fid) {
    return decode_u32_only(buf, len, P9_TREMOVE, tag, fid);
}

int32_t p9_emit_rremove(p9_cursor* c, uint16_t tag) {
    return emit_empty(c, P9_RREMOVE, tag);
}

int64_t p9_decode_rremove(const uint8_t* buf, uint64_t len, uint16_t* tag) {
    return decode_empty(buf, len, P9_RREMOVE, tag);
}

// Tstat and Rwstat belong to the stat family, but their bodies (a fid, and
// nothing) are the same as Tclunk's and Rclunk's.
int32_t p9_emit_tstat(p9_cursor* c, uint16_t tag, uint32_t fid) {
    return emit_u32_only(c, P9_TSTAT, tag, fid);
}

int64_t p9_decode_tstat(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* fid) {
    return decode_u32_only(buf, len, P9_TSTAT, tag, fid);
}

int32_t p9_emit_rwstat(p9_cursor* c, uint16_t tag) {
    return emit_empty(c, P9_RWSTAT, tag);
}

int64_t p9_decode_rwstat(const uint8_t* buf, uint64_t len, uint16_t* tag) {
    return decode_empty(buf, len, P9_RWSTAT, tag);
}
