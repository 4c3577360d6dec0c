// Every message type, generically: encode then decode gives the same fields
// and the same length; every shortened, lengthened, retyped or truncated copy
// is refused with the right code; trailing bytes are ignored.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "9p/9p.h"
#include "reencode.h"
#include "samples.h"

namespace {

using namespace codec_samples;
using codec_oracle::Fields;

std::string_view s_at(const Fields& f, int i) {
    return str(f.s[i], f.slen[i]);
}

void expect_qid(const Fields& f) {
    EXPECT_EQ(f.qtype, kQtype);
    EXPECT_EQ(f.qvers, kQvers);
    EXPECT_EQ(f.qpath, kQpath);
}

void expect_stat(const Fields& f) {
    EXPECT_EQ(f.stype, kStype);
    EXPECT_EQ(f.dev, kDev);
    expect_qid(f);
    EXPECT_EQ(f.smode, kSmode);
    EXPECT_EQ(f.atime, kAtime);
    EXPECT_EQ(f.mtime, kMtime);
    EXPECT_EQ(f.length, kLength);
    EXPECT_EQ(s_at(f, 0), kSname);
    EXPECT_EQ(s_at(f, 1), kSuid);
    EXPECT_EQ(s_at(f, 2), kSgid);
    EXPECT_EQ(s_at(f, 3), kSmuid);
}

// The fields each message must decode to, beyond the tag.
const std::map<std::string, std::function<void(const Fields&)>>& field_checks() {
    static const std::map<std::string, std::function<void(const Fields&)>> checks = {
        {"Tversion",
         [](const Fields& f) {
             EXPECT_EQ(f.msize, kMsize);
             EXPECT_EQ(s_at(f, 0), kVersion);
         }},
        {"Rversion",
         [](const Fields& f) {
             EXPECT_EQ(f.msize, kMsize);
             EXPECT_EQ(s_at(f, 0), kVersion);
         }},
        {"Tauth",
         [](const Fields& f) {
             EXPECT_EQ(f.afid, kAfid);
             EXPECT_EQ(s_at(f, 0), kUname);
             EXPECT_EQ(s_at(f, 1), kAname);
         }},
        {"Rauth", expect_qid},
        {"Tattach",
         [](const Fields& f) {
             EXPECT_EQ(f.fid, kFid);
             EXPECT_EQ(f.afid, kAfid);
             EXPECT_EQ(s_at(f, 0), kUname);
             EXPECT_EQ(s_at(f, 1), kAname);
         }},
        {"Rattach", expect_qid},
        {"Rerror", [](const Fields& f) { EXPECT_EQ(s_at(f, 0), kEname); }},
        {"Tflush", [](const Fields& f) { EXPECT_EQ(f.oldtag, kOldtag); }},
        {"Rflush", [](const Fields&) {}},
        {"Twalk",
         [](const Fields& f) {
             EXPECT_EQ(f.fid, kFid);
             EXPECT_EQ(f.newfid, kNewfid);
             ASSERT_EQ(f.nw, kWalkNames.size());
             for (size_t i = 0; i < kWalkNames.size(); i++)
                 EXPECT_EQ(str(f.wnames[i], f.wlens[i]), kWalkNames[i]);
         }},
        {"Rwalk",
         [](const Fields& f) {
             ASSERT_EQ(f.nw, kWalkQids);
             for (uint16_t i = 0; i < kWalkQids; i++) {
                 EXPECT_EQ(f.qtypes[i], kQtype - i);
                 EXPECT_EQ(f.qverss[i], kQvers + i);
                 EXPECT_EQ(f.qpaths[i], kQpath + i);
             }
         }},
        {"Topen",
         [](const Fields& f) {
             EXPECT_EQ(f.fid, kFid);
             EXPECT_EQ(f.mode, kMode);
         }},
        {"Ropen",
         [](const Fields& f) {
             expect_qid(f);
             EXPECT_EQ(f.iounit, kIounit);
         }},
        {"Tcreate",
         [](const Fields& f) {
             EXPECT_EQ(f.fid, kFid);
             EXPECT_EQ(s_at(f, 0), kName);
             EXPECT_EQ(f.perm, kPerm);
             EXPECT_EQ(f.mode, kMode);
         }},
        {"Rcreate",
         [](const Fields& f) {
             expect_qid(f);
             EXPECT_EQ(f.iounit, kIounit);
         }},
        {"Tread",
         [](const Fields& f) {
             EXPECT_EQ(f.fid, kFid);
             EXPECT_EQ(f.offset, kOffset);
             EXPECT_EQ(f.count, kCount);
         }},
        {"Rread", [](const Fields& f) { EXPECT_EQ(str(f.data, f.count), kData); }},
        {"Twrite",
         [](const Fields& f) {
             EXPECT_EQ(f.fid, kFid);
             EXPECT_EQ(f.offset, kOffset);
             EXPECT_EQ(str(f.data, f.count), kData);
         }},
        {"Rwrite", [](const Fields& f) { EXPECT_EQ(f.count, kData.size()); }},
        {"Tclunk", [](const Fields& f) { EXPECT_EQ(f.fid, kFid); }},
        {"Rclunk", [](const Fields&) {}},
        {"Tremove", [](const Fields& f) { EXPECT_EQ(f.fid, kFid); }},
        {"Rremove", [](const Fields&) {}},
        {"Tstat", [](const Fields& f) { EXPECT_EQ(f.fid, kFid); }},
        {"Rstat", expect_stat},
        {"Twstat",
         [](const Fields& f) {
             EXPECT_EQ(f.fid, kFid);
             expect_stat(f);
         }},
        {"Rwstat", [](const Fields&) {}},
        {"stat", expect_stat},
    };
    return checks;
}

bool is_record(const Sample& s) {
    return s.type == codec_oracle::STAT_RECORD;
}

int64_t decode(const Sample& s, const Bytes& b, uint64_t len) {
    Fields f;
    return codec_oracle::decode(s.type, b.data(), len, f);
}

void set_size_field(const Sample& s, Bytes& b, uint64_t v) {
    if (is_record(s)) {
        b[0] = static_cast<uint8_t>(v - 2);
        b[1] = static_cast<uint8_t>((v - 2) >> 8);
        return;
    }
    for (int i = 0; i < 4; i++) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(CodecRoundTrip, EveryMessageDecodesToTheFieldsItWasBuiltFrom) {
    EXPECT_EQ(field_checks().size(), all().size());
    for (const Sample& s : all()) {
        SCOPED_TRACE(s.name);
        ASSERT_GT(s.emitted, 0);
        Fields f;
        EXPECT_EQ(codec_oracle::decode(s.type, s.bytes.data(), s.bytes.size(), f), s.emitted);
        if (!is_record(s)) {
            EXPECT_EQ(f.tag, kTag);
        }
        ASSERT_EQ(field_checks().count(s.name), 1u);
        field_checks().at(s.name)(f);
    }
}

TEST(CodecRoundTrip, EveryMessageReencodesToTheSameBytes) {
    for (const Sample& s : all()) {
        SCOPED_TRACE(s.name);
        Bytes out(s.bytes.size());
        codec_oracle::Result r =
            codec_oracle::reencode(s.type, s.bytes.data(), s.bytes.size(), out.data());
        EXPECT_EQ(r.decoded, s.emitted);
        EXPECT_EQ(r.encoded, s.emitted);
        EXPECT_TRUE(r.same);
    }
}

TEST(CodecRoundTrip, EveryTypeHasASample) {
    for (uint8_t t : codec_oracle::MESSAGE_TYPES) {
        bool found = false;
        for (const Sample& s : all()) found = found || s.type == t;
        EXPECT_TRUE(found) << "type " << int(t);
    }
}

TEST(CodecTruncation, EveryPrefixIsTooShort) {
    for (const Sample& s : all()) {
        SCOPED_TRACE(s.name);
        for (uint64_t len = 0; len < s.bytes.size(); len++) {
            // A copy of exactly len bytes, so a sanitizer sees any read past it.
            Bytes prefix(s.bytes.begin(), s.bytes.begin() + static_cast<ptrdiff_t>(len));
            // A stat record whose count is there but whose bytes are not is
            // malformed (-2); anything else is short (-1).
            const int64_t want = is_record(s) && len >= 2 ? -2 : -1;
            EXPECT_EQ(decode(s, prefix, len), want) << "prefix of " << len;
        }
    }
}

TEST(CodecTruncation, SizeFieldShortenedIsMalformed) {
    for (const Sample& s : all()) {
        SCOPED_TRACE(s.name);
        const uint64_t min = is_record(s) ? 2 : 0;
        for (uint64_t size = min; size < s.bytes.size(); size++) {
            Bytes b = s.bytes;
            set_size_field(s, b, size);
            EXPECT_EQ(decode(s, b, b.size()), -2) << "size " << size;
        }
    }
}

TEST(CodecTruncation, SizeFieldCoveringASpareByteIsMalformed) {
    for (const Sample& s : all()) {
        SCOPED_TRACE(s.name);
        Bytes b = s.bytes;
        b.push_back(0);
        set_size_field(s, b, b.size());
        EXPECT_EQ(decode(s, b, b.size()), -2);
    }
}

TEST(CodecTruncation, BytesPastTheSizeAreIgnored) {
    for (const Sample& s : all()) {
        SCOPED_TRACE(s.name);
        Bytes b = s.bytes;
        for (int i = 0; i < 16; i++) b.push_back(static_cast<uint8_t>(0xF0 + i));
        Bytes out(b.size());
        codec_oracle::Result r = codec_oracle::reencode(s.type, b.data(), b.size(), out.data());
        EXPECT_EQ(r.decoded, s.emitted);
        EXPECT_TRUE(r.same);
    }
}

TEST(CodecWrongType, EveryOtherDecoderRefuses) {
    for (const Sample& s : all()) {
        if (is_record(s)) continue;
        SCOPED_TRACE(s.name);
        for (uint8_t t : codec_oracle::MESSAGE_TYPES) {
            if (t == s.type) continue;
            Fields f;
            f.tag = 0x5A5A;
            EXPECT_EQ(codec_oracle::decode(t, s.bytes.data(), s.bytes.size(), f), -3)
                << "decoder of type " << int(t);
            EXPECT_EQ(f.tag, 0x5A5A);
        }
    }
}

TEST(CodecEncoderRoom, EveryEncoderNeedsExactlyItsLength) {
    for (const Sample& s : all()) {
        SCOPED_TRACE(s.name);
        Fields f;
        ASSERT_EQ(codec_oracle::decode(s.type, s.bytes.data(), s.bytes.size(), f), s.emitted);

        Bytes b(s.bytes.size() - 1, 0xEE);
        p9_cursor c;
        p9_cursor_init(&c, b.data(), b.size());
        EXPECT_EQ(codec_oracle::encode(s.type, &c, f), -1);
        EXPECT_EQ(c.err, -1);
        EXPECT_LE(c.pos, b.size());
        // The size field (message or record) is never patched on failure.
        const size_t size_len = is_record(s) ? 2 : 4;
        if (c.pos >= size_len) {
            EXPECT_EQ(Bytes(b.begin(), b.begin() + size_len), Bytes(size_len));
        }

        // A cursor that already failed is left exactly as it was.
        Bytes roomy(s.bytes.size() + 8, 0xEE);
        p9_cursor_init(&c, roomy.data(), roomy.size());
        c.err = -2;
        EXPECT_EQ(codec_oracle::encode(s.type, &c, f), -2);
        EXPECT_EQ(c.pos, 0u);
        EXPECT_EQ(roomy, Bytes(s.bytes.size() + 8, 0xEE));
    }
}

}  // namespace
