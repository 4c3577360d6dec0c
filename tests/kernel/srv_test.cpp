// sys_socketpair and sys_srv_post on the stand-in: names, permissions, the
// server's end of a posted pair, live and stale sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include "kernel/linux/standin.h"
#include "kernel/velmor.h"
#include "kernel_test_util.h"
#include "support.h"

using namespace ktest;
using tolvane_test::tstat;
using tolvane_test::type_of;

namespace {

class Srv : public ::testing::Test {
protected:
    void SetUp() override {
        velmor_linux_reset();
        ASSERT_GE(sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, sv), 0);
    }
    void TearDown() override {
        velmor_linux_reset();  // ends the posted names before their descriptors go
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
    // The longest name is the one whose NAME.linux socket still fits.
    std::string just_fits(sizeof(sockaddr_un{}.sun_path) - 1 - registry().size() - 1 - 6, 'n');
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
    EXPECT_EQ(lstat(sock(just_fits + ".linux").c_str(), &st), 0);
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
    for (const char* name : {"a/b/srv/perm", "a/b/srv/perm.linux"}) {
        ASSERT_EQ(lstat((dir / name).c_str(), &st), 0) << name;
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_uid, geteuid());
    }
}

TEST_F(Srv, ARefusedRegistryIsNamedWithItsReason) {
    std::string file = dir / "plain";
    close(creat(file.c_str(), 0600));
    EnvSet bad("VELMOR_SRV", file);
    StderrCapture err;
    EXPECT_LT(sys_srv_post("x", sv[0]), 0);
    EXPECT_EQ(err.text(),
              "[velmor] srv: cannot use the registry directory " + file + " (Not a directory)\n");
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

TEST_F(Srv, ASecondPostOfALiveNameIsRefused) {
    ASSERT_EQ(sys_srv_post("live", sv[0]), 0);
    int32_t other[2];
    ASSERT_GE(sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, other), 0);
    EXPECT_LT(sys_srv_post("live", other[0]), 0);
    // The first post still answers.
    int c = connect_unix(sock("live"));
    ASSERT_GE(c, 0);
    expect_opening_version(sv[1]);
    write_all(c, tstat(1, 5));
    EXPECT_EQ(type_of(server_read(sv[1]).value_or(Bytes{})), P9_TSTAT);
    EXPECT_EQ(velmor_linux_wait_request(other[1], 0), -1) << "the other pair was not posted";
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
    expect_opening_version(sv[1]);
    write_all(c, tstat(1, 5));
    EXPECT_EQ(type_of(server_read(sv[1]).value_or(Bytes{})), P9_TSTAT);
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
    EXPECT_NE(lstat(sock("mine.linux").c_str(), &st), 0);
    EXPECT_LT(connect_unix(sock("mine")), 0);
}

}  // namespace
