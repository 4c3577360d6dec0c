// The stat record and the stat messages.
#include "stat.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "9p/9p.h"
#include "9p/9p_internal.h"
#include "samples.h"

namespace {

using codec_samples::Bytes;
using codec_samples::hex;
using codec_samples::str;
using codec_samples::u8;

// The 17 values of a record, held in the client library's Stat.
using Stat = tlnclient::Stat;

const Stat kFixed{0x0102,
                  0x06050403,
                  {0x80, 0x35343332, 0x4746454443424140},
                  0x800001ED,
                  0x65666768,
                  0x75767778,
                  0x0000000100000002,
                  "",
                  "",
                  "",
                  ""};

int32_t emit(p9_cursor* c, const Stat& s) {
    return p9_emit_stat(c, s.type, s.dev, s.qid.type, s.qid.version, s.qid.path, s.mode, s.atime,
                        s.mtime, s.length, u8(s.name), s.name.size(), u8(s.uid), s.uid.size(),
                        u8(s.gid), s.gid.size(), u8(s.muid), s.muid.size());
}

int32_t emit_rstat(p9_cursor* c, uint16_t tag, const Stat& s) {
    return p9_emit_rstat(c, tag, s.type, s.dev, s.qid.type, s.qid.version, s.qid.path, s.mode,
                         s.atime, s.mtime, s.length, u8(s.name), s.name.size(), u8(s.uid),
                         s.uid.size(), u8(s.gid), s.gid.size(), u8(s.muid), s.muid.size());
}

int32_t emit_twstat(p9_cursor* c, uint16_t tag, uint32_t fid, const Stat& s) {
    return p9_emit_twstat(c, tag, fid, s.type, s.dev, s.qid.type, s.qid.version, s.qid.path, s.mode,
                          s.atime, s.mtime, s.length, u8(s.name), s.name.size(), u8(s.uid),
                          s.uid.size(), u8(s.gid), s.gid.size(), u8(s.muid), s.muid.size());
}

// Decoded record: numbers plus (pointer, length) strings.
struct Out {
    Stat s;
    const uint8_t* p[4] = {};
    uint64_t n[4] = {};
    void views() {
        s.name = str(p[0], n[0]);
        s.uid = str(p[1], n[1]);
        s.gid = str(p[2], n[2]);
        s.muid = str(p[3], n[3]);
    }
};

int64_t decode(const Bytes& b, uint64_t bound, uint64_t offset, Out& o) {
    int64_t r = p9_decode_stat(b.data(), bound, offset, &o.s.type, &o.s.dev, &o.s.qid.type,
                               &o.s.qid.version, &o.s.qid.path, &o.s.mode, &o.s.atime, &o.s.mtime,
                               &o.s.length, &o.p[0], &o.n[0], &o.p[1], &o.n[1], &o.p[2], &o.n[2],
                               &o.p[3], &o.n[3]);
    if (r >= 0) o.views();
    return r;
}

int64_t decode_rstat(const Bytes& b, uint16_t* tag, Out& o) {
    int64_t r = p9_decode_rstat(b.data(), b.size(), tag, &o.s.type, &o.s.dev, &o.s.qid.type,
                                &o.s.qid.version, &o.s.qid.path, &o.s.mode, &o.s.atime, &o.s.mtime,
                                &o.s.length, &o.p[0], &o.n[0], &o.p[1], &o.n[1], &o.p[2], &o.n[2],
                                &o.p[3], &o.n[3]);
    if (r >= 0) o.views();
    return r;
}

void expect_same(const Stat& a, const Stat& b) {
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.dev, b.dev);
    EXPECT_EQ(a.qid.type, b.qid.type);
    EXPECT_EQ(a.qid.version, b.qid.version);
    EXPECT_EQ(a.qid.path, b.qid.path);
    EXPECT_EQ(a.mode, b.mode);
    EXPECT_EQ(a.atime, b.atime);
    EXPECT_EQ(a.mtime, b.mtime);
    EXPECT_EQ(a.length, b.length);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.uid, b.uid);
    EXPECT_EQ(a.gid, b.gid);
    EXPECT_EQ(a.muid, b.muid);
}

constexpr const char* kFixedHex =
    "0201 03040506 80 32333435 4041424344454647 ED010080 68676665 78777675 0200000001000000";

TEST(CodecStatRecord, EmptyStringsMakeFortyNineBytes) {
    Bytes b(64, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(emit(&c, kFixed), 49);
    b.resize(49);
    EXPECT_EQ(b, hex(std::string("2F00 ") + kFixedHex + " 0000 0000 0000 0000"));
    Out o;
    EXPECT_EQ(decode(b, b.size(), 0, o), 49);
    expect_same(o.s, kFixed);
}

TEST(CodecStatRecord, OwnerTextRecordIsSeventyBytes) {
    Stat s = kFixed;
    s.name = "abc";
    s.uid = s.gid = s.muid = "velmor";
    Bytes b(128);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(emit(&c, s), 70);
    EXPECT_EQ(b[0], 68);
    EXPECT_EQ(b[1], 0);
    Out o;
    EXPECT_EQ(decode(b, 70, 0, o), 70);
    expect_same(o.s, s);
    EXPECT_EQ(o.p[0], b.data() + 43);  // strings point into the buffer
}

TEST(CodecStatRecord, TwoRecordsAppendedToOneCursor) {
    Stat first = kFixed, second = kFixed;
    first.name = "var";
    second.name = "usr-local";
    second.qid.path = 9;
    Bytes b(256, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(p9_put_u8(&c, 0xAA), 0);  // records need not start at 0
    ASSERT_EQ(emit(&c, first), 52);
    ASSERT_EQ(emit(&c, second), 58);
    EXPECT_EQ(c.pos, 1u + 52 + 58);
    EXPECT_EQ(b[1], 50);
    EXPECT_EQ(b[53], 56);
    Out o;
    EXPECT_EQ(decode(b, c.pos, 1, o), 52);
    expect_same(o.s, first);
    EXPECT_EQ(decode(b, c.pos, 53, o), 58);
    expect_same(o.s, second);
}

TEST(CodecStatRecord, DecodeBounds) {
    Bytes b(64);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(emit(&c, kFixed), 49);
    Out o;
    EXPECT_EQ(decode(b, 1, 0, o), -1);  // one byte between offset and bound
    EXPECT_EQ(decode(b, 49, 48, o), -1);
    EXPECT_EQ(decode(b, 48, 0, o), -2);  // the record reaches past the bound
    EXPECT_EQ(decode(b, 49, UINT64_MAX, o), -1);

    Bytes bigger = b;  // size field one larger than the strings use
    bigger[0] = 48;
    EXPECT_EQ(decode(bigger, bigger.size(), 0, o), -2);
    Bytes smaller = b;  // the last string reaches past the record's end
    smaller[0] = 46;
    EXPECT_EQ(decode(smaller, smaller.size(), 0, o), -2);
    Bytes tiny = b;  // too short for the fixed part
    tiny[0] = 10;
    EXPECT_EQ(decode(tiny, tiny.size(), 0, o), -2);
}

TEST(CodecStatRecord, RecordOverTheSizeLimit) {
    // Four strings of 16372 bytes: 49 + 65488 = 65537 bytes, size field 65535.
    Bytes text(65536, 's');
    Stat s = kFixed;
    s.name = s.uid = s.gid = s.muid = str(text.data(), 16372);
    Bytes b(70000, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(emit(&c, s), 65537);
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[1], 0xFF);

    // One byte more: the whole record is written, then refused with size 0.
    s.muid = str(text.data(), 16373);
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(emit(&c, s), -2);
    EXPECT_EQ(c.err, -2);
    EXPECT_EQ(c.pos, 65538u);
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(emit(&c, kFixed), -2);  // sticky

    s.muid = str(text.data(), 65536);  // a single overlong string
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(emit(&c, s), -2);
    EXPECT_EQ(c.err, -2);
}

TEST(CodecStatRecord, NoRoomIsSticky) {
    Bytes b(48, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(emit(&c, kFixed), -1);
    EXPECT_EQ(c.pos, 47u);  // three of the four string counts fitted
    EXPECT_EQ(b[0], 0);
}

// The record field by field with the cursor writers, as the wire layout
// reads: what p9_emit_stat must produce and report for any room and any
// earlier state of the cursor, however it gets there.
int32_t emit_by_fields(p9_cursor* c, const Stat& s) {
    uint64_t start = c->pos;
    if (p9_put_u16(c, 0) || p9_put_u16(c, s.type) || p9_put_u32(c, s.dev) ||
        p9_put_qid(c, s.qid.type, s.qid.version, s.qid.path) || p9_put_u32(c, s.mode) ||
        p9_put_u32(c, s.atime) || p9_put_u32(c, s.mtime) || p9_put_u64(c, s.length) ||
        p9_put_string(c, u8(s.name), s.name.size()) || p9_put_string(c, u8(s.uid), s.uid.size()) ||
        p9_put_string(c, u8(s.gid), s.gid.size()) || p9_put_string(c, u8(s.muid), s.muid.size()))
        return c->err;
    uint64_t size = c->pos - start - 2;
    if (size > 0xFFFF) {
        c->err = -2;
        return -2;
    }
    c->buf[start] = static_cast<uint8_t>(size);
    c->buf[start + 1] = static_cast<uint8_t>(size >> 8);
    return static_cast<int32_t>(size + 2);
}

TEST(CodecStatRecord, EveryRoomGivesTheFieldByFieldResult) {
    Stat named = kFixed;
    named.name = "file042";
    named.uid = named.gid = named.muid = "velmor";
    Bytes text(65536, 't');
    Stat overlong = kFixed;  // the gid cannot be counted
    overlong.gid = str(text.data(), 65536);
    Stat too_big = kFixed;  // each string countable, the record is not
    too_big.name = too_big.uid = too_big.gid = too_big.muid = str(text.data(), 16373);
    const Stat* cases[] = {&kFixed, &named, &overlong, &too_big};
    for (const Stat* s : cases) {
        uint64_t len = 49 + s->name.size() + s->uid.size() + s->gid.size() + s->muid.size();
        // Every room around the field boundaries, from an offset into the
        // buffer, with and without a sticky error already set.
        for (uint64_t at : {uint64_t{0}, uint64_t{5}}) {
            for (uint64_t room = 0; room <= len + 2; room = room < 80 ? room + 1 : room + 997) {
                for (int32_t sticky : {0, -1}) {
                    SCOPED_TRACE(testing::Message() << "len " << len << " at " << at << " room "
                                                    << room << " sticky " << sticky);
                    Bytes want(at + room + 8, 0xEE), got = want;
                    p9_cursor cw, cg;
                    p9_cursor_init(&cw, want.data(), at + room);
                    p9_cursor_init(&cg, got.data(), at + room);
                    cw.pos = cg.pos = at;
                    cw.err = cg.err = sticky;
                    EXPECT_EQ(p9_emit_stat(&cg, s->type, s->dev, s->qid.type, s->qid.version,
                                           s->qid.path, s->mode, s->atime, s->mtime, s->length,
                                           u8(s->name), s->name.size(), u8(s->uid), s->uid.size(),
                                           u8(s->gid), s->gid.size(), u8(s->muid), s->muid.size()),
                              emit_by_fields(&cw, *s));
                    EXPECT_EQ(cg.pos, cw.pos);
                    EXPECT_EQ(cg.err, cw.err);
                    ASSERT_TRUE(got == want) << "the bytes written differ";
                }
            }
        }
    }
}

TEST(CodecStatMessage, RstatForTheSmallestRecord) {
    Bytes b(64);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(emit_rstat(&c, 0x0304, kFixed), 58);
    b.resize(58);
    EXPECT_EQ(b,
              hex(std::string("3A000000 7D 0403 3100 2F00 ") + kFixedHex + " 0000 0000 0000 0000"));
    uint16_t tag = 0;
    Out o;
    EXPECT_EQ(decode_rstat(b, &tag, o), 58);
    EXPECT_EQ(tag, 0x0304);
    expect_same(o.s, kFixed);
}

TEST(CodecStatMessage, OuterLengthMustMatchTheRecord) {
    Bytes b(64);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(emit_rstat(&c, 1, kFixed), 58);
    b.resize(58);
    Bytes shorter = b;
    shorter[7] = 48;  // n one less than the well-formed 49-byte record
    Bytes longer = b;
    longer[7] = 50;
    Bytes both = b;  // n and the size agree, the record does not
    both[0] = 57;
    both[7] = 48;
    for (const Bytes* m : {&shorter, &longer, &both}) {
        uint16_t tag = 0;
        Out o;
        EXPECT_EQ(decode_rstat(*m, &tag, o), -2);
    }
}

TEST(CodecStatMessage, TwstatWithEverySentinel) {
    const Stat keep{
        P9_WSTAT_TYPE_UNCHANGED,
        P9_WSTAT_DEV_UNCHANGED,
        {P9_WSTAT_QIDTYPE_UNCHANGED, P9_WSTAT_QIDVERS_UNCHANGED, P9_WSTAT_QIDPATH_UNCHANGED},
        P9_WSTAT_MODE_UNCHANGED,
        P9_WSTAT_TIME_UNCHANGED,
        P9_WSTAT_TIME_UNCHANGED,
        P9_WSTAT_LENGTH_UNCHANGED,
        "",
        "",
        "",
        ""};
    Bytes b(64);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(emit_twstat(&c, 9, 0x0A0B0C0D, keep), 62);
    b.resize(62);
    EXPECT_EQ(b, hex("3E000000 7E 0900 0D0C0B0A 3100 2F00 FFFF FFFFFFFF FF FFFFFFFF "
                     "FFFFFFFFFFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFFFFFFFFFF "
                     "0000 0000 0000 0000"));
    uint16_t tag = 0;
    uint32_t fid = 0;
    Out o;
    EXPECT_EQ(p9_decode_twstat(b.data(), b.size(), &tag, &fid, &o.s.type, &o.s.dev, &o.s.qid.type,
                               &o.s.qid.version, &o.s.qid.path, &o.s.mode, &o.s.atime, &o.s.mtime,
                               &o.s.length, &o.p[0], &o.n[0], &o.p[1], &o.n[1], &o.p[2], &o.n[2],
                               &o.p[3], &o.n[3]),
              62);
    o.views();
    EXPECT_EQ(tag, 9);
    EXPECT_EQ(fid, 0x0A0B0C0Du);
    expect_same(o.s, keep);
}

TEST(CodecStatMessage, RecordTooLongForTheOuterLength) {
    // A 65536-byte record (size field 65534) is a valid record, but n cannot
    // count it.
    Bytes text(65536 - 49, 'n');
    Stat s = kFixed;
    s.name = str(text.data(), text.size());
    Bytes b(70000, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(emit(&c, s), 65536);

    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(emit_rstat(&c, 1, s), -2);
    EXPECT_EQ(c.err, -2);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), hex("00000000"));
    EXPECT_EQ(b[7], 0);  // n still its placeholder
    EXPECT_EQ(b[8], 0);

    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(emit_twstat(&c, 1, 2, s), -2);
    EXPECT_EQ(c.err, -2);

    // One byte shorter fits n exactly.
    s.name = str(text.data(), text.size() - 1);
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(emit_rstat(&c, 1, s), 9 + 65535);
}

TEST(CodecStatMessage, EmptyAndFidBodiesAreExact) {
    const Bytes rwstat = hex("08000000 7F 0100 00");
    const Bytes tstat = hex("0C000000 7C 0100 05000000 00");
    uint16_t tag = 0;
    uint32_t fid = 0;
    EXPECT_EQ(p9_decode_rwstat(rwstat.data(), rwstat.size(), &tag), -2);
    EXPECT_EQ(p9_decode_tstat(tstat.data(), tstat.size(), &tag, &fid), -2);
    EXPECT_EQ(p9_decode_rwstat(rwstat.data(), 7, &tag), -1);  // size says 8, 7 bytes given
    const Bytes ok = hex("0B000000 7C 0100 05000000");
    EXPECT_EQ(p9_decode_tstat(ok.data(), ok.size(), &tag, &fid), 11);
    EXPECT_EQ(fid, 5u);
}

TEST(CodecStatMessage, BodyTooShortForTheOuterLength) {
    const Bytes rstat = hex("08000000 7D 0100 00");
    uint16_t tag = 0;
    Out o;
    EXPECT_EQ(decode_rstat(rstat, &tag, o), -2);
}

}  // namespace
