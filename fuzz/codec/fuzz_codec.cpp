// Fuzz target for the codec's decoders. Arbitrary bytes go to the decoder
// chosen by the type byte, to p9_decode_header and to p9_decode_stat at offset
// 0. The input is copied into a heap block of exactly its size, so any read
// past the given length is caught by AddressSanitizer. Whatever a decoder
// accepts must re-encode with the matching encoder to exactly the bytes it
// was decoded from.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "9p/9p.h"
#include "reencode.h"

namespace {

void check(uint8_t type, const uint8_t* in, uint64_t len, uint8_t* out) {
    codec_oracle::Result r = codec_oracle::reencode(type, in, len, out);
    if (r.decoded >= 0 && (static_cast<uint64_t>(r.decoded) > len || !r.same)) __builtin_trap();
}

void check_header(const uint8_t* in, uint64_t len) {
    uint32_t size = 0;
    uint8_t type = 0;
    uint16_t tag = 0;
    int32_t h = p9_decode_header(in, len, &size, &type, &tag);
    if (h == 0 && (size < P9_HEADER_LEN || type != in[4] || tag != (in[5] | in[6] << 8)))
        __builtin_trap();
    if (h == -1 && len >= P9_HEADER_LEN) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> in(new uint8_t[size]);
    std::unique_ptr<uint8_t[]> out(new uint8_t[size]);
    for (size_t i = 0; i < size; i++) in[i] = data[i];

    check_header(in.get(), size);
    check(codec_oracle::STAT_RECORD, in.get(), size, out.get());
    if (size > 4) check(in[4], in.get(), size, out.get());
    return 0;
}
