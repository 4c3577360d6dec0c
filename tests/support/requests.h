// Requests built with the codec, for every test driver: the suites, the model
// test and the soak. No GoogleTest: a request the encoder refuses comes back
// empty, and the caller decides what that means.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "9p/9p.h"

namespace tolvane_test {

using Bytes = std::vector<uint8_t>;

inline const uint8_t* u8(std::string_view s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

// Builds one message with an encoder: build([&](p9_cursor* c){ return p9_emit_tclunk(c, 1, 7); }).
// The scratch buffer is per thread: the crowd soak's clients build at once.
template <class Emit>
Bytes build(Emit&& emit) {
    thread_local Bytes scratch(1 << 20);
    p9_cursor c;
    p9_cursor_init(&c, scratch.data(), scratch.size());
    int32_t n = emit(&c);
    return Bytes(scratch.begin(), scratch.begin() + (n < 0 ? 0 : n));
}

inline Bytes tversion(uint16_t tag, uint32_t msize, std::string_view version = "9P2000") {
    return build(
        [&](p9_cursor* c) { return p9_emit_tversion(c, tag, msize, u8(version), version.size()); });
}

inline Bytes tattach(uint16_t tag, uint32_t fid, std::string_view aname = "") {
    return build([&](p9_cursor* c) {
        return p9_emit_tattach(c, tag, fid, P9_NOFID, u8("test"), 4, u8(aname), aname.size());
    });
}

inline Bytes tauth(uint16_t tag, uint32_t afid) {
    return build([&](p9_cursor* c) { return p9_emit_tauth(c, tag, afid, u8("u"), 1, u8(""), 0); });
}

// Encodes even more than P9_MAX_WELEM names, so tests can send what the
// codec's encoder refuses to build.
inline Bytes twalk(uint16_t tag, uint32_t fid, uint32_t newfid,
                   const std::vector<std::string>& names) {
    if (names.size() > P9_MAX_WELEM) {
        Bytes b(7);
        auto put = [&](uint64_t v, int bytes) {
            for (int i = 0; i < bytes; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        put(fid, 4);
        put(newfid, 4);
        put(names.size(), 2);
        for (const auto& n : names) {
            put(n.size(), 2);
            b.insert(b.end(), n.begin(), n.end());
        }
        uint32_t size = static_cast<uint32_t>(b.size());
        for (int i = 0; i < 4; i++) b[i] = static_cast<uint8_t>(size >> (8 * i));
        b[4] = P9_TWALK;
        b[5] = static_cast<uint8_t>(tag);
        b[6] = static_cast<uint8_t>(tag >> 8);
        return b;
    }
    std::vector<const uint8_t*> ptrs;
    std::vector<uint64_t> lens;
    for (const auto& n : names) {
        ptrs.push_back(u8(n));
        lens.push_back(n.size());
    }
    return build([&](p9_cursor* c) {
        return p9_emit_twalk(c, tag, fid, newfid, static_cast<uint16_t>(names.size()), ptrs.data(),
                             lens.data());
    });
}

inline Bytes topen(uint16_t tag, uint32_t fid, uint8_t mode) {
    return build([&](p9_cursor* c) { return p9_emit_topen(c, tag, fid, mode); });
}

inline Bytes tcreate(uint16_t tag, uint32_t fid, std::string_view name, uint32_t perm,
                     uint8_t mode) {
    return build([&](p9_cursor* c) {
        return p9_emit_tcreate(c, tag, fid, u8(name), name.size(), perm, mode);
    });
}

inline Bytes tread(uint16_t tag, uint32_t fid, uint64_t offset, uint32_t count) {
    return build([&](p9_cursor* c) { return p9_emit_tread(c, tag, fid, offset, count); });
}

inline Bytes twrite(uint16_t tag, uint32_t fid, uint64_t offset, const uint8_t* data,
                    uint32_t count) {
    return build([&](p9_cursor* c) { return p9_emit_twrite(c, tag, fid, offset, data, count); });
}

inline Bytes twrite(uint16_t tag, uint32_t fid, uint64_t offset, const Bytes& data) {
    return twrite(tag, fid, offset, data.data(), static_cast<uint32_t>(data.size()));
}

inline Bytes tclunk(uint16_t tag, uint32_t fid) {
    return build([&](p9_cursor* c) { return p9_emit_tclunk(c, tag, fid); });
}

inline Bytes tstat(uint16_t tag, uint32_t fid) {
    return build([&](p9_cursor* c) { return p9_emit_tstat(c, tag, fid); });
}

inline Bytes tremove(uint16_t tag, uint32_t fid) {
    return build([&](p9_cursor* c) { return p9_emit_tremove(c, tag, fid); });
}

inline Bytes tflush(uint16_t tag, uint16_t oldtag) {
    return build([&](p9_cursor* c) { return p9_emit_tflush(c, tag, oldtag); });
}

}  // namespace tolvane_test
