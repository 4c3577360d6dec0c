// Helpers shared by the persistence suites: little-endian byte access and an
// image builder that knows the "TLNIMG03" layout by its literal offsets, kept
// apart from the server's own writer so that each checks the other.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace persist_test {

using Bytes = std::vector<uint8_t>;

// Offsets of the image's tables, written out as numbers on purpose.
inline constexpr uint64_t OFF_KIND = 8;
inline constexpr uint64_t OFF_PARENT = 392;
inline constexpr uint64_t OFF_NAME = 3464;
inline constexpr uint64_t OFF_NAMELEN = 28040;
inline constexpr uint64_t OFF_SIZE = 31112;
inline constexpr uint64_t OFF_VERS = 34184;
inline constexpr uint64_t OFF_CHAINLEN = 35720;
inline constexpr uint64_t FIXED = 38792;
inline constexpr uint64_t ROWS = 384;

inline uint64_t get_le(const Bytes& b, uint64_t off, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; i++) v |= static_cast<uint64_t>(b.at(off + i)) << (8 * i);
    return v;
}

inline void put_le(Bytes& b, uint64_t off, uint64_t v, int width) {
    for (int i = 0; i < width; i++) b.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
}

// One row of the node table as the image stores it.
struct Row {
    uint8_t kind = 0;
    int64_t parent = 0;
    std::array<uint8_t, 64> name{};
    uint64_t namelen = 0;
    uint64_t size = 0;
    uint32_t vers = 0;
    uint64_t chain_len = 0;
};

inline Row dir_row(int64_t parent, std::string_view name) {
    Row r;
    r.kind = 1;
    r.parent = parent;
    for (size_t i = 0; i < name.size(); i++) r.name[i] = static_cast<uint8_t>(name[i]);
    r.namelen = name.size();
    return r;
}

inline Row file_row(int64_t parent, std::string_view name, uint64_t size, uint64_t chain_len) {
    Row r = dir_row(parent, name);
    r.kind = 2;
    r.size = size;
    r.chain_len = chain_len;
    return r;
}

// A whole image: all rows, and the stored contents of the rows that have
// them (zero-padded or cut to the row's size when encoded).
struct ImageDesc {
    std::array<Row, 384> rows{};
    std::map<uint64_t, Bytes> data;

    Bytes encode() const {
        Bytes b(FIXED, 0);
        const char* magic = "TLNIMG03";
        for (int i = 0; i < 8; i++) b[i] = static_cast<uint8_t>(magic[i]);
        for (uint64_t n = 0; n < ROWS; n++) {
            const Row& r = rows[n];
            b[OFF_KIND + n] = r.kind;
            put_le(b, OFF_PARENT + 8 * n, static_cast<uint64_t>(r.parent), 8);
            for (int i = 0; i < 64; i++) b[OFF_NAME + 64 * n + i] = r.name[i];
            put_le(b, OFF_NAMELEN + 8 * n, r.namelen, 8);
            put_le(b, OFF_SIZE + 8 * n, r.size, 8);
            put_le(b, OFF_VERS + 4 * n, r.vers, 4);
            put_le(b, OFF_CHAINLEN + 8 * n, r.chain_len, 8);
        }
        for (uint64_t n = 0; n < ROWS; n++) {
            const Row& r = rows[n];
            if (r.kind != 2 || r.chain_len == 0) continue;
            Bytes c;
            auto it = data.find(n);
            if (it != data.end()) c = it->second;
            c.resize(r.size, 0);
            b.insert(b.end(), c.begin(), c.end());
        }
        return b;
    }
};

// The root and the ten directories of a fresh start, in their rows.
inline ImageDesc skeleton_desc() {
    ImageDesc d;
    d.rows[0].kind = 1;
    const std::vector<std::pair<int64_t, const char*>> dirs = {
        {0, "var"}, {0, "usr"},  {0, "etc"},  {1, "lib"}, {1, "cache"},
        {1, "www"}, {4, "dpkg"}, {7, "info"}, {5, "apt"}, {9, "archives"}};
    for (size_t i = 0; i < dirs.size(); i++) d.rows[i + 1] = dir_row(dirs[i].first, dirs[i].second);
    return d;
}

}  // namespace persist_test
