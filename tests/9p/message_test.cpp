// Message encoders and decoders: the wire layout of every message, and the
// particular checks of walks, reads, writes and the exact-end rule.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "9p/9p.h"
#include "reencode.h"
#include "samples.h"

namespace {

using codec_samples::Bytes;
using codec_samples::hex;
using codec_samples::u8;

constexpr const char* kStatHex =
    "3800 0201 03040506 80 32333435 4041424344454647 ED010080 68676665 78777675 "
    "0200000001000000 0100 66 0600 76656C6D6F72 0200 7667 0000";

// The bytes every sample must encode to, written out from the message layouts.
TEST(CodecLayout, EveryMessageEncodesToItsWireBytes) {
    const std::vector<std::pair<std::string, std::string>> table = {
        {"Tversion", "13000000 64 B2A1 00000200 0600 395032303030"},
        {"Rversion", "13000000 65 B2A1 00000200 0600 395032303030"},
        {"Tauth", "14000000 66 B2A1 11121314 0200 7531 0300 613232"},
        {"Rauth", "14000000 67 B2A1 80 32333435 4041424344454647"},
        {"Tattach", "18000000 68 B2A1 01020304 11121314 0200 7531 0300 613232"},
        {"Rattach", "14000000 69 B2A1 80 32333435 4041424344454647"},
        {"Rerror", "1D000000 6B B2A1 1400 746F6C76616E653A20756E6B6E6F776E20666964"},
        {"Tflush", "09000000 6C B2A1 D4C3"},
        {"Rflush", "07000000 6D B2A1"},
        {"Twalk", "1D000000 6E B2A1 01020304 21222324 0300 0300 766172 0300 6C6962 0000"},
        {"Rwalk",
         "23000000 6F B2A1 0200 80 32333435 4041424344454647 7F 33333435 4141424344454647"},
        {"Topen", "0C000000 70 B2A1 01020304 12"},
        {"Ropen", "18000000 71 B2A1 80 32333435 4041424344454647 55565758"},
        {"Tcreate", "15000000 72 B2A1 01020304 0300 657463 A4010080 12"},
        {"Rcreate", "18000000 73 B2A1 80 32333435 4041424344454647 55565758"},
        {"Tread", "17000000 74 B2A1 01020304 8877665544332211 00200000"},
        {"Rread", "10000000 75 B2A1 05000000 68656C6C6F"},
        {"Twrite", "1C000000 76 B2A1 01020304 8877665544332211 05000000 68656C6C6F"},
        {"Rwrite", "0B000000 77 B2A1 05000000"},
        {"Tclunk", "0B000000 78 B2A1 01020304"},
        {"Rclunk", "07000000 79 B2A1"},
        {"Tremove", "0B000000 7A B2A1 01020304"},
        {"Rremove", "07000000 7B B2A1"},
        {"Tstat", "0B000000 7C B2A1 01020304"},
        {"Rstat", std::string("43000000 7D B2A1 3A00 ") + kStatHex},
        {"Twstat", std::string("47000000 7E B2A1 01020304 3A00 ") + kStatHex},
        {"Rwstat", "07000000 7F B2A1"},
        {"stat", kStatHex},
    };
    ASSERT_EQ(table.size(), codec_samples::all().size());
    for (const auto& [name, want] : table) {
        SCOPED_TRACE(name);
        const codec_samples::Sample& s = codec_samples::get(name);
        EXPECT_EQ(s.bytes, hex(want));
        EXPECT_EQ(s.emitted, static_cast<int32_t>(hex(want).size()));
    }
}

// ---- Walks ----

struct WalkOut {
    uint16_t tag = 0;
    uint32_t fid = 0, newfid = 0;
    uint16_t nwname = 0xEEEE;
    const uint8_t* names[P9_MAX_WELEM];
    uint64_t lens[P9_MAX_WELEM];
    WalkOut() {
        for (uint16_t i = 0; i < P9_MAX_WELEM; i++) {
            names[i] = nullptr;
            lens[i] = 0xDEAD;
        }
    }
    int64_t decode(const Bytes& b) {
        return p9_decode_twalk(b.data(), b.size(), &tag, &fid, &newfid, &nwname, names, lens);
    }
};

// n names "n0", "n1", ... encoded with p9_emit_twalk into a roomy buffer.
int32_t emit_walk(Bytes& b, uint16_t n, p9_cursor* c) {
    static std::vector<std::string> text;
    text.clear();
    std::vector<const uint8_t*> names;
    std::vector<uint64_t> lens;
    for (uint16_t i = 0; i < n; i++) text.push_back("n" + std::to_string(i));
    for (const std::string& t : text) {
        names.push_back(u8(t));
        lens.push_back(t.size());
    }
    p9_cursor_init(c, b.data(), b.size());
    return p9_emit_twalk(c, 3, 10, 11, n, names.data(), lens.data());
}

TEST(CodecWalk, NoNamesIsSeventeenBytesAndLeavesArraysAlone) {
    Bytes b(64);
    p9_cursor c;
    ASSERT_EQ(emit_walk(b, 0, &c), 17);
    b.resize(17);
    EXPECT_EQ(b, hex("11000000 6E 0300 0A000000 0B000000 0000"));
    WalkOut w;
    EXPECT_EQ(w.decode(b), 17);
    EXPECT_EQ(w.nwname, 0);
    EXPECT_EQ(w.fid, 10u);
    EXPECT_EQ(w.newfid, 11u);
    for (uint16_t i = 0; i < P9_MAX_WELEM; i++) {
        EXPECT_EQ(w.names[i], nullptr);
        EXPECT_EQ(w.lens[i], 0xDEADu);
    }
}

TEST(CodecWalk, SixteenNamesEncodeSeventeenAreRefusedUntouched) {
    Bytes b(512, 0xEE);
    p9_cursor c;
    const int32_t n16 = emit_walk(b, 16, &c);
    // 17 + 10 names "n0".."n9" of 4 bytes + 6 names "n10".."n15" of 5 bytes
    EXPECT_EQ(n16, 17 + 10 * 4 + 6 * 5);
    b.resize(static_cast<size_t>(n16));
    WalkOut w;
    EXPECT_EQ(w.decode(b), n16);
    EXPECT_EQ(w.nwname, 16);
    EXPECT_EQ(codec_samples::str(w.names[15], w.lens[15]), "n15");

    Bytes b17(512, 0xEE);
    EXPECT_EQ(emit_walk(b17, 17, &c), -3);
    EXPECT_EQ(c.pos, 0u);
    EXPECT_EQ(c.err, 0);
    EXPECT_EQ(b17, Bytes(512, 0xEE));
}

TEST(CodecWalk, ReceivedSeventeenNamesAreMalformed) {
    Bytes b(512);
    p9_cursor c;
    const int32_t n16 = emit_walk(b, 16, &c);
    b.resize(static_cast<size_t>(n16));
    // Append a 17th name and raise the count and the size to match.
    for (uint8_t x : hex("0300 6E3136")) b.push_back(x);
    b[15] = 17;
    b[0] = static_cast<uint8_t>(b.size());
    WalkOut w;
    EXPECT_EQ(w.decode(b), -2);
    for (uint16_t i = 0; i < P9_MAX_WELEM; i++) EXPECT_EQ(w.names[i], nullptr);

    // A count of 0xFFFF is refused the same way, before any name is read.
    b[15] = 0xFF;
    b[16] = 0xFF;
    EXPECT_EQ(w.decode(b), -2);
}

TEST(CodecWalk, RwalkLimits) {
    uint8_t types[17] = {};
    uint32_t vers[17] = {};
    uint64_t paths[17] = {};
    for (int i = 0; i < 17; i++) paths[i] = static_cast<uint64_t>(i) + 1;
    Bytes b(512, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(p9_emit_rwalk(&c, 1, 17, types, vers, paths), -3);
    EXPECT_EQ(c.pos, 0u);
    EXPECT_EQ(c.err, 0);

    // An already failed cursor still gets -3 for too many elements.
    c.err = -1;
    EXPECT_EQ(p9_emit_rwalk(&c, 1, 17, types, vers, paths), -3);
    EXPECT_EQ(c.err, -1);

    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(p9_emit_rwalk(&c, 1, 16, types, vers, paths), 9 + 13 * 16);
    b.resize(9 + 13 * 16);
    uint16_t tag = 0, nwqid = 0;
    uint8_t otypes[P9_MAX_WELEM];
    uint32_t overs[P9_MAX_WELEM];
    uint64_t opaths[P9_MAX_WELEM];
    EXPECT_EQ(p9_decode_rwalk(b.data(), b.size(), &tag, &nwqid, otypes, overs, opaths),
              9 + 13 * 16);
    EXPECT_EQ(nwqid, 16);
    EXPECT_EQ(opaths[15], 16u);

    // Seventeen qids on the wire: -2.
    for (int i = 0; i < 13; i++) b.push_back(0);
    b[0] = static_cast<uint8_t>(b.size());
    b[7] = 17;
    EXPECT_EQ(p9_decode_rwalk(b.data(), b.size(), &tag, &nwqid, otypes, overs, opaths), -2);
}

TEST(CodecWalk, NameReachingPastTheSizeIsMalformed) {
    // One name whose count says 4 but only 3 bytes remain inside the size.
    const Bytes b = hex("16000000 6E 0000 01000000 02000000 0100 0400 616263 EE");
    WalkOut w;
    EXPECT_EQ(w.decode(b), -2);
}

// ---- Reads and writes ----

TEST(CodecReadWrite, RreadWithNoDataIsElevenBytes) {
    Bytes b(11);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    ASSERT_EQ(p9_emit_rread(&c, 4, nullptr, 0), 11);
    EXPECT_EQ(b, hex("0B000000 75 0400 00000000"));
    uint16_t tag = 0;
    const uint8_t* data = nullptr;
    uint32_t count = 99;
    EXPECT_EQ(p9_decode_rread(b.data(), b.size(), &tag, &data, &count), 11);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(data, b.data() + 11);
}

TEST(CodecReadWrite, RreadNeedsRoomForAllItsData) {
    Bytes data(1000, 0x5A);
    Bytes b(11 + 1000);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(p9_emit_rread(&c, 4, data.data(), 1000), 11 + 1000);
    p9_cursor_init(&c, b.data(), b.size() - 1);
    EXPECT_EQ(p9_emit_rread(&c, 4, data.data(), 1000), -1);
    EXPECT_EQ(c.pos, 11u);
    EXPECT_EQ(c.err, -1);
}

TEST(CodecReadWrite, CountMustMatchTheBytesExactly) {
    // The Rread and Twrite samples carry "hello" (5 bytes); their count field
    // is rewritten to one less, one more, and values that would wrap 32 bits.
    struct Case {
        const char* name;
        uint8_t type;
        size_t count_at;
    };
    for (const Case& k : {Case{"Rread", P9_RREAD, 7}, Case{"Twrite", P9_TWRITE, 19}}) {
        for (uint32_t count : {4u, 6u, 0u, 0xFFFFFFFFu, 0xFFFFFFF9u}) {
            SCOPED_TRACE(std::string(k.name) + " count " + std::to_string(count));
            Bytes b = codec_samples::get(k.name).bytes;
            for (size_t i = 0; i < 4; i++)
                b[k.count_at + i] = static_cast<uint8_t>(count >> (8 * i));
            codec_oracle::Fields f;
            EXPECT_EQ(codec_oracle::decode(k.type, b.data(), b.size(), f), -2);
        }
    }
}

TEST(CodecReadWrite, TwriteDataPointsIntoTheBuffer) {
    const Bytes& b = codec_samples::get("Twrite").bytes;
    uint16_t tag = 0;
    uint32_t fid = 0, count = 0;
    uint64_t offset = 0;
    const uint8_t* data = nullptr;
    ASSERT_EQ(p9_decode_twrite(b.data(), b.size(), &tag, &fid, &offset, &data, &count), 28);
    EXPECT_EQ(data, b.data() + 23);
    EXPECT_EQ(count, 5u);
}

// ---- The exact-end rule and the header ----

TEST(CodecExactEnd, TclunkFollowedByMoreBytes) {
    const Bytes b = hex("0B000000 78 0100 2A000000 07000000 79 0100");
    uint16_t tag = 0;
    uint32_t fid = 0;
    EXPECT_EQ(p9_decode_tclunk(b.data(), b.size(), &tag, &fid), 11);
    EXPECT_EQ(fid, 42u);
    // Step on by the result: the next message decodes on its own.
    EXPECT_EQ(p9_decode_rclunk(b.data() + 11, b.size() - 11, &tag), 7);
}

TEST(CodecExactEnd, SpareByteInsideTheSize) {
    const Bytes b = hex("0C000000 78 0100 2A000000 00");
    uint16_t tag = 0;
    uint32_t fid = 0;
    EXPECT_EQ(p9_decode_tclunk(b.data(), b.size(), &tag, &fid), -2);
}

TEST(CodecExactEnd, TclunkDecoderOnTopen) {
    const Bytes& topen = codec_samples::get("Topen").bytes;
    uint16_t tag = 0x7777;
    uint32_t fid = 0x8888;
    EXPECT_EQ(p9_decode_tclunk(topen.data(), topen.size(), &tag, &fid), -3);
    EXPECT_EQ(tag, 0x7777);
    EXPECT_EQ(fid, 0x8888u);
}

TEST(CodecExactEnd, TenBytesOfAnElevenByteTclunk) {
    const Bytes b = hex("0B000000 78 0100 2A0000");
    uint16_t tag = 0;
    uint32_t fid = 0;
    EXPECT_EQ(p9_decode_tclunk(b.data(), b.size(), &tag, &fid), -1);
}

TEST(CodecExactEnd, HeaderFailuresLeaveEveryOutParameterAlone) {
    const Bytes& tattach = codec_samples::get("Tattach").bytes;
    uint16_t tag = 1;
    uint32_t fid = 2, afid = 3;
    const uint8_t* uname = nullptr;
    const uint8_t* aname = nullptr;
    uint64_t ulen = 4, alen = 5;
    auto unchanged = [&] {
        EXPECT_EQ(tag, 1);
        EXPECT_EQ(fid, 2u);
        EXPECT_EQ(afid, 3u);
        EXPECT_EQ(uname, nullptr);
        EXPECT_EQ(aname, nullptr);
        EXPECT_EQ(ulen, 4u);
        EXPECT_EQ(alen, 5u);
    };
    EXPECT_EQ(p9_decode_tattach(tattach.data(), tattach.size() - 1, &tag, &fid, &afid, &uname,
                                &ulen, &aname, &alen),
              -1);
    unchanged();
    Bytes bad = tattach;
    bad[0] = 6;
    EXPECT_EQ(
        p9_decode_tattach(bad.data(), bad.size(), &tag, &fid, &afid, &uname, &ulen, &aname, &alen),
        -2);
    unchanged();
    bad = tattach;
    bad[4] = P9_TAUTH;
    EXPECT_EQ(
        p9_decode_tattach(bad.data(), bad.size(), &tag, &fid, &afid, &uname, &ulen, &aname, &alen),
        -3);
    unchanged();
}

// ---- Encoder failures ----

TEST(CodecEncode, OverlongNameStopsTheMessage) {
    Bytes name(70000, 'n');
    Bytes b(80000, 0xEE);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    EXPECT_EQ(p9_emit_tattach(&c, 1, 2, 3, name.data(), name.size(), u8("a"), 1), -2);
    EXPECT_EQ(c.pos, 15u);  // header, fid, afid
    EXPECT_EQ(c.err, -2);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), hex("00000000"));
    EXPECT_EQ(b[15], 0xEE);
}

}  // namespace
