// Encodes a Tversion with the installed codec and decodes it back; exits 0
// when both agree.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "9p/9p.h"

int main() {
    uint8_t buf[64];
    p9_cursor c;
    p9_cursor_init(&c, buf, sizeof buf);
    const uint8_t v[] = {'9', 'P', '2', '0', '0', '0'};
    int32_t len = p9_emit_tversion(&c, P9_NOTAG, 8192, v, sizeof v);
    uint16_t tag = 0;
    uint32_t msize = 0;
    const uint8_t* version = nullptr;
    uint64_t vlen = 0;
    if (len < 0 ||
        p9_decode_tversion(buf, static_cast<uint64_t>(len), &tag, &msize, &version, &vlen) < 0) {
        return 1;
    }
    bool same = msize == 8192 && vlen == 6 && std::memcmp(version, "9P2000", 6) == 0;
    std::printf("%s\n", same ? "codec ok" : "codec mismatch");
    return same ? 0 : 1;
}
