// Cursor, writers, readers and the header functions.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "9p/9p.h"
#include "9p/9p_internal.h"
#include "samples.h"

namespace {

using codec_samples::Bytes;
using codec_samples::hex;

p9_cursor cursor_over(Bytes& b) {
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    return c;
}

TEST(CodecCursor, InitSetsFieldsAndAccessorsReportThem) {
    Bytes b(10, 0xEE);
    p9_cursor c{nullptr, 99, 42, -2};
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(c.buf, b.data());
    EXPECT_EQ(c.cap, 10u);
    EXPECT_EQ(p9_cursor_bytes(&c), 0u);
    EXPECT_EQ(p9_cursor_error(&c), 0);
    ASSERT_EQ(p9_put_u16(&c, 0x0102), 0);
    EXPECT_EQ(p9_cursor_bytes(&c), 2u);
}

TEST(CodecCursor, FixedWritersAreLittleEndian) {
    Bytes b(15, 0xEE);
    p9_cursor c = cursor_over(b);
    ASSERT_EQ(p9_put_u8(&c, 0x11), 0);
    ASSERT_EQ(p9_put_u16(&c, 0x2322), 0);
    ASSERT_EQ(p9_put_u32(&c, 0x47464544), 0);
    ASSERT_EQ(p9_put_u64(&c, 0x8F8E8D8C8B8A8988), 0);
    EXPECT_EQ(c.pos, 15u);
    EXPECT_EQ(b, hex("11 2223 44454647 88898A8B8C8D8E8F"));
}

TEST(CodecCursor, NoRoomIsStickyAndWritesNothing) {
    Bytes b(3, 0xEE);
    p9_cursor c = cursor_over(b);
    EXPECT_EQ(p9_put_u32(&c, 0x01020304), -1);
    EXPECT_EQ(c.err, -1);
    EXPECT_EQ(c.pos, 0u);
    EXPECT_EQ(b, Bytes(3, 0xEE));
    // A u8 would fit, but the cursor already failed.
    EXPECT_EQ(p9_put_u8(&c, 0x55), -1);
    EXPECT_EQ(p9_put_string(&c, nullptr, 0), -1);
    EXPECT_EQ(p9_put_bytes(&c, nullptr, 0), -1);
    EXPECT_EQ(c.pos, 0u);
    EXPECT_EQ(b, Bytes(3, 0xEE));
}

TEST(CodecCursor, FirstErrorWinsOverLaterKinds) {
    Bytes b(4, 0);
    p9_cursor c = cursor_over(b);
    Bytes big(70000, 'x');
    EXPECT_EQ(p9_put_string(&c, big.data(), big.size()), -2);
    EXPECT_EQ(p9_put_u64(&c, 1), -2);  // would be -1 on a healthy cursor
    EXPECT_EQ(p9_cursor_error(&c), -2);
}

TEST(CodecCursor, EachWidthFitsExactlyAndFailsOneShort) {
    struct Case {
        const char* name;
        uint64_t width;
        int32_t (*put)(p9_cursor*);
    };
    const Case cases[] = {
        {"u8", 1, [](p9_cursor* c) { return p9_put_u8(c, 0xAB); }},
        {"u16", 2, [](p9_cursor* c) { return p9_put_u16(c, 0xABCD); }},
        {"u32", 4, [](p9_cursor* c) { return p9_put_u32(c, 0xABCDEF01); }},
        {"u64", 8, [](p9_cursor* c) { return p9_put_u64(c, 0xABCDEF0123456789); }},
        {"qid", 13, [](p9_cursor* c) { return p9_put_qid(c, 1, 2, 3); }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Bytes exact(k.width);
        p9_cursor c = cursor_over(exact);
        EXPECT_EQ(k.put(&c), 0);
        EXPECT_EQ(c.pos, k.width);
        Bytes short_by_one(k.width - 1);
        c = cursor_over(short_by_one);
        EXPECT_EQ(k.put(&c), -1);
        EXPECT_EQ(c.err, -1);
    }
}

TEST(CodecCursor, QidFailureLeavesItsFittedParts) {
    Bytes b(6, 0xEE);
    p9_cursor c = cursor_over(b);
    EXPECT_EQ(p9_put_qid(&c, 0x80, 0x04030201, 7), -1);
    EXPECT_EQ(c.pos, 5u);  // type and version fitted, the path did not
    EXPECT_EQ(b, hex("80 01020304 EE"));
}

TEST(CodecCursor, QidLayout) {
    Bytes b(13);
    p9_cursor c = cursor_over(b);
    ASSERT_EQ(p9_put_qid(&c, 0x80, 0x35343332, 0x4746454443424140), 0);
    EXPECT_EQ(b, hex("80 32333435 4041424344454647"));
}

TEST(CodecString, LongestStringFits) {
    Bytes s(65535);
    for (size_t i = 0; i < s.size(); i++) s[i] = static_cast<uint8_t>(i * 7);
    Bytes b(2 + 65535 + 3, 0xEE);
    p9_cursor c = cursor_over(b);
    ASSERT_EQ(p9_put_string(&c, s.data(), s.size()), 0);
    EXPECT_EQ(c.pos, 2u + 65535u);
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[1], 0xFF);
    EXPECT_TRUE(std::equal(s.begin(), s.end(), b.begin() + 2));
    EXPECT_EQ(b[2 + 65535], 0xEE);
}

TEST(CodecString, OverlongStringIsMinusTwoWithOrWithoutRoom) {
    Bytes s(65536, 'a');
    Bytes roomy(70000, 0xEE);
    p9_cursor c = cursor_over(roomy);
    EXPECT_EQ(p9_put_string(&c, s.data(), s.size()), -2);
    EXPECT_EQ(c.err, -2);
    EXPECT_EQ(c.pos, 0u);
    EXPECT_EQ(roomy[0], 0xEE);

    Bytes tiny(1);
    c = cursor_over(tiny);
    EXPECT_EQ(p9_put_string(&c, s.data(), s.size()), -2);  // length test before room test
    EXPECT_EQ(c.err, -2);
}

TEST(CodecString, EmptyStringIsTwoZeroBytes) {
    Bytes b(3, 0xEE);
    p9_cursor c = cursor_over(b);
    ASSERT_EQ(p9_put_string(&c, nullptr, 0), 0);
    EXPECT_EQ(c.pos, 2u);
    EXPECT_EQ(b, hex("0000 EE"));
}

TEST(CodecString, RoomIsCountPlusTwo) {
    const uint8_t s[] = {'a', 'b', 'c'};
    Bytes exact(5);
    p9_cursor c = cursor_over(exact);
    EXPECT_EQ(p9_put_string(&c, s, 3), 0);
    EXPECT_EQ(exact, hex("0300 616263"));
    Bytes short_by_one(4, 0xEE);
    c = cursor_over(short_by_one);
    EXPECT_EQ(p9_put_string(&c, s, 3), -1);
    EXPECT_EQ(c.pos, 0u);
    EXPECT_EQ(short_by_one, Bytes(4, 0xEE));  // not even the count was written
}

TEST(CodecBytes, CopiesWithoutPrefixAndChecksRoom) {
    const uint8_t s[] = {9, 8, 7};
    Bytes b(3);
    p9_cursor c = cursor_over(b);
    EXPECT_EQ(p9_put_bytes(&c, s, 3), 0);
    EXPECT_EQ(b, hex("090807"));
    EXPECT_EQ(p9_put_bytes(&c, s, 0), 0);  // nothing more to write still fits
    EXPECT_EQ(p9_put_bytes(&c, s, 1), -1);
    EXPECT_EQ(c.pos, 3u);
}

TEST(CodecBytes, OverlappingSourceHigherInTheSameBuffer) {
    constexpr size_t kShift = 4096;
    constexpr size_t kCount = 6000;  // overlaps the source by 1904 bytes
    Bytes b(kShift + kCount);
    for (size_t i = 0; i < b.size(); i++) b[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
    const Bytes before(b.begin() + kShift, b.end());
    p9_cursor c = cursor_over(b);
    ASSERT_EQ(p9_put_bytes(&c, b.data() + kShift, kCount), 0);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + kCount), before);
}

TEST(CodecBytes, HugeCountDoesNotWrapTheRoomTest) {
    Bytes b(16);
    p9_cursor c = cursor_over(b);
    ASSERT_EQ(p9_put_u32(&c, 0), 0);
    EXPECT_EQ(p9_put_bytes(&c, b.data(), UINT64_MAX - 1), -1);
    EXPECT_EQ(c.pos, 4u);
}

TEST(CodecHeader, EmptyMessageIsSevenBytes) {
    Bytes b(16, 0xEE);
    p9_cursor c = cursor_over(b);
    ASSERT_EQ(p9_header_begin(&c, 109, 0x1234), 0);
    EXPECT_EQ(p9_header_finish(&c), 7);
    EXPECT_EQ(c.pos, 7u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), hex("07000000 6D 3412 EE"));
}

TEST(CodecHeader, FinishKeepsPlaceholderOnError) {
    Bytes b(9, 0xEE);
    p9_cursor c = cursor_over(b);
    ASSERT_EQ(p9_header_begin(&c, P9_TCLUNK, 1), 0);
    EXPECT_EQ(p9_put_u32(&c, 5), -1);
    EXPECT_EQ(p9_header_finish(&c), -1);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), hex("00000000"));
    EXPECT_EQ(c.pos, 7u);
}

TEST(CodecHeader, FinishReturnsTheStoredCodeUntouched) {
    Bytes b(8, 0xEE);
    p9_cursor c = cursor_over(b);
    c.err = -2;
    EXPECT_EQ(p9_header_finish(&c), -2);
    EXPECT_EQ(b, Bytes(8, 0xEE));
}

TEST(CodecHeader, BeginStopsAtTheFirstWriteThatDoesNotFit) {
    Bytes b(6, 0xEE);
    p9_cursor c = cursor_over(b);
    EXPECT_EQ(p9_header_begin(&c, P9_TCLUNK, 0xBEEF), -1);
    EXPECT_EQ(c.pos, 5u);  // size placeholder and type fitted, the tag did not
    EXPECT_EQ(b, hex("00000000 78 EE"));
}

TEST(CodecHeader, FinishWithoutAHeaderIsNoRoom) {
    Bytes b(4, 0xEE);
    p9_cursor c = cursor_over(b);
    EXPECT_EQ(p9_header_finish(&c), -1);
    EXPECT_EQ(b, Bytes(4, 0xEE));
}

TEST(CodecReaders, FixedReadersAreLittleEndianAndBounded) {
    const Bytes b = hex("11 2223 44454647 88898A8B8C8D8E8F");
    uint8_t v8 = 0;
    uint16_t v16 = 0;
    uint32_t v32 = 0;
    uint64_t v64 = 0;
    EXPECT_EQ(p9_get_u8(b.data(), b.size(), 0, &v8), 0);
    EXPECT_EQ(p9_get_u16(b.data(), b.size(), 1, &v16), 0);
    EXPECT_EQ(p9_get_u32(b.data(), b.size(), 3, &v32), 0);
    EXPECT_EQ(p9_get_u64(b.data(), b.size(), 7, &v64), 0);
    EXPECT_EQ(v8, 0x11);
    EXPECT_EQ(v16, 0x2322);
    EXPECT_EQ(v32, 0x47464544u);
    EXPECT_EQ(v64, 0x8F8E8D8C8B8A8988u);

    // One byte too far: -1 and the out-parameter keeps its value.
    EXPECT_EQ(p9_get_u8(b.data(), b.size(), 15, &v8), -1);
    EXPECT_EQ(p9_get_u16(b.data(), b.size(), 14, &v16), -1);
    EXPECT_EQ(p9_get_u32(b.data(), b.size(), 12, &v32), -1);
    EXPECT_EQ(p9_get_u64(b.data(), b.size(), 8, &v64), -1);
    EXPECT_EQ(v8, 0x11);
    EXPECT_EQ(v16, 0x2322);
    EXPECT_EQ(v32, 0x47464544u);
    EXPECT_EQ(v64, 0x8F8E8D8C8B8A8988u);

    // The bound is the length given, not the buffer's size.
    EXPECT_EQ(p9_get_u32(b.data(), 6, 3, &v32), -1);
    // Offsets near the top of the range do not wrap around.
    EXPECT_EQ(p9_get_u64(b.data(), b.size(), UINT64_MAX - 3, &v64), -1);
    EXPECT_EQ(p9_get_u8(b.data(), b.size(), UINT64_MAX, &v8), -1);
}

TEST(CodecReaders, StringAtTheVeryEnd) {
    const Bytes b = hex("EE EE 0000");
    const uint8_t* s = nullptr;
    uint64_t n = 99;
    EXPECT_EQ(p9_get_string(b.data(), b.size(), 2, &s, &n), 2);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(s, b.data() + 4);

    const Bytes one = hex("EE EE 0100");
    s = nullptr;
    n = 99;
    EXPECT_EQ(p9_get_string(one.data(), one.size(), 2, &s, &n), -2);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(n, 99u);
    EXPECT_EQ(p9_get_string(one.data(), one.size(), 3, &s, &n), -1);  // no room for the count
    EXPECT_EQ(p9_get_string(one.data(), one.size(), UINT64_MAX - 1, &s, &n), -1);
}

TEST(CodecReaders, StringPointsIntoTheBuffer) {
    const Bytes b = hex("0300 616263 EE");
    const uint8_t* s = nullptr;
    uint64_t n = 0;
    EXPECT_EQ(p9_get_string(b.data(), b.size(), 0, &s, &n), 5);
    EXPECT_EQ(s, b.data() + 2);
    EXPECT_EQ(codec_samples::str(s, n), "abc");
    EXPECT_EQ(p9_get_string(b.data(), 4, 0, &s, &n), -2);  // bytes past the bound
}

TEST(CodecReaders, Qid) {
    const Bytes b = hex("EE 80 32333435 4041424344454647");
    uint8_t t = 0;
    uint32_t v = 0;
    uint64_t p = 0;
    EXPECT_EQ(p9_get_qid(b.data(), b.size(), 1, &t, &v, &p), 13);
    EXPECT_EQ(t, 0x80);
    EXPECT_EQ(v, 0x35343332u);
    EXPECT_EQ(p, 0x4746454443424140u);
    EXPECT_EQ(p9_get_qid(b.data(), b.size(), 2, &t, &v, &p), -1);
    EXPECT_EQ(p9_get_qid(b.data(), b.size() - 1, 1, &t, &v, &p), -1);
}

TEST(CodecDecodeHeader, Cases) {
    uint32_t size = 1;
    uint8_t type = 2;
    uint16_t tag = 3;
    const Bytes six = hex("070000006D34");
    EXPECT_EQ(p9_decode_header(six.data(), six.size(), &size, &type, &tag), -1);
    EXPECT_EQ(size, 1u);

    const Bytes small = hex("06000000 6D 3412");
    EXPECT_EQ(p9_decode_header(small.data(), small.size(), &size, &type, &tag), -2);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(tag, 3);

    const Bytes larger = hex("00000100 78 3412");  // claims 65536 bytes
    EXPECT_EQ(p9_decode_header(larger.data(), larger.size(), &size, &type, &tag), 0);
    EXPECT_EQ(size, 65536u);
    EXPECT_EQ(type, P9_TCLUNK);
    EXPECT_EQ(tag, 0x1234);
}

TEST(CodecDecodeHeaderFor, FailuresLeaveOutParametersAlone) {
    struct Case {
        const char* name;
        Bytes bytes;
        int32_t want;
    };
    const Case cases[] = {
        {"shorter than 7", hex("0B000000 78 01"), -1},
        {"size above length", hex("0C000000 78 0100 04030201"), -1},
        {"size 3", hex("03000000 78 0100 04030201"), -2},
        {"size 6", hex("06000000 78 0100"), -2},
        {"other type", hex("0B000000 70 0100 04030201"), -3},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        uint32_t size = 0xAAAAAAAA;
        uint16_t tag = 0xBBBB;
        uint64_t start = 0xCC, end = 0xDD;
        EXPECT_EQ(p9_decode_header_for(k.bytes.data(), k.bytes.size(), P9_TCLUNK, &size, &tag,
                                       &start, &end),
                  k.want);
        EXPECT_EQ(size, 0xAAAAAAAAu);
        EXPECT_EQ(tag, 0xBBBB);
        EXPECT_EQ(start, 0xCCu);
        EXPECT_EQ(end, 0xDDu);
    }
}

TEST(CodecDecodeHeaderFor, SuccessGivesBodyBoundsFromTheSizeField) {
    const Bytes b = hex("0B000000 78 3412 04030201 EEEE");
    uint32_t size = 0;
    uint16_t tag = 0;
    uint64_t start = 0, end = 0;
    EXPECT_EQ(p9_decode_header_for(b.data(), b.size(), P9_TCLUNK, &size, &tag, &start, &end), 0);
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(tag, 0x1234);
    EXPECT_EQ(start, 7u);
    EXPECT_EQ(end, 11u);
}

}  // namespace
