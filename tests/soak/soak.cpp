// tln_soak: a long load run against the real server in post mode.
//
// Starts `tolvane post NAME N` with a fresh registry and store, then plays a
// client that connects, works for a while and hangs up (now and then in the
// middle of a message), over and over, until the requested number of requests
// has been answered. The work creates and removes files and directories until
// the node table is full, fills the data-slot pool, and clones fids until the
// fid table is full, many times over, with writes, reads (checked against the
// pattern each file is written with), listings and stats in between.
//
// While it runs it samples the server's resident memory (/proc/PID/status
// VmRSS) and its open descriptors (/proc/PID/fd); both must stay flat. Every
// reply is checked (whole, tag, type, the refusals each operation may meet);
// a server that stops answering fails the run. At the end it dumps the whole
// tree (listing, qids, sizes, contents), stops the server with SIGTERM (which
// saves), starts it again on the same store and requires the same dump.
//
//   tln_soak [--requests N] [--seed S] [--server PATH] [--store DIR]
//            [--quiet] [--clients N [--seconds S]]
//
// With --clients N it runs N clients at once instead, each in a directory of
// its own, until the requested number of replies was checked or S seconds
// (default 600) passed (crowd.cpp).
//
// Exit status 0 when every check held; the summary goes to standard output.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "9p/9p.h"
#include "conn.h"
#include "crowd.h"

namespace {

using namespace soak;
using namespace tolvane_test;
namespace fs = std::filesystem;

constexpr uint64_t SLOT = 65536;
// Keeps the sum of file lengths well below what one image can hold, so that
// every save succeeds and the tree saved at the end is the whole tree. (Every
// dirty clunk and remove writes the whole image: small images keep the run
// about requests rather than about copying.) The pool still fills: it counts
// 64-KiB slots, and many small files take one each.
constexpr uint64_t SIZE_BUDGET = 3u << 19;  // 1.5 MiB

// The server process running now, stopped by die() so that a failed run
// leaves nothing behind (its registry and store stay for inspection).
pid_t g_server = -1;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "tln_soak: FAIL: %s\n", why.c_str());
    if (g_server > 0) {
        kill(g_server, SIGKILL);
        waitpid(g_server, nullptr, 0);
    }
    std::exit(1);
}

// ---- The server process ----

struct Server {
    pid_t pid = -1;
    std::string log_path;
};

Server start_server(const std::string& binary, const std::string& root) {
    Server s;
    s.log_path = root + "/server.log";
    s.pid = soak::start_server(binary, root, "soak", die);
    g_server = s.pid;
    return s;
}

// Waits for the server to exit; its status (128 + signal when killed).
int wait_server(Server& s, int timeout_ms) {
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        int st = 0;
        pid_t r = waitpid(s.pid, &st, WNOHANG);
        if (r == s.pid) {
            s.pid = -1;
            g_server = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        usleep(10000);
    }
    kill(s.pid, SIGKILL);
    int st = 0;
    waitpid(s.pid, &st, 0);
    s.pid = -1;
    g_server = -1;
    die("server did not exit within " + std::to_string(timeout_ms) + " ms");
}

uint64_t rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

// ---- One connection ----

// dir + "/" + name, with the root spelled "/". (Built by appending: g++ 12
// at -O3 warns falsely about the operator+ form.)
std::string join(const std::string& dir, const std::string& name) {
    std::string path;
    if (dir != "/") path.append(dir);
    path.append("/");
    path.append(name);
    return path;
}

// ---- The client ----

struct Stats {
    std::map<std::string, uint64_t> refusals;
    uint64_t sessions = 0;
    uint64_t partial_hangups = 0;
    uint64_t node_full = 0, pool_full = 0, fid_full = 0;
    uint64_t bytes_written = 0, bytes_read = 0;
    uint64_t rss_min = ~0ull, rss_max = 0, fds_min = ~0ull, fds_max = 0;
    uint64_t rss_first = 0, fds_first = 0, rss_last = 0, fds_last = 0;
    uint64_t samples = 0;
};

struct FileInfo {
    bool dir = false;
    uint64_t size = 0;  // the length the client expects (files)
};

class Client {
public:
    Client(std::string sock, uint64_t seed, Stats& st)
        : sock_(std::move(sock)), rng_(seed), st_(st) {
        for (const char* d :
             {"/", "/var", "/usr", "/etc", "/var/lib", "/var/cache", "/var/www", "/var/lib/dpkg",
              "/var/lib/dpkg/info", "/var/cache/apt", "/var/cache/apt/archives"}) {
            tree_[d] = FileInfo{true, 0};
        }
    }

    uint64_t requests() const { return total_; }
    // One session of about `ops` operations; pid for sampling.
    void session(uint64_t ops, pid_t pid);
    // The whole tree, one line per node, contents hashed.
    std::string dump();

private:
    uint64_t r(uint64_t n) { return n == 0 ? 0 : rng_() % n; }
    bool p(double x) { return std::uniform_real_distribution<double>(0, 1)(rng_) < x; }
    uint16_t next_tag() { return static_cast<uint16_t>(tag_++ % 65535); }

    Bytes call(const Bytes& req) {
        Bytes r = conn_->call(req);
        total_++;
        return r;
    }
    // Expects the reply type; a refusal must be one of allowed (counted).
    bool expect(const Bytes& r, uint8_t type, std::initializer_list<const char*> allowed,
                const std::string& what) {
        std::string t = refusal(r, type, allowed, what, die);
        if (t.empty()) return true;
        st_.refusals[t]++;
        if (t == "tolvane: node table full") st_.node_full++;
        if (t == "tolvane: file-data pool exhausted") st_.pool_full++;
        if (t == "tolvane: fid table full") st_.fid_full++;
        return false;
    }

    uint32_t new_fid() {
        for (;;) {
            uint32_t f = 100 + static_cast<uint32_t>(r(100000));
            if (!fids_.count(f)) return f;
        }
    }
    std::vector<std::string> split(const std::string& path) {
        std::vector<std::string> out;
        std::string cur;
        for (char c : path) {
            if (c == '/') {
                if (!cur.empty()) out.push_back(cur);
                cur.clear();
            } else {
                cur += c;
            }
        }
        if (!cur.empty()) out.push_back(cur);
        return out;
    }
    // Walks a new fid from the root to path; 0 when refused.
    uint32_t walk_to(const std::string& path) {
        auto names = split(path);
        if (names.size() > P9_MAX_WELEM) return 0;
        uint32_t fid = new_fid();
        Bytes rep = call(twalk(next_tag(), 0, fid, names));
        if (!expect(rep, P9_RWALK, {"tolvane: fid table full"}, "walk " + path)) return 0;
        uint16_t tag, nwqid;
        uint8_t qt[16];
        uint32_t qv[16];
        uint64_t qp[16];
        if (p9_decode_rwalk(rep.data(), rep.size(), &tag, &nwqid, qt, qv, qp) < 0) die("bad Rwalk");
        if (nwqid != names.size())
            die("walk " + path + ": only " + std::to_string(nwqid) + " qids");
        fids_[fid] = path;
        return fid;
    }
    // Opens fid, the directory dir, reads it to the end with reads of count
    // bytes, clunks it, and returns its records. Failures are named with
    // the prefix.
    std::vector<tlnclient::Stat> list(uint32_t fid, const std::string& dir, uint32_t count,
                                      const std::string& prefix) {
        Bytes rep = call(topen(next_tag(), fid, P9_OREAD));
        expect(rep, P9_ROPEN, {}, prefix + "open " + dir);
        std::vector<tlnclient::Stat> records;
        for (uint64_t off = 0;;) {
            rep = call(tread(next_tag(), fid, off, count));
            expect(rep, P9_RREAD, {}, prefix + "list " + dir);
            uint16_t tag;
            const uint8_t* d;
            uint32_t n;
            if (p9_decode_rread(rep.data(), rep.size(), &tag, &d, &n) < 0) die("bad Rread");
            if (n == 0) break;
            for (uint64_t pos = 0; pos < n;) {
                tlnclient::Stat st;
                int64_t k = tlnclient::decode_stat(d, n, pos, st);
                if (k <= 0) die(prefix + "listing of " + dir + " holds a broken record");
                records.push_back(st);
                pos += static_cast<uint64_t>(k);
            }
            off += n;
        }
        clunk(fid);
        return records;
    }
    void clunk(uint32_t fid) {
        Bytes rep = call(tclunk(next_tag(), fid));
        expect(rep, P9_RCLUNK, {}, "clunk");
        fids_.erase(fid);
        open_.erase(fid);
    }
    std::string pick_dir() {
        std::vector<std::string> dirs;
        for (auto& [path, info] : tree_) {
            if (info.dir && split(path).size() < 6) dirs.push_back(path);
        }
        return dirs[r(dirs.size())];
    }
    std::string pick_node(bool want_file) {
        std::vector<std::string> v;
        for (auto& [path, info] : tree_) {
            if (path != "/" && info.dir != want_file) v.push_back(path);
        }
        return v.empty() ? std::string() : v[r(v.size())];
    }
    uint64_t total_size() const {
        uint64_t s = 0;
        for (auto& [path, info] : tree_) s += info.size;
        return s;
    }

    void connect_session();
    void op_create();
    void op_write();
    void op_write_fid(uint32_t fid);
    void op_read();
    void op_list();
    void op_remove();
    void op_fid_burst();
    void op_stat();
    // The share of each operation in percent, in the order tried; what is
    // left over clunks an open fid. A growing tree mostly gets files made and
    // written, a shrinking one mostly removed.
    using Op = void (Client::*)();
    struct Share {
        Op op;
        uint64_t percent;
    };
    static constexpr Share GROWING[] = {{&Client::op_create, 28},  {&Client::op_write, 27},
                                        {&Client::op_read, 20},    {&Client::op_list, 4},
                                        {&Client::op_remove, 5},   {&Client::op_stat, 8},
                                        {&Client::op_fid_burst, 1}};
    static constexpr Share SHRINKING[] = {{&Client::op_remove, 50}, {&Client::op_write, 15},
                                          {&Client::op_read, 15},   {&Client::op_list, 5},
                                          {&Client::op_stat, 7},    {&Client::op_fid_burst, 2}};
    template <size_t N>
    void one_op(const Share (&mix)[N]) {
        uint64_t k = r(100);
        for (const Share& s : mix) {
            if (k < s.percent) return (this->*s.op)();
            k -= s.percent;
        }
        if (!open_.empty()) clunk(*open_.begin());
    }
    void sample(pid_t pid);

    std::string sock_;
    std::mt19937_64 rng_;
    Stats& st_;
    std::optional<Conn> conn_;
    uint64_t total_ = 0;
    uint32_t tag_ = 1;
    std::map<std::string, FileInfo> tree_;
    std::map<uint32_t, std::string> fids_;  // established fids (other than 0) and their paths
    std::set<uint32_t> open_;               // fids open for read and write on files
    bool growing_ = true;    // until the node table is full; then remove down to a few nodes
    bool pool_dry_ = false;  // the pool ran dry: remove some files
    uint64_t warmup_ = 0;    // requests after which samples count for flatness

public:
    void set_warmup(uint64_t n) { warmup_ = n; }
};

void Client::sample(pid_t pid) {
    uint64_t rss = rss_kib(pid), fds = open_fds(pid);
    if (st_.samples == 0) {
        st_.rss_first = rss;
        st_.fds_first = fds;
    }
    st_.samples++;
    st_.rss_last = rss;
    st_.fds_last = fds;
    // The first sessions warm the tables up (pages touched for the first
    // time); flatness is judged after that.
    if (total_ >= warmup_) {
        st_.rss_min = std::min(st_.rss_min, rss);
        st_.rss_max = std::max(st_.rss_max, rss);
        st_.fds_min = std::min(st_.fds_min, fds);
        st_.fds_max = std::max(st_.fds_max, fds);
    }
}

void Client::op_create() {
    std::string dir = pick_dir();
    bool mkdir = p(0.2);
    std::string name(1, mkdir ? 'd' : 'f');
    name.append(std::to_string(r(1000000)));
    std::string path = join(dir, name);
    uint32_t fid = walk_to(dir);
    if (fid == 0) return;
    Bytes rep = call(tcreate(next_tag(), fid, name, mkdir ? P9_DMDIR | 0755 : 0644,
                             mkdir ? P9_OREAD : P9_ORDWR));
    if (!expect(rep, P9_RCREATE, {"tolvane: node table full", "tolvane: name exists"}, "create")) {
        clunk(fid);
        if (rerror_text(rep) == "tolvane: node table full") growing_ = false;
        return;
    }
    tree_[path] = FileInfo{mkdir, 0};
    fids_[fid] = path;
    if (!mkdir && p(0.7)) {
        // Most new files get a little data at once, each taking a slot of
        // the pool, which therefore runs dry again and again.
        open_.insert(fid);
        uint32_t keep = fid;
        op_write_fid(keep);
        open_.erase(fid);
    }
    if (mkdir || p(0.4)) {
        clunk(fid);
    } else {
        open_.insert(fid);
    }
}

void Client::op_write() {
    if (open_.empty()) return;
    auto it = open_.begin();
    std::advance(it, static_cast<long>(r(open_.size())));
    op_write_fid(*it);
}

void Client::op_write_fid(uint32_t fid) {
    const std::string& path = fids_[fid];
    auto f = tree_.find(path);
    if (f == tree_.end()) {  // removed meanwhile: the fid is stale
        Bytes rep = call(tstat(next_tag(), fid));
        expect(rep, P9_RSTAT, {"tolvane: file removed"}, "stat of a removed file");
        clunk(fid);
        return;
    }
    uint64_t off = p(0.6) ? f->second.size : (p(0.8) ? r(SLOT) : r(4 * SLOT));
    uint64_t len = p(0.85) ? r(2000) : r(SLOT + 1);
    uint64_t end = std::max(f->second.size, off + len);
    if (total_size() - f->second.size + end > SIZE_BUDGET) return;
    uint64_t h = hash_str(path);
    Bytes data(len);
    for (uint64_t i = 0; i < len; i++) data[i] = pattern(h, off + i);
    Bytes rep = call(twrite(next_tag(), fid, off, data));
    if (!expect(rep, P9_RWRITE, {"tolvane: file-data pool exhausted"}, "write")) {
        pool_dry_ = true;  // a few removes follow
        return;
    }
    uint16_t tag;
    uint32_t count;
    if (p9_decode_rwrite(rep.data(), rep.size(), &tag, &count) < 0 || count > len)
        die("bad Rwrite");
    if (count < len) st_.pool_full++;
    // A write extends the length to where it ended, even when it wrote
    // nothing (a zero-byte write past the end).
    f->second.size = std::max(f->second.size, off + count);
    st_.bytes_written += count;
}

void Client::op_read() {
    if (open_.empty()) return;
    auto it = open_.begin();
    std::advance(it, static_cast<long>(r(open_.size())));
    uint32_t fid = *it;
    const std::string path = fids_[fid];
    auto f = tree_.find(path);
    if (f == tree_.end()) return;
    uint64_t size = f->second.size;
    uint64_t off = r(size + 1);
    uint32_t count = static_cast<uint32_t>(1 + r(MSIZE - 11));
    Bytes rep = call(tread(next_tag(), fid, off, count));
    expect(rep, P9_RREAD, {}, "read " + path);
    uint16_t tag;
    const uint8_t* d;
    uint32_t n;
    if (p9_decode_rread(rep.data(), rep.size(), &tag, &d, &n) < 0) die("bad Rread");
    uint64_t want = std::min<uint64_t>({size - off, count, SLOT - off % SLOT});
    if (n != want)
        die("read " + path + ": " + std::to_string(n) + " bytes, expected " + std::to_string(want));
    uint64_t h = hash_str(path);
    for (uint32_t i = 0; i < n; i++) {
        if (d[i] != 0 && d[i] != pattern(h, off + i))
            die("read " + path + ": wrong byte at " + std::to_string(off + i));
    }
    st_.bytes_read += n;
}

void Client::op_list() {
    std::string dir = pick_dir();
    uint32_t fid = walk_to(dir);
    if (fid == 0) return;
    std::set<std::string> seen;
    for (const tlnclient::Stat& st : list(fid, dir, static_cast<uint32_t>(200 + r(20000)), ""))
        seen.insert(st.name);
    // Everything the client made there is listed.
    for (auto& [path, info] : tree_) {
        if (path == "/") continue;
        size_t slash = path.rfind('/');
        std::string parent = slash == 0 ? "/" : path.substr(0, slash);
        if (parent == dir && !seen.count(path.substr(slash + 1)))
            die("listing of " + dir + " misses " + path);
    }
}

void Client::op_remove() {
    std::string path = pick_node(p(0.8));
    if (path.empty()) path = pick_node(false);
    if (path.empty()) return;
    uint32_t fid = walk_to(path);
    if (fid == 0) return;
    Bytes rep = call(tremove(next_tag(), fid));
    fids_.erase(fid);
    open_.erase(fid);
    if (!expect(rep, P9_RREMOVE, {"tolvane: directory not empty"}, "remove " + path)) return;
    tree_.erase(path);
}

void Client::op_fid_burst() {
    std::vector<uint32_t> made;
    for (int i = 0; i < 80; i++) {
        uint32_t fid = walk_to("/");
        if (fid == 0) break;
        made.push_back(fid);
    }
    for (uint32_t f : made) clunk(f);
}

void Client::op_stat() {
    std::string path = pick_node(p(0.5));
    if (path.empty()) return;
    uint32_t fid = walk_to(path);
    if (fid == 0) return;
    Bytes rep = call(tstat(next_tag(), fid));
    expect(rep, P9_RSTAT, {}, "stat " + path);
    tlnclient::Stat st;
    if (!soak::decode_rstat(rep, st)) die("bad Rstat");
    uint64_t len = st.length;
    const FileInfo& info = tree_[path];
    if (!info.dir && len != info.size)
        die("stat " + path + ": length " + std::to_string(len) + ", expected " +
            std::to_string(info.size));
    clunk(fid);
}

// A new connection: Tversion, then Tattach of fid 0 to the root.
void Client::connect_session() {
    conn_.emplace(sock_, die);
    fids_.clear();
    open_.clear();
    Bytes rep = call(tversion(P9_NOTAG, MSIZE));
    expect(rep, P9_RVERSION, {}, "version");
    rep = call(tattach(next_tag(), 0));
    expect(rep, P9_RATTACH, {}, "attach");
}

void Client::session(uint64_t ops, pid_t pid) {
    connect_session();
    st_.sessions++;
    sample(pid);
    for (uint64_t i = 0; i < ops; i++) {
        if (i % 4096 == 4095) sample(pid);
        if (open_.size() > 24) clunk(*open_.begin());
        if (!growing_ && tree_.size() < 60) growing_ = true;
        if (pool_dry_) {
            for (int j = 0; j < 4; j++) op_remove();
            pool_dry_ = false;
        }
        if (growing_)
            one_op(GROWING);
        else
            one_op(SHRINKING);
    }
    // Now and then the client hangs up in the middle of a request: the stand-in
    // must drop the piece, and the next client must be served as usual.
    if (p(0.2)) {
        Bytes q = tclunk(next_tag(), 0);
        conn_->send_partial(q, 1 + r(q.size() - 1));
        st_.partial_hangups++;
    }
    conn_.reset();
}

std::string Client::dump() {
    connect_session();
    std::ostringstream out;
    std::vector<std::string> todo = {"/"};
    while (!todo.empty()) {
        std::string dir = todo.back();
        todo.pop_back();
        uint32_t fid = walk_to(dir);
        if (fid == 0) die("dump: walk " + dir);
        for (const tlnclient::Stat& st : list(fid, dir, 8192, "dump: ")) {
            uint8_t qt = st.qid.type;
            uint64_t len = st.length;
            std::string path = join(dir, st.name);
            // A qid path's high half is its row's generation, which lives
            // in memory only and starts again at a restart: the row is
            // what a restart must keep.
            out << path << " qid " << int(qt) << "." << st.qid.version << "."
                << (st.qid.path & 0xFFFFFFFFu) << " mode " << st.mode << " len " << len;
            if (qt & P9_QTDIR) {
                todo.push_back(path);
            } else {
                // The contents, hashed, read to the end.
                uint32_t ffid = walk_to(path);
                Bytes o = call(topen(next_tag(), ffid, P9_OREAD));
                expect(o, P9_ROPEN, {}, "dump: open " + path);
                uint64_t h = 1469598103934665603ull, at2 = 0;
                while (at2 < len) {
                    Bytes rr = call(tread(next_tag(), ffid, at2, MSIZE - 11));
                    expect(rr, P9_RREAD, {}, "dump: read " + path);
                    uint16_t tg;
                    const uint8_t* dd;
                    uint32_t nn;
                    if (p9_decode_rread(rr.data(), rr.size(), &tg, &dd, &nn) < 0 || nn == 0) {
                        die("dump: read " + path + " stopped at " + std::to_string(at2));
                    }
                    for (uint32_t i = 0; i < nn; i++) h = (h ^ dd[i]) * 1099511628211ull;
                    at2 += nn;
                }
                out << " h " << h;
                clunk(ffid);
            }
            out << "\n";
        }
    }
    conn_.reset();
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t want = 1000000;
    uint64_t seed = 8;
    uint64_t quiet = 0;
    std::string server = TOLVANE_BINARY;
    std::string base = fs::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    CrowdOptions crowd;
    crowd.clients = 0;  // one client unless --clients
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value after " + a);
            return argv[++i];
        };
        if (a == "--requests")
            want = std::strtoull(next().c_str(), nullptr, 0);
        else if (a == "--seed")
            seed = std::strtoull(next().c_str(), nullptr, 0);
        else if (a == "--server")
            server = next();
        else if (a == "--store")
            base = next();
        else if (a == "--quiet")
            quiet = 1;
        else if (a == "--clients")
            crowd.clients = std::atoi(next().c_str());
        else if (a == "--seconds")
            crowd.seconds = std::strtod(next().c_str(), nullptr);
        else
            die("usage: tln_soak [--requests N] [--seed S] [--server PATH] [--store DIR] [--quiet] "
                "[--clients N [--seconds S]]");
    }
    if (crowd.clients > 0) {
        crowd.requests = want;
        crowd.seed = seed;
        crowd.server = server;
        crowd.base = base;
        crowd.quiet = quiet != 0;
        return run_crowd(crowd);
    }
    signal(SIGPIPE, SIG_IGN);
    std::string root = base + "/tln-soak-" + std::to_string(getpid());
    fs::create_directories(root + "/srv");
    fs::create_directories(root + "/store");
    std::string sock = root + "/srv/soak";
    std::string log = root + "/server.log";

    auto t0 = std::chrono::steady_clock::now();
    Server srv = start_server(server, root);
    Stats st;
    Client client(sock, seed, st);
    client.set_warmup(want / 10);
    std::mt19937_64 rng(seed * 7 + 1);
    uint64_t next_report = 100000;
    while (client.requests() < want) {
        uint64_t ops = 20 + rng() % 2000;
        client.session(ops, srv.pid);
        if (kill(srv.pid, 0) != 0) die("the server is gone");
        if (!quiet && client.requests() >= next_report) {
            std::printf("%8llu requests  %6llu sessions  rss %llu KiB  fds %llu\n",
                        static_cast<unsigned long long>(client.requests()),
                        static_cast<unsigned long long>(st.sessions),
                        static_cast<unsigned long long>(st.rss_last),
                        static_cast<unsigned long long>(st.fds_last));
            std::fflush(stdout);
            next_report += 100000;
        }
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    // The tree at the end, saved by the stop, restored by a new server.
    std::string before = client.dump();
    kill(srv.pid, SIGTERM);
    int status = wait_server(srv, 30000);
    if (status != 0) die("server stopped with status " + std::to_string(status));
    Server again = start_server(server, root);
    std::string after = client.dump();
    kill(again.pid, SIGTERM);
    int status2 = wait_server(again, 30000);
    std::ifstream lf(log);
    std::string logtext((std::istreambuf_iterator<char>(lf)), std::istreambuf_iterator<char>());
    uint64_t nodes = static_cast<uint64_t>(std::count(before.begin(), before.end(), '\n'));

    std::printf(
        "requests        %llu in %.1f s (%.0f/s), %llu sessions, %llu hang-ups mid-request\n",
        static_cast<unsigned long long>(client.requests()), secs, client.requests() / secs,
        static_cast<unsigned long long>(st.sessions),
        static_cast<unsigned long long>(st.partial_hangups));
    std::printf("capacity hits   node table %llu, data pool %llu, fid table %llu\n",
                static_cast<unsigned long long>(st.node_full),
                static_cast<unsigned long long>(st.pool_full),
                static_cast<unsigned long long>(st.fid_full));
    std::printf("data            %llu bytes written, %llu bytes read and checked\n",
                static_cast<unsigned long long>(st.bytes_written),
                static_cast<unsigned long long>(st.bytes_read));
    std::printf(
        "server rss      first %llu KiB, after warm-up min %llu max %llu, last %llu KiB (%llu "
        "samples)\n",
        static_cast<unsigned long long>(st.rss_first), static_cast<unsigned long long>(st.rss_min),
        static_cast<unsigned long long>(st.rss_max), static_cast<unsigned long long>(st.rss_last),
        static_cast<unsigned long long>(st.samples));
    std::printf(
        "server fds      first %llu, after warm-up min %llu max %llu, last %llu\n",
        static_cast<unsigned long long>(st.fds_first), static_cast<unsigned long long>(st.fds_min),
        static_cast<unsigned long long>(st.fds_max), static_cast<unsigned long long>(st.fds_last));
    for (auto& [text, n] : st.refusals) {
        std::printf("refusal         %llu x '%s'\n", static_cast<unsigned long long>(n),
                    text.c_str());
    }
    std::printf("end tree        %llu nodes listed; restart %s; stop statuses %d, %d\n",
                static_cast<unsigned long long>(nodes),
                before == after ? "restores it exactly" : "DIFFERS", status, status2);
    bool ok = true;
    if (before != after) {
        std::ofstream(root + "/before.txt") << before;
        std::ofstream(root + "/after.txt") << after;
        std::printf("dumps kept in %s\n", root.c_str());
        ok = false;
    }
    if (st.fds_max < st.fds_min || st.rss_max < st.rss_min) {
        std::printf("FAIL: no samples after warm-up\n");
        ok = false;
    } else if (st.fds_max != st.fds_min) {
        std::printf("FAIL: descriptors not flat\n");
        ok = false;
    }
    if (st.rss_max > st.rss_min + 2048) {
        std::printf("FAIL: resident memory grew by more than 2 MiB after warm-up\n");
        ok = false;
    }
    if (logtext.find("persist failed") != std::string::npos ||
        logtext.find("too large") != std::string::npos) {
        std::printf("FAIL: the server logged a failed save\n");
        ok = false;
    }
    if (status2 != 0) ok = false;
    if (ok) fs::remove_all(root);
    std::printf("%s\n", ok ? "soak: PASS" : "soak: FAIL");
    return ok ? 0 : 1;
}
