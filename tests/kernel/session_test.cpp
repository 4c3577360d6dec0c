// The session core of a posted name, with byte vectors and no sockets: what
// each client request becomes at the server or is answered with, and where
// each server reply goes.
#include "kernel/linux/session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel_test_util.h"
#include "support.h"

using namespace ktest;
namespace tt = tolvane_test;

namespace {

struct Outcome {
    bool forwarded = false;
    Bytes msg;     // the request as the server gets it
    Bytes answer;  // or the reply given without the server
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        sess_init(s);
        EXPECT_EQ(tt::type_of(own()), P9_TVERSION) << "the stream opens with a Tversion";
        sess_reply(s, nullptr, 0, alt, &alt_len);
        sess_open(s, A, SESS_DIALECT_NATIVE);
        sess_open(s, B, SESS_DIALECT_NATIVE);
    }
    // Client c's request, as sess_scan leaves a message that arrives alone.
    Outcome take(int c, Bytes req) {
        sess_scan(req.data(), 0, 0);
        Outcome o;
        uint8_t answer[SESS_SMALL_REPLY];
        uint32_t len = 0;
        o.forwarded = sess_take(s, c, req.data(), static_cast<uint32_t>(req.size()), answer,
                                &len) == SESS_FORWARD;
        o.msg = req;
        o.answer.assign(answer, answer + len);
        return o;
    }
    // The server's reply to the request at it: the client it goes to, and
    // what that client gets.
    std::pair<int, Bytes> reply(const Bytes& r) {
        int c = sess_reply(s, r.data(), static_cast<uint32_t>(r.size()), alt, &alt_len);
        return {c, alt_len > 0 ? Bytes(alt, alt + alt_len) : r};
    }
    // The next request of the stand-in's own (empty when none).
    Bytes own() {
        uint32_t n = sess_own_next(s);
        return Bytes(s.own.begin(), s.own.begin() + n);
    }
    // Attaches client c's fid; the server fid it maps to.
    uint32_t attach(int c, uint32_t fid) {
        Outcome o = take(c, tt::tattach(1, fid));
        EXPECT_TRUE(o.forwarded);
        reply(message(P9_RATTACH, 1, Bytes(13)));
        return le32_at(o.msg, 7);
    }

    static constexpr int A = 0, B = 5;
    Session s;
    uint8_t alt[SESS_SMALL_REPLY];
    uint32_t alt_len = 0;
};

Bytes rversion(uint16_t tag, uint32_t msize) {
    return tt::build([&](p9_cursor* c) {
        return p9_emit_rversion(c, tag, msize, reinterpret_cast<const uint8_t*>("9P2000"), 6);
    });
}

TEST_F(SessionTest, VersionIsAnsweredHereAndAlwaysReadable) {
    EXPECT_EQ(take(A, tt::tversion(P9_NOTAG, 1u << 20)).answer, rversion(P9_NOTAG, 131072));
    EXPECT_EQ(take(A, tt::tversion(1, 256)).answer, rversion(1, 256));
    // Too small for any reply: refused, and the session keeps msize 256.
    for (uint32_t msize : {0u, 16u, 255u}) {
        Outcome o = take(A, tt::tversion(2, msize));
        EXPECT_EQ(tt::rerror_text(o.answer), "velmor: msize below 256") << msize;
    }
    EXPECT_TRUE(take(A, tt::tstat(3, 1)).forwarded) << "the session goes on at msize 256";
    reply(rerror_msg(3, "tolvane: unknown fid"));
    Bytes big = tt::twrite(4, 1, 0, Bytes(300));
    EXPECT_EQ(tt::rerror_text(take(A, big).answer), "velmor: malformed 9P2000 message");
    // A Tversion larger than the session's msize still begins a new session.
    Bytes long_version = tt::tversion(5, 8192, std::string(300, 'v'));
    EXPECT_EQ(take(A, long_version).answer, rversion(5, 8192));
}

TEST_F(SessionTest, FidsAreEachClientsOwnAndUnknownOnesStayUnknown) {
    uint32_t fa = attach(A, 1), fb = attach(B, 1);
    EXPECT_NE(fa, fb);
    Outcome o = take(B, tt::tstat(7, 1));
    ASSERT_TRUE(o.forwarded);
    EXPECT_EQ(o.msg, tt::tstat(7, fb)) << "tag unchanged, fid mapped";
    EXPECT_EQ(reply(message(P9_RSTAT, 7, Bytes(4))).first, B);
    o = take(A, tt::tstat(8, 9));
    EXPECT_EQ(le32_at(o.msg, 7), SESS_FID_UNKNOWN) << "a fid the client never made";
}

TEST_F(SessionTest, ANewFidIsKeptOnlyWhenTheReplySaysItWasMade) {
    uint32_t root = attach(A, 1);
    struct Case {
        uint32_t newfid;
        std::vector<std::string> names;
        Bytes answer;
        bool made;
    };
    const Case cases[] = {
        {2, {"a"}, rerror_msg(2, "tolvane: no such file or directory"), false},
        {3, {"a", "b"}, rwalk_msg(2, 1), false},  // a partial walk
        {4, {"a"}, rwalk_msg(2, 1), true},
        {5, {}, rwalk_msg(2, 0), true},  // a clone
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.newfid);
        Outcome o = take(A, tt::twalk(2, 1, c.newfid, c.names));
        EXPECT_EQ(le32_at(o.msg, 7), root);
        uint32_t made = le32_at(o.msg, 11);
        reply(c.answer);
        Outcome st = take(A, tt::tstat(3, c.newfid));
        EXPECT_EQ(le32_at(st.msg, 7), c.made ? made : SESS_FID_UNKNOWN);
        reply(rerror_msg(3, "x"));
    }
    // Tclunk and Tremove end a mapping as they go out, whatever the answer.
    for (uint32_t fid : {4u, 5u}) {
        Outcome o = take(A, fid == 4 ? tt::tclunk(4, fid) : tt::tremove(4, fid));
        EXPECT_NE(le32_at(o.msg, 7), SESS_FID_UNKNOWN);
        reply(rerror_msg(4, "tolvane: persist failed"));
        EXPECT_EQ(le32_at(take(A, tt::tstat(5, fid)).msg, 7), SESS_FID_UNKNOWN);
        reply(rerror_msg(5, "x"));
    }
}

TEST_F(SessionTest, AReadAsksForNoMoreThanTheClientsMsizeHolds) {
    take(A, tt::tversion(1, 8192));
    Bytes req = tt::tread(2, 1, 0, 100000);
    EXPECT_EQ(sess_reply_room(s, A, req.data()), 8192u);
    EXPECT_EQ(le32_at(take(A, req).msg, 19), 8192u - 11);
    EXPECT_EQ(sess_reply_room(s, A, tt::tread(2, 1, 0, 10).data()), SESS_SMALL_REPLY);
}

TEST_F(SessionTest, MalformedRequestsAreAnsweredHere) {
    Bytes extra = tt::tclunk(2, 1);
    extra.push_back(0);
    extra[0]++;
    Bytes seventeen = message(P9_TWALK, 2, {1, 0, 0, 0, 2, 0, 0, 0, 17, 0});
    for (int i = 0; i < 17; i++) seventeen.insert(seventeen.end(), {1, 0, 'x'});
    seventeen[0] = static_cast<uint8_t>(seventeen.size());
    Bytes short_write = tt::twrite(2, 1, 0, Bytes(10));
    short_write.pop_back();
    short_write[0]--;
    struct Case {
        const char* what;
        Bytes req;
        std::string text;
    };
    for (const Case& c :
         {Case{"a trailing byte", extra, "velmor: malformed 9P2000 message"},
          Case{"17 walk names", seventeen, "velmor: malformed 9P2000 message"},
          Case{"a count past the end", short_write, "velmor: malformed 9P2000 message"},
          Case{"an R-message", message(P9_RVERSION, 2, Bytes(8)), "tolvane: not implemented"},
          Case{"an unknown type", message(200, 2, {}), "tolvane: not implemented"}}) {
        SCOPED_TRACE(c.what);
        Outcome o = take(A, c.req);
        EXPECT_FALSE(o.forwarded);
        EXPECT_EQ(tt::tag_of(o.answer), 2);
        EXPECT_EQ(tt::rerror_text(o.answer), c.text);
    }
}

TEST_F(SessionTest, FlushDropsAQueuedRequestAndIsAnsweredInOrder) {
    // Three messages arrive together: Tstat 1, Tflush 2 of it, Tflush 3 of
    // the Tflush. The Tstat is dropped; the flushes are answered in order.
    Bytes buf = tt::tstat(1, 9);
    Bytes f2 = message(P9_TFLUSH, 2, {1, 0}), f3 = message(P9_TFLUSH, 3, {2, 0});
    size_t at2 = buf.size();
    buf.insert(buf.end(), f2.begin(), f2.end());
    size_t at3 = buf.size();
    buf.insert(buf.end(), f3.begin(), f3.end());
    sess_scan(buf.data(), 0, 0);
    sess_scan(buf.data(), 0, at2);
    sess_scan(buf.data(), 0, at3);
    std::vector<Bytes> answers;
    for (size_t at : {size_t{0}, at2, at3}) {
        uint8_t answer[SESS_SMALL_REPLY];
        uint32_t len = 0;
        EXPECT_EQ(sess_take(s, A, buf.data() + at, le32_at(buf, at), answer, &len), SESS_ANSWER);
        if (len > 0) answers.emplace_back(answer, answer + len);
    }
    EXPECT_EQ(answers, (std::vector<Bytes>{message(P9_RFLUSH, 2, {}), message(P9_RFLUSH, 3, {})}));
}

TEST_F(SessionTest, ANewSessionOrAHangUpClunksTheClientsFids) {
    uint32_t fa = attach(A, 1), fb = attach(B, 1);
    EXPECT_EQ(take(A, tt::tversion(1, 8192)).answer, rversion(1, 8192));
    EXPECT_EQ(own(), tt::tclunk(0, fa));
    reply(message(P9_RCLUNK, 0, {}));
    EXPECT_TRUE(own().empty()) << "B's fid is B's";
    EXPECT_EQ(le32_at(take(B, tt::tstat(2, 1)).msg, 7), fb);
    // B hangs up while its request is at the server: the reply goes
    // nowhere, and its fid is clunked.
    sess_close(s, B);
    EXPECT_EQ(reply(message(P9_RSTAT, 2, Bytes(4))).first, -1);
    EXPECT_EQ(own(), tt::tclunk(0, fb));
}

TEST_F(SessionTest, TheLinuxDialectGetsTextsTheKernelMaps) {
    constexpr int L = 9;
    sess_open(s, L, SESS_DIALECT_LINUX);
    take(L, tt::tstat(1, 3));
    EXPECT_EQ(reply(rerror_msg(1, "tolvane: unknown fid")).second,
              rerror_msg(1, "Input/output error"));
    take(L, tt::tstat(1, 3));
    EXPECT_EQ(reply(rerror_msg(1, "some other text")).second, rerror_msg(1, "some other text"))
        << "a text without a row goes out as it is";
    EXPECT_EQ(take(L, tt::tversion(2, 16)).answer, rerror_msg(2, "Invalid argument"));
    EXPECT_EQ(take(L, message(P9_TCLUNK, 3, {})).answer, rerror_msg(3, "Protocol error"));
    EXPECT_EQ(take(L, message(P9_RSTAT, 4, {})).answer, rerror_msg(4, "Function not implemented"));
}

}  // namespace

namespace {

constexpr uint32_t KEEP32 = 0xFFFFFFFF;

// A Twstat that sets the length (P9_WSTAT_LENGTH_UNCHANGED: not) and the
// times, or a mode as well; every other field "don't touch".
Bytes twstat(uint16_t tag, uint32_t fid, uint64_t length, uint32_t mode = KEEP32) {
    return tt::build([&](p9_cursor* c) {
        return p9_emit_twstat(c, tag, fid, P9_WSTAT_TYPE_UNCHANGED, P9_WSTAT_DEV_UNCHANGED,
                              P9_WSTAT_QIDTYPE_UNCHANGED, P9_WSTAT_QIDVERS_UNCHANGED,
                              P9_WSTAT_QIDPATH_UNCHANGED, mode, 1700000000, 1700000000, length,
                              nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0);
    });
}

// Rstat of a file (or directory) of the given length.
Bytes rstat(uint64_t length, bool dir = false) {
    return tt::build([&](p9_cursor* c) {
        const auto* v = reinterpret_cast<const uint8_t*>("velmor");
        return p9_emit_rstat(c, 0, 0, 0, dir ? P9_QTDIR : 0, 1, 9, dir ? 0x800001FF : 0x1FF, 0, 0,
                             length, reinterpret_cast<const uint8_t*>("f"), 1, v, 6, v, 6, v, 6);
    });
}

Bytes tc(uint8_t type, uint32_t fid, Bytes rest = {}) {
    Bytes body = {static_cast<uint8_t>(fid), static_cast<uint8_t>(fid >> 8),
                  static_cast<uint8_t>(fid >> 16), static_cast<uint8_t>(fid >> 24)};
    body.insert(body.end(), rest.begin(), rest.end());
    return message(type, 0, body);
}

// Rwalk of one qid, the file's (qid path 9, as rstat() says).
Bytes rwalk_to_file() {
    return message(P9_RWALK, 0, {1, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0});
}

class DialectTwstat : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        sess_open(s, L, SESS_DIALECT_LINUX);
        attach(L, 1);
        Outcome o = take(L, tt::twalk(2, 1, 2, {"f"}));
        sfid = le32_at(o.msg, 11);
        reply(rwalk_to_file());
    }
    // Sends Twstat req, then answers each request of the stand-in's own with
    // the next of replies; the requests it made, and what the client got.
    std::pair<std::vector<Bytes>, Bytes> run(const Bytes& req, const std::vector<Bytes>& replies) {
        EXPECT_EQ(take(L, req).answer, Bytes{});
        std::vector<Bytes> sent;
        Bytes got;
        for (const Bytes& r : replies) {
            sent.push_back(own());
            auto [c, out] = reply(r);
            if (c == L) got = out;
        }
        EXPECT_TRUE(own().empty()) << "no request left over";
        return {sent, got};
    }
    // The requests that reach the file through a fid of the stand-in's own.
    std::vector<Bytes> reach() const {
        return {tc(P9_TSTAT, sfid), tt::build([](p9_cursor* c) {
                    return p9_emit_tattach(c, 0, OWN_FID, P9_NOFID, nullptr, 0, nullptr, 0);
                }),
                tt::twalk(0, OWN_FID, OWN_FID, {"f"})};
    }
    static constexpr int L = 9;
    uint32_t sfid = 0;
    static constexpr uint32_t OWN_FID = 2;  // the lowest server fid free after attach and walk
};

TEST_F(DialectTwstat, LengthAndTimesBecomeTheServersOwnRequests) {
    const Bytes rwstat = message(P9_RWSTAT, 4, {});
    const Bytes rattach = message(P9_RATTACH, 0, Bytes(13));
    const Bytes rclunk = message(P9_RCLUNK, 0, {});
    const Bytes ropen = message(P9_ROPEN, 0, Bytes(17));
    // Emptied: as an open with OTRUNC, saved at the clunk.
    auto [empty, got] = run(twstat(4, 2, 0), {rstat(10), rattach, rwalk_to_file(), ropen, rclunk});
    std::vector<Bytes> want = reach();
    want.push_back(tc(P9_TOPEN, OWN_FID, {P9_OWRITE | P9_OTRUNC}));
    want.push_back(tc(P9_TCLUNK, OWN_FID));
    EXPECT_EQ(empty, want);
    EXPECT_EQ(got, rwstat);
    // Extended: as a write of no bytes at that offset.
    Bytes at = {0xa0, 0x86, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // offset 100000, count 0
    auto [grown, got2] = run(twstat(4, 2, 100000), {rstat(10), rattach, rwalk_to_file(), ropen,
                                                    message(P9_RWRITE, 0, Bytes(4)), rclunk});
    want = reach();
    want.push_back(tc(P9_TOPEN, OWN_FID, {P9_OWRITE}));
    want.push_back(tc(P9_TWRITE, OWN_FID, at));
    want.push_back(tc(P9_TCLUNK, OWN_FID));
    EXPECT_EQ(grown, want);
    EXPECT_EQ(got2, rwstat);
    // The times alone, or the length the file has: a Tstat shows the fid good.
    for (uint64_t length : {P9_WSTAT_LENGTH_UNCHANGED, uint64_t{10}}) {
        auto [sent, ok] = run(twstat(4, 2, length), {rstat(10)});
        EXPECT_EQ(sent, std::vector<Bytes>{tc(P9_TSTAT, sfid)});
        EXPECT_EQ(ok, rwstat);
    }
}

TEST_F(DialectTwstat, WhatCannotBeDoneIsRefusedAndLeavesNoFid) {
    struct Case {
        const char* what;
        uint64_t length;
        Bytes stat;
        std::string text;
    };
    for (const Case& c :
         {Case{"shrunk", 4, rstat(10), "Operation not supported"},
          Case{"a directory", 5, rstat(0, true), "Operation not supported"},
          Case{"past 4 MiB", 4194305, rstat(10), "File too large"},
          Case{"a fid gone", 0, rerror_msg(0, "tolvane: unknown fid"), "Input/output error"}}) {
        SCOPED_TRACE(c.what);
        auto [sent, got] = run(twstat(4, 2, c.length), {c.stat});
        EXPECT_EQ(sent.size(), 1u) << "only the Tstat";
        EXPECT_EQ(got, rerror_msg(4, c.text));
    }
    // A refused open, or another file at the path by now, still clunks the
    // stand-in's fid; the refusal is answered.
    const Bytes rattach = message(P9_RATTACH, 0, Bytes(13));
    const Bytes rclunk = message(P9_RCLUNK, 0, {});
    auto [sent, got] = run(twstat(4, 2, 0), {rstat(10), rattach, rwalk_to_file(),
                                             rerror_msg(0, "tolvane: persist failed"), rclunk});
    EXPECT_EQ(sent.back(), tc(P9_TCLUNK, OWN_FID));
    EXPECT_EQ(got, rerror_msg(4, "Input/output error"));
    auto [sent2, got2] = run(twstat(4, 2, 0), {rstat(10), rattach, rwalk_msg(0, 1), rclunk});
    EXPECT_EQ(sent2.back(), tc(P9_TCLUNK, OWN_FID));
    EXPECT_EQ(got2, rerror_msg(4, "No such file or directory"));
    // A hang-up in between: the script runs to its clunk, and nobody hears.
    EXPECT_EQ(take(L, twstat(5, 2, 0)).answer, Bytes{});
    own();
    reply(rstat(10));
    sess_close(s, L);
    for (const Bytes& r : {rattach, rwalk_to_file(), message(P9_ROPEN, 0, Bytes(17))}) {
        own();
        EXPECT_EQ(reply(r).first, -1);
    }
    EXPECT_EQ(own(), tc(P9_TCLUNK, OWN_FID));
    EXPECT_EQ(reply(rclunk).first, -1);
    EXPECT_EQ(tt::type_of(own()), P9_TCLUNK) << "then the client's own fids";
}

TEST_F(DialectTwstat, AnythingElseReachesTheServerAsItIs) {
    Outcome mode = take(L, twstat(4, 2, 0, 0644));
    EXPECT_TRUE(mode.forwarded);
    EXPECT_EQ(mode.msg, twstat(4, sfid, 0, 0644));
    reply(rerror_msg(4, "tolvane: Twstat not supported"));
    Outcome native = take(A, twstat(4, 7, 0));
    EXPECT_TRUE(native.forwarded) << "the plain socket is unchanged";
}

}  // namespace
