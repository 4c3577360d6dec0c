// The multiplexer behind a posted name, with the test playing the server
// through the server's own calls on its end of the posted pair: which
// requests reach the server and in what order, and what the clients get
// back over their sockets. What each request becomes is the session core's
// (session_test.cpp).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "kernel/linux/standin.h"
#include "kernel/velmor.h"
#include "kernel_test_util.h"
#include "support.h"

using namespace ktest;
namespace tt = tolvane_test;

namespace {

class MuxTest : public ::testing::Test {
protected:
    void SetUp() override {
        velmor_linux_reset();
        ASSERT_GE(sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, sv), 0);
        ASSERT_EQ(sys_srv_post("r", sv[0]), 0);
        expect_opening_version(sv[1]);
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
        pump(0);  // accepted now, so the listening socket's backlog never fills
        return c;
    }
    // The next request the server reads (an empty one after 5 s).
    Bytes at_server() { return server_read(sv[1]).value_or(Bytes{}); }
    // Lets the multiplexer run for about ms with no request taken.
    void pump(int ms) { server_quiet(sv[1], ms); }
    // What client c gets next; the multiplexer runs meanwhile.
    Bytes from(int c) {
        for (int i = 0; i < 100; i++) {
            if (auto m = read_message(c, 10)) return *m;
            pump(50);
        }
        return {};
    }
    // Answers the request at the server with an empty reply of its kind.
    void answer(const Bytes& t) {
        server_write(sv[1], message(tt::type_of(t) + 1, tt::tag_of(t), Bytes(4)));
    }

    TempDir dir;
    EnvSet env{"VELMOR_SRV", dir / "srv"};
    int32_t sv[2] = {-1, -1};  // [0] posted, [1] the server's end
    std::vector<int> clients;
};

TEST_F(MuxTest, EachClientGetsItsOwnRepliesAndVersion) {
    int a = connect(), b = connect();
    write_all(a, tt::tversion(P9_NOTAG, 8192));
    write_all(b, tt::tversion(P9_NOTAG, 1u << 20));
    EXPECT_EQ(le32_at(from(a), 7), 8192u);
    EXPECT_EQ(le32_at(from(b), 7), 131072u);
    EXPECT_TRUE(server_quiet(sv[1], 50)) << "no client's Tversion reaches the server";
    // Both use tag 1 and fid 1; each reply reaches its own client.
    write_all(a, tt::tattach(1, 1));
    write_all(b, tt::tattach(1, 1));
    Bytes t1 = at_server();
    server_write(sv[1], message(P9_RATTACH, 1, Bytes(13, 0x11)));
    Bytes t2 = at_server();
    server_write(sv[1], message(P9_RATTACH, 1, Bytes(13, 0x22)));
    EXPECT_NE(le32_at(t1, 7), le32_at(t2, 7)) << "two server fids";
    Bytes ra = from(a), rb = from(b);
    EXPECT_NE(ra, rb);
    EXPECT_EQ(ra.size(), 20u);
    EXPECT_EQ(rb.size(), 20u);
}

TEST_F(MuxTest, AFlushedQueuedRequestNeverReachesTheServer) {
    int a = connect();
    // Tstat 1 is taken; Tstat 2 waits behind it and is flushed, and the
    // flush of the flush is answered after it.
    write_all(a, tt::tstat(1, 9));
    Bytes t = at_server();
    write_all(a, tt::tstat(2, 9));
    write_all(a, message(P9_TFLUSH, 3, {2, 0}));
    write_all(a, message(P9_TFLUSH, 4, {3, 0}));
    answer(t);
    EXPECT_EQ(tt::tag_of(from(a)), 1);
    EXPECT_EQ(from(a), message(P9_RFLUSH, 3, {}));
    EXPECT_EQ(from(a), message(P9_RFLUSH, 4, {}));
    EXPECT_TRUE(server_quiet(sv[1], 50)) << "request 2 never reached the server";
}

TEST_F(MuxTest, NoReplyFollowsItsTagsRflush) {
    int a = connect();
    // Tstat 1 is at the server when Tflush 2 of it comes, and Tflush 3 of
    // that flush: Tflush 2 is still queued, so it is dropped.
    write_all(a, tt::tstat(1, 9));
    Bytes t = at_server();
    write_all(a, message(P9_TFLUSH, 2, {1, 0}));
    write_all(a, message(P9_TFLUSH, 3, {2, 0}));
    answer(t);
    EXPECT_EQ(tt::tag_of(from(a)), 1) << "the reply at the server comes first";
    EXPECT_EQ(from(a), message(P9_RFLUSH, 3, {}));
    pump(50);
    EXPECT_FALSE(read_message(a, 50).has_value()) << "nothing for tag 2 after its Rflush";
}

TEST_F(MuxTest, ASizeThatCannotBeFramedDropsOnlyThatClient) {
    int a = connect();
    for (uint32_t size : {0u, 6u, 131073u, 0xffffffffu}) {
        int c = connect();
        write_all(c,
                  {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                   static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24), 100, 0, 0});
        pump(20);
        EXPECT_TRUE(closed_by_peer(c, 1000)) << size;
    }
    write_all(a, tt::tstat(3, 1));
    EXPECT_EQ(tt::type_of(at_server()), P9_TSTAT);
}

TEST_F(MuxTest, AClientThatHangsUpLeavesNothingBehind) {
    int a = connect();
    write_all(a, tt::tattach(1, 1));
    Bytes attach = at_server();
    server_write(sv[1], message(P9_RATTACH, 1, Bytes(13)));
    write_all(a, tt::twalk(2, 1, 2, {}));
    Bytes walk = at_server();
    server_write(sv[1], rwalk_msg(2, 0));
    write_all(a, tt::tstat(3, 1));
    Bytes owed = at_server();
    Bytes half = echoed_twrite(4, 5000, 1);
    half.resize(2500);
    write_all(a, half);
    close(a);
    clients.clear();
    answer(owed);  // goes nowhere

    // Its two fids are clunked; nothing of the half message follows.
    std::vector<uint32_t> clunked;
    for (int i = 0; i < 2; i++) {
        Bytes t = at_server();
        ASSERT_EQ(tt::type_of(t), P9_TCLUNK);
        clunked.push_back(le32_at(t, 7));
        answer(t);
    }
    EXPECT_EQ(clunked, (std::vector<uint32_t>{le32_at(attach, 7), le32_at(walk, 11)}));
    EXPECT_TRUE(server_quiet(sv[1], 50));
    int b = connect();
    write_all(b, tt::tstat(3, 1));
    EXPECT_EQ(le32_at(at_server(), 7), UNKNOWN_SERVER_FID)
        << "a departed client's fids are not the next one's";
}

TEST_F(MuxTest, AClientThatOnlyStopsSendingStillGetsItsReplies) {
    int a = connect();
    write_all(a, tt::tstat(1, 9));
    write_all(a, tt::tstat(2, 9));
    shutdown(a, SHUT_WR);
    for (int i = 0; i < 2; i++) {
        Bytes t = at_server();
        server_write(sv[1], rerror_msg(tt::tag_of(t), "r"));
    }
    EXPECT_EQ(from(a), rerror_msg(1, "r"));
    EXPECT_EQ(from(a), rerror_msg(2, "r"));
    pump(50);
    EXPECT_TRUE(closed_by_peer(a, 1000)) << "closed once every reply is out";
}

TEST_F(MuxTest, EveryClientOverTheCapIsToldWhy) {
    for (int i = 0; i < 32; i++) connect();
    pump(50);
    std::vector<int> extra;
    for (int i = 0; i < 12; i++) {
        int c = connect();
        write_all(c, tt::tversion(P9_NOTAG, 8192));
        extra.push_back(c);
    }
    for (int c : extra) {
        Bytes r = from(c);
        EXPECT_EQ(tt::tag_of(r), P9_NOTAG);
        EXPECT_EQ(tt::rerror_text(r), "velmor: too many clients on this channel");
        EXPECT_TRUE(closed_by_peer(c, 1000));
    }
    // Once one leaves, the next is served.
    close(clients[0]);
    clients.erase(clients.begin());
    pump(50);
    int next = connect();
    write_all(next, tt::tversion(P9_NOTAG, 8192));
    EXPECT_EQ(tt::type_of(from(next)), P9_RVERSION);
}

TEST_F(MuxTest, ManyLargeWritesCannotStarveAnotherClient) {
    int a = connect(), b = connect();
    constexpr uint16_t WRITES = 24;
    std::thread sender([&] {
        for (uint16_t tag = 0; tag < WRITES; tag++) write_all(a, echoed_twrite(tag, 100000, tag));
    });
    answer(at_server());
    write_all(b, tt::tstat(1, 9));
    pump(20);
    int b_at = -1;
    for (int read = 1; read <= WRITES; read++) {
        Bytes t = at_server();
        ASSERT_FALSE(t.empty());
        if (tt::type_of(t) == P9_TSTAT) b_at = read;
        answer(t);
        // a's replies are read as they come, so its sender never blocks on them.
        while (read_message(a, 10)) {
        }
    }
    sender.join();
    EXPECT_GE(b_at, 1);
    EXPECT_LE(b_at, 3) << "b's request waits only for the requests of a's already read";
    EXPECT_EQ(from(b), message(P9_RSTAT, 1, Bytes(4)));
}

TEST_F(MuxTest, AClientThatStopsReadingHoldsUpNobody) {
    int a = connect(), b = connect();
    // a asks for far more than its socket and output buffer hold, and never reads.
    for (uint16_t tag = 0; tag < 12; tag++) write_all(a, tt::tread(tag, 1, 0, 120000));
    Bytes data(120000);
    int reads = 0;
    for (int turn = 0; turn < 12; turn++) {
        Bytes t = server_read(sv[1], 200).value_or(Bytes{});
        if (t.empty()) break;
        server_write(sv[1], tt::build([&](p9_cursor* c) {
                         return p9_emit_rread(c, tt::tag_of(t), data.data(), 120000);
                     }));
        reads++;
    }
    EXPECT_LT(reads, 12) << "a's requests wait once its replies have nowhere to go";
    write_all(b, tt::tstat(1, 9));
    Bytes t = at_server();
    EXPECT_EQ(tt::type_of(t), P9_TSTAT);
    answer(t);
    EXPECT_EQ(tt::type_of(from(b)), P9_RSTAT);
}

}  // namespace
