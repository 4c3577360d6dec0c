// The relay behind a posted name, with the test playing the server on the
// other end of the posted pair: what each client's requests look like when
// they reach the server, and what the clients get back.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kernel/linux/standin.h"
#include "kernel/velmor.h"
#include "kernel_test_util.h"
#include "support.h"

using namespace ktest;
namespace tt = tolvane_test;

namespace {

uint32_t le32_at(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t le16_at(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

Bytes reply(uint8_t type, uint16_t tag, const Bytes& body = {}) {
    return message(type, tag, body);
}
Bytes rerror(uint16_t tag, const std::string& text) {
    return tt::build([&](p9_cursor* c) {
        return p9_emit_rerror(c, tag, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    });
}
// Rwalk with n qids.
Bytes rwalk(uint16_t tag, uint16_t n) {
    Bytes body = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    body.resize(2 + 13 * n);
    return message(P9_RWALK, tag, body);
}

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        velmor_linux_reset();
        ASSERT_GE(sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, sv), 0);
        ASSERT_EQ(sys_srv_post("r", sv[0]), 0);
        expect_relay_version(sv[1]);
    }
    void TearDown() override {
        for (int c : clients) close(c);
        velmor_linux_reset();
        for (int fd : sv) close(fd);
    }
    int connect(const std::string& name = "r") {
        int c = connect_unix(dir / ("srv/" + name));
        EXPECT_GE(c, 0);
        clients.push_back(c);
        return c;
    }
    // The next request the server reads (an empty one after 5 s).
    Bytes at_server() { return read_message(sv[1]).value_or(Bytes{}); }
    Bytes from(int c) { return read_message(c).value_or(Bytes{}); }
    // Attaches fid on client c and returns the server fid it was given.
    uint32_t attach(int c, uint32_t fid) {
        write_all(c, tt::tattach(1, fid));
        Bytes t = at_server();
        write_all(sv[1], reply(P9_RATTACH, le16_at(t, 5), Bytes(13)));
        EXPECT_EQ(tt::type_of(from(c)), P9_RATTACH);
        return le32_at(t, 7);
    }

    TempDir dir;
    EnvSet env{"VELMOR_SRV", dir / "srv"};
    int32_t sv[2] = {-1, -1};  // [0] posted, [1] the server's end
    std::vector<int> clients;
};

TEST_F(RelayTest, VersionIsAnsweredByTheRelayForEachClient) {
    int a = connect(), b = connect();
    struct Case {
        int client;
        uint32_t asked, given;
    };
    for (Case c : {Case{a, 8192, 8192}, Case{b, 1u << 20, 131072}}) {
        write_all(c.client, tt::tversion(P9_NOTAG, c.asked));
        EXPECT_EQ(from(c.client), tt::build([&](p9_cursor* cur) {
                      return p9_emit_rversion(cur, P9_NOTAG, c.given,
                                              reinterpret_cast<const uint8_t*>("9P2000"), 6);
                  }));
    }
    EXPECT_TRUE(quiet(sv[1], 50)) << "no client's Tversion reaches the server";
}

TEST_F(RelayTest, TagsAndFidsAreEachClientsOwn) {
    int a = connect(), b = connect();
    write_all(a, tt::tattach(1, 1));
    write_all(b, tt::tattach(1, 1));
    Bytes ta = at_server(), tb = at_server();
    ASSERT_EQ(tt::type_of(ta), P9_TATTACH);
    ASSERT_EQ(tt::type_of(tb), P9_TATTACH);
    EXPECT_NE(le16_at(ta, 5), le16_at(tb, 5));
    EXPECT_NE(le32_at(ta, 7), le32_at(tb, 7));
    EXPECT_EQ(le32_at(ta, 11), P9_NOFID);
    // Answered out of order, each reply still reaches its own client.
    write_all(sv[1], reply(P9_RATTACH, le16_at(tb, 5), Bytes(13, 0xbb)));
    write_all(sv[1], reply(P9_RATTACH, le16_at(ta, 5), Bytes(13, 0xaa)));
    EXPECT_EQ(from(a), reply(P9_RATTACH, 1, Bytes(13, 0xaa)));
    EXPECT_EQ(from(b), reply(P9_RATTACH, 1, Bytes(13, 0xbb)));

    write_all(a, tt::tstat(2, 1));
    EXPECT_EQ(le32_at(at_server(), 7), le32_at(ta, 7));
    write_all(b, tt::tstat(2, 1));
    EXPECT_EQ(le32_at(at_server(), 7), le32_at(tb, 7));
    write_all(a, tt::tstat(3, 7));
    EXPECT_EQ(le32_at(at_server(), 7), RELAY_UNKNOWN_FID) << "a fid the client never made";
}

TEST_F(RelayTest, ANewFidIsKeptOnlyWhenTheReplySaysItWasMade) {
    int a = connect();
    uint32_t root = attach(a, 1);
    struct Case {
        uint32_t newfid;
        std::vector<std::string> names;
        Bytes (*answer)(uint16_t tag);
        bool made;
    };
    Case cases[] = {
        {2, {"a"}, [](uint16_t t) { return rerror(t, "tolvane: no such file or directory"); }, false},
        {3, {"a", "b"}, [](uint16_t t) { return rwalk(t, 1); }, false},  // a partial walk
        {4, {"a"}, [](uint16_t t) { return rwalk(t, 1); }, true},
        {5, {}, [](uint16_t t) { return rwalk(t, 0); }, true},  // a clone
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.newfid);
        write_all(a, tt::twalk(2, 1, c.newfid, c.names));
        Bytes t = at_server();
        EXPECT_EQ(le32_at(t, 7), root);
        uint32_t made = le32_at(t, 11);
        write_all(sv[1], c.answer(le16_at(t, 5)));
        from(a);
        write_all(a, tt::tstat(3, c.newfid));
        EXPECT_EQ(le32_at(at_server(), 7), c.made ? made : RELAY_UNKNOWN_FID);
    }
    // Tclunk and Tremove end a mapping as they go out, whatever the answer.
    for (Bytes req : {tt::tclunk(4, 4), tt::tremove(4, 5)}) {
        write_all(a, req);
        Bytes t = at_server();
        EXPECT_NE(le32_at(t, 7), RELAY_UNKNOWN_FID);
        write_all(sv[1], rerror(le16_at(t, 5), "tolvane: persist failed"));
        from(a);
        write_all(a, tt::tstat(5, req == tt::tclunk(4, 4) ? 4 : 5));
        EXPECT_EQ(le32_at(at_server(), 7), RELAY_UNKNOWN_FID);
    }
}

// Two requests at the server that make the same new fid: the fid is kept when
// either reply says it was made, whichever came first.
TEST_F(RelayTest, ANewFidTwoRequestsMayMakeIsKeptWhenEitherMadeIt) {
    int a = connect();
    struct Case {
        bool first_made, second_made;
    };
    uint32_t fid = 1;
    for (Case c : {Case{false, true}, Case{true, false}, Case{false, false}}) {
        SCOPED_TRACE(fid);
        write_all(a, tt::tattach(1, fid));
        write_all(a, tt::tattach(2, fid));
        Bytes t1 = at_server(), t2 = at_server();
        ASSERT_EQ(le32_at(t1, 7), le32_at(t2, 7));
        for (auto [t, made] : {std::pair{t1, c.first_made}, std::pair{t2, c.second_made}}) {
            write_all(sv[1], made ? reply(P9_RATTACH, le16_at(t, 5), Bytes(13))
                                  : rerror(le16_at(t, 5), "tolvane: fid in use"));
            from(a);
        }
        write_all(a, tt::tstat(3, fid));
        bool kept = c.first_made || c.second_made;
        EXPECT_EQ(le32_at(at_server(), 7), kept ? le32_at(t1, 7) : RELAY_UNKNOWN_FID);
        fid++;
    }
}

TEST_F(RelayTest, AReadNeverAsksForMoreThanTheClientsMsizeHolds) {
    int a = connect();
    write_all(a, tt::tversion(1, 8192));
    from(a);
    write_all(a, tt::tread(2, 1, 0, 100000));
    EXPECT_EQ(le32_at(at_server(), 19), 8192u - 11);
}

TEST_F(RelayTest, FlushDropsAQueuedRequestAndFollowsOneAtTheServer) {
    int a = connect();
    // Fill the server's pipeline; the next request waits in the relay.
    std::vector<uint16_t> stags;
    for (uint16_t tag = 1; tag <= 16; tag++) write_all(a, tt::tstat(tag, 9));
    for (int i = 0; i < 16; i++) stags.push_back(le16_at(at_server(), 5));
    write_all(a, tt::tstat(17, 9));
    write_all(a, message(P9_TFLUSH, 18, {17, 0}));
    EXPECT_EQ(from(a), reply(P9_RFLUSH, 18)) << "the queued request is dropped at once";
    write_all(a, message(P9_TFLUSH, 19, {1, 0}));
    // One answer frees a place; the Tflush of request 1 goes to the server.
    write_all(sv[1], rerror(stags[1], "x"));
    EXPECT_EQ(tt::tag_of(from(a)), 2);
    Bytes flush = at_server();
    ASSERT_EQ(tt::type_of(flush), P9_TFLUSH);
    EXPECT_EQ(le16_at(flush, 7), stags[0]);
    write_all(sv[1], rerror(stags[0], "x"));
    write_all(sv[1], reply(P9_RFLUSH, le16_at(flush, 5)));
    EXPECT_EQ(tt::tag_of(from(a)), 1) << "the original reply comes before the Rflush";
    EXPECT_EQ(from(a), reply(P9_RFLUSH, 19));
    EXPECT_TRUE(quiet(sv[1], 50)) << "request 17 never reached the server";
}

TEST_F(RelayTest, MalformedRequestsNeverReachTheServer) {
    int a = connect();
    write_all(a, tt::tversion(1, 512));
    from(a);
    Bytes extra = tt::tclunk(2, 1);
    extra.push_back(0);
    extra[0]++;
    Bytes seventeen = message(P9_TWALK, 2, {1, 0, 0, 0, 2, 0, 0, 0, 17, 0});
    for (int i = 0; i < 17; i++) seventeen.insert(seventeen.end(), {1, 0, 'x'});
    seventeen[0] = static_cast<uint8_t>(seventeen.size());
    struct Case {
        const char* what;
        Bytes req;
        std::string text;
    };
    for (const Case& c : {Case{"a trailing byte", extra, "velmor: malformed 9P2000 message"},
                          Case{"17 walk names", seventeen, "velmor: malformed 9P2000 message"},
                          Case{"over the msize", tt::twrite(2, 1, 0, Bytes(600)),
                               "velmor: malformed 9P2000 message"},
                          Case{"an R-message", reply(P9_RVERSION, 2, Bytes(8)),
                               "tolvane: not implemented"}}) {
        SCOPED_TRACE(c.what);
        write_all(a, c.req);
        Bytes r = from(a);
        EXPECT_EQ(tt::tag_of(r), 2);
        EXPECT_EQ(tt::rerror_text(r), c.text);
    }
    EXPECT_TRUE(quiet(sv[1], 50));
    // A size field that cannot be framed drops the client; the next is served.
    for (uint32_t size : {0u, 6u, 131073u, 0xffffffffu}) {
        int c = connect();
        write_all(c, {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                      static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24), 100, 0, 0});
        EXPECT_TRUE(closed_by_peer(c)) << size;
    }
    write_all(a, tt::tstat(3, 1));
    EXPECT_EQ(tt::type_of(at_server()), P9_TSTAT);
}

TEST_F(RelayTest, AClientThatHangsUpLeavesNothingBehind) {
    int a = connect();
    uint32_t root = attach(a, 1);
    write_all(a, tt::twalk(2, 1, 2, {}));
    Bytes walk = at_server();
    write_all(sv[1], rwalk(le16_at(walk, 5), 0));
    from(a);
    write_all(a, tt::tstat(3, 1));
    Bytes owed = at_server();
    Bytes half = relay_twrite(4, 5000, 1);
    half.resize(2500);
    write_all(a, half);
    close(a);
    clients.clear();

    // Its two fids are clunked; nothing of the half message follows.
    std::vector<uint32_t> clunked;
    for (int i = 0; i < 2; i++) {
        Bytes t = at_server();
        ASSERT_EQ(tt::type_of(t), P9_TCLUNK);
        clunked.push_back(le32_at(t, 7));
        write_all(sv[1], reply(P9_RCLUNK, le16_at(t, 5)));
    }
    EXPECT_EQ(clunked, (std::vector<uint32_t>{root, le32_at(walk, 11)}));
    EXPECT_TRUE(quiet(sv[1], 50));
    // The reply owed to it goes nowhere: not to the next client.
    int b = connect();
    write_all(sv[1], reply(P9_RSTAT, le16_at(owed, 5), Bytes(4)));
    write_all(b, tt::tstat(3, 1));
    Bytes t = at_server();
    EXPECT_EQ(le32_at(t, 7), RELAY_UNKNOWN_FID) << "a departed client's fids are not the next one's";
    write_all(sv[1], rerror(le16_at(t, 5), "tolvane: unknown fid"));
    EXPECT_EQ(tt::rerror_text(from(b)), "tolvane: unknown fid");
}

TEST_F(RelayTest, AClientThatOnlyStopsSendingStillGetsItsReplies) {
    int a = connect();
    write_all(a, tt::tstat(1, 9));
    write_all(a, tt::tstat(2, 9));
    shutdown(a, SHUT_WR);
    Bytes t1 = at_server(), t2 = at_server();
    write_all(sv[1], rerror(le16_at(t1, 5), "one"));
    write_all(sv[1], rerror(le16_at(t2, 5), "two"));
    EXPECT_EQ(from(a), rerror(1, "one"));
    EXPECT_EQ(from(a), rerror(2, "two"));
    EXPECT_TRUE(closed_by_peer(a)) << "the relay closes once every reply is out";
}

TEST_F(RelayTest, AClientsVersionEndsOnlyItsOwnSession) {
    int a = connect(), b = connect();
    uint32_t fa = attach(a, 1), fb = attach(b, 1);
    write_all(a, tt::tversion(7, 8192));
    EXPECT_EQ(tt::type_of(from(a)), P9_RVERSION);
    Bytes t = at_server();
    EXPECT_EQ(tt::type_of(t), P9_TCLUNK);
    EXPECT_EQ(le32_at(t, 7), fa);
    write_all(b, tt::tstat(2, 1));
    EXPECT_EQ(le32_at(at_server(), 7), fb);
}

TEST_F(RelayTest, TheClientOverTheCapIsToldWhy) {
    for (int i = 0; i < 32; i++) connect();
    int extra = connect();
    write_all(extra, tt::tversion(P9_NOTAG, 8192));
    Bytes r = from(extra);
    EXPECT_EQ(tt::tag_of(r), P9_NOTAG);
    EXPECT_EQ(tt::rerror_text(r), "velmor: too many clients on this channel");
    EXPECT_TRUE(closed_by_peer(extra));
    // Once one leaves, the next is served (the relay sees the hang-up soon,
    // not at once: a client refused meanwhile tries again).
    close(clients[0]);
    clients.erase(clients.begin());
    uint8_t got = 0;
    for (int attempt = 0; attempt < 50 && got != P9_RVERSION; attempt++) {
        int next = connect();
        write_all(next, tt::tversion(P9_NOTAG, 8192));
        got = tt::type_of(from(next));
    }
    EXPECT_EQ(got, P9_RVERSION);
}

TEST_F(RelayTest, ManyLargeWritesCannotStarveAnotherClient) {
    int a = connect(), b = connect();
    constexpr uint16_t WRITES = 24;
    std::thread sender([&] {
        for (uint16_t tag = 0; tag < WRITES; tag++) write_all(a, relay_twrite(tag, 100000, tag));
    });
    // The server answers each request as it reads it; b asks once a's writes
    // have begun to arrive.
    auto answer = [&](const Bytes& t) {
        uint8_t type = tt::type_of(t) == P9_TWRITE ? P9_RWRITE : P9_RSTAT;
        write_all(sv[1], reply(type, le16_at(t, 5), Bytes(4)));
    };
    answer(at_server());
    write_all(b, tt::tstat(1, 9));
    int b_at = -1;
    for (int read = 1; read <= WRITES; read++) {
        Bytes t = at_server();
        ASSERT_FALSE(t.empty());
        if (tt::type_of(t) == P9_TSTAT) b_at = read;
        answer(t);
    }
    sender.join();
    EXPECT_GE(b_at, 0);
    EXPECT_LE(b_at, 18) << "b's request waits behind at most a pipeline of a's";
    for (uint16_t tag = 0; tag < WRITES; tag++) {
        EXPECT_EQ(from(a), reply(P9_RWRITE, tag, Bytes(4))) << "a's replies, in order";
    }
    EXPECT_EQ(from(b), reply(P9_RSTAT, 1, Bytes(4)));
}

}  // namespace
