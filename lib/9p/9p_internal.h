// Primitives internal to the codec: cursor writers, stateless readers and the
// header helpers every message encoder and decoder is built from. Not part of
// the library's public interface (the server calls none of them); the codec's
// own tests use them directly.
#pragma once

#include "9p/9p.h"

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
