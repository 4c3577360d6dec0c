#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host.h"
#include "kernel/linux/standin.h"
#include "tolvane/tolvane.h"
#include "zero_tables.h"

namespace tolvane_test {

using namespace tolvane;

// A server writing to a client the test already closed must see an error, not
// kill the test binary.
static const bool sigpipe_ignored = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}();

void reset_server() {
    harness::zero_tables();
    node_data.fill(0);
    srv_buf.fill(0);
    tln_backing_ok = 0;
    srv_rfd = 0;
    srv_wfd = 1;
    velmor_linux_reset();
    init_tree();
}

std::string to_hex(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < b.size(); i++) {
        if (i) s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

uint8_t type_of(const Bytes& reply) {
    return reply.size() >= 5 ? reply[4] : 0;
}

uint16_t tag_of(const Bytes& reply) {
    return reply.size() >= 7 ? static_cast<uint16_t>(reply[5] | reply[6] << 8) : 0;
}

std::string rerror_text(const Bytes& reply) {
    uint16_t tag;
    const uint8_t* text;
    uint64_t len;
    if (p9_decode_rerror(reply.data(), reply.size(), &tag, &text, &len) < 0) {
        return "<not Rerror: type " + std::to_string(type_of(reply)) + ">";
    }
    return std::string(reinterpret_cast<const char*>(text), len);
}

Bytes rread_data(const Bytes& reply) {
    uint16_t tag;
    const uint8_t* data;
    uint32_t count;
    if (p9_decode_rread(reply.data(), reply.size(), &tag, &data, &count) < 0) {
        ADD_FAILURE() << "not a valid Rread: " << rerror_text(reply);
        return {};
    }
    return Bytes(data, data + count);
}

static void write_all(int fd, const Bytes& b) {
    ASSERT_TRUE(write_fully(fd, b.data(), b.size()))
        << "write to server failed: " << strerror(errno);
}

// Largest reply a test takes; every wait for one is bounded by REPLY_MS.
constexpr uint32_t REPLY_CAP = P9_MSIZE_MAX;
constexpr int REPLY_MS = 5000;

// One whole reply from the stream REPLIES frames (empty after a failure).
static Bytes read_message(tlnclient::Wire& replies) {
    tlnclient::Result<uint32_t> got = replies.recv(REPLY_CAP);
    if (!got) {
        ADD_FAILURE() << "no whole reply from the server: " << got.error().text;
        return {};
    }
    return Bytes(replies.data(), replies.data() + got.value());
}

Wire::Wire() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        ADD_FAILURE() << "socketpair: " << strerror(errno);
        return;
    }
    client_fd = sv[0];
    server_fd = sv[1];
    replies_ = tlnclient::Wire(client_fd, client_fd, REPLY_CAP, REPLY_MS);
    srv_rfd = server_fd;
    srv_wfd = server_fd;
}

Wire::~Wire() {
    if (client_fd >= 0) ::close(client_fd);
    if (server_fd >= 0) ::close(server_fd);
    velmor_linux_reset();
}

void Wire::send(const Bytes& b) {
    write_all(client_fd, b);
}

int32_t Wire::step() {
    return serve_one();
}

Bytes Wire::recv() {
    return read_message(replies_);
}

bool Wire::has_reply() {
    if (replies_.buffered() > 0) return true;
    pollfd p{client_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

Bytes Wire::call(const Bytes& request) {
    send(request);
    int32_t r = step();
    EXPECT_EQ(r, 1) << "request step did not serve the request";
    if (r != 1) return {};
    return recv();
}

void Wire::hang_up() {
    ::shutdown(client_fd, SHUT_WR);
}

std::string server_binary() {
    return TOLVANE_BINARY;
}

Proc spawn_server(const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env) {
    int in[2], out[2], err[2];
    Proc p;
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return p;
    }
    std::string bin = server_binary();
    std::vector<std::string> argv{bin};
    argv.insert(argv.end(), args.begin(), args.end());
    // The pipes are close-on-exec: only the child's three copies stay open.
    pid_t pid = spawn(bin, argv, env, {in[0], out[1], err[1]});
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    p.pid = pid;
    p.in_fd = in[1];
    p.out_fd = out[0];
    p.err_fd = err[0];
    p.replies = std::make_shared<tlnclient::Wire>(p.out_fd, p.out_fd, REPLY_CAP, REPLY_MS);
    return p;
}

Bytes proc_call(Proc& p, const Bytes& request) {
    write_all(p.in_fd, request);
    if (!p.replies) {
        ADD_FAILURE() << "no server process";
        return {};
    }
    return read_message(*p.replies);
}

static std::string drain(int fd) {
    std::string s;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

int proc_wait(Proc& p, std::string* err) {
    std::string e = p.err_fd >= 0 ? drain(p.err_fd) : "";
    int status = 0;
    while (::waitpid(p.pid, &status, 0) < 0 && errno == EINTR) {
    }
    for (int* fd : {&p.in_fd, &p.out_fd, &p.err_fd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    if (err) *err = e;
    return exit_code(status);
}

int proc_finish(Proc& p, std::string* err) {
    if (p.in_fd >= 0) ::close(p.in_fd);
    p.in_fd = -1;
    return proc_wait(p, err);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool file_exists(const std::string& path) {
    return std::filesystem::exists(path);
}

}  // namespace tolvane_test
