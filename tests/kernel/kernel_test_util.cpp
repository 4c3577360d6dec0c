#include "kernel_test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "kernel/linux/standin.h"
#include "kernel/velmor.h"
#include "spawn.h"
#include "support.h"

namespace ktest {

EnvSet::EnvSet(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* v = getenv(name)) old_ = v;
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

EnvSet::~EnvSet() {
    if (old_) {
        setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

StderrCapture::StderrCapture() {
    char tmpl[] = "/tmp/velmor-stderr-XXXXXX";
    file_ = mkstemp(tmpl);
    if (file_ < 0) {
        ADD_FAILURE() << "mkstemp: " << strerror(errno);
        return;
    }
    unlink(tmpl);
    saved_ = dup(2);
    dup2(file_, 2);
}

std::string StderrCapture::text() {
    if (saved_ < 0) return {};
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
    std::string s;
    char buf[4096];
    lseek(file_, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(file_, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

StderrCapture::~StderrCapture() {
    text();
    if (file_ >= 0) close(file_);
}

Bytes message(uint8_t type, uint16_t tag, const Bytes& body) {
    uint32_t size = static_cast<uint32_t>(7 + body.size());
    Bytes b(size);
    for (int i = 0; i < 4; i++) b[i] = static_cast<uint8_t>(size >> (8 * i));
    b[4] = type;
    b[5] = static_cast<uint8_t>(tag);
    b[6] = static_cast<uint8_t>(tag >> 8);
    std::copy(body.begin(), body.end(), b.begin() + 7);
    return b;
}

Bytes message_of_size(uint32_t size, uint32_t seed) {
    Bytes body(size - 7);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : body) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>(x >> 16);
    }
    return message(static_cast<uint8_t>(100 + seed % 28), static_cast<uint16_t>(seed), body);
}

std::optional<Bytes> server_read(int server, int timeout_ms) {
    if (velmor_linux_wait_request(server, timeout_ms) != 1) return std::nullopt;
    Bytes m(7);
    if (sys_read(server, m.data(), 7) != 7) return std::nullopt;
    uint32_t size = size_field(m);
    m.resize(size);
    for (uint64_t got = 7; got < size;) {
        int64_t r = sys_read(server, m.data() + got, size - got);
        if (r <= 0) return std::nullopt;
        got += static_cast<uint64_t>(r);
    }
    return m;
}

void server_write(int server, const Bytes& reply) {
    EXPECT_EQ(sys_write(server, reply.data(), reply.size()), static_cast<int64_t>(reply.size()));
}

bool server_quiet(int server, int timeout_ms) {
    return velmor_linux_wait_request(server, timeout_ms) == 0;
}

void expect_opening_version(int server) {
    auto v = server_read(server);
    ASSERT_TRUE(v.has_value()) << "a posted name opens the stream with a Tversion";
    uint16_t tag;
    uint32_t msize;
    const uint8_t* version;
    uint64_t len;
    ASSERT_GE(p9_decode_tversion(v->data(), v->size(), &tag, &msize, &version, &len), 0);
    EXPECT_EQ(msize, 131072u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(version), len), "9P2000");
    server_write(server, tolvane_test::build([&](p9_cursor* c) {
                     return p9_emit_rversion(c, tag, 131072, version, len);
                 }));
}

Bytes echoed_twrite(uint16_t tag, uint32_t size, uint32_t seed) {
    Bytes data = message_of_size(size - 23 + 7, seed);
    data.erase(data.begin(), data.begin() + 7);
    return tolvane_test::twrite(tag, UNKNOWN_SERVER_FID, seed, data);
}

Bytes rerror_msg(uint16_t tag, const std::string& text) {
    return tolvane_test::build([&](p9_cursor* c) {
        return p9_emit_rerror(c, tag, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    });
}

Bytes rwalk_msg(uint16_t tag, uint16_t n) {
    Bytes body = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    body.resize(2 + 13 * n);
    return message(P9_RWALK, tag, body);
}

uint32_t le32_at(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint16_t le16_at(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t size_field(const Bytes& b) {
    if (b.size() < 4) return 0;
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void write_all(int fd, const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
        ssize_t n = send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = write(fd, b.data() + done, b.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ADD_FAILURE() << "write: " << strerror(errno);
            return;
        }
        done += static_cast<size_t>(n);
    }
}

static int64_t ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

std::optional<Bytes> read_n(int fd, size_t n, int timeout_ms) {
    Bytes b(n);
    size_t got = 0;
    auto t0 = std::chrono::steady_clock::now();
    while (got < n) {
        int left = timeout_ms - static_cast<int>(ms_since(t0));
        if (left <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        ssize_t k = read(fd, b.data() + got, n - got);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return std::nullopt;
        got += static_cast<size_t>(k);
    }
    return b;
}

std::optional<Bytes> read_message(int fd, int timeout_ms) {
    auto head = read_n(fd, 4, timeout_ms);
    if (!head) return std::nullopt;
    uint32_t size = size_field(*head);
    if (size < 4 || size > (1u << 24)) return head;
    auto rest = read_n(fd, size - 4, timeout_ms);
    if (!rest) return std::nullopt;
    head->insert(head->end(), rest->begin(), rest->end());
    return head;
}

bool quiet(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int r;
    while ((r = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return r == 0;
}

bool closed_by_peer(int fd, int timeout_ms) {
    auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        int left = timeout_ms - static_cast<int>(ms_since(t0));
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char c;
        ssize_t k = read(fd, &c, 1);
        if (k < 0 && errno == EINTR) continue;
        if (k == 0 || (k < 0 && errno == ECONNRESET)) return true;
        if (k < 0) return false;
        // A byte: the peer is still talking; keep looking for the end.
    }
}

int connect_unix(const std::string& path, int wait_ms) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return -1;
    memcpy(a.sun_path, path.c_str(), path.size() + 1);
    auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        close(fd);
        if (ms_since(t0) >= wait_ms) return -1;
        tolvane_test::pause_ms(10);
    }
}

Child spawn_probe(const std::vector<std::string>& args) {
    Child c;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return c;
    }
    std::vector<std::string> argv{KERNEL_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = tolvane_test::spawn(KERNEL_PROBE, argv, {}, {in[0], out[1], err[1]});
    close(in[0]);
    close(out[1]);
    close(err[1]);
    c.pid = pid;
    c.in = in[1];
    c.out = out[0];
    c.err = err[0];
    return c;
}

std::string read_err_until(Child& c, const std::string& text, int timeout_ms) {
    std::string s;
    auto t0 = std::chrono::steady_clock::now();
    while (s.find(text) == std::string::npos) {
        int left = timeout_ms - static_cast<int>(ms_since(t0));
        if (left <= 0) break;
        pollfd p{c.err, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[512];
        ssize_t k = read(c.err, buf, sizeof buf);
        if (k <= 0) break;
        s.append(buf, static_cast<size_t>(k));
    }
    return s;
}

int finish(Child& c, std::string* err, int timeout_ms) {
    for (int* fd : {&c.in, &c.out}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) break;
        if (ms_since(t0) > timeout_ms) {
            ADD_FAILURE() << "probe did not exit; killing it";
            kill(c.pid, SIGKILL);
            waitpid(c.pid, &status, 0);
            break;
        }
        poll(nullptr, 0, 5);
    }
    if (c.err >= 0) {
        std::string rest;
        char buf[512];
        ssize_t k;
        while ((k = read(c.err, buf, sizeof buf)) > 0) rest.append(buf, static_cast<size_t>(k));
        if (err) *err += rest;
        close(c.err);
        c.err = -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace ktest
