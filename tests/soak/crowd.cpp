// tln_soak --clients N: N clients at once on one posted server.
//
// Starts `tolvane post crowd 3` with a fresh registry and store, then runs N
// client threads against it together. Each connects, works through a short
// random sequence in a directory of its own (/c<k>: files and directories
// made, written, read back, listed, stat'ed and removed), and hangs up, over
// and over: mostly after clunking its fids, but also with fids still held
// (the stand-in clunks them), in the middle of a request, or with a request
// still unanswered. The clients use the same small fid and tag numbers, so
// the stand-in must keep them apart; the tables are shared (the server's fid
// table, node table and data pool), so the refusals a full table gives are
// expected and counted. Every reply is checked: whole, the request's tag, the
// type the request must get or an allowed refusal, and what it says against
// the client's own record of its directory (contents, lengths, listings).
//
// The run ends after the requested number of replies or time. Then every
// client's directory is checked once more on a fresh connection, the
// server's descriptors must be back where they were before the first client
// came, and the server must stop cleanly on SIGTERM without a failed save.
#include "crowd.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "9p/9p.h"
#include "conn.h"

namespace {

using namespace soak;
using namespace tolvane_test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t NODES_EACH = 6;     // a client's nodes, its directory included
constexpr uint64_t DATA_MAX = 4000;  // a file's bytes stay within one data slot
constexpr uint32_t FIDS_EACH = 12;   // fid numbers 1..FIDS_EACH (0 is the root)
constexpr const char* REFUSE_FIDS = "tolvane: fid table full";
constexpr const char* REFUSE_NODES = "tolvane: node table full";
constexpr const char* REFUSE_POOL = "tolvane: file-data pool exhausted";

std::atomic<pid_t> g_pid{-1};
std::mutex g_mu;  // failure output and the refusal counts

[[noreturn]] void fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(g_mu);
    std::fprintf(stderr, "tln_soak: FAIL: %s\n", why.c_str());
    pid_t pid = g_pid.load();
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::fflush(nullptr);
    _exit(1);
}

struct Totals {
    std::atomic<uint64_t> requests{0}, sessions{0}, clean{0}, held{0}, mid{0}, owed{0};
    std::atomic<uint64_t> written{0}, read{0};
    std::map<std::string, uint64_t> refusals;  // under g_mu
};

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Info {
    bool dir = false;
    uint64_t size = 0;
};

// One client: its own directory, its record of it, its sessions.
class Member {
public:
    Member(int k, std::string sock, uint64_t seed, Totals& t)
        : home_(std::string("c").append(std::to_string(k))),
          sock_(std::move(sock)),
          rng_(seed),
          t_(t) {}

    // Sessions until done() says stop.
    template <class Done>
    void run(Done&& done) {
        while (!done()) session();
    }
    // A fresh connection that checks every node of the directory.
    void verify();

private:
    uint64_t r(uint64_t n) { return n == 0 ? 0 : rng_() % n; }
    uint16_t tag() { return static_cast<uint16_t>(r(8)); }  // the same few on every client

    Bytes call(const Bytes& q) {
        t_.requests++;
        return conn_->call(q);
    }
    // The reply is of type want, or one of the refusals allowed (false then).
    bool expect(const Bytes& rep, uint8_t want, std::initializer_list<const char*> allowed,
                const std::string& what) {
        std::string text = refusal(rep, want, allowed, home_ + ": " + what, fail);
        if (text.empty()) return true;
        std::lock_guard<std::mutex> lock(g_mu);
        t_.refusals[text]++;
        return false;
    }

    uint32_t free_fid() {
        for (uint32_t f = 1; f <= FIDS_EACH; f++) {
            if (!held_.count(f)) return f;
        }
        return 0;
    }
    // A new fid on path (relative to the root, "" for the root); 0 when refused.
    uint32_t walk(const std::string& path) {
        std::vector<std::string> names;
        for (size_t at = 0; at < path.size();) {
            size_t slash = path.find('/', at);
            if (slash == std::string::npos) slash = path.size();
            names.push_back(path.substr(at, slash - at));
            at = slash + 1;
        }
        uint32_t fid = free_fid();
        if (fid == 0) return 0;
        Bytes rep = call(twalk(tag(), 0, fid, names));
        if (!expect(rep, P9_RWALK, {REFUSE_FIDS}, "walk " + path)) return 0;
        if (le16(rep) != names.size()) fail(home_ + ": walk " + path + ": a partial walk");
        held_.insert(fid);
        return fid;
    }
    static uint16_t le16(const Bytes& rep) { return static_cast<uint16_t>(rep[7] | rep[8] << 8); }
    void clunk(uint32_t fid) {
        Bytes rep = call(tclunk(tag(), fid));
        expect(rep, P9_RCLUNK, {}, "clunk");
        held_.erase(fid);
    }
    bool open(uint32_t fid, uint8_t mode, const std::string& path) {
        Bytes rep = call(topen(tag(), fid, mode));
        return expect(rep, P9_ROPEN, {}, "open " + path);
    }
    std::string pick(bool dirs) {
        std::vector<std::string> v;
        for (auto& [path, info] : tree_) {
            if (info.dir == dirs) v.push_back(path);
        }
        return v.empty() ? std::string() : v[r(v.size())];
    }
    std::set<std::string> children(const std::string& dir) const {
        std::set<std::string> out;
        for (auto& [path, info] : tree_) {
            size_t slash = path.rfind('/');
            if (slash != std::string::npos && path.substr(0, slash) == dir) {
                out.insert(path.substr(slash + 1));
            }
        }
        return out;
    }

    Bytes open_session();
    void session();
    void op_home();
    void op_create();
    void op_write();
    void op_read(const std::string& path);
    void op_stat(const std::string& path);
    void op_list(const std::string& dir);
    void op_remove();

    std::string home_;
    std::string sock_;
    std::mt19937_64 rng_;
    Totals& t_;
    std::optional<Conn> conn_;
    std::set<uint32_t> held_;           // fids held now, other than the root's 0
    std::map<std::string, Info> tree_;  // the home directory and all under it
    uint64_t names_ = 0;
};

void Member::op_home() {
    uint32_t fid = walk("");
    if (fid == 0) return;
    Bytes rep = call(tcreate(tag(), fid, home_, P9_DMDIR | 0755, P9_OREAD));
    if (expect(rep, P9_RCREATE, {REFUSE_NODES}, "create " + home_)) tree_[home_] = Info{true, 0};
    clunk(fid);
}

void Member::op_create() {
    if (tree_.size() >= NODES_EACH) return;
    std::string dir = pick(true);
    bool mkdir = r(4) == 0 && dir == home_;
    // Built by appending: g++ 12 at -O3 warns falsely about literal + temporary.
    std::string name = mkdir ? "d" : "f";
    name += std::to_string(names_++);
    uint32_t fid = walk(dir);
    if (fid == 0) return;
    Bytes rep = call(
        tcreate(tag(), fid, name, mkdir ? P9_DMDIR | 0755 : 0644, mkdir ? P9_OREAD : P9_ORDWR));
    if (expect(rep, P9_RCREATE, {REFUSE_NODES}, "create " + dir + "/" + name)) {
        tree_[dir + "/" + name] = Info{mkdir, 0};
    }
    clunk(fid);
}

void Member::op_write() {
    std::string path = pick(false);
    if (path.empty()) return;
    uint32_t fid = walk(path);
    if (fid == 0) return;
    if (!open(fid, P9_ORDWR, path)) return;
    uint64_t off = r(DATA_MAX);
    uint64_t len = r(DATA_MAX - off + 1);
    uint64_t h = hash_str(path);
    Bytes data(len);
    for (uint64_t i = 0; i < len; i++) data[i] = pattern(h, off + i);
    Bytes rep = call(twrite(tag(), fid, off, data));
    if (expect(rep, P9_RWRITE, {REFUSE_POOL}, "write " + path)) {
        uint32_t count = le32(rep.data() + 7);
        if (count > len) fail(home_ + ": Rwrite of more than was sent");
        Info& f = tree_[path];
        f.size = std::max(f.size, off + count);
        t_.written += count;
    }
    clunk(fid);  // a dirty clunk: the server saves
}

void Member::op_read(const std::string& path) {
    uint32_t fid = walk(path);
    if (fid == 0) return;
    if (!open(fid, P9_OREAD, path)) return;
    uint64_t size = tree_[path].size;
    uint64_t off = r(size + 1);
    uint32_t count = static_cast<uint32_t>(1 + r(DATA_MAX));
    Bytes rep = call(tread(tag(), fid, off, count));
    expect(rep, P9_RREAD, {}, "read " + path);
    uint32_t n = le32(rep.data() + 7);
    if (n != std::min<uint64_t>(size - off, count) || rep.size() != 11 + n) {
        fail(home_ + ": read " + path + ": " + std::to_string(n) + " bytes at " +
             std::to_string(off) + " of " + std::to_string(size));
    }
    uint64_t h = hash_str(path);
    for (uint32_t i = 0; i < n; i++) {
        uint8_t b = rep[11 + i];
        if (b != 0 && b != pattern(h, off + i)) fail(home_ + ": read " + path + ": wrong byte");
    }
    t_.read += n;
    clunk(fid);
}

void Member::op_stat(const std::string& path) {
    uint32_t fid = walk(path);
    if (fid == 0) return;
    Bytes rep = call(tstat(tag(), fid));
    expect(rep, P9_RSTAT, {}, "stat " + path);
    tlnclient::Stat st;
    if (!soak::decode_rstat(rep, st)) fail(home_ + ": bad Rstat");
    uint64_t len = st.length;
    const Info& info = tree_[path];
    if (st.qid.is_dir() != info.dir || (!info.dir && len != info.size)) {
        fail(home_ + ": stat " + path + ": length " + std::to_string(len) + ", expected " +
             std::to_string(info.size));
    }
    clunk(fid);
}

void Member::op_list(const std::string& dir) {
    uint32_t fid = walk(dir);
    if (fid == 0) return;
    if (!open(fid, P9_OREAD, dir)) return;
    std::set<std::string> seen;
    for (uint64_t off = 0;;) {
        Bytes rep = call(tread(tag(), fid, off, 8192));
        expect(rep, P9_RREAD, {}, "list " + dir);
        uint32_t n = le32(rep.data() + 7);
        if (n == 0) break;
        for (uint64_t pos = 0; pos < n;) {
            tlnclient::Stat st;
            int64_t k = tlnclient::decode_stat(rep.data() + 11, n, pos, st);
            if (k <= 0) fail(home_ + ": listing of " + dir + " holds a broken record");
            seen.insert(st.name);
            pos += static_cast<uint64_t>(k);
        }
        off += n;
    }
    if (seen != children(dir))
        fail(home_ + ": listing of " + dir + " differs from what was made there");
    clunk(fid);
}

void Member::op_remove() {
    std::vector<std::string> leaves;
    for (auto& [path, info] : tree_) {
        if (path != home_ && (!info.dir || children(path).empty())) leaves.push_back(path);
    }
    if (leaves.empty()) return;
    std::string path = leaves[r(leaves.size())];
    uint32_t fid = walk(path);
    if (fid == 0) return;
    Bytes rep = call(tremove(tag(), fid));
    held_.erase(fid);
    expect(rep, P9_RREMOVE, {}, "remove " + path);
    tree_.erase(path);
}

// A new connection, its Tversion checked, and a Tattach of fid 0: its reply.
Bytes Member::open_session() {
    conn_.emplace(sock_, fail);
    held_.clear();
    Bytes rep = call(tversion(P9_NOTAG, MSIZE));
    expect(rep, P9_RVERSION, {}, "version");
    return call(tattach(tag(), 0));
}

void Member::session() {
    t_.sessions++;
    Bytes rep = open_session();
    if (expect(rep, P9_RATTACH, {REFUSE_FIDS}, "attach")) {
        if (!tree_.count(home_)) op_home();
        for (uint64_t ops = 3 + r(30); ops > 0 && tree_.count(home_); ops--) {
            uint64_t k = r(100);
            if (k < 25)
                op_create();
            else if (k < 45)
                op_write();
            else if (k < 60) {
                std::string p = pick(false);
                if (!p.empty()) op_read(p);
            } else if (k < 70) {
                std::string p = pick(r(2) == 0);
                if (!p.empty()) op_stat(p);
            } else if (k < 80)
                op_list(pick(true));
            else if (k < 92)
                op_remove();
            else if (k < 96)
                walk(pick(r(2) == 0));  // a fid kept for the rest of the session
            else
                while (walk("") != 0) {
                }  // clones of the root while fids are free: the
                   // server's fid table, shared by all, runs full
        }
    }
    uint64_t end = r(100);
    if (end < 60) {
        while (!held_.empty()) clunk(*held_.begin());
        t_.clean++;
    } else if (end < 75) {
        t_.held++;  // the stand-in clunks what is held
    } else if (end < 90) {
        Bytes q = tstat(tag(), 0);
        conn_->send_partial(q, 1 + r(q.size() - 1));
        t_.mid++;
    } else {
        Bytes q = tstat(tag(), 0);
        conn_->send_partial(q, q.size());
        t_.owed++;
    }
    conn_.reset();
}

void Member::verify() {
    expect(open_session(), P9_RATTACH, {}, "attach");
    for (auto& [path, info] : tree_) {
        op_stat(path);
        if (info.dir) op_list(path);
    }
    conn_.reset();
}

}  // namespace

int run_crowd(const CrowdOptions& o) {
    signal(SIGPIPE, SIG_IGN);
    std::string root = o.base + "/tln-soak-" + std::to_string(getpid());
    fs::create_directories(root + "/srv");
    fs::create_directories(root + "/store");
    std::string sock = root + "/srv/crowd";
    std::string log = root + "/server.log";

    pid_t pid = soak::start_server(o.server, root, "crowd", fail);
    g_pid.store(pid);
    for (int i = 0; i < CONNECT_TRIES && !fs::exists(sock); i++) usleep(10000);
    if (!fs::exists(sock)) fail("the server did not post " + sock);
    uint64_t fds_before = open_fds(pid);

    Totals t;
    std::vector<std::unique_ptr<Member>> members;
    for (int k = 0; k < o.clients; k++) {
        members.push_back(
            std::make_unique<Member>(k, sock, o.seed * 1000 + static_cast<uint64_t>(k), t));
    }
    auto t0 = Clock::now();
    auto deadline =
        t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    auto done = [&]() { return t.requests.load() >= o.requests || Clock::now() >= deadline; };
    std::vector<std::thread> threads;
    std::atomic<bool> running{true};
    std::thread progress([&]() {
        uint64_t next = 10000;
        while (running.load()) {
            usleep(100000);
            if (!o.quiet && t.requests.load() >= next) {
                std::printf("%8llu requests  %6llu sessions  fds %llu\n",
                            static_cast<unsigned long long>(t.requests.load()),
                            static_cast<unsigned long long>(t.sessions.load()),
                            static_cast<unsigned long long>(open_fds(pid)));
                std::fflush(stdout);
                next += 10000;
            }
        }
    });
    for (auto& m : members) threads.emplace_back([&m, &done]() { m->run(done); });
    for (std::thread& th : threads) th.join();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    running.store(false);
    progress.join();
    uint64_t load = t.requests.load();

    // Every client's directory as it recorded it, on a fresh connection.
    for (auto& m : members) m->verify();
    // The stand-in has clunked and closed what every client left behind.
    uint64_t fds_after = 0;
    for (int i = 0; i < 200 && (fds_after = open_fds(pid)) != fds_before; i++) usleep(10000);

    kill(pid, SIGTERM);
    int status = -1;
    for (int i = 0; i < 3000; i++) {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid) {
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            g_pid.store(-1);
            break;
        }
        usleep(10000);
    }
    if (status < 0) fail("the server did not stop within 30 s");
    std::ifstream lf(log);
    std::string logtext((std::istreambuf_iterator<char>(lf)), std::istreambuf_iterator<char>());

    std::printf("clients         %d at once\n", o.clients);
    std::printf("requests        %llu in %.1f s (%.0f/s), then %llu to verify\n",
                static_cast<unsigned long long>(load), secs, static_cast<double>(load) / secs,
                static_cast<unsigned long long>(t.requests.load() - load));
    std::printf(
        "sessions        %llu: %llu clunked all, %llu hung up holding fids, "
        "%llu mid-request, %llu with a reply owed\n",
        static_cast<unsigned long long>(t.sessions.load()),
        static_cast<unsigned long long>(t.clean.load()),
        static_cast<unsigned long long>(t.held.load()),
        static_cast<unsigned long long>(t.mid.load()),
        static_cast<unsigned long long>(t.owed.load()));
    std::printf("data            %llu bytes written, %llu bytes read and checked\n",
                static_cast<unsigned long long>(t.written.load()),
                static_cast<unsigned long long>(t.read.load()));
    for (auto& [text, n] : t.refusals) {
        std::printf("refusal         %llu x '%s'\n", static_cast<unsigned long long>(n),
                    text.c_str());
    }
    std::printf(
        "server fds      %llu before the first client, %llu after the last; stop status %d\n",
        static_cast<unsigned long long>(fds_before), static_cast<unsigned long long>(fds_after),
        status);
    bool ok = status == 0 && fds_after == fds_before;
    if (logtext.find("persist failed") != std::string::npos) {
        std::printf("FAIL: the server logged a failed save\n");
        ok = false;
    }
    if (ok)
        fs::remove_all(root);
    else
        std::printf("registry, store and log kept in %s\n", root.c_str());
    std::printf("%s\n", ok ? "soak: PASS" : "soak: FAIL");
    return ok ? 0 : 1;
}
