// The process entry, signals and exit, through a probe program that runs on
// the real entry in place of the server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "kernel_test_util.h"

using namespace ktest;

namespace {

const std::string START_LINE = "[runtime:tolvane] _start\n";

TEST(Entry, WritesTheStartLineAndExitsWithMainsResult) {
    for (int status : {0, 1, 7, 255}) {
        Child c = spawn_probe({"exit", std::to_string(status)});
        std::string err;
        EXPECT_EQ(finish(c, &err), status);
        EXPECT_EQ(err, START_LINE);
    }
}

TEST(Entry, EndOfInputEndsTheStream) {
    Child c = spawn_probe({"echo"});
    Bytes m = message_of_size(100, 1);
    write_all(c.in, m);
    EXPECT_EQ(read_n(c.out, m.size()), m);
    std::string err;
    EXPECT_EQ(finish(c, &err), 0);
    EXPECT_EQ(err, START_LINE + "probe: end of stream\n");
}

TEST(Entry, StopSignalsEndTheStreamBetweenMessages) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        Child c = spawn_probe({"echo"});
        Bytes m = message_of_size(50, 2);
        write_all(c.in, m);
        EXPECT_EQ(read_n(c.out, m.size()), m);  // it has read the whole message
        kill(c.pid, sig);
        std::string err = read_err_until(c, "probe: end of stream\n");
        EXPECT_EQ(err, START_LINE + "probe: end of stream\n");
        EXPECT_EQ(finish(c), 0) << "the process must end by itself, not by the signal";
    }
}

TEST(Entry, AStopInsideAMessageWaitsForItsEnd) {
    Child c = spawn_probe({"echo"});
    Bytes m = message_of_size(3000, 3);
    write_all(c.in, Bytes(m.begin(), m.begin() + 1000));
    EXPECT_EQ(read_n(c.out, 1000), Bytes(m.begin(), m.begin() + 1000));  // it is inside m now
    kill(c.pid, SIGTERM);
    write_all(c.in, Bytes(m.begin() + 1000, m.end()));
    EXPECT_EQ(read_n(c.out, 2000), Bytes(m.begin() + 1000, m.end()));
    std::string err;
    EXPECT_EQ(finish(c, &err), 0);
    EXPECT_EQ(err, START_LINE + "probe: end of stream\n");
}

TEST(Entry, AWriteToAVanishedReaderFailsInsteadOfKilling) {
    Child c = spawn_probe({"sigpipe"});
    close(c.out);  // nobody will read its output
    c.out = -1;
    std::string err;
    EXPECT_EQ(finish(c, &err), 3);  // the write answered negative; no SIGPIPE death (141)
    EXPECT_EQ(err, START_LINE);
}

class EntryPost : public ::testing::Test {
protected:
    std::string sock(const std::string& name) const { return dir / ("srv/" + name); }
    TempDir dir;
    EnvSet env{"VELMOR_SRV", dir / "srv"};
};

TEST_F(EntryPost, TheLastReplyReachesTheClientBeforeTheProcessEnds) {
    // Answers two messages (the opening Tversion and the client's), then exits.
    Child c = spawn_probe({"post", "one", "2"});
    ASSERT_NE(read_err_until(c, "probe: posted\n").find("probe: posted\n"), std::string::npos);
    int client = connect_unix(sock("one"));
    ASSERT_GE(client, 0);
    Bytes m = echoed_twrite(4, 70000, 4);
    write_all(client, m);
    EXPECT_EQ(read_message(client), m);
    EXPECT_TRUE(closed_by_peer(client));
    close(client);
    EXPECT_EQ(finish(c), 0);
    struct stat st;
    EXPECT_NE(lstat(sock("one").c_str(), &st), 0) << "the socket is removed at exit";
}

TEST_F(EntryPost, ALargeLastReplyIsDeliveredWholeToASlowClient) {
    // The replies are far larger than the socket buffers, so most of them
    // are still waiting for the client when the process begins to exit.
    Child c = spawn_probe({"post", "big", "4"});
    ASSERT_NE(read_err_until(c, "probe: posted\n").find("probe: posted\n"), std::string::npos);
    int client = connect_unix(sock("big"));
    ASSERT_GE(client, 0);
    std::vector<Bytes> msgs;
    for (uint16_t i = 0; i < 3; i++) msgs.push_back(echoed_twrite(i, 131072, 5 + i));
    std::thread sender([&] {
        for (const Bytes& m : msgs) write_all(client, m);
    });
    // Let the probe answer and begin to exit before the client reads.
    std::string err = read_err_until(c, "probe: done\n");
    sender.join();
    EXPECT_NE(err.find("probe: done\n"), std::string::npos);
    for (const Bytes& m : msgs) EXPECT_EQ(read_message(client), m);
    close(client);
    EXPECT_EQ(finish(c), 0);
}

TEST_F(EntryPost, StopEndsAPostedServerBetweenRequests) {
    Child c = spawn_probe({"post", "loop", "-1"});
    ASSERT_NE(read_err_until(c, "probe: posted\n").find("probe: posted\n"), std::string::npos);
    int client = connect_unix(sock("loop"));
    ASSERT_GE(client, 0);
    for (uint16_t i = 0; i < 3; i++) {
        Bytes m = echoed_twrite(i, 30 + i, i);
        write_all(client, m);
        EXPECT_EQ(read_message(client), m);
    }
    kill(c.pid, SIGTERM);
    std::string err;
    EXPECT_EQ(finish(c, &err), 0);
    EXPECT_EQ(err, "probe: done\n");
    close(client);
}

TEST_F(EntryPost, ASecondProcessCannotPostALiveName) {
    Child first = spawn_probe({"post", "dup", "-1"});
    ASSERT_NE(read_err_until(first, "probe: posted\n").find("probe: posted\n"), std::string::npos);
    Child second = spawn_probe({"post", "dup", "-1"});
    EXPECT_EQ(finish(second), 6);  // sys_srv_post answered negative
    kill(first.pid, SIGTERM);
    EXPECT_EQ(finish(first), 0);
    // Once the first is gone, the name can be posted again.
    Child third = spawn_probe({"post", "dup", "1"});
    ASSERT_NE(read_err_until(third, "probe: posted\n").find("probe: posted\n"), std::string::npos);
    kill(third.pid, SIGTERM);
    EXPECT_EQ(finish(third), 0);
}

}  // namespace
