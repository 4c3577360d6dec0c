#include "client.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "9p/9p.h"

extern char** environ;

namespace tlnbench {

namespace {

constexpr size_t buf_cap = P9_MSIZE_MAX;
constexpr int reply_timeout_ms = 60000;

std::string errno_text(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

// Finds the program the way execvp would, before the fork, so the child only
// has to call execve.
std::string resolve(const std::string& prog) {
    if (prog.find('/') != std::string::npos) return prog;
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string cand = (end > start ? dirs.substr(start, end - start) : ".") + "/" + prog;
        if (access(cand.c_str(), X_OK) == 0) return cand;
        start = end + 1;
    }
    throw Failure("server program not found: " + prog);
}

void put_u16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
}
void put_u64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (8 * i));
}

// Name the benchmark posts its server under.
constexpr const char* post_name = "tlnbench";

void set_timeouts(int fd) {
    // A stuck server fails the run instead of hanging it.
    timeval tv{reply_timeout_ms / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Connects to a unix socket; -1 with errno set when it cannot.
int connect_unix(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return errno = ENAMETOOLONG, -1;
    memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        int e = errno;
        ::close(fd);
        return errno = e, -1;
    }
    return fd;
}

}  // namespace

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string Command::text() const {
    std::string s;
    for (const auto& a : argv) s += (s.empty() ? "" : " ") + a;
    return s;
}

Command parse_command(std::string_view text) {
    Command c;
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (char ch : text) {
        if (quote) {
            if (ch == quote)
                quote = 0;
            else
                word += ch;
        } else if (ch == '\'' || ch == '"') {
            quote = ch, in_word = true;
        } else if (ch == ' ' || ch == '\t') {
            if (in_word) c.argv.push_back(word), word.clear(), in_word = false;
        } else {
            word += ch, in_word = true;
        }
    }
    if (quote) throw Failure("unbalanced quote in command: " + std::string(text));
    if (in_word) c.argv.push_back(word);
    if (c.argv.empty()) throw Failure("empty server command");
    return c;
}

Conn::Conn(const Command& cmd, const EnvChanges& env_in, int cpu, const std::string& errlog,
           const std::string& post_dir)
    : sbuf_(buf_cap), rbuf_(buf_cap + 64), wbuf_(buf_cap) {
    // Everything the child needs is built before the fork: it only pins
    // itself, moves descriptors and execs.
    const std::string prog = resolve(cmd.argv[0]);
    std::vector<std::string> words = cmd.argv;
    EnvChanges env = env_in;
    if (!post_dir.empty()) {
        words.insert(words.end(), {"post", post_name});
        env["VELMOR_SRV"] = post_dir;
        socket_path_ = post_dir + "/" + post_name;
    }
    std::vector<char*> argv;
    for (const auto& a : words) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; e++) {
        std::string_view kv(*e);
        if (!env.contains(std::string(kv.substr(0, kv.find('='))))) env_strings.emplace_back(kv);
    }
    for (const auto& [k, v] : env)
        if (v != env_unset) env_strings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu >= 0) CPU_SET(cpu, &set);

    int errfd = ::open(errlog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (errfd < 0) throw Failure(errno_text(("open " + errlog).c_str()));
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) {
        ::close(errfd);
        throw Failure(errno_text("socketpair"));
    }
    // vfork keeps the start cost small and independent of the driver's size;
    // the child touches nothing of the parent's memory.
    spawned_at_ = now();
    pid_ = vfork();
    if (pid_ == 0) {
        if (cpu >= 0 && sched_setaffinity(0, sizeof set, &set) < 0) _exit(126);
        if (dup2(sv[1], 0) < 0 || dup2(sv[1], 1) < 0 || dup2(errfd, 2) < 0) _exit(126);
        execve(prog.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    ::close(sv[1]);
    ::close(errfd);
    if (pid_ < 0) {
        ::close(sv[0]);
        throw Failure(errno_text("vfork"));
    }
    fd_ = sv[0];
    if (clock_getcpuclockid(pid_, &cpu_clock_) != 0) throw Failure("no cpu clock for the server");
    if (!socket_path_.empty()) {
        // The pair stays the server's standard input and output, unused; we
        // talk through the socket once the server has posted it.
        ::close(fd_);
        fd_ = -1;
        const double deadline = now() + 10;
        while ((fd_ = connect_unix(socket_path_)) < 0) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw Failure("server exited before posting " + socket_path_);
            }
            if (now() > deadline) throw Failure(errno_text(("connect " + socket_path_).c_str()));
            timespec ts{0, 1000000};
            nanosleep(&ts, nullptr);
        }
    }
    wire_ = tlnclient::Wire(fd_, fd_, 0, reply_timeout_ms);  // sends only
    set_timeouts(fd_);
}

Conn::Conn(const std::string& socket_path)
    : socket_path_(socket_path), sbuf_(buf_cap), rbuf_(buf_cap + 64), wbuf_(buf_cap) {
    fd_ = connect_unix(socket_path_);
    if (fd_ < 0) throw Failure(errno_text(("connect " + socket_path_).c_str()));
    wire_ = tlnclient::Wire(fd_, fd_, 0, reply_timeout_ms);  // sends only
    set_timeouts(fd_);
}

Conn::~Conn() {
    if (pid_ > 0) kill_now();
    if (fd_ >= 0) ::close(fd_);
}

uint16_t Conn::next_tag() {
    tag_ = uint16_t(tag_ + 1);
    if (tag_ == P9_NOTAG) tag_ = 1;
    return tag_;
}

void Conn::send(const uint8_t* msg, size_t len) {
    tlnclient::Status s = wire_.send(msg, len);
    if (!s) throw Failure("write to server: " + s.error().text);
}

uint32_t Conn::receive(uint8_t type, uint16_t tag, const char* what) {
    // One blocking read per reply, bounded by SO_RCVTIMEO (see client.h).
    size_t have = 0;
    uint32_t size = 0;
    for (;;) {
        ssize_t n = ::read(fd_, rbuf_.data() + have, rbuf_.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure(errno_text((std::string("waiting for reply to ") + what).c_str()));
        if (n == 0) throw Failure(std::string("server hung up instead of answering ") + what);
        have += size_t(n);
        if (have < 4) continue;
        size = uint32_t(rbuf_[0]) | rbuf_[1] << 8 | rbuf_[2] << 16 | uint32_t(rbuf_[3]) << 24;
        if (size < P9_HEADER_LEN || size > msize_)
            throw Failure(std::string("reply to ") + what + " has size " + std::to_string(size) +
                          " (msize " + std::to_string(msize_) + ")");
        if (have >= size) break;
    }
    if (have > size) throw Failure(std::string("extra bytes after the reply to ") + what);
    tlnclient::Status s = tlnclient::check_reply(rbuf_.data(), size, tag, type);
    if (!s && s.error().kind == tlnclient::ErrorKind::refused)
        throw Failure(std::string(what) + " refused: " + s.error().text);
    if (!s) throw Failure(std::string("reply to ") + what + ": " + s.error().text);
    return size;
}

p9_cursor Conn::request() {
    p9_cursor c;
    p9_cursor_init(&c, sbuf_.data(), msize_);
    return c;
}

uint32_t Conn::call(int32_t n, uint8_t type, uint16_t tag, const char* what) {
    if (n < 0) throw Failure(std::string("encode ") + what);
    send(sbuf_.data(), size_t(n));
    return receive(type, tag, what);
}

uint32_t Conn::version(uint32_t msize) {
    msize_ = uint32_t(buf_cap);  // any size up to the buffer until we know
    p9_cursor c = request();
    static const uint8_t v[] = {'9', 'P', '2', '0', '0', '0'};
    const uint16_t tag = P9_NOTAG;
    uint32_t len =
        call(p9_emit_tversion(&c, tag, msize, v, sizeof v), P9_RVERSION, tag, "Tversion");
    uint16_t rtag;
    uint32_t rmsize;
    const uint8_t* rv;
    uint64_t rvlen;
    if (p9_decode_rversion(rbuf_.data(), len, &rtag, &rmsize, &rv, &rvlen) < 0)
        throw Failure("Rversion does not decode");
    if (rvlen != sizeof v || memcmp(rv, v, sizeof v) != 0)
        throw Failure("Rversion names " + std::string(reinterpret_cast<const char*>(rv), rvlen));
    if (rmsize > msize || rmsize < 256)
        throw Failure("Rversion msize " + std::to_string(rmsize) + " for " + std::to_string(msize));
    msize_ = rmsize;
    return rmsize;
}

void Conn::attach(uint32_t fid, std::string_view aname) {
    p9_cursor c = request();
    const uint16_t tag = next_tag();
    static const uint8_t user[] = {'b', 'e', 'n', 'c', 'h'};
    int32_t n = p9_emit_tattach(&c, tag, fid, P9_NOFID, user, sizeof user,
                                reinterpret_cast<const uint8_t*>(aname.data()), aname.size());
    uint32_t len = call(n, P9_RATTACH, tag, "Tattach");
    uint16_t t;
    uint8_t qt;
    uint32_t qv;
    uint64_t qp;
    if (p9_decode_rattach(rbuf_.data(), len, &t, &qt, &qv, &qp) < 0)
        throw Failure("Rattach does not decode");
}

void Conn::walk(uint32_t fid, uint32_t newfid, const std::vector<std::string_view>& names) {
    const uint8_t* wn[P9_MAX_WELEM];
    uint64_t wl[P9_MAX_WELEM];
    if (names.size() > P9_MAX_WELEM) throw Failure("walk of too many names");
    for (size_t i = 0; i < names.size(); i++)
        wn[i] = reinterpret_cast<const uint8_t*>(names[i].data()), wl[i] = names[i].size();
    p9_cursor c = request();
    const uint16_t tag = next_tag();
    uint32_t len = call(p9_emit_twalk(&c, tag, fid, newfid, uint16_t(names.size()), wn, wl),
                        P9_RWALK, tag, "Twalk");
    uint16_t t, nwqid;
    uint8_t qt[P9_MAX_WELEM];
    uint32_t qv[P9_MAX_WELEM];
    uint64_t qp[P9_MAX_WELEM];
    if (p9_decode_rwalk(rbuf_.data(), len, &t, &nwqid, qt, qv, qp) < 0)
        throw Failure("Rwalk does not decode");
    if (nwqid != names.size())
        throw Failure("Rwalk carries " + std::to_string(nwqid) + " qids for " +
                      std::to_string(names.size()) + " names");
}

void Conn::open(uint32_t fid, uint8_t mode) {
    p9_cursor c = request();
    const uint16_t tag = next_tag();
    uint32_t len = call(p9_emit_topen(&c, tag, fid, mode), P9_ROPEN, tag, "Topen");
    uint16_t t;
    uint8_t qt;
    uint32_t qv, iounit;
    uint64_t qp;
    if (p9_decode_ropen(rbuf_.data(), len, &t, &qt, &qv, &qp, &iounit) < 0)
        throw Failure("Ropen does not decode");
}

void Conn::create(uint32_t fid, std::string_view name, uint32_t perm, uint8_t mode) {
    p9_cursor c = request();
    const uint16_t tag = next_tag();
    int32_t n = p9_emit_tcreate(&c, tag, fid, reinterpret_cast<const uint8_t*>(name.data()),
                                name.size(), perm, mode);
    uint32_t len = call(n, P9_RCREATE, tag, "Tcreate");
    uint16_t t;
    uint8_t qt;
    uint32_t qv, iounit;
    uint64_t qp;
    if (p9_decode_rcreate(rbuf_.data(), len, &t, &qt, &qv, &qp, &iounit) < 0)
        throw Failure("Rcreate does not decode");
    if (((perm & P9_DMDIR) != 0) != ((qt & P9_QTDIR) != 0))
        throw Failure("Rcreate qid type does not match the perm");
}

uint32_t Conn::read(uint32_t fid, uint64_t offset, uint32_t count, const uint8_t** data) {
    p9_cursor c = request();
    const uint16_t tag = next_tag();
    uint32_t len = call(p9_emit_tread(&c, tag, fid, offset, count), P9_RREAD, tag, "Tread");
    uint16_t t;
    const uint8_t* d;
    uint32_t got;
    if (p9_decode_rread(rbuf_.data(), len, &t, &d, &got) < 0)
        throw Failure("Rread does not decode");
    if (got > count)
        throw Failure("Rread returns " + std::to_string(got) + " bytes for count " +
                      std::to_string(count));
    if (data) *data = d;
    return got;
}

void Conn::write(uint32_t fid, uint64_t offset, const uint8_t* data, uint32_t count) {
    const uint16_t tag = next_tag();
    if (w_data_ != data || w_count_ != count || w_fid_ != fid) {
        p9_cursor c;
        p9_cursor_init(&c, wbuf_.data(), msize_);
        if (p9_emit_twrite(&c, tag, fid, offset, data, count) < 0)
            throw Failure("Twrite of " + std::to_string(count) + " bytes does not fit the msize");
        w_data_ = data, w_count_ = count, w_fid_ = fid;
    }
    // size[4] type[1] tag[2] fid[4] offset[8] count[4] data
    put_u16(wbuf_.data() + 5, tag);
    put_u64(wbuf_.data() + 11, offset);
    send(wbuf_.data(), 23 + size_t(count));
    uint32_t len = receive(P9_RWRITE, tag, "Twrite");
    uint16_t t;
    uint32_t got;
    if (p9_decode_rwrite(rbuf_.data(), len, &t, &got) < 0) throw Failure("Rwrite does not decode");
    if (got != count)
        throw Failure("Rwrite reports " + std::to_string(got) + " of " + std::to_string(count) +
                      " bytes at offset " + std::to_string(offset));
}

void Conn::clunk(uint32_t fid) {
    p9_cursor c = request();
    const uint16_t tag = next_tag();
    uint32_t len = call(p9_emit_tclunk(&c, tag, fid), P9_RCLUNK, tag, "Tclunk");
    uint16_t t;
    if (p9_decode_rclunk(rbuf_.data(), len, &t) < 0) throw Failure("Rclunk does not decode");
}

void Conn::remove(uint32_t fid) {
    p9_cursor c = request();
    const uint16_t tag = next_tag();
    uint32_t len = call(p9_emit_tremove(&c, tag, fid), P9_RREMOVE, tag, "Tremove");
    uint16_t t;
    if (p9_decode_rremove(rbuf_.data(), len, &t) < 0) throw Failure("Rremove does not decode");
}

uint64_t Conn::stat(uint32_t fid) {
    p9_cursor c = request();
    const uint16_t tag = next_tag();
    uint32_t len = call(p9_emit_tstat(&c, tag, fid), P9_RSTAT, tag, "Tstat");
    uint16_t t, type;
    uint32_t dev, qv, mode, atime, mtime;
    uint8_t qt;
    uint64_t qp, length, nl, ul, gl, ml;
    const uint8_t *name, *uid, *gid, *muid;
    if (p9_decode_rstat(rbuf_.data(), len, &t, &type, &dev, &qt, &qv, &qp, &mode, &atime, &mtime,
                        &length, &name, &nl, &uid, &ul, &gid, &gl, &muid, &ml) < 0)
        throw Failure("Rstat does not decode");
    return length;
}

double Conn::cpu_time() const {
    timespec ts;
    if (clock_gettime(cpu_clock_, &ts) != 0) throw Failure(errno_text("server cpu clock"));
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

int Conn::hang_up(double timeout_s) {
    if (fd_ >= 0) ::close(fd_), fd_ = -1;
    if (pid_ <= 0) return socket_path_.empty() ? -1 : 0;
    if (!socket_path_.empty()) ::kill(pid_, SIGTERM);
    const double deadline = now() + timeout_s;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (r < 0) throw Failure(errno_text("waitpid"));
        if (now() > deadline) {
            kill_now();
            throw Failure("server did not exit after hang-up");
        }
        timespec ts{0, 200000};
        nanosleep(&ts, nullptr);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Conn::kill_now() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace tlnbench
