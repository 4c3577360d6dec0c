// Primitives internal to the codec: cursor writers, stateless readers and the
// header helpers every message encoder and decoder is built from. Not part of
// the library's public interface (the server calls none of them); the codec's
// own tests use them directly.
#pragma once

#include "9p/9p.h"

// Longest string a u16 count can carry; also the largest stat record size.
inline constexpr uint64_t P9_STRING_MAX = 0xFFFF;

// Unchecked stores, for a writer that has checked the room for all it writes
// (the p9_put_* below, and p9_emit_stat's one-check path). Each writes at p
// and returns the byte after what it wrote.
// v little-endian in n bytes.
inline uint8_t* p9_store_le(uint8_t* p, uint64_t v, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
    return p + n;
}
// count bytes with the compiler's memmove: correct when src lies above p in
// the same buffer, even when the two ranges overlap. Bytes already in place
// (a directory listing built where its Rread carries it) are not moved.
inline uint8_t* p9_store_bytes(uint8_t* p, const uint8_t* src, uint64_t count) {
    if (count != 0 && p != src) __builtin_memmove(p, src, count);
    return p + count;
}
// A string: u16 count, then the bytes (which may lie in the same buffer).
inline uint8_t* p9_store_string(uint8_t* p, const uint8_t* s, uint64_t len) {
    return p9_store_bytes(p9_store_le(p, len, 2), s, len);
}

// Writers: 0, or the error (-1 no room, -2 string over 65535 bytes). Each tests
// its bound once before writing anything; a cursor with err set is untouched.
[[nodiscard]] int32_t p9_put_u8(p9_cursor* c, uint8_t v);
[[nodiscard]] int32_t p9_put_u16(p9_cursor* c, uint16_t v);
[[nodiscard]] int32_t p9_put_u32(p9_cursor* c, uint32_t v);
[[nodiscard]] int32_t p9_put_u64(p9_cursor* c, uint64_t v);
[[nodiscard]] int32_t p9_put_string(p9_cursor* c, const uint8_t* s, uint64_t len);
// Copies front to back, so a source later in the same buffer may overlap.
[[nodiscard]] int32_t p9_put_bytes(p9_cursor* c, const uint8_t* src, uint64_t count);
[[nodiscard]] int32_t p9_put_qid(p9_cursor* c, uint8_t qtype, uint32_t qvers, uint64_t qpath);
// Writes size placeholder 0, type, tag.
[[nodiscard]] int32_t p9_header_begin(p9_cursor* c, uint8_t type, uint16_t tag);
// Patches pos into bytes 0..3; returns pos, or the sticky error.
[[nodiscard]] int32_t p9_header_finish(p9_cursor* c);

// Readers: bounded by len, never advance anything. 0 or -1.
[[nodiscard]] int32_t p9_get_u8(const uint8_t* buf, uint64_t len, uint64_t off, uint8_t* v);
[[nodiscard]] int32_t p9_get_u16(const uint8_t* buf, uint64_t len, uint64_t off, uint16_t* v);
[[nodiscard]] int32_t p9_get_u32(const uint8_t* buf, uint64_t len, uint64_t off, uint32_t* v);
[[nodiscard]] int32_t p9_get_u64(const uint8_t* buf, uint64_t len, uint64_t off, uint64_t* v);
// Bytes consumed (2 + length), -1 (no room for the count) or -2 (bytes past len).
[[nodiscard]] int64_t p9_get_string(const uint8_t* buf, uint64_t len, uint64_t off,
                                    const uint8_t** s, uint64_t* slen);
// 13 or -1.
[[nodiscard]] int64_t p9_get_qid(const uint8_t* buf, uint64_t len, uint64_t off, uint8_t* qtype,
                                 uint32_t* qvers, uint64_t* qpath);
// First step of every message decoder: 0, -1 (short buffer or size > len),
// -2 (size below 7) or -3 (other type). Out-parameters written only on success.
[[nodiscard]] int32_t p9_decode_header_for(const uint8_t* buf, uint64_t len, uint8_t type,
                                           uint32_t* size, uint16_t* tag, uint64_t* body_start,
                                           uint64_t* body_end);

// Decoder state shared by the message decoders: the body bounds taken from the
// header, the offset of the next field, and a sticky error like the cursor's.
// Each p9_read_* reads one field at off through the readers above, bounded by
// end (the size field, never the buffer length), and moves off past it; once
// err is set every later p9_read_* does nothing. A decoder is p9_reader_begin,
// one p9_read_* per field in wire order, then p9_reader_end.
struct p9_reader {
    const uint8_t* buf;
    uint64_t end;  // body end: the message's size field
    uint64_t off;  // next field
    uint32_t size;
    uint16_t tag;
    int32_t err;  // 0, the header's code (-1, -2, -3), or -2 for a bad body
};

// Runs p9_decode_header_for with the expected type and sets the reader at the
// body start; on a header failure err holds its code and nothing else is set.
void p9_reader_begin(p9_reader* r, const uint8_t* buf, uint64_t len, uint8_t type);
void p9_read_u8(p9_reader* r, uint8_t* v);
void p9_read_u16(p9_reader* r, uint16_t* v);
void p9_read_u32(p9_reader* r, uint32_t* v);
void p9_read_u64(p9_reader* r, uint64_t* v);
void p9_read_string(p9_reader* r, const uint8_t** s, uint64_t* slen);
void p9_read_qid(p9_reader* r, uint8_t* qtype, uint32_t* qvers, uint64_t* qpath);
// count bytes of data left in place: *data points at them inside the buffer.
void p9_read_data(p9_reader* r, uint32_t count, const uint8_t** data);
// Walk element count: a u16 that may not exceed P9_MAX_WELEM (else err -2).
// *n is always set: the count, or 0 when err is set, so a loop over it stays
// inside the caller's P9_MAX_WELEM-entry arrays.
void p9_read_welem_count(p9_reader* r, uint16_t* n);
// The decoder's result: err if set; -2 if the fields did not end exactly at the
// body end; otherwise the tag is stored and the size field returned.
[[nodiscard]] int64_t p9_reader_end(const p9_reader* r, uint16_t* tag);
