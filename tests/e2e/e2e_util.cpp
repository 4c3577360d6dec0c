#include "e2e_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "9p/9p.h"

namespace e2e {

using Clock = std::chrono::steady_clock;
using tolvane_test::exit_code;
using tolvane_test::ms_left;
using tolvane_test::spawn;

namespace {

// tlnc's argv: its path, then ARGS.
std::vector<std::string> tlnc_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{TLNC_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

Outcome tlnc(const std::vector<std::string>& args, const std::string& in,
             const std::map<std::string, std::string>& env) {
    Outcome run;
    int pin[2], pout[2], perr[2];
    if (::pipe2(pin, O_CLOEXEC) || ::pipe2(pout, O_CLOEXEC) || ::pipe2(perr, O_CLOEXEC)) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return run;
    }
    pid_t pid = spawn(TLNC_BINARY, tlnc_argv(args), env, {pin[0], pout[1], perr[1]});
    ::close(pin[0]);
    ::close(pout[1]);
    ::close(perr[1]);
    ::fcntl(pin[1], F_SETFL, O_NONBLOCK);
    int in_fd = pin[1];
    size_t in_done = 0;
    if (in.empty()) {
        ::close(in_fd);
        in_fd = -1;
    }
    int out_fd = pout[0], err_fd = perr[0];
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd p[3] = {{in_fd, POLLOUT, 0}, {out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
        int r = ::poll(p, 3, ms_left(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ADD_FAILURE() << "tlnc did not finish within 60 s";
            ::kill(pid, SIGKILL);
            break;
        }
        if (in_fd >= 0 && (p[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t k = ::write(in_fd, in.data() + in_done, in.size() - in_done);
            if (k > 0) in_done += static_cast<size_t>(k);
            if (k < 0 && errno != EAGAIN && errno != EINTR) in_done = in.size();  // reader gone
            if (in_done == in.size()) {
                ::close(in_fd);
                in_fd = -1;
            }
        }
        auto drain = [](short revents, int* fd, std::string* text) {
            if (*fd < 0 || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
            char buf[65536];
            ssize_t k = ::read(*fd, buf, sizeof buf);
            if (k > 0) {
                text->append(buf, static_cast<size_t>(k));
            } else if (k == 0 || errno != EINTR) {
                ::close(*fd);
                *fd = -1;
            }
        };
        drain(p[1].revents, &out_fd, &run.out);
        drain(p[2].revents, &err_fd, &run.err);
    }
    for (int fd : {in_fd, out_fd, err_fd}) {
        if (fd >= 0) ::close(fd);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = exit_code(status);
    return run;
}

pid_t tlnc_start(const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env) {
    return spawn(TLNC_BINARY, tlnc_argv(args), env, {});
}

PostedServer::PostedServer(std::string name, std::string srv_dir, std::string store_dir,
                           std::string digit)
    : name_(std::move(name)) {
    std::vector<std::string> args{"post", name_};
    if (!digit.empty()) args.push_back(digit);
    proc_ =
        tolvane_test::spawn_server(args, {{"VELMOR_SRV", srv_dir}, {"VELMOR_STORE", store_dir}});
    if (proc_.pid < 0) return;
    running_ = true;
    ::fcntl(proc_.err_fd, F_SETFL, O_NONBLOCK);
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (log_.find("[tolvane] posted to /srv, serving\n") == std::string::npos) {
        int left = ms_left(deadline);
        if (left == 0) {
            ADD_FAILURE() << "server '" << name_ << "' did not post itself; log:\n" << log_;
            return;
        }
        read_log(left);
    }
    ready_ = true;
}

PostedServer::~PostedServer() {
    if (running_) kill_hard();
}

void PostedServer::read_log(int timeout_ms) {
    if (proc_.err_fd < 0) return;
    pollfd p{proc_.err_fd, POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r <= 0) return;
    char buf[4096];
    ssize_t k = ::read(proc_.err_fd, buf, sizeof buf);
    if (k > 0) {
        log_.append(buf, static_cast<size_t>(k));
    } else if (k == 0) {
        ::close(proc_.err_fd);
        proc_.err_fd = -1;
    }
}

int PostedServer::reap(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (proc_.err_fd >= 0 && ms_left(deadline) > 0) read_log(ms_left(deadline));
    int status = tolvane_test::wait_pid(proc_.pid, ms_left(deadline));
    if (status < 0) ADD_FAILURE() << "server '" << name_ << "' did not exit in time; killed it";
    running_ = false;
    for (int* fd : {&proc_.in_fd, &proc_.out_fd, &proc_.err_fd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    return status;
}

int PostedServer::stop() {
    if (!running_) return -1;
    ::kill(proc_.pid, SIGTERM);
    return reap(20000);
}

void PostedServer::kill_hard() {
    if (!running_) return;
    ::kill(proc_.pid, SIGKILL);
    reap(20000);
}

std::string self_binary() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// ---- Hostile servers ----

namespace {

const uint8_t* u8(const char* s) {
    return reinterpret_cast<const uint8_t*>(s);
}

constexpr uint64_t FAKE_FILE_LENGTH = 200000;

}  // namespace

// Modes:
//   silent          answers Tversion, then reads requests and answers none
//   garbage         answers Tversion, then a 5-byte message to anything
//   hangup-mid-get  a tree of one 200000-byte file (every walk reaches it);
//                   answers the first Tread with 65536 bytes, then exits
//   short-file      the same, but answers the second Tread with no bytes, as
//                   if the file ended there
//   stall-mid-get   the same, but never answers the second Tread
int fake_server_main(const std::string& mode) {
    using tolvane_test::build;
    using tolvane_test::read_fully;
    int reads = 0;
    for (;;) {
        Bytes req(7);
        if (!read_fully(0, req.data(), 7)) return 0;
        uint32_t size = req[0] | req[1] << 8 | req[2] << 16 | static_cast<uint32_t>(req[3]) << 24;
        if (size < 7 || size > (1u << 20)) return 1;
        req.resize(size);
        if (!read_fully(0, req.data() + 7, size - 7)) return 0;
        uint8_t type = req[4];
        uint16_t tag = static_cast<uint16_t>(req[5] | req[6] << 8);
        Bytes reply;
        if (type == P9_TVERSION) {
            reply = build(
                [&](p9_cursor* c) { return p9_emit_rversion(c, tag, 131072, u8("9P2000"), 6); });
        } else if (mode == "silent") {
            continue;
        } else if (mode == "garbage") {
            reply = {5, 0, 0, 0, 'x'};
        } else if (mode == "hangup-mid-get" || mode == "short-file" || mode == "stall-mid-get") {
            if (type == P9_TATTACH) {
                reply =
                    build([&](p9_cursor* c) { return p9_emit_rattach(c, tag, P9_QTDIR, 0, 1); });
            } else if (type == P9_TWALK) {
                uint16_t n = static_cast<uint16_t>(req[15] | req[16] << 8);
                uint8_t types[P9_MAX_WELEM] = {};
                uint32_t vers[P9_MAX_WELEM] = {};
                uint64_t paths[P9_MAX_WELEM] = {};
                reply = build(
                    [&](p9_cursor* c) { return p9_emit_rwalk(c, tag, n, types, vers, paths); });
            } else if (type == P9_TSTAT) {
                reply = build([&](p9_cursor* c) {
                    return p9_emit_rstat(c, tag, 0, 0, P9_QTFILE, 0, 2, 0x1FF, 0, 0,
                                         FAKE_FILE_LENGTH, u8("f"), 1, u8("u"), 1, u8("g"), 1,
                                         u8("m"), 1);
                });
            } else if (type == P9_TOPEN) {
                reply =
                    build([&](p9_cursor* c) { return p9_emit_ropen(c, tag, P9_QTFILE, 0, 2, 0); });
            } else if (type == P9_TREAD) {
                if (reads++ > 0 && mode == "hangup-mid-get") return 0;
                if (reads > 1 && mode == "stall-mid-get") continue;
                Bytes data(reads > 1 ? 0 : 65536, 'd');
                reply = build([&](p9_cursor* c) {
                    return p9_emit_rread(c, tag, data.data(), static_cast<uint32_t>(data.size()));
                });
            } else if (type == P9_TCLUNK) {
                reply = build([&](p9_cursor* c) { return p9_emit_rclunk(c, tag); });
            } else {
                reply = build([&](p9_cursor* c) { return p9_emit_rerror(c, tag, u8("no"), 2); });
            }
        } else if (mode == "escaping-names") {
            // A root directory that lists one file named "../escape".
            if (type == P9_TATTACH || type == P9_TWALK || type == P9_TOPEN) {
                uint8_t types[P9_MAX_WELEM] = {};
                uint32_t vers[P9_MAX_WELEM] = {};
                uint64_t paths[P9_MAX_WELEM] = {};
                uint16_t n = type == P9_TWALK ? static_cast<uint16_t>(req[15] | req[16] << 8) : 0;
                for (auto& t : types) t = P9_QTDIR;
                reply = build([&](p9_cursor* c) {
                    return type == P9_TATTACH ? p9_emit_rattach(c, tag, P9_QTDIR, 0, 1)
                           : type == P9_TWALK ? p9_emit_rwalk(c, tag, n, types, vers, paths)
                                              : p9_emit_ropen(c, tag, P9_QTDIR, 0, 1, 0);
                });
            } else if (type == P9_TREAD) {
                uint8_t rec[128];
                p9_cursor rc;
                p9_cursor_init(&rc, rec, sizeof rec);
                int32_t len = reads++ > 0 ? 0
                                          : p9_emit_stat(&rc, 0, 0, P9_QTFILE, 0, 2, 0x1FF, 0, 0, 1,
                                                         u8("../escape"), 9, u8("u"), 1, u8("g"), 1,
                                                         u8("m"), 1);
                reply = build([&](p9_cursor* c) {
                    return p9_emit_rread(c, tag, rec, static_cast<uint32_t>(len < 0 ? 0 : len));
                });
            } else if (type == P9_TCLUNK) {
                reply = build([&](p9_cursor* c) { return p9_emit_rclunk(c, tag); });
            } else {
                reply = build([&](p9_cursor* c) { return p9_emit_rerror(c, tag, u8("no"), 2); });
            }
        } else {
            return 2;
        }
        if (!tolvane_test::write_fully(1, reply.data(), reply.size())) return 0;
    }
}

}  // namespace e2e
