// A byte ring over caller-owned storage, for the replies a client has not
// taken yet.
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

// The bytes [at, at + len) as one or two iovecs; returns how many.
inline int ring_iov(const Ring& r, uint64_t at, uint64_t len, iovec* iov) {
    uint64_t off = at & (r.cap - 1);
    uint64_t first = r.cap - off < len ? r.cap - off : len;
    iov[0] = {r.buf + off, first};
    if (first == len) return 1;
    iov[1] = {r.buf, len - first};
    return 2;
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
