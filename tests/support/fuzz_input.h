// A fuzz input read as a program: little-endian fields taken from the front,
// zeros once it is used up, so every input is a complete program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane_test {

struct FuzzInput {
    const uint8_t* p;
    size_t n;
    size_t i = 0;
    bool done() const { return i >= n; }
    uint8_t u8() { return i < n ? p[i++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
    uint64_t u64() { return static_cast<uint64_t>(u32()) | static_cast<uint64_t>(u32()) << 32; }
};

}  // namespace tolvane_test
