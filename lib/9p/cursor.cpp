// The write cursor with its writers, the stateless little-endian readers, the
// message header on both sides, and the field reader every decoder is built on.
#include "9p/9p_internal.h"

namespace {

constexpr uint64_t SIZE_FIELD_LEN = 4;
constexpr uint64_t RESULT_MAX = 0x7FFFFFFF;  // largest length an i32 result can carry

// Records code as the cursor's sticky error and returns it.
int32_t fail(p9_cursor* c, int32_t code) {
    c->err = code;
    return code;
}

// Every writer starts here: the sticky error if there is one, -1 (recorded) if
// n more bytes do not fit, else 0. pos <= cap always, so cap - pos never wraps.
int32_t reserve(p9_cursor* c, uint64_t n) {
    if (c->err != 0) return c->err;
    if (c->cap - c->pos < n) return fail(c, -1);
    return 0;
}

// True when n bytes starting at off lie inside len; safe for any off.
bool fits(uint64_t len, uint64_t off, uint64_t n) {
    return off <= len && len - off >= n;
}

uint64_t load_le(const uint8_t* p, uint64_t n) {
    uint64_t v = 0;
    for (uint64_t i = 0; i < n; i++) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

template <typename T>
int32_t put_le(p9_cursor* c, T v) {
    if (int32_t r = reserve(c, sizeof(T)); r != 0) return r;
    p9_store_le(c->buf + c->pos, v, sizeof(T));
    c->pos += sizeof(T);
    return 0;
}

template <typename T>
int32_t get_le(const uint8_t* buf, uint64_t len, uint64_t off, T* v) {
    if (!fits(len, off, sizeof(T))) return -1;
    *v = static_cast<T>(load_le(buf + off, sizeof(T)));
    return 0;
}

// Moves the reader past a field that took used bytes, or records -2 when the
// field's reader failed (used negative).
void advance(p9_reader* r, int64_t used) {
    if (used < 0) {
        r->err = -2;
        return;
    }
    r->off += static_cast<uint64_t>(used);
}

}  // namespace

void p9_cursor_init(p9_cursor* c, uint8_t* buf, uint64_t cap) {
    c->buf = buf;
    c->cap = cap;
    c->pos = 0;
    c->err = 0;
}

uint64_t p9_cursor_bytes(const p9_cursor* c) {
    return c->pos;
}

int32_t p9_cursor_error(const p9_cursor* c) {
    return c->err;
}

int32_t p9_put_u8(p9_cursor* c, uint8_t v) {
    return put_le(c, v);
}
int32_t p9_put_u16(p9_cursor* c, uint16_t v) {
    return put_le(c, v);
}
int32_t p9_put_u32(p9_cursor* c, uint32_t v) {
    return put_le(c, v);
}
int32_t p9_put_u64(p9_cursor* c, uint64_t v) {
    return put_le(c, v);
}

int32_t p9_put_string(p9_cursor* c, const uint8_t* s, uint64_t len) {
    if (c->err != 0) return c->err;
    // The length test comes before the room test: an overlong string is -2
    // whatever the room.
    if (len > P9_STRING_MAX) return fail(c, -2);
    if (int32_t r = reserve(c, 2 + len); r != 0) return r;
    p9_store_string(c->buf + c->pos, s, len);
    c->pos += 2 + len;
    return 0;
}

int32_t p9_put_bytes(p9_cursor* c, const uint8_t* src, uint64_t count) {
    if (int32_t r = reserve(c, count); r != 0) return r;
    p9_store_bytes(c->buf + c->pos, src, count);
    c->pos += count;
    return 0;
}

int32_t p9_put_qid(p9_cursor* c, uint8_t qtype, uint32_t qvers, uint64_t qpath) {
    if (p9_put_u8(c, qtype) || p9_put_u32(c, qvers) || p9_put_u64(c, qpath)) return c->err;
    return 0;
}

int32_t p9_header_begin(p9_cursor* c, uint8_t type, uint16_t tag) {
    if (p9_put_u32(c, 0) || p9_put_u8(c, type) || p9_put_u16(c, tag)) return c->err;
    return 0;
}

int32_t p9_header_finish(p9_cursor* c) {
    if (c->err != 0) return c->err;
    // Only a cursor that holds a header can take the size, and only a length
    // that fits the i32 result can be reported; anything else is "no room".
    if (c->pos < P9_HEADER_LEN || c->pos > RESULT_MAX) return fail(c, -1);
    p9_store_le(c->buf, c->pos, SIZE_FIELD_LEN);
    return static_cast<int32_t>(c->pos);
}

int32_t p9_get_u8(const uint8_t* buf, uint64_t len, uint64_t off, uint8_t* v) {
    return get_le(buf, len, off, v);
}
int32_t p9_get_u16(const uint8_t* buf, uint64_t len, uint64_t off, uint16_t* v) {
    return get_le(buf, len, off, v);
}
int32_t p9_get_u32(const uint8_t* buf, uint64_t len, uint64_t off, uint32_t* v) {
    return get_le(buf, len, off, v);
}
int32_t p9_get_u64(const uint8_t* buf, uint64_t len, uint64_t off, uint64_t* v) {
    return get_le(buf, len, off, v);
}

int64_t p9_get_string(const uint8_t* buf, uint64_t len, uint64_t off, const uint8_t** s,
                      uint64_t* slen) {
    if (!fits(len, off, 2)) return -1;
    uint64_t n = load_le(buf + off, 2);
    if (!fits(len, off + 2, n)) return -2;
    *s = buf + off + 2;
    *slen = n;
    return static_cast<int64_t>(2 + n);
}

int64_t p9_get_qid(const uint8_t* buf, uint64_t len, uint64_t off, uint8_t* qtype, uint32_t* qvers,
                   uint64_t* qpath) {
    if (!fits(len, off, P9_QID_LEN)) return -1;
    *qtype = buf[off];
    *qvers = static_cast<uint32_t>(load_le(buf + off + 1, 4));
    *qpath = load_le(buf + off + 5, 8);
    return static_cast<int64_t>(P9_QID_LEN);
}

int32_t p9_decode_header(const uint8_t* buf, uint64_t len, uint32_t* size, uint8_t* type,
                         uint16_t* tag) {
    if (len < P9_HEADER_LEN) return -1;
    *size = static_cast<uint32_t>(load_le(buf, 4));
    if (*size < P9_HEADER_LEN) return -2;
    *type = buf[4];
    *tag = static_cast<uint16_t>(load_le(buf + 5, 2));
    return 0;
}

int32_t p9_decode_header_for(const uint8_t* buf, uint64_t len, uint8_t type, uint32_t* size,
                             uint16_t* tag, uint64_t* body_start, uint64_t* body_end) {
    if (len < P9_HEADER_LEN) return -1;
    uint32_t s = static_cast<uint32_t>(load_le(buf, 4));
    if (s > len) return -1;
    if (s < P9_HEADER_LEN) return -2;
    if (buf[4] != type) return -3;
    *size = s;
    *tag = static_cast<uint16_t>(load_le(buf + 5, 2));
    *body_start = P9_HEADER_LEN;
    *body_end = s;
    return 0;
}

void p9_reader_begin(p9_reader* r, const uint8_t* buf, uint64_t len, uint8_t type) {
    *r = p9_reader{buf, 0, 0, 0, 0, 0};
    r->err = p9_decode_header_for(buf, len, type, &r->size, &r->tag, &r->off, &r->end);
}

void p9_read_u8(p9_reader* r, uint8_t* v) {
    if (r->err == 0) advance(r, p9_get_u8(r->buf, r->end, r->off, v) == 0 ? 1 : -1);
}
void p9_read_u16(p9_reader* r, uint16_t* v) {
    if (r->err == 0) advance(r, p9_get_u16(r->buf, r->end, r->off, v) == 0 ? 2 : -1);
}
void p9_read_u32(p9_reader* r, uint32_t* v) {
    if (r->err == 0) advance(r, p9_get_u32(r->buf, r->end, r->off, v) == 0 ? 4 : -1);
}
void p9_read_u64(p9_reader* r, uint64_t* v) {
    if (r->err == 0) advance(r, p9_get_u64(r->buf, r->end, r->off, v) == 0 ? 8 : -1);
}
void p9_read_string(p9_reader* r, const uint8_t** s, uint64_t* slen) {
    if (r->err == 0) advance(r, p9_get_string(r->buf, r->end, r->off, s, slen));
}
void p9_read_qid(p9_reader* r, uint8_t* qtype, uint32_t* qvers, uint64_t* qpath) {
    if (r->err == 0) advance(r, p9_get_qid(r->buf, r->end, r->off, qtype, qvers, qpath));
}

void p9_read_data(p9_reader* r, uint32_t count, const uint8_t** data) {
    if (r->err != 0) return;
    if (!fits(r->end, r->off, count)) {
        r->err = -2;
        return;
    }
    *data = r->buf + r->off;
    r->off += count;
}

void p9_read_welem_count(p9_reader* r, uint16_t* n) {
    *n = 0;
    uint16_t count = 0;
    p9_read_u16(r, &count);
    if (r->err != 0) return;
    if (count > P9_MAX_WELEM) {
        r->err = -2;
        return;
    }
    *n = count;
}

int64_t p9_reader_end(const p9_reader* r, uint16_t* tag) {
    if (r->err != 0) return r->err;
    if (r->off != r->end) return -2;
    *tag = r->tag;
    return r->size;
}
