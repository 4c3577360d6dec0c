// Tversion, Rversion and Rerror.
#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "9p/9p.h"
#include "samples.h"

namespace {

using codec_samples::Bytes;
using codec_samples::hex;
using codec_samples::str;
using codec_samples::u8;

TEST(CodecVersion, RversionBytes) {
    Bytes b(64, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(p9_emit_rversion(&c, 0xFFFF, 131072, u8("9P2000"), 6), 19);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 19),
              hex("13 00 00 00 65 FF FF 00 00 02 00 06 00 39 50 32 30 30 30"));

    uint16_t tag = 0;
    uint32_t msize = 0;
    const uint8_t* v = nullptr;
    uint64_t vlen = 0;
    EXPECT_EQ(p9_decode_rversion(b.data(), b.size(), &tag, &msize, &v, &vlen), 19);
    EXPECT_EQ(tag, 0xFFFF);
    EXPECT_EQ(msize, 131072u);
    EXPECT_EQ(str(v, vlen), "9P2000");
    EXPECT_EQ(v, b.data() + 13);
}

TEST(CodecVersion, EmptyVersionIsThirteenBytes) {
    Bytes b(13);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(p9_emit_tversion(&c, 7, 8192, nullptr, 0), 13);
    EXPECT_EQ(b, hex("0D000000 64 0700 00200000 0000"));

    uint16_t tag = 0;
    uint32_t msize = 0;
    const uint8_t* v = nullptr;
    uint64_t vlen = 99;
    EXPECT_EQ(p9_decode_tversion(b.data(), b.size(), &tag, &msize, &v, &vlen), 13);
    EXPECT_EQ(vlen, 0u);
    EXPECT_EQ(msize, 8192u);
    EXPECT_EQ(tag, 7);
}

TEST(CodecVersion, ByteAfterTheVersionInsideTheSizeIsRejected) {
    const Bytes b = hex("0E000000 64 0700 00200000 0000 EE");
    uint16_t tag = 0;
    uint32_t msize = 0;
    const uint8_t* v = nullptr;
    uint64_t vlen = 0;
    EXPECT_EQ(p9_decode_tversion(b.data(), b.size(), &tag, &msize, &v, &vlen), -2);
}

TEST(CodecVersion, VersionStringPastTheSizeIsRejected) {
    // The string claims 6 bytes, the size field covers only 5 of them; the
    // buffer holds all six, but reads are bounded by the size field.
    const Bytes b = hex("12000000 65 0000 00000200 0600 395032303030");
    uint16_t tag = 0;
    uint32_t msize = 0;
    const uint8_t* v = nullptr;
    uint64_t vlen = 0;
    EXPECT_EQ(p9_decode_rversion(b.data(), b.size(), &tag, &msize, &v, &vlen), -2);
}

TEST(CodecVersion, MsizeAndTextAreNotExamined) {
    Bytes b(32);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(p9_emit_tversion(&c, P9_NOTAG, 0xFFFFFFFF, u8("x\0y"), 3), 16);
    uint16_t tag = 0;
    uint32_t msize = 0;
    const uint8_t* v = nullptr;
    uint64_t vlen = 0;
    EXPECT_EQ(p9_decode_tversion(b.data(), b.size(), &tag, &msize, &v, &vlen), 16);
    EXPECT_EQ(msize, 0xFFFFFFFFu);
    EXPECT_EQ(str(v, vlen), std::string_view("x\0y", 3));
}

TEST(CodecError, RerrorBytesAndRoundTrip) {
    const std::string_view text = "tolvane: unknown fid";
    Bytes b(64);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(p9_emit_rerror(&c, 0x0102, u8(text), text.size()), 29);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 9), hex("1D000000 6B 0201 1400"));

    uint16_t tag = 0;
    const uint8_t* e = nullptr;
    uint64_t elen = 0;
    EXPECT_EQ(p9_decode_rerror(b.data(), 29, &tag, &e, &elen), 29);
    EXPECT_EQ(tag, 0x0102);
    EXPECT_EQ(str(e, elen), text);
}

TEST(CodecError, OverlongTextLeavesHeaderWithZeroSize) {
    Bytes text(70000, 'e');
    Bytes b(80000, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(p9_emit_rerror(&c, 5, text.data(), text.size()), -2);
    EXPECT_EQ(c.pos, 7u);
    EXPECT_EQ(c.err, -2);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), hex("00000000 6B 0500 EE"));
}

TEST(CodecError, RerrorDecoderRefusesRversion) {
    const Bytes b = hex("13 00 00 00 65 FF FF 00 00 02 00 06 00 39 50 32 30 30 30");
    uint16_t tag = 0x1111;
    const uint8_t* e = nullptr;
    uint64_t elen = 0x2222;
    EXPECT_EQ(p9_decode_rerror(b.data(), b.size(), &tag, &e, &elen), -3);
    EXPECT_EQ(tag, 0x1111);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(elen, 0x2222u);
}

TEST(CodecError, EncodersOnAFailedCursorChangeNothing) {
    Bytes b(64, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    c.err = -1;
    EXPECT_EQ(p9_emit_rerror(&c, 1, u8("x"), 1), -1);
    EXPECT_EQ(p9_emit_tversion(&c, 1, 1, u8("x"), 1), -1);
    EXPECT_EQ(p9_emit_rversion(&c, 1, 1, u8("x"), 1), -1);
    EXPECT_EQ(c.pos, 0u);
    EXPECT_EQ(b, Bytes(64, 0xEE));
}

TEST(CodecError, VersionMessageTooBigForTheCursor) {
    Bytes b(18, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(p9_emit_rversion(&c, 1, 131072, u8("9P2000"), 6), -1);
    EXPECT_EQ(c.pos, 11u);  // header and msize; the string did not fit
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), hex("00000000"));
}

}  // namespace
