// The real server binary: the command line seen through its effects (which
// image the end-of-stream save writes, whether a socket is posted), every
// progress line byte for byte, exit statuses, post mode with real clients,
// SIGTERM, and the save on a wire error.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "support.h"

namespace {

using namespace tolvane_test;
namespace fs = std::filesystem;

const std::string START = "[runtime:tolvane] _start\n";
const std::string FRESH = "[tolvane] no snapshot \xE2\x80\x94 fresh distro skeleton\n";
const std::string RESTORED = "[tolvane] restored snapshot from ext4 backing\n";
const std::string STARTING = "[tolvane] server starting\n";
const std::string POSTED = "[tolvane] posted to /srv, serving\n";
const std::string FIRST = "[tolvane] served first request\n";
const std::string EOF_LINE = "[tolvane] EOF, exiting\n";
const std::string WIRE = "[tolvane] wire error, exiting\n";
const std::string SRV_FAIL = "[tolvane] FAIL: srv_post\n";

// The image files tln-N.img in a store directory, sorted.
std::vector<std::string> images(const std::string& store) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(store, ec)) {
        std::string n = e.path().filename().string();
        if (n.size() == 9 && n.rfind("tln-", 0) == 0 && n.substr(5) == ".img") out.push_back(n);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool has_image_magic(const std::string& path) {
    return read_file(path).rfind("TLNIMG03", 0) == 0;
}

// Connects to a unix stream socket, retrying until it answers (5 s limit).
int connect_unix(const std::string& path) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

bool read_n(int fd, uint8_t* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
        ssize_t k = ::read(fd, buf + got, n - got);
        if (k <= 0) return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

// One request and its whole reply over a connected socket.
Bytes fd_call(int fd, const Bytes& req) {
    EXPECT_EQ(::write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
    Bytes b(7);
    if (!read_n(fd, b.data(), 7)) return {};
    uint32_t size = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    if (size < 7 || size > 131072) return b;
    b.resize(size);
    if (!read_n(fd, b.data() + 7, size - 7)) return {};
    return b;
}

Bytes expected_rversion(uint16_t tag, uint32_t msize) {
    return build([&](p9_cursor* c) {
        return p9_emit_rversion(c, tag, msize, reinterpret_cast<const uint8_t*>("9P2000"), 6);
    });
}

// Stops a post-mode server the way a service manager does; returns its status.
int terminate(Proc& p, std::string* err) {
    ::kill(p.pid, SIGTERM);
    return proc_wait(p, err);
}

struct Dirs {
    TempDir store;
    TempDir srv;
    std::map<std::string, std::string> env() const {
        return {{"VELMOR_STORE", store.path()}, {"VELMOR_SRV", srv.path()}};
    }
};

// ---- Command line ----

struct CommandLineCase {
    std::vector<std::string> args;
    int instance;        // the image the end-of-stream save writes
    const char* posted;  // the name posted in /srv, or null
};

void PrintTo(const CommandLineCase& c, std::ostream* os) {
    *os << "args {";
    for (const auto& a : c.args) *os << " \"" << a << "\"";
    *os << " }";
}

std::vector<std::string> srv_entries(const std::string& srv) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(srv)) out.push_back(e.path().filename().string());
    return out;
}

class CommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, InstanceAndPosting) {
    const auto& c = GetParam();
    Dirs d;
    Proc p = spawn_server(c.args, d.env());
    std::string err;
    int status;
    // The registry is looked at while the server runs (it takes its socket
    // away when it exits).
    if (c.posted) {
        int fd = connect_unix(d.srv.path() + "/" + c.posted);
        ASSERT_GE(fd, 0) << "nothing answers at the posted name";
        EXPECT_EQ(fd_call(fd, tversion(5, 8192)), expected_rversion(5, 8192));
        ::close(fd);
        std::vector<std::string> posted = srv_entries(d.srv.path());
        std::sort(posted.begin(), posted.end());
        EXPECT_EQ(posted, (std::vector<std::string>{c.posted, c.posted + std::string(".linux")}));
        status = terminate(p, &err);
    } else {
        // Served on standard input and output; nothing posted.
        EXPECT_EQ(proc_call(p, tversion(5, 8192)), expected_rversion(5, 8192));
        EXPECT_TRUE(srv_entries(d.srv.path()).empty());
        status = proc_finish(p, &err);
    }
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(err, START + FRESH + STARTING + (c.posted ? POSTED : "") + FIRST + EOF_LINE);
    std::string img = "tln-" + std::to_string(c.instance) + ".img";
    EXPECT_EQ(images(d.store.path()), std::vector<std::string>{img});
    EXPECT_TRUE(has_image_magic(d.store.path() + "/" + img));
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLine,
                         ::testing::Values(CommandLineCase{{}, 0, nullptr},
                                           CommandLineCase{{"post"}, 0, nullptr},
                                           CommandLineCase{{"post", "NAME"}, 0, "NAME"},
                                           CommandLineCase{{"post", "NAME", "7"}, 7, "NAME"},
                                           CommandLineCase{{"post", "NAME", "12"}, 0, "NAME"},
                                           CommandLineCase{{"post", "NAME", "x"}, 0, "NAME"},
                                           CommandLineCase{{"post", "NAME", "7", "9"}, 7, "NAME"},
                                           CommandLineCase{{"3"}, 3, nullptr},
                                           CommandLineCase{{"3", "post", "NAME"}, 3, nullptr},
                                           CommandLineCase{{"Post", "NAME"}, 0, nullptr},
                                           CommandLineCase{{"12"}, 0, nullptr},
                                           CommandLineCase{{"07"}, 0, nullptr},
                                           CommandLineCase{{"9", "8"}, 9, nullptr}));

// ---- Progress lines ----

TEST(Process, LinesOfAFreshRunThenARestore) {
    Dirs d;
    {
        Proc p = spawn_server({}, d.env());
        EXPECT_EQ(proc_call(p, tversion(1, 8192)), expected_rversion(1, 8192));
        EXPECT_EQ(proc_call(p, tversion(2, 8192)), expected_rversion(2, 8192));
        std::string err;
        EXPECT_EQ(proc_finish(p, &err), 0);
        EXPECT_EQ(err, START + FRESH + STARTING + FIRST + EOF_LINE) << "once, after the first";
    }
    {
        Proc p = spawn_server({}, d.env());
        EXPECT_EQ(proc_call(p, tversion(1, 8192)), expected_rversion(1, 8192));
        std::string err;
        EXPECT_EQ(proc_finish(p, &err), 0);
        EXPECT_EQ(err, START + RESTORED + STARTING + FIRST + EOF_LINE);
    }
}

TEST(Process, EndOfStreamBeforeAnyRequestStillSaves) {
    Dirs d;
    Proc p = spawn_server({"4"}, d.env());
    std::string err;
    EXPECT_EQ(proc_finish(p, &err), 0);
    EXPECT_EQ(err, START + FRESH + STARTING + EOF_LINE);
    EXPECT_EQ(images(d.store.path()), std::vector<std::string>{"tln-4.img"});
}

TEST(Process, NoBackingStore) {
    TempDir srv;
    Proc p = spawn_server({}, {{"VELMOR_STORE", ""}, {"VELMOR_SRV", srv.path()}});
    EXPECT_EQ(proc_call(p, tversion(1, 8192)), expected_rversion(1, 8192));
    std::string err;
    EXPECT_EQ(proc_finish(p, &err), 0);
    EXPECT_EQ(err, START + FRESH + STARTING + FIRST + EOF_LINE) << "skipped saves say nothing";
}

TEST(Process, RejectedImageStartsFresh) {
    Dirs d;
    {
        std::ofstream f(d.store.path() + "/tln-0.img", std::ios::binary);
        f << "NOTANIMAGE";
    }
    Proc p = spawn_server({}, d.env());
    std::string err;
    EXPECT_EQ(proc_finish(p, &err), 0);
    EXPECT_NE(err.find(FRESH), std::string::npos) << err;
    EXPECT_EQ(err.find(RESTORED), std::string::npos) << err;
    EXPECT_EQ(err.rfind(START, 0), 0u);
}

TEST(Process, WireErrorSavesAndExitsOne) {
    struct Case {
        const char* what;
        bool serve_first;
        Bytes bad;
    };
    const std::vector<Case> cases = {
        {"size field 3 on the first request", false, {3, 0, 0, 0, 100, 0, 0}},
        {"size field above the buffer", true, {1, 0, 2, 0, 100, 0, 0}},
        {"undecodable Tversion", true, {7, 0, 0, 0, 100, 1, 0}},
        {"cut inside the header", true, {19, 0, 0}},
        {"cut inside the body", false, {19, 0, 0, 0, 100, 1, 0, 0, 32}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Dirs d;
        Proc p = spawn_server({"2"}, d.env());
        if (c.serve_first) {
            EXPECT_EQ(proc_call(p, tversion(1, 8192)), expected_rversion(1, 8192));
        }
        ASSERT_EQ(::write(p.in_fd, c.bad.data(), c.bad.size()), static_cast<ssize_t>(c.bad.size()));
        std::string err;
        EXPECT_EQ(proc_finish(p, &err), 1);
        EXPECT_EQ(err, START + FRESH + STARTING + (c.serve_first ? FIRST : "") + WIRE);
        EXPECT_EQ(images(d.store.path()), std::vector<std::string>{"tln-2.img"})
            << "the tree is saved before the exit";
    }
}

TEST(Process, WireErrorWithoutStore) {
    Proc p = spawn_server({}, {{"VELMOR_STORE", ""}});
    const Bytes bad = {0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(::write(p.in_fd, bad.data(), bad.size()), 7);
    std::string err;
    EXPECT_EQ(proc_finish(p, &err), 1);
    EXPECT_EQ(err, START + FRESH + STARTING + WIRE);
}

TEST(Process, FailedSaveAtEndOfStreamExitsOne) {
    Dirs d;
    std::string store = d.store.path() + "/s";
    fs::create_directory(store);
    Proc p = spawn_server({}, {{"VELMOR_STORE", store}, {"VELMOR_SRV", d.srv.path()}});
    EXPECT_EQ(proc_call(p, tversion(1, 8192)), expected_rversion(1, 8192));
    // Take the store away from under the running server: the save at the end
    // cannot create its image.
    fs::rename(store, store + ".gone");
    std::ofstream(store) << "not a directory";
    std::string err;
    EXPECT_EQ(proc_finish(p, &err), 1);
    const std::string tail = "[tolvane] persist failed (ext4 I/O error)\n" + EOF_LINE;
    ASSERT_GE(err.size(), tail.size()) << err;
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
}

// ---- Post mode ----

TEST(Post, ServesOneClientAfterAnother) {
    Dirs d;
    Proc p = spawn_server({"post", "tln"}, d.env());
    const std::string sock = d.srv.path() + "/tln";

    int a = connect_unix(sock);
    ASSERT_GE(a, 0);
    EXPECT_EQ(fd_call(a, hex("13 00 00 00 64 FF FF 00 20 00 00 06 00 39 50 32 30 30 30")),
              hex("13 00 00 00 65 FF FF 00 20 00 00 06 00 39 50 32 30 30 30"));
    EXPECT_EQ(type_of(fd_call(a, tattach(2, 1))), P9_RATTACH);
    ::close(a);

    int b = connect_unix(sock);
    ASSERT_GE(b, 0);
    EXPECT_EQ(fd_call(b, tversion(3, 1048576)), expected_rversion(3, 131072));
    // The new client's Tversion forgot the old client's fid 1.
    EXPECT_EQ(type_of(fd_call(b, tattach(4, 1))), P9_RATTACH);
    ::close(b);

    std::string err;
    EXPECT_EQ(terminate(p, &err), 0);
    EXPECT_EQ(err, START + FRESH + STARTING + POSTED + FIRST + EOF_LINE);
    EXPECT_EQ(images(d.store.path()), std::vector<std::string>{"tln-0.img"});
}

// Clients share one posted server; one that hangs up with files open for
// writing has them saved, and one that sends garbage is dropped alone.
// A client that only shuts down its sending side is closed once answered,
// and its dirty fid is clunked then, not when somebody else next comes: the
// save shows up while the server has nothing else to do.
TEST(Post, AClientThatStopsSendingHasItsFidsClunkedAtOnce) {
    Dirs d;
    Proc p = spawn_server({"post", "tln"}, d.env());
    int a = connect_unix(d.srv.path() + "/tln");
    ASSERT_GE(a, 0);
    ASSERT_EQ(type_of(fd_call(a, tattach(1, 1))), P9_RATTACH);
    ASSERT_EQ(type_of(fd_call(a, twalk(2, 1, 2, {"etc"}))), P9_RWALK);
    ASSERT_EQ(type_of(fd_call(a, tcreate(3, 2, "f", 0644, P9_OWRITE))), P9_RCREATE);
    ::shutdown(a, SHUT_WR);
    uint8_t byte;
    EXPECT_FALSE(read_fully(a, &byte, 1, 5000)) << "closed once every reply is out";
    bool saved = false;
    for (int i = 0; i < 100 && !saved; i++) {
        saved = file_exists(d.store.path() + "/tln-0.img");
        if (!saved) usleep(50000);
    }
    EXPECT_TRUE(saved) << "the created file's fid was clunked and saved";
    ::close(a);
    ::kill(p.pid, SIGTERM);
    proc_wait(p);
}

TEST(Post, ClientsShareTheServerAndADepartedOnesWritesAreSaved) {
    Dirs d;
    const std::string sock = d.srv.path() + "/tln";
    {
        Proc p = spawn_server({"post", "tln"}, d.env());
        int a = connect_unix(sock), b = connect_unix(sock);
        ASSERT_GE(a, 0);
        ASSERT_GE(b, 0);
        ASSERT_EQ(type_of(fd_call(a, tattach(1, 1))), P9_RATTACH);
        ASSERT_EQ(type_of(fd_call(b, tattach(1, 1))), P9_RATTACH);  // the same fid number
        for (uint32_t i = 0; i < 10; i++) {
            std::string name = "f" + std::to_string(i), data = "data " + std::to_string(i);
            ASSERT_EQ(type_of(fd_call(a, twalk(2, 1, 10 + i, {"etc"}))), P9_RWALK);
            ASSERT_EQ(type_of(fd_call(a, tcreate(3, 10 + i, name, 0644, P9_OWRITE))), P9_RCREATE);
            ASSERT_EQ(type_of(fd_call(a, twrite(4, 10 + i, 0, Bytes(data.begin(), data.end())))),
                      P9_RWRITE);
        }
        ::close(a);  // ten dirty fids, never clunked
        int g = connect_unix(sock);
        ASSERT_GE(g, 0);
        Bytes garbage = hex("03 00 00 00 64 00 00");
        ASSERT_TRUE(write_fully(g, garbage.data(), garbage.size()));
        uint8_t byte;
        EXPECT_FALSE(read_fully(g, &byte, 1, 5000)) << "the garbage sender is dropped";
        ::close(g);
        // b goes on, and sees a's files.
        ASSERT_EQ(type_of(fd_call(b, twalk(2, 1, 2, {"etc", "f9"}))), P9_RWALK);
        ASSERT_EQ(type_of(fd_call(b, topen(3, 2, P9_OREAD))), P9_ROPEN);
        EXPECT_EQ(rread_data(fd_call(b, tread(4, 2, 0, 100))), hex("64 61 74 61 20 39"));
        ::close(b);
        ::kill(p.pid, SIGKILL);  // no save at exit: only the stand-in's clunks saved
        proc_wait(p);
    }
    Proc p = spawn_server({"post", "tln"}, d.env());
    int c = connect_unix(sock);
    ASSERT_GE(c, 0);
    ASSERT_EQ(type_of(fd_call(c, tattach(1, 1))), P9_RATTACH);
    for (uint32_t i = 0; i < 10; i++) {
        std::string data = "data " + std::to_string(i);
        ASSERT_EQ(type_of(fd_call(c, twalk(2, 1, 2, {"etc", "f" + std::to_string(i)}))), P9_RWALK);
        ASSERT_EQ(type_of(fd_call(c, topen(3, 2, P9_OREAD))), P9_ROPEN);
        EXPECT_EQ(rread_data(fd_call(c, tread(4, 2, 0, 100))), Bytes(data.begin(), data.end()));
        ASSERT_EQ(type_of(fd_call(c, tclunk(5, 2))), P9_RCLUNK);
    }
    ::close(c);
    std::string err;
    EXPECT_EQ(terminate(p, &err), 0);
    EXPECT_EQ(err, START + RESTORED + STARTING + POSTED + FIRST + EOF_LINE);
}

TEST(Post, SecondServerUnderTheSameNameFails) {
    Dirs d;
    Proc first = spawn_server({"post", "dup"}, d.env());
    const std::string sock = d.srv.path() + "/dup";
    int a = connect_unix(sock);
    ASSERT_GE(a, 0);
    EXPECT_EQ(fd_call(a, tversion(1, 8192)), expected_rversion(1, 8192));
    ::close(a);

    // Its own store, so only the name is in dispute.
    TempDir other_store;
    Proc second = spawn_server(
        {"post", "dup"}, {{"VELMOR_STORE", other_store.path()}, {"VELMOR_SRV", d.srv.path()}});
    std::string err2;
    EXPECT_EQ(proc_finish(second, &err2), 1);
    EXPECT_EQ(err2, START + FRESH + STARTING + SRV_FAIL);
    EXPECT_TRUE(images(other_store.path()).empty()) << "a failed post does not save";

    // The first server still answers under the name.
    int b = connect_unix(sock);
    ASSERT_GE(b, 0);
    EXPECT_EQ(fd_call(b, tversion(2, 4096)), expected_rversion(2, 4096));
    ::close(b);
    std::string err1;
    EXPECT_EQ(terminate(first, &err1), 0) << err1;
}

TEST(Post, SigtermWithAClientConnectedSavesAndExitsZero) {
    Dirs d;
    Proc p = spawn_server({"post", "term", "5"}, d.env());
    int a = connect_unix(d.srv.path() + "/term");
    ASSERT_GE(a, 0);
    EXPECT_EQ(fd_call(a, tversion(1, 8192)), expected_rversion(1, 8192));
    // The client stays connected and idle while the server is told to stop.
    std::string err;
    EXPECT_EQ(terminate(p, &err), 0);
    ::close(a);
    EXPECT_EQ(err, START + FRESH + STARTING + POSTED + FIRST + EOF_LINE);
    EXPECT_EQ(images(d.store.path()), std::vector<std::string>{"tln-5.img"});
}

TEST(Process, SigtermOnAStdioServerSavesAndExitsZero) {
    Dirs d;
    Proc p = spawn_server({"6"}, d.env());
    EXPECT_EQ(proc_call(p, tversion(1, 8192)), expected_rversion(1, 8192));
    std::string err;
    EXPECT_EQ(terminate(p, &err), 0);
    EXPECT_EQ(err, START + FRESH + STARTING + FIRST + EOF_LINE);
    EXPECT_EQ(images(d.store.path()), std::vector<std::string>{"tln-6.img"});
}

}  // namespace
