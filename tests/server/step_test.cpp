// The request step over a real socketpair: framing, the size bounds, end of
// stream, Tversion, Tflush, Twstat and the unsupported types, byte for byte;
// and the small routines of the core (command-line words, logging, reads and
// the reply path).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support.h"
#include "tolvane/tolvane.h"

namespace {

using namespace tolvane;
using namespace tolvane_test;

// A header with the given size field, type and tag, followed by body_len bytes
// of filler (not necessarily what the size field says).
Bytes message(uint32_t size, uint8_t type, uint16_t tag, size_t body_len) {
    Bytes b = {static_cast<uint8_t>(size),
               static_cast<uint8_t>(size >> 8),
               static_cast<uint8_t>(size >> 16),
               static_cast<uint8_t>(size >> 24),
               type,
               static_cast<uint8_t>(tag),
               static_cast<uint8_t>(tag >> 8)};
    for (size_t i = 0; i < body_len; i++) b.push_back(static_cast<uint8_t>(i * 7 + 1));
    return b;
}

Bytes rerror_bytes(uint16_t tag, const std::string& text) {
    return build([&](p9_cursor* c) {
        return p9_emit_rerror(c, tag, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    });
}

uint32_t rversion_msize(const Bytes& reply) {
    uint16_t tag;
    uint32_t msize = 0;
    const uint8_t* v;
    uint64_t vlen;
    EXPECT_GE(p9_decode_rversion(reply.data(), reply.size(), &tag, &msize, &v, &vlen), 0)
        << to_hex(reply);
    return msize;
}

std::string rversion_text(const Bytes& reply) {
    uint16_t tag;
    uint32_t msize;
    const uint8_t* v = nullptr;
    uint64_t vlen = 0;
    if (p9_decode_rversion(reply.data(), reply.size(), &tag, &msize, &v, &vlen) < 0) return "<bad>";
    return std::string(reinterpret_cast<const char*>(v), vlen);
}

class Step : public ::testing::Test {
protected:
    void SetUp() override { reset_server(); }
};

// ---- Framing and size bounds ----

TEST_F(Step, SizeFieldsBelowSevenAreWireErrors) {
    for (uint32_t size = 0; size < 7; size++) {
        SCOPED_TRACE(size);
        reset_server();
        Wire w;
        // A valid-looking Twstat type and plenty of bytes behind the header.
        w.send(message(size, P9_TWSTAT, 1, 16));
        EXPECT_EQ(w.step(), -1);
        EXPECT_FALSE(w.has_reply()) << "nothing is answered";
    }
}

TEST_F(Step, SizeAboveTheBufferIsAWireErrorAndTheBodyIsNotRead) {
    Wire w;
    w.send(message(SRV_BUF_CAP + 1, P9_TWSTAT, 1, 0));
    // Nothing follows the header: reading the body would block, so a return
    // shows the body was not read.
    EXPECT_EQ(w.step(), -1);
    EXPECT_FALSE(w.has_reply());

    reset_server();
    Wire w2;
    w2.send(message(0xFFFFFFFF, P9_TVERSION, 1, 0));
    EXPECT_EQ(w2.step(), -1);
    EXPECT_FALSE(w2.has_reply());
}

TEST_F(Step, MessageOfExactlyTheBufferSizeIsServed) {
    Wire w;
    Bytes big = message(SRV_BUF_CAP, P9_TWSTAT, 0x1234, SRV_BUF_CAP - 7);
    // The socket buffer may hold less than 128 KiB: write while the server reads.
    std::thread writer([&] { w.send(big); });
    int32_t r = w.step();
    writer.join();
    ASSERT_EQ(r, 1);
    EXPECT_EQ(w.recv(), rerror_bytes(0x1234, "tolvane: Twstat not supported"));

    // The stream stays in step: the next message is read from the right place.
    EXPECT_EQ(rversion_text(w.call(tversion(1, 8192))), "9P2000");
}

TEST_F(Step, HeaderOnlyMessages) {
    struct Case {
        uint8_t type;
        const char* text;  // null: the handler decodes a body, so a wire error
    };
    const std::vector<Case> cases = {
        {P9_TWSTAT, "tolvane: Twstat not supported"},
        {P9_TAUTH, "tolvane: not implemented"},
        {0, "tolvane: not implemented"},
        {P9_RVERSION, "tolvane: not implemented"},
        {255, "tolvane: not implemented"},
        {P9_TVERSION, nullptr},
        {P9_TFLUSH, nullptr},
        {P9_TATTACH, nullptr},
        {P9_TWALK, nullptr},
        {P9_TOPEN, nullptr},
        {P9_TCREATE, nullptr},
        {P9_TREAD, nullptr},
        {P9_TWRITE, nullptr},
        {P9_TCLUNK, nullptr},
        {P9_TSTAT, nullptr},
        {P9_TREMOVE, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        reset_server();
        Wire w;
        w.send(message(7, c.type, 9, 0));
        if (c.text) {
            ASSERT_EQ(w.step(), 1);
            EXPECT_EQ(w.recv(), rerror_bytes(9, c.text));
        } else {
            EXPECT_EQ(w.step(), -1);
            EXPECT_FALSE(w.has_reply());
        }
    }
}

TEST_F(Step, EndOfStream) {
    {
        Wire w;
        w.hang_up();
        EXPECT_EQ(w.step(), 0) << "at a message boundary";
    }
    {
        reset_server();
        Wire w;
        EXPECT_EQ(rversion_text(w.call(tversion(1, 8192))), "9P2000");
        w.hang_up();
        EXPECT_EQ(w.step(), 0) << "after a served request";
    }
    for (size_t cut = 1; cut < 7; cut++) {
        SCOPED_TRACE(cut);
        reset_server();
        Wire w;
        Bytes b = tversion(1, 8192);
        b.resize(cut);
        w.send(b);
        w.hang_up();
        EXPECT_EQ(w.step(), -1) << "inside the header";
        EXPECT_FALSE(w.has_reply());
    }
    for (size_t cut : {7u, 8u, 18u}) {
        SCOPED_TRACE(cut);
        reset_server();
        Wire w;
        Bytes b = tversion(1, 8192);
        ASSERT_EQ(b.size(), 19u);
        b.resize(cut);
        w.send(b);
        w.hang_up();
        EXPECT_EQ(w.step(), -1) << "inside the body";
        EXPECT_FALSE(w.has_reply());
    }
}

// ---- Tversion ----

TEST_F(Step, TversionByteVector) {
    Wire w;
    Bytes reply = w.call(hex("13 00 00 00 64 FF FF 00 20 00 00 06 00 39 50 32 30 30 30"));
    EXPECT_EQ(to_hex(reply), "13 00 00 00 65 FF FF 00 20 00 00 06 00 39 50 32 30 30 30");
}

TEST_F(Step, TversionClampsMsizeWithoutLowerBound) {
    struct Case {
        uint32_t asked, answered;
    };
    const std::vector<Case> cases = {
        {1048576, 131072},
        {131073, 131072},
        {0xFFFFFFFF, 131072},
        {131072, 131072},
        {131071, 131071},
        {8192, 8192},
        {256, 256},
        {255, 255},
        {7, 7},
        {0, 0},
    };
    Wire w;
    uint16_t tag = 100;
    for (const auto& c : cases) {
        Bytes reply = w.call(tversion(tag, c.asked));
        EXPECT_EQ(tag_of(reply), tag);
        EXPECT_EQ(rversion_msize(reply), c.answered) << c.asked;
        tag++;
    }
}

TEST_F(Step, TversionAlwaysAnswers9P2000) {
    Wire w;
    for (const char* v : {"9P2000", "9P2000.L", "9P2000.u", "", "anything at all", "9p2000"}) {
        Bytes reply = w.call(tversion(7, 8192, v));
        EXPECT_EQ(type_of(reply), P9_RVERSION) << v;
        EXPECT_EQ(tag_of(reply), 7);
        EXPECT_EQ(rversion_text(reply), "9P2000") << v;
        EXPECT_EQ(reply.size(), 19u);
    }
}

TEST_F(Step, TversionWithTrailingByteIsAWireError) {
    Wire w;
    Bytes b = tversion(1, 8192);
    b.push_back(0);
    b[0] = static_cast<uint8_t>(b.size());
    w.send(b);
    EXPECT_EQ(w.step(), -1);
    EXPECT_FALSE(w.has_reply());
}

TEST_F(Step, TversionWithVersionPastTheEndIsAWireError) {
    Wire w;
    Bytes b = tversion(1, 8192);
    b[11] = 7;  // version length one more than the bytes present
    w.send(b);
    EXPECT_EQ(w.step(), -1);
    EXPECT_FALSE(w.has_reply());
}

TEST_F(Step, TversionForgetsEveryFid) {
    for (uint32_t f = 0; f < FID_CAP; f++) {
        ASSERT_GE(fid_alloc(f * 3, f % 11), 0);
        fid_dirty[f] = f % 2;
        fid_open[f] = 1;
    }
    auto nodes_before = node_kind;
    auto vers_before = node_vers;
    Wire w;
    EXPECT_EQ(type_of(w.call(tversion(1, 8192))), P9_RVERSION);
    for (uint32_t f = 0; f < FID_CAP; f++) {
        EXPECT_EQ(fid_used[f], 0) << f;
        EXPECT_EQ(fid_dirty[f], 0) << f;
        EXPECT_EQ(fid_lookup(f * 3), -1) << f;
    }
    EXPECT_EQ(node_kind, nodes_before) << "the tree is not touched";
    EXPECT_EQ(node_vers, vers_before);
    EXPECT_EQ(fid_alloc(42, 0), 0) << "slot 0 is free again";
}

TEST_F(Step, TclunkOfAFidAttachedBeforeTversionIsUnknown) {
    Wire w;
    EXPECT_EQ(type_of(w.call(tattach(1, 5))), P9_RATTACH);
    EXPECT_EQ(type_of(w.call(tversion(2, 8192))), P9_RVERSION);
    EXPECT_EQ(rerror_text(w.call(tclunk(3, 5))), "tolvane: unknown fid");
}

// ---- Refusals and Tflush ----

TEST_F(Step, UnsupportedTypeRerrorVector) {
    Wire w;
    Bytes reply = w.call(message(7, P9_TAUTH, 1, 0));
    Bytes expected = hex("21 00 00 00 6B 01 00 18 00");
    const std::string text = "tolvane: not implemented";
    expected.insert(expected.end(), text.begin(), text.end());
    ASSERT_EQ(expected.size(), 33u);
    EXPECT_EQ(reply, expected) << to_hex(reply);
}

TEST_F(Step, UnsupportedTypesEchoTheirTagAndTheServerGoesOn) {
    Bytes tauth = build([](p9_cursor* c) {
        return p9_emit_tauth(c, 0x0102, 5, reinterpret_cast<const uint8_t*>("u"), 1,
                             reinterpret_cast<const uint8_t*>(""), 0);
    });
    const std::vector<Bytes> requests = {
        tauth,
        message(11, P9_RVERSION, 0x0304, 4),
        message(30, 0, 0x0506, 23),
        message(9, P9_RERROR, 0x0708, 2),
        message(8, 106, 0x090A, 1),
        message(7, P9_TWSTAT + 2, 0xFFFF, 0),
    };
    Wire w;
    for (const auto& req : requests) {
        SCOPED_TRACE(static_cast<int>(req[4]));
        uint16_t tag = static_cast<uint16_t>(req[5] | req[6] << 8);
        EXPECT_EQ(w.call(req), rerror_bytes(tag, "tolvane: not implemented"));
    }
    EXPECT_EQ(rversion_text(w.call(tversion(1, 8192))), "9P2000");
}

TEST_F(Step, TwstatIsRefusedAndChangesNothing) {
    Wire w;
    EXPECT_EQ(type_of(w.call(tattach(1, 0))), P9_RATTACH);
    const char* newname = "renamed";
    Bytes twstat = build([&](p9_cursor* c) {
        const auto* n = reinterpret_cast<const uint8_t*>(newname);
        return p9_emit_twstat(c, 0x4242, 0, 0, 0, 0, 0, 0, 0777, 1, 2, 99, n, 7, n, 7, n, 7, n, 7);
    });
    auto names_before = node_name;
    auto sizes_before = node_size;
    EXPECT_EQ(w.call(twstat), rerror_bytes(0x4242, "tolvane: Twstat not supported"));
    EXPECT_EQ(node_name, names_before);
    EXPECT_EQ(node_size, sizes_before);
    // Even a Twstat whose body is garbage is refused, not a wire error.
    EXPECT_EQ(w.call(message(12, P9_TWSTAT, 3, 5)),
              rerror_bytes(3, "tolvane: Twstat not supported"));
}

TEST_F(Step, TflushIsAnsweredWithRflush) {
    Wire w;
    for (uint16_t tag : {uint16_t{0}, uint16_t{1}, uint16_t{0xABCD}, P9_NOTAG}) {
        Bytes req = build([&](p9_cursor* c) { return p9_emit_tflush(c, tag, 77); });
        ASSERT_EQ(req.size(), 9u);
        Bytes reply = w.call(req);
        Bytes expected = {
            7, 0, 0, 0, P9_RFLUSH, static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8)};
        EXPECT_EQ(reply, expected) << to_hex(reply);
    }
}

TEST_F(Step, TflushThatDoesNotDecodeIsAWireError) {
    for (size_t body : {1u, 3u}) {
        SCOPED_TRACE(body);
        reset_server();
        Wire w;
        w.send(message(static_cast<uint32_t>(7 + body), P9_TFLUSH, 1, body));
        EXPECT_EQ(w.step(), -1);
        EXPECT_FALSE(w.has_reply());
    }
}

TEST_F(Step, ReplyWrittenToAClosedPeerIsAWireError) {
    Wire w;
    w.send(tversion(1, 8192));
    ::close(w.client_fd);
    w.client_fd = -1;
    EXPECT_EQ(w.step(), -1);
}

// ---- Small routines of the core ----

TEST(Core, ArgIsPost) {
    EXPECT_EQ(arg_is_post("post"), 1);
    for (const char* s : {"Post", "POST", "posts", "pos", "", " post", "post ", "xpost"}) {
        EXPECT_EQ(arg_is_post(s), 0) << "'" << s << "'";
    }
    EXPECT_EQ(arg_is_post(nullptr), 0);
}

TEST(Core, DigitArg) {
    for (int d = 0; d <= 9; d++) {
        char s[2] = {static_cast<char>('0' + d), 0};
        EXPECT_EQ(digit_arg(s), d);
    }
    for (const char* s : {"", "07", "12", "-1", "+1", "x", "/", ":", "1 ", " 1", "１"}) {
        EXPECT_EQ(digit_arg(s), -1) << "'" << s << "'";
    }
    EXPECT_EQ(digit_arg(nullptr), -1);
}

TEST(Core, Strlen) {
    EXPECT_EQ(tolvane::strlen(""), 0u);
    EXPECT_EQ(tolvane::strlen("a"), 1u);
    EXPECT_EQ(tolvane::strlen("ab\0cd"), 2u);
    EXPECT_EQ(tolvane::strlen("[tolvane] no snapshot \xE2\x80\x94 fresh distro skeleton\n"), 48u);
}

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        if (r >= 0) ::close(r);
        if (w >= 0) ::close(w);
    }
    void close_write() {
        ::close(w);
        w = -1;
    }
    std::string drain() {
        std::string s;
        char buf[256];
        ssize_t n;
        while ((n = ::read(r, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
        return s;
    }
};

TEST(Core, WriteStrWritesTheTextWithoutItsNul) {
    Pipe p;
    write_str(p.w, "[tolvane] server starting\n");
    write_str(p.w, "");
    write_str(p.w, "x");
    p.close_write();
    EXPECT_EQ(p.drain(), "[tolvane] server starting\nx");
    write_str(-1, "ignored\n");  // a failed log write is not an error
}

TEST(Core, PeekSize) {
    const uint8_t a[] = {0x13, 0, 0, 0, 0xFF};
    const uint8_t b[] = {0x01, 0x02, 0x03, 0x84};
    EXPECT_EQ(peek_size(a), 19u);
    EXPECT_EQ(peek_size(b), 0x84030201u);
}

TEST(Core, ReadExact) {
    reset_server();
    {
        Pipe p;
        ASSERT_EQ(::write(p.w, "abcdefgh", 8), 8);
        uint8_t buf[8] = {};
        EXPECT_EQ(read_exact(p.r, buf, 5), 5);
        EXPECT_EQ(std::memcmp(buf, "abcde", 5), 0);
        EXPECT_EQ(read_exact(p.r, buf, 0), 0) << "nothing asked, nothing read";
        p.close_write();
        EXPECT_EQ(read_exact(p.r, buf, 8), 3) << "the bytes before end of stream";
        EXPECT_EQ(std::memcmp(buf, "fgh", 3), 0);
        EXPECT_EQ(read_exact(p.r, buf, 8), 0);
    }
    reset_server();
    {
        // Bytes arriving in pieces are gathered.
        Pipe p;
        std::thread writer([&] {
            for (char ch : std::string("0123456789")) {
                EXPECT_EQ(::write(p.w, &ch, 1), 1);
            }
        });
        uint8_t buf[10] = {};
        EXPECT_EQ(read_exact(p.r, buf, 10), 10);
        writer.join();
        EXPECT_EQ(std::memcmp(buf, "0123456789", 10), 0);
    }
    reset_server();
    uint8_t buf[4];
    EXPECT_LT(read_exact(-1, buf, 4), 0) << "a failed read";
}

TEST(Core, SendRmsg) {
    reset_server();
    Pipe p;
    srv_wfd = p.w;
    srv_buf[0] = 'o';
    srv_buf[1] = 'k';
    EXPECT_EQ(send_rmsg(0), -1);
    EXPECT_EQ(send_rmsg(-3), -1);
    EXPECT_EQ(send_rmsg(2), 0);
    p.close_write();
    EXPECT_EQ(p.drain(), "ok") << "a length of 0 or less writes nothing";
    srv_wfd = -1;
    EXPECT_EQ(send_rmsg(2), -1) << "a failed write";
    reset_server();
}

}  // namespace
