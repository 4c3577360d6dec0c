// The stat record, written and read anywhere in a buffer, and the two messages
// that carry one, Rstat and Twstat: the record sits behind a u16 n that counts
// the whole record, its own size field included. (Tstat and Rwstat have a fid
// and an empty body; they live with the other such messages in message.cpp.)
#include "9p/9p_internal.h"

namespace {

constexpr uint64_t RECORD_SIZE_MAX = P9_STRING_MAX;  // largest value of a u16 length field

// Steps shared by Rstat and Twstat once n's placeholder and then the record
// have been written: a record longer than n can count is refused (sticky -2);
// otherwise n, which sits just before the record, is patched and the message
// finished.
int32_t finish_stat_message(p9_cursor* c, int32_t record_len) {
    if (record_len < 0) return record_len;
    if (static_cast<uint64_t>(record_len) > RECORD_SIZE_MAX) {
        c->err = -2;
        return -2;
    }
    p9_store_le(c->buf + c->pos - static_cast<uint64_t>(record_len) - 2,
                static_cast<uint64_t>(record_len), 2);
    return p9_header_finish(c);
}

// The record inside Rstat and Twstat: n[2], then a record that must be exactly
// n bytes and end exactly at the body end. p9_decode_stat's own codes all turn
// into -2 here: the record is part of the body.
void read_stat_length(p9_reader* r) {
    uint16_t n = 0;
    p9_read_u16(r, &n);
    if (r->err == 0 && r->off + n != r->end) r->err = -2;
}

void take_record(p9_reader* r, int64_t record_len) {
    if (r->err != 0) return;
    if (record_len < 0) {
        r->err = -2;
        return;
    }
    r->off += static_cast<uint64_t>(record_len);
}

}  // namespace

int32_t p9_emit_stat(p9_cursor* c, uint16_t type, uint32_t dev, uint8_t qtype, uint32_t qvers,
                     uint64_t qpath, uint32_t mode, uint32_t atime, uint32_t mtime, uint64_t length,
                     const uint8_t* name, uint64_t name_len, const uint8_t* uid, uint64_t uid_len,
                     const uint8_t* gid, uint64_t gid_len, const uint8_t* muid, uint64_t muid_len) {
    // The common case in one step: no sticky error, every string countable
    // and the whole record in the room left. Anything else goes field by
    // field below, which finds the same error at the same field (the codec
    // test EveryRoomGivesTheFieldByFieldResult holds the two to the same
    // bytes, position and error at every room). The one check is kept for
    // speed: 9.5 ns of CPU per record against 12.5 field by field
    // (bench_codec BM_StatEmit, release preset), and a directory read emits
    // one record per entry.
    if (c->err == 0 && name_len <= P9_STRING_MAX && uid_len <= P9_STRING_MAX &&
        gid_len <= P9_STRING_MAX && muid_len <= P9_STRING_MAX) {
        uint64_t size = P9_STAT_FIXED - 2 + 8 + name_len + uid_len + gid_len + muid_len;
        if (size <= RECORD_SIZE_MAX && c->cap - c->pos >= size + 2) {
            uint8_t* p = c->buf + c->pos;
            p = p9_store_le(p, size, 2);
            p = p9_store_le(p, type, 2);
            p = p9_store_le(p, dev, 4);
            p = p9_store_le(p, qtype, 1);
            p = p9_store_le(p, qvers, 4);
            p = p9_store_le(p, qpath, 8);
            p = p9_store_le(p, mode, 4);
            p = p9_store_le(p, atime, 4);
            p = p9_store_le(p, mtime, 4);
            p = p9_store_le(p, length, 8);
            p = p9_store_string(p, name, name_len);
            p = p9_store_string(p, uid, uid_len);
            p = p9_store_string(p, gid, gid_len);
            p9_store_string(p, muid, muid_len);
            c->pos += size + 2;
            return static_cast<int32_t>(size + 2);
        }
    }
    uint64_t start = c->pos;
    if (p9_put_u16(c, 0) || p9_put_u16(c, type) || p9_put_u32(c, dev) ||
        p9_put_qid(c, qtype, qvers, qpath) || p9_put_u32(c, mode) || p9_put_u32(c, atime) ||
        p9_put_u32(c, mtime) || p9_put_u64(c, length) || p9_put_string(c, name, name_len) ||
        p9_put_string(c, uid, uid_len) || p9_put_string(c, gid, gid_len) ||
        p9_put_string(c, muid, muid_len))
        return c->err;
    uint64_t size = c->pos - start - 2;
    if (size > RECORD_SIZE_MAX) {
        c->err = -2;
        return -2;
    }
    p9_store_le(c->buf + start, size, 2);
    return static_cast<int32_t>(size + 2);
}

int64_t p9_decode_stat(const uint8_t* buf, uint64_t bound, uint64_t offset, uint16_t* type,
                       uint32_t* dev, uint8_t* qtype, uint32_t* qvers, uint64_t* qpath,
                       uint32_t* mode, uint32_t* atime, uint32_t* mtime, uint64_t* length,
                       const uint8_t** name, uint64_t* name_len, const uint8_t** uid,
                       uint64_t* uid_len, const uint8_t** gid, uint64_t* gid_len,
                       const uint8_t** muid, uint64_t* muid_len) {
    uint16_t size = 0;
    if (p9_get_u16(buf, bound, offset, &size) != 0) return -1;
    // offset + 2 <= bound here, so the record end cannot wrap.
    uint64_t end = offset + 2 + size;
    if (end > bound) return -2;
    // The fields are read like a message body whose end is the record's end.
    p9_reader r = {buf, end, offset + 2, 0, 0, 0};
    p9_read_u16(&r, type);
    p9_read_u32(&r, dev);
    p9_read_qid(&r, qtype, qvers, qpath);
    p9_read_u32(&r, mode);
    p9_read_u32(&r, atime);
    p9_read_u32(&r, mtime);
    p9_read_u64(&r, length);
    p9_read_string(&r, name, name_len);
    p9_read_string(&r, uid, uid_len);
    p9_read_string(&r, gid, gid_len);
    p9_read_string(&r, muid, muid_len);
    if (r.err != 0 || r.off != end) return -2;
    return static_cast<int64_t>(end - offset);
}

int32_t p9_emit_rstat(p9_cursor* c, uint16_t tag, uint16_t type, uint32_t dev, uint8_t qtype,
                      uint32_t qvers, uint64_t qpath, uint32_t mode, uint32_t atime, uint32_t mtime,
                      uint64_t length, const uint8_t* name, uint64_t name_len, const uint8_t* uid,
                      uint64_t uid_len, const uint8_t* gid, uint64_t gid_len, const uint8_t* muid,
                      uint64_t muid_len) {
    if (p9_header_begin(c, P9_RSTAT, tag) || p9_put_u16(c, 0)) return c->err;
    return finish_stat_message(
        c, p9_emit_stat(c, type, dev, qtype, qvers, qpath, mode, atime, mtime, length, name,
                        name_len, uid, uid_len, gid, gid_len, muid, muid_len));
}

int64_t p9_decode_rstat(const uint8_t* buf, uint64_t len, uint16_t* tag, uint16_t* type,
                        uint32_t* dev, uint8_t* qtype, uint32_t* qvers, uint64_t* qpath,
                        uint32_t* mode, uint32_t* atime, uint32_t* mtime, uint64_t* length,
                        const uint8_t** name, uint64_t* name_len, const uint8_t** uid,
                        uint64_t* uid_len, const uint8_t** gid, uint64_t* gid_len,
                        const uint8_t** muid, uint64_t* muid_len) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_RSTAT);
    read_stat_length(&r);
    if (r.err == 0)
        take_record(&r, p9_decode_stat(buf, r.end, r.off, type, dev, qtype, qvers, qpath, mode,
                                       atime, mtime, length, name, name_len, uid, uid_len, gid,
                                       gid_len, muid, muid_len));
    return p9_reader_end(&r, tag);
}

int32_t p9_emit_twstat(p9_cursor* c, uint16_t tag, uint32_t fid, uint16_t type, uint32_t dev,
                       uint8_t qtype, uint32_t qvers, uint64_t qpath, uint32_t mode, uint32_t atime,
                       uint32_t mtime, uint64_t length, const uint8_t* name, uint64_t name_len,
                       const uint8_t* uid, uint64_t uid_len, const uint8_t* gid, uint64_t gid_len,
                       const uint8_t* muid, uint64_t muid_len) {
    if (p9_header_begin(c, P9_TWSTAT, tag) || p9_put_u32(c, fid) || p9_put_u16(c, 0)) return c->err;
    return finish_stat_message(
        c, p9_emit_stat(c, type, dev, qtype, qvers, qpath, mode, atime, mtime, length, name,
                        name_len, uid, uid_len, gid, gid_len, muid, muid_len));
}

int64_t p9_decode_twstat(const uint8_t* buf, uint64_t len, uint16_t* tag, uint32_t* fid,
                         uint16_t* type, uint32_t* dev, uint8_t* qtype, uint32_t* qvers,
                         uint64_t* qpath, uint32_t* mode, uint32_t* atime, uint32_t* mtime,
                         uint64_t* length, const uint8_t** name, uint64_t* name_len,
                         const uint8_t** uid, uint64_t* uid_len, const uint8_t** gid,
                         uint64_t* gid_len, const uint8_t** muid, uint64_t* muid_len) {
    p9_reader r;
    p9_reader_begin(&r, buf, len, P9_TWSTAT);
    p9_read_u32(&r, fid);
    read_stat_length(&r);
    if (r.err == 0)
        take_record(&r, p9_decode_stat(buf, r.end, r.off, type, dev, qtype, qvers, qpath, mode,
                                       atime, mtime, length, name, name_len, uid, uid_len, gid,
                                       gid_len, muid, muid_len));
    return p9_reader_end(&r, tag);
}
