// A byte ring over caller-owned storage, for the relay's message queues.
//
// Positions are absolute 64-bit counters that only grow; a position's byte
// lives at (position & (cap - 1)), so cap is a power of two and a message may
// wrap around the end of the storage. A message is then read, written or sent
// as at most two pieces (iovecs), and nothing is ever moved to make room.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <cstring>

struct Ring {
    uint8_t* buf = nullptr;
    uint64_t cap = 0;   // a power of two
    uint64_t head = 0;  // the first byte still needed
    uint64_t tail = 0;  // one past the last byte held
};

inline void ring_init(Ring& r, uint8_t* storage, uint64_t cap) {
    r.buf = storage;
    r.cap = cap;
    r.head = 0;
    r.tail = 0;
}

inline uint64_t ring_used(const Ring& r) {
    return r.tail - r.head;
}

inline uint64_t ring_room(const Ring& r) {
    return r.cap - ring_used(r);
}

inline uint8_t ring_at(const Ring& r, uint64_t at) {
    return r.buf[at & (r.cap - 1)];
}

inline void ring_set(Ring& r, uint64_t at, uint8_t v) {
    r.buf[at & (r.cap - 1)] = v;
}

// Little-endian fields of n bytes (n <= 4) at position at.
inline uint32_t ring_get_le(const Ring& r, uint64_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = v << 8 | ring_at(r, at + static_cast<uint64_t>(i));
    return v;
}

inline void ring_put_le(Ring& r, uint64_t at, uint32_t v, int n) {
    for (int i = 0; i < n; i++) ring_set(r, at + static_cast<uint64_t>(i), static_cast<uint8_t>(v >> (8 * i)));
}

// The bytes [at, at + len) as one or two iovecs; returns how many.
inline int ring_iov(const Ring& r, uint64_t at, uint64_t len, iovec* iov) {
    uint64_t off = at & (r.cap - 1);
    uint64_t first = r.cap - off < len ? r.cap - off : len;
    iov[0] = {r.buf + off, first};
    if (first == len) return 1;
    iov[1] = {r.buf, len - first};
    return 2;
}

// The free space after tail as one or two iovecs, at most max bytes; returns
// how many (0 when the ring is full or max is 0).
inline int ring_free_iov(const Ring& r, uint64_t max, iovec* iov) {
    uint64_t len = ring_room(r) < max ? ring_room(r) : max;
    return len == 0 ? 0 : ring_iov(r, r.tail, len, iov);
}

inline void ring_copy_out(const Ring& r, uint64_t at, uint64_t len, uint8_t* dst) {
    iovec iov[2];
    int n = ring_iov(r, at, len, iov);
    for (int i = 0; i < n; i++) {
        memcpy(dst, iov[i].iov_base, iov[i].iov_len);
        dst += iov[i].iov_len;
    }
}

// Appends len bytes; the caller has made sure they fit.
inline void ring_append(Ring& r, const uint8_t* src, uint64_t len) {
    iovec iov[2];
    int n = ring_iov(r, r.tail, len, iov);
    for (int i = 0; i < n; i++) {
        memcpy(iov[i].iov_base, src, iov[i].iov_len);
        src += iov[i].iov_len;
    }
    r.tail += len;
}

// Appends [at, at + len) of another ring; the caller has made sure they fit.
inline void ring_append_ring(Ring& r, const Ring& from, uint64_t at, uint64_t len) {
    iovec iov[2];
    int n = ring_iov(from, at, len, iov);
    for (int i = 0; i < n; i++) ring_append(r, static_cast<const uint8_t*>(iov[i].iov_base), iov[i].iov_len);
}
