// Byte helpers of the test kit, header-only so the codec tests, the server
// tests and the fuzz targets share them without GoogleTest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tolvane_test {

using Bytes = std::vector<uint8_t>;

// "13 00 00 00 64" -> bytes. Anything but hex digits (spaces) is skipped.
inline Bytes hex(std::string_view text) {
    Bytes out;
    int hi = -1;
    for (char ch : text) {
        int v;
        if (ch >= '0' && ch <= '9')
            v = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            v = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F')
            v = ch - 'A' + 10;
        else
            continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

// n bytes of a pseudo-random pattern chosen by seed, never zero (so a byte
// that reads back as zero was lost, not written).
inline Bytes bytes_pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>((x >> 16) | 1);
    }
    return b;
}

}  // namespace tolvane_test
