#include "mount_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support.h"

namespace mount_test {

using Clock = std::chrono::steady_clock;
using tolvane_test::ms_left;
using tolvane_test::NULL_FD;
using tolvane_test::pause_ms;
using tolvane_test::read_file;

namespace {

// Starts PATH with ARGV (argv[0] included) and ENV; the child's standard
// input and output are /dev/null and its standard error goes to ERR_PATH (or
// /dev/null when empty).
pid_t start(const std::string& path, const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env, const std::string& err_path) {
    int err = err_path.empty()
                  ? NULL_FD
                  : ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_t pid = tolvane_test::spawn(path, argv, env, {NULL_FD, NULL_FD, err});
    if (err != NULL_FD) ::close(err);
    return pid;
}

}  // namespace

std::string fuse_unusable_reason() {
    int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return std::string("/dev/fuse: ") + std::strerror(errno);
    ::close(fd);
    Ran r = sh("command -v fusermount3", {}, 10);
    if (r.status != 0) return "fusermount3 is not on the PATH";
    return "";
}

Ran sh(const std::string& cmd, const std::map<std::string, std::string>& env, int timeout_s) {
    Ran ran;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return ran;
    }
    pid_t pid =
        tolvane_test::spawn("/bin/sh", {"/bin/sh", "-c", cmd}, env, {NULL_FD, p[1], p[1]}, true);
    ::close(p[1]);
    auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
    bool killed = false;
    for (;;) {
        pollfd pf{p[0], POLLIN, 0};
        int n = ::poll(&pf, 1, ms_left(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) {
            ADD_FAILURE() << "command did not finish in " << timeout_s << " s: " << cmd;
            ::kill(-pid, SIGKILL);
            killed = true;
            break;
        }
        char buf[4096];
        ssize_t k = ::read(p[0], buf, sizeof buf);
        if (k > 0) {
            ran.out.append(buf, static_cast<size_t>(k));
        } else if (k == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(p[0]);
    int st = wait_pid(pid, killed ? 10000 : ms_left(deadline) + 10000);
    ran.status = killed ? -1 : st;
    return ran;
}

int errno_of(const std::function<int()>& call, int timeout_s) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int r = call();
        _exit(r < 0 ? errno & 0xff : 0);
    }
    int st = wait_pid(pid, timeout_s * 1000);
    if (st < 0) ADD_FAILURE() << "a call into the mount did not return in " << timeout_s << " s";
    return st;
}

Steps::Steps(std::vector<Step> steps) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        ADD_FAILURE() << "socketpair: " << std::strerror(errno);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(sv[0]);
        char go;
        for (const Step& step : steps) {
            if (::read(sv[1], &go, 1) != 1) _exit(1);
            std::string answer;
            step(answer);
            answer.push_back('\0');
            size_t done = 0;
            while (done < answer.size()) {
                ssize_t k = ::write(sv[1], answer.data() + done, answer.size() - done);
                if (k <= 0) _exit(1);
                done += static_cast<size_t>(k);
            }
        }
        _exit(0);
    }
    ::close(sv[1]);
    fd_ = sv[0];
    if (pid_ < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
}

Steps::~Steps() {
    if (fd_ >= 0) ::close(fd_);  // a child still waiting for a step reads end of stream
    if (pid_ > 0) (void)wait_pid(pid_, 10000);
}

void Steps::kill_now() {
    ::kill(pid_, SIGKILL);
    (void)wait_pid(pid_, 10000);
    pid_ = -1;
}

std::string Steps::next(int timeout_s) {
    if (pid_ <= 0) return "<died>";
    char go = 1;
    if (::send(fd_, &go, 1, MSG_NOSIGNAL) != 1) return "<died>";
    std::string answer;
    auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
        pollfd pf{fd_, POLLIN, 0};
        int n = ::poll(&pf, 1, ms_left(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) {
            ADD_FAILURE() << "a child working in the mount did not finish in " << timeout_s << " s";
            kill_now();
            return "<timeout>";
        }
        char buf[4096];
        ssize_t k = ::read(fd_, buf, sizeof buf);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return "<died>";
        answer.append(buf, static_cast<size_t>(k));
        if (answer.back() == '\0') {
            answer.pop_back();
            return answer;
        }
    }
}

std::string in_child(const Steps::Step& body, int timeout_s) {
    Steps child({body});
    return child.next(timeout_s);
}

bool mounted(const std::string& path) {
    std::ifstream f("/proc/self/mountinfo");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string id, parent, dev, root, point;
        in >> id >> parent >> dev >> root >> point;
        if (point != path) continue;
        size_t dash = line.find(" - ");
        if (dash != std::string::npos && line.compare(dash + 3, 12, "fuse.tolvane") == 0) {
            return true;
        }
    }
    return false;
}

Server::Server(std::string name, std::string srv_dir, std::string store_dir, std::string log_path,
               const std::map<std::string, std::string>& env)
    : log_path_(std::move(log_path)) {
    // A restarted server appends to the same log: look only at what this
    // one writes.
    size_t from = read_file(log_path_).size();
    std::map<std::string, std::string> all = env;
    all["VELMOR_SRV"] = srv_dir;
    all["VELMOR_STORE"] = store_dir;
    pid_ = start(tolvane_test::server_binary(), {"tolvane", "post", name}, all, log_path_);
    if (pid_ < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return;
    }
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (log().find("[tolvane] posted to /srv, serving\n", from) == std::string::npos) {
        if (ms_left(deadline) == 0) {
            ADD_FAILURE() << "the server did not post itself in 10 s; log:\n" << log();
            return;
        }
        pause_ms(2);
    }
    ready_ = true;
}

Server::~Server() {
    if (pid_ > 0) kill_hard();
}

std::string Server::log() const {
    return read_file(log_path_);
}

int Server::stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int st = wait_pid(pid_, 20000);
    pid_ = -1;
    return st;
}

void Server::kill_hard() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    (void)wait_pid(pid_, 10000);
    pid_ = -1;
}

Mounted::Mounted(const std::vector<std::string>& args, std::string mountpoint,
                 const std::map<std::string, std::string>& env, std::string log_path)
    : mountpoint_(std::move(mountpoint)), log_path_(std::move(log_path)) {
    std::vector<std::string> argv{"tlnmount", "-f"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(mountpoint_);
    pid_ = start(tlnmount_binary(), argv, env, log_path_);
    if (pid_ < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return;
    }
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!mounted(mountpoint_)) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            ADD_FAILURE() << "tlnmount exited (status " << status << ") before mounting; log:\n"
                          << log();
            return;
        }
        if (ms_left(deadline) == 0) {
            ADD_FAILURE() << "no mount at " << mountpoint_ << " after 10 s; log:\n" << log();
            return;
        }
        pause_ms(2);
    }
    ready_ = true;
}

Mounted::~Mounted() {
    force_down();
}

void Mounted::force_down() {
    if (mounted(mountpoint_)) (void)sh("fusermount3 -u -z '" + mountpoint_ + "'", {}, 10);
    if (pid_ > 0) {
        (void)wait_pid(pid_, 10000);
        pid_ = -1;
    }
    if (mounted(mountpoint_)) (void)sh("fusermount3 -u -z '" + mountpoint_ + "'", {}, 10);
}

int Mounted::unmount() {
    Ran r = sh("fusermount3 -u '" + mountpoint_ + "'", {}, 10);
    if (r.status != 0) {
        ADD_FAILURE() << "fusermount3 -u: " << r.out;
        force_down();
        return -1;
    }
    return wait_exit(10000);
}

int Mounted::wait_exit(int timeout_ms) {
    if (pid_ <= 0) return -1;
    int st = wait_pid(pid_, timeout_ms);
    pid_ = -1;
    if (st < 0) force_down();
    return st;
}

std::string Mounted::log() const {
    return read_file(log_path_);
}

std::string tlnmount_binary() {
    return TLNMOUNT_BINARY;
}

}  // namespace mount_test
