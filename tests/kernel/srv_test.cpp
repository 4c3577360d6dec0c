// sys_socketpair and sys_srv_post on the stand-in: names, permissions, the
// relay between a client and the posted end, live and stale sockets.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "kernel/linux/standin.h"
#include "kernel/velmor.h"
#include "kernel_test_util.h"

using namespace ktest;

namespace {

class Srv : public ::testing::Test {
protected:
    void SetUp() override {
        velmor_linux_reset();
        ASSERT_GE(sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, sv), 0);
    }
    void TearDown() override {
        velmor_linux_reset();  // stops the relays before their descriptors go
        for (int fd : sv) close(fd);
    }
    std::string registry() const { return dir / "srv"; }
    std::string sock(const std::string& name) const { return registry() + "/" + name; }

    TempDir dir;
    EnvSet env{"VELMOR_SRV", dir / "srv"};
    int32_t sv[2] = {-1, -1};  // [0] posted, [1] the server's end
};

TEST_F(Srv, SocketPairIsOneConnectedStream) {
    Bytes m = message_of_size(100, 1);
    write_all(sv[0], m);
    EXPECT_EQ(read_n(sv[1], m.size()), m);
    write_all(sv[1], m);
    EXPECT_EQ(read_n(sv[0], m.size()), m);
}

TEST(SrvCalls, SocketPairRefusesOtherDomainsTypesAndProtocols) {
    int32_t pair[2] = {-1, -1};
    struct Case {
        int64_t domain, type, protocol;
    };
    for (Case c : {Case{2, 1, 0}, Case{0, 1, 0}, Case{1, 2, 0}, Case{1, 5, 0}, Case{1, 1, 6}}) {
        EXPECT_LT(sys_socketpair(c.domain, c.type, c.protocol, pair), 0)
            << c.domain << "/" << c.type << "/" << c.protocol;
    }
    EXPECT_EQ(pair[0], -1);
    EXPECT_LT(sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, nullptr), 0);
}

TEST_F(Srv, BadNamesAndDescriptorsAreRefused) {
    std::string too_long(sizeof(sockaddr_un{}.sun_path), 'n');
    std::string just_fits(sizeof(sockaddr_un{}.sun_path) - 1 - registry().size() - 1, 'n');
    for (const std::string& name : {std::string(""), std::string("a/b"), std::string("/x"),
                                    std::string("x/"), std::string("."), std::string(".."),
                                    too_long, just_fits + "n", std::string(NAME_MAX + 1, 'q')}) {
        EXPECT_LT(sys_srv_post(name.c_str(), sv[0]), 0) << "name of " << name.size() << " bytes";
    }
    EXPECT_LT(sys_srv_post(nullptr, sv[0]), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_LT(sys_srv_post("pipe", p[0]), 0);  // not a socket
    close(p[0]);
    close(p[1]);
    EXPECT_LT(sys_srv_post("nofd", -1), 0);
    EXPECT_LT(sys_srv_post("badfd", 1 << 20), 0);
    // The longest name that fits works.
    EXPECT_EQ(sys_srv_post(just_fits.c_str(), sv[0]), 0);
    struct stat st;
    EXPECT_EQ(lstat(sock(just_fits).c_str(), &st), 0);
}

TEST_F(Srv, RegistryIsPrivateAndTheSocketIsTheUsersAlone) {
    EnvSet nested("VELMOR_SRV", dir / "a/b/srv");
    mode_t old = umask(0);  // a permissive umask must not widen anything
    int64_t r = sys_srv_post("perm", sv[0]);
    umask(old);
    ASSERT_EQ(r, 0);
    struct stat st;
    ASSERT_EQ(stat((dir / "a/b/srv").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((dir / "a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(lstat((dir / "a/b/srv/perm").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
}

TEST_F(Srv, RegistryDefaultsToTheRuntimeDirectory) {
    EnvSet unset("VELMOR_SRV", std::nullopt);
    EnvSet runtime("XDG_RUNTIME_DIR", dir.path());
    ASSERT_EQ(sys_srv_post("rt", sv[0]), 0);
    struct stat st;
    ASSERT_EQ(lstat((dir / "velmor-srv/rt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    ASSERT_EQ(stat((dir / "velmor-srv").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(Srv, RegistryFallsBackToAPerUserDirectoryUnderTmp) {
    EnvSet unset("VELMOR_SRV", std::nullopt);
    EnvSet runtime("XDG_RUNTIME_DIR", std::nullopt);
    std::string name = "kernel-test-" + std::to_string(getpid());
    ASSERT_EQ(sys_srv_post(name.c_str(), sv[0]), 0);
    std::string tmp = "/tmp/velmor-srv-" + std::to_string(geteuid());
    struct stat st;
    ASSERT_EQ(lstat(tmp.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(lstat((tmp + "/" + name).c_str(), &st), 0);
    velmor_linux_reset();  // removes the socket again
    EXPECT_NE(lstat((tmp + "/" + name).c_str(), &st), 0);
}

TEST_F(Srv, AClientTalksToTheServedEnd) {
    ASSERT_EQ(sys_srv_post("talk", sv[0]), 0);
    int c = connect_unix(sock("talk"));
    ASSERT_GE(c, 0);
    Bytes req = message(100, 1, {1, 2, 3, 4, 5});
    write_all(c, req);
    EXPECT_EQ(read_message(sv[1]), req);
    Bytes rep = message(101, 1, {9, 8, 7});
    write_all(sv[1], rep);
    EXPECT_EQ(read_message(c), rep);
    close(c);
}

TEST_F(Srv, ManyMessagesOfEverySizeCrossInOrder) {
    ASSERT_EQ(sys_srv_post("bulk", sv[0]), 0);
    int c = connect_unix(sock("bulk"));
    ASSERT_GE(c, 0);
    std::vector<Bytes> msgs;
    Bytes all;
    for (uint32_t i = 0; i < 40; i++) {
        uint32_t size = i % 8 == 7 ? 300000 + i : 7 + i * 37;
        msgs.push_back(message_of_size(size, i));
        all.insert(all.end(), msgs.back().begin(), msgs.back().end());
    }
    // The client pipelines everything while the "server" echoes each message.
    std::thread client([&] { write_all(c, all); });
    std::thread server([&] {
        for (size_t i = 0; i < msgs.size(); i++) {
            auto m = read_message(sv[1], 10000);
            if (!m) return;
            write_all(sv[1], *m);
        }
    });
    for (size_t i = 0; i < msgs.size(); i++) {
        auto m = read_message(c, 10000);
        ASSERT_TRUE(m.has_value()) << "reply " << i;
        EXPECT_TRUE(*m == msgs[i]) << "reply " << i;
    }
    client.join();
    server.join();
    close(c);
}

TEST_F(Srv, HalfAMessageFromAClientThatHungUpNeverReachesTheServer) {
    ASSERT_EQ(sys_srv_post("half", sv[0]), 0);
    Bytes a1 = message_of_size(50, 1), a2 = message_of_size(51, 2);
    Bytes b = message_of_size(5000, 3);
    Bytes c_msg = message_of_size(60, 4);

    int c1 = connect_unix(sock("half"));
    ASSERT_GE(c1, 0);
    write_all(c1, a1);
    write_all(c1, a2);
    write_all(c1, Bytes(b.begin(), b.begin() + 2500));
    EXPECT_EQ(read_message(sv[1]), a1);
    EXPECT_EQ(read_message(sv[1]), a2);
    close(c1);  // hangs up inside b, before any reply

    int c2 = connect_unix(sock("half"));
    ASSERT_GE(c2, 0);
    write_all(c2, c_msg);
    // Both replies are owed to the first client: the relay reads and drops
    // them before it serves the second.
    write_all(sv[1], message(101, 1, {0xa1}));
    write_all(sv[1], message(101, 2, {0xa2}));
    EXPECT_EQ(read_message(sv[1]), c_msg) << "the next request must be the second client's";
    EXPECT_TRUE(quiet(sv[1], 50)) << "nothing of the half message may follow";
    Bytes rep_c = message(101, 4, {0xcc});
    write_all(sv[1], rep_c);
    EXPECT_EQ(read_message(c2), rep_c) << "the second client must not see the first one's replies";
    close(c2);
}

TEST_F(Srv, AClientThatOnlyStopsSendingStillGetsItsReplies) {
    ASSERT_EQ(sys_srv_post("halfclose", sv[0]), 0);
    int c = connect_unix(sock("halfclose"));
    ASSERT_GE(c, 0);
    Bytes req1 = message_of_size(40, 1), req2 = message_of_size(41, 2);
    write_all(c, req1);
    write_all(c, req2);
    shutdown(c, SHUT_WR);
    EXPECT_EQ(read_message(sv[1]), req1);
    EXPECT_EQ(read_message(sv[1]), req2);
    Bytes rep1 = message(101, 1, {1}), rep2 = message(101, 2, {2});
    write_all(sv[1], rep1);
    write_all(sv[1], rep2);
    EXPECT_EQ(read_message(c), rep1);
    EXPECT_EQ(read_message(c), rep2);
    EXPECT_TRUE(closed_by_peer(c)) << "the relay closes once every reply is out";
    close(c);
}

TEST_F(Srv, ABadSizeFieldDropsTheClientAndTheNextOneIsServed) {
    ASSERT_EQ(sys_srv_post("badsize", sv[0]), 0);
    for (uint32_t size : {0u, 3u, 6u, (1u << 20) + 65, 0xffffffffu}) {
        SCOPED_TRACE(size);
        int c = connect_unix(sock("badsize"));
        ASSERT_GE(c, 0);
        Bytes bad = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                     static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24), 100, 0, 0};
        write_all(c, bad);
        EXPECT_TRUE(closed_by_peer(c));
        close(c);
        EXPECT_TRUE(quiet(sv[1], 0));
    }
    int c = connect_unix(sock("badsize"));
    ASSERT_GE(c, 0);
    Bytes ok = message_of_size(7, 1);
    write_all(c, ok);
    EXPECT_EQ(read_message(sv[1]), ok);
    close(c);
}

TEST_F(Srv, OneClientAtATime) {
    ASSERT_EQ(sys_srv_post("queue", sv[0]), 0);
    int c1 = connect_unix(sock("queue"));
    int c2 = connect_unix(sock("queue"));  // waits in the backlog
    ASSERT_GE(c1, 0);
    ASSERT_GE(c2, 0);
    Bytes m1 = message_of_size(20, 1), m2 = message_of_size(21, 2);
    write_all(c2, m2);
    write_all(c1, m1);
    EXPECT_EQ(read_message(sv[1]), m1);
    EXPECT_TRUE(quiet(sv[1], 50)) << "the second client waits until the first hangs up";
    write_all(sv[1], m1);
    EXPECT_EQ(read_message(c1), m1);
    close(c1);
    EXPECT_EQ(read_message(sv[1]), m2);
    write_all(sv[1], m2);
    EXPECT_EQ(read_message(c2), m2);
    close(c2);
}

TEST_F(Srv, ASecondPostOfALiveNameIsRefused) {
    ASSERT_EQ(sys_srv_post("live", sv[0]), 0);
    int32_t other[2];
    ASSERT_GE(sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, other), 0);
    EXPECT_LT(sys_srv_post("live", other[0]), 0);
    // The first post still answers.
    int c = connect_unix(sock("live"));
    ASSERT_GE(c, 0);
    Bytes m = message_of_size(9, 1);
    write_all(c, m);
    EXPECT_EQ(read_message(sv[1]), m);
    EXPECT_TRUE(quiet(other[1], 0));
    close(c);
    close(other[0]);
    close(other[1]);
}

TEST_F(Srv, AStaleSocketIsReplacedButNoOtherFile) {
    ASSERT_EQ(mkdir(registry().c_str(), 0700), 0);
    // A socket file nobody listens on, as a killed server leaves it.
    {
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, sock("stale").c_str());
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        close(s);
    }
    ASSERT_EQ(sys_srv_post("stale", sv[0]), 0);
    int c = connect_unix(sock("stale"));
    ASSERT_GE(c, 0);
    Bytes m = message_of_size(12, 1);
    write_all(c, m);
    EXPECT_EQ(read_message(sv[1]), m);
    close(c);

    // A regular file under the name is not the registry's to remove.
    int f = creat(sock("file").c_str(), 0600);
    ASSERT_GE(f, 0);
    close(f);
    int32_t other[2];
    ASSERT_GE(sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, other), 0);
    EXPECT_LT(sys_srv_post("file", other[0]), 0);
    struct stat st;
    ASSERT_EQ(lstat(sock("file").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    close(other[0]);
    close(other[1]);
}

TEST_F(Srv, ResetRemovesOnlyItsOwnSocket) {
    ASSERT_EQ(sys_srv_post("mine", sv[0]), 0);
    struct stat st;
    ASSERT_EQ(lstat(sock("mine").c_str(), &st), 0);
    velmor_linux_reset();
    EXPECT_NE(lstat(sock("mine").c_str(), &st), 0);
    EXPECT_LT(connect_unix(sock("mine")), 0);
}

}  // namespace
