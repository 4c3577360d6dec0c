// Where a Client's bytes go: the /srv registry and unix sockets, a spawned
// server command on pipes, descriptors handed in by the caller; hanging up.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "client.h"

namespace tlnclient {

namespace {

std::string errno_text(int e) {
    return std::strerror(e);
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    return static_cast<int>(left.count());
}

bool set_nonblocking(int fd) {
    int fl = ::fcntl(fd, F_GETFL);
    return fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

std::string env_or_empty(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

}  // namespace

std::string registry_dir() {
    std::string dir = env_or_empty("VELMOR_SRV");
    if (!dir.empty()) return dir;
    // The server takes XDG_RUNTIME_DIR only when it is an absolute path to a
    // directory this user may write; so must we, or we would look elsewhere.
    std::string xdg = env_or_empty("XDG_RUNTIME_DIR");
    struct stat st;
    if (!xdg.empty() && xdg[0] == '/' && ::stat(xdg.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        ::access(xdg.c_str(), W_OK | X_OK) == 0) {
        return xdg + "/velmor-srv";
    }
    return "/tmp/velmor-srv-" + std::to_string(::geteuid());
}

std::string posted_path(std::string_view name) {
    return registry_dir() + "/" + std::string(name);
}

std::vector<std::string> split_path(std::string_view path) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) out.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

Client::Client(int rfd, int wfd, pid_t child, const Options& opts)
    : rfd_(rfd), wfd_(wfd), child_(child), opts_(opts) {
    set_nonblocking(rfd_);
    if (wfd_ != rfd_) set_nonblocking(wfd_);
}

Client::~Client() {
    (void)close();
}

Result<std::unique_ptr<Client>> Client::connect_socket(const std::string& path,
                                                       const Options& opts) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        return Error{ErrorKind::connection, path + ": socket path empty or too long"};
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Error{ErrorKind::connection, "socket: " + errno_text(errno)};
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        int e = errno;
        ::close(fd);
        Error err{ErrorKind::connection, path + ": " + errno_text(e)};
        err.not_posted = e == ENOENT || e == ECONNREFUSED || e == ENOTSOCK;
        return err;
    }
    return start(std::unique_ptr<Client>(new Client(fd, fd, -1, opts)));
}

Result<std::unique_ptr<Client>> Client::connect_posted(std::string_view name, const Options& opts) {
    if (name.empty() || name.find('/') != std::string_view::npos) {
        return Error{ErrorKind::local, "bad posted name '" + std::string(name) + "'"};
    }
    return connect_socket(posted_path(name), opts);
}

Result<std::unique_ptr<Client>> Client::spawn(const std::string& command, const Options& opts) {
    int to_child[2], from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0) {
        return Error{ErrorKind::connection, "pipe: " + errno_text(errno)};
    }
    if (::pipe2(from_child, O_CLOEXEC) != 0) {
        int e = errno;
        ::close(to_child[0]);
        ::close(to_child[1]);
        return Error{ErrorKind::connection, "pipe: " + errno_text(e)};
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        int e = errno;
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) ::close(fd);
        return Error{ErrorKind::connection, "fork: " + errno_text(e)};
    }
    if (pid == 0) {
        // Its own process group: a Ctrl-C meant for us does not kill the
        // server mid-save; it sees end of stream when we go and saves.
        ::setpgid(0, 0);
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(to_child[0], 0);
        ::dup2(from_child[1], 1);
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        ::execv("/bin/sh", const_cast<char* const*>(argv));
        _exit(127);
    }
    ::setpgid(pid, pid);  // also from here, so it holds before either side runs on
    ::close(to_child[0]);
    ::close(from_child[1]);
    return start(std::unique_ptr<Client>(new Client(from_child[0], to_child[1], pid, opts)));
}

Result<std::unique_ptr<Client>> Client::over_fds(int rfd, int wfd, const Options& opts) {
    if (rfd < 0 || wfd < 0) return Error{ErrorKind::local, "bad descriptor"};
    return start(std::unique_ptr<Client>(new Client(rfd, wfd, -1, opts)));
}

Result<std::unique_ptr<Client>> Client::start(std::unique_ptr<Client> c) {
    Status s = c->negotiate();
    if (!s) {
        Error e = s.error();
        if (c->child_ > 0) {
            Status down = c->close();
            if (!down) e.text += " (" + down.error().text + ")";
        }
        return e;
    }
    return Result<std::unique_ptr<Client>>(std::move(c));
}

void Client::hang_up() {
    if (rfd_ >= 0) ::close(rfd_);
    if (wfd_ >= 0 && wfd_ != rfd_) ::close(wfd_);
    rfd_ = wfd_ = -1;
}

Status Client::close() {
    hang_up();
    if (!dead_) dead_ = Error{ErrorKind::connection, "connection closed"};
    if (child_ <= 0) return ok_status();

    pid_t pid = child_;
    child_ = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opts_.timeout_ms);
    int status = 0;
    bool killed = false;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR)
            return Error{ErrorKind::connection, "waitpid: " + errno_text(errno)};
        if (r == 0 && remaining_ms(deadline) == 0) {
            // It did not exit after end of stream: stop its whole group, the
            // server behind the shell included.
            ::kill(-pid, killed ? SIGKILL : SIGTERM);
            deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(opts_.timeout_ms);
            killed = true;
        }
        timespec pause{0, 2'000'000};
        ::nanosleep(&pause, nullptr);
    }
    if (killed) {
        return Error{ErrorKind::connection, "server command did not exit after hang-up; killed"};
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        return Error{ErrorKind::connection,
                     "server command exited with status " + std::to_string(WEXITSTATUS(status))};
    }
    if (WIFSIGNALED(status)) {
        return Error{ErrorKind::connection,
                     "server command killed by signal " + std::to_string(WTERMSIG(status))};
    }
    return ok_status();
}

Status Client::check_idle() {
    if (dead_) return *dead_;
    if (wire_.buffered() > 0) return fail(ErrorKind::protocol, "the server sent bytes unasked");
    pollfd pfd{rfd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&pfd, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return fail(ErrorKind::connection, "poll: " + errno_text(errno));
    if (r == 0) return ok_status();
    // Something is there: the end of the stream, an error, or bytes.
    uint8_t b;
    ssize_t n;
    do {
        n = ::read(rfd_, &b, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return fail(ErrorKind::connection, "the server hung up");
    if (n > 0) return fail(ErrorKind::protocol, "the server sent bytes unasked");
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ok_status();
    return fail(ErrorKind::connection, "read: " + errno_text(errno));
}

Error Client::fail(Error e) {
    if (e.kind == ErrorKind::protocol || e.kind == ErrorKind::connection) {
        if (!dead_) dead_ = e;
        // Nothing more can be said on a stream whose framing is lost; hanging
        // up at once also tells the server.
        hang_up();
    }
    return e;
}

}  // namespace tlnclient
