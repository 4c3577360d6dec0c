// tlnc's subcommands, each a few requests on the tlnclient library.
#include "commands.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "9p/9p.h"
#include "tolvane/limits.h"

namespace {

// A temporary file of get's, removed when tlnc is interrupted while it exists
// (the handler may only use what is async-signal-safe).
char pending_tmp[4096];
volatile sig_atomic_t pending_armed = 0;

extern "C" void remove_pending_and_die(int sig) {
    if (pending_armed) ::unlink(pending_tmp);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

class PendingTemp {
public:
    explicit PendingTemp(const std::string& path) {
        if (path.size() >= sizeof pending_tmp) return;
        std::memcpy(pending_tmp, path.c_str(), path.size() + 1);
        pending_armed = 1;
        struct sigaction sa {};
        sa.sa_handler = remove_pending_and_die;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < 3; i++) ::sigaction(signals_[i], &sa, &old_[i]);
        installed_ = true;
    }
    ~PendingTemp() {
        pending_armed = 0;
        if (!installed_) return;
        for (int i = 0; i < 3; i++) ::sigaction(signals_[i], &old_[i], nullptr);
    }
    PendingTemp(const PendingTemp&) = delete;
    PendingTemp& operator=(const PendingTemp&) = delete;

private:
    const int signals_[3] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction old_[3] = {};
    bool installed_ = false;
};

}  // namespace

namespace tlnc {

using tlnclient::Error;
using tlnclient::ErrorKind;
using tlnclient::Fid;
using tlnclient::Qid;
using tlnclient::Result;
using tlnclient::Stat;
using tlnclient::Status;

namespace {

// Permission bits for what tlnc creates; the server may ignore them.
constexpr uint32_t FILE_PERM = 0666;
constexpr uint32_t DIR_PERM = P9_DMDIR | 0777;

// Deeper than this, tree stops descending (a guard against a server whose
// directories lead back into themselves).
constexpr int TREE_DEPTH_LIMIT = 128;

Error local(std::string text) {
    return Error{ErrorKind::local, std::move(text)};
}

Error host_error(const std::string& file) {
    return local(file + ": " + std::strerror(errno));
}

// The path as the tree knows it: "/" for the root, else "/a/b".
std::string clean_path(const std::string& path) {
    std::string out;
    for (const auto& n : tlnclient::split_path(path)) out += "/" + n;
    return out.empty() ? "/" : out;
}

std::string base_name(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

// Writes to standard output; false (errno set) when it fails.
bool out(const void* p, size_t n) {
    return n == 0 || std::fwrite(p, 1, n, stdout) == n;
}
bool out(const std::string& s) {
    return out(s.data(), s.size());
}

Error stdout_error() {
    return local(std::string("standard output: ") + std::strerror(errno));
}

// Walks a new fid to PATH and learns what it reached (the attach root, for a
// path with no elements, is a directory).
Result<Fid> walk_to(Session& s, const std::string& path, Qid* qid) {
    *qid = Qid{P9_QTDIR, 0, 0};
    return s.client->walk(s.root, path, qid);
}

void drop(Session& s, Fid fid) {
    (void)s.client->clunk(fid);
}

// A name a file or directory may be created under. The server would take "."
// and "..", but nothing could ever walk to such a file.
Status check_new_name(const std::vector<std::string>& names) {
    if (names.empty()) return local("the root already exists");
    const std::string& last = names.back();
    if (last == "." || last == "..") return local("'" + last + "' cannot be created");
    return tlnclient::ok_status();
}

std::string parent_of(const std::vector<std::string>& names) {
    std::string p;
    for (size_t i = 0; i + 1 < names.size(); i++) p += "/" + names[i];
    return p;
}

// Opens PATH for writing from offset 0: an existing file is truncated, a
// missing one is created in its (existing) parent directory.
Result<Fid> open_for_write(Session& s, const std::string& path) {
    std::vector<std::string> names = tlnclient::split_path(path);
    Status ok = check_new_name(names);
    if (!ok) return ok.error();
    Qid q;
    Result<Fid> w = walk_to(s, path, &q);
    if (w) {
        if (q.is_dir()) {
            drop(s, w.value());
            return local("is a directory");
        }
        Result<Qid> o = s.client->open(w.value(), P9_OWRITE | P9_OTRUNC);
        if (!o) {
            drop(s, w.value());
            return o.error();
        }
        return w;
    }
    if (w.error().kind != ErrorKind::refused) return w;
    Result<Fid> dir = walk_to(s, parent_of(names), &q);
    if (!dir) return dir;
    Result<Qid> c = s.client->create(dir.value(), names.back(), FILE_PERM, P9_OWRITE);
    if (!c) {
        drop(s, dir.value());
        return c.error();
    }
    return dir;  // now open on the new file
}

// Copies everything readable from HOSTFD into FID from offset 0. HOSTNAME names
// the host side in errors.
Status copy_in(Session& s, Fid fid, int hostfd, const std::string& hostname) {
    std::vector<uint8_t> buf(s.client->iounit());
    uint64_t offset = 0;
    for (;;) {
        size_t have = 0;
        while (have < buf.size()) {
            ssize_t n = ::read(hostfd, buf.data() + have, buf.size() - have);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return host_error(hostname);
            if (n == 0) break;
            have += static_cast<size_t>(n);
        }
        if (have == 0) return tlnclient::ok_status();
        Status w = s.client->write_full(fid, offset, buf.data(), have);
        if (!w) return w;
        offset += have;
        if (have < buf.size()) return tlnclient::ok_status();
    }
}

// Writes PATH from HOSTFD; a copy that fails part way removes the file again,
// so a failed write never leaves a partial file behind.
int write_from(Session& s, const std::string& op, const std::string& path, int hostfd,
               const std::string& hostname) {
    Result<Fid> f = open_for_write(s, path);
    if (!f) return report(op, path, f.error());
    Status c = copy_in(s, f.value(), hostfd, hostname);
    if (!c) {
        if (s.client->usable()) (void)s.client->remove(f.value());
        return report(op, path, c.error());
    }
    Status cl = s.client->clunk(f.value());
    if (!cl) return report(op, path, cl.error());
    return EXIT_OK;
}

std::string qid_string(const Qid& q) {
    char b[64];
    std::snprintf(b, sizeof b, "(%016" PRIx64 " %" PRIu32 " %02x)", q.path, q.version, q.type);
    return b;
}

std::string long_line(const Stat& st, const std::string& name, size_t uw, size_t gw) {
    char len[32];
    std::snprintf(len, sizeof len, "%10" PRIu64, st.length);
    std::string uid = st.uid, gid = st.gid;
    uid.resize(std::max(uw, uid.size()), ' ');
    gid.resize(std::max(gw, gid.size()), ' ');
    return mode_string(st.mode) + " " + uid + " " + gid + " " + len + " " + qid_string(st.qid) +
           " " + name + "\n";
}

Result<std::vector<Stat>> list_dir(Session& s, const std::string& path) {
    Qid q;
    Result<Fid> w = walk_to(s, path, &q);
    if (!w) return w.error();
    Result<Qid> o = s.client->open(w.value(), P9_OREAD);
    if (!o) {
        drop(s, w.value());
        return o.error();
    }
    Result<std::vector<Stat>> entries = s.client->readdir(w.value());
    drop(s, w.value());
    if (entries) {
        std::sort(entries.value().begin(), entries.value().end(),
                  [](const Stat& a, const Stat& b) { return a.name < b.name; });
    }
    return entries;
}

Status tree_below(Session& s, const std::string& dir, int depth) {
    Result<std::vector<Stat>> entries = list_dir(s, dir);
    if (!entries) return entries.error();
    for (const Stat& st : entries.value()) {
        std::string child = (dir == "/" ? "" : dir) + "/" + st.name;
        if (!out(child + (st.is_dir() ? "/\n" : "\n"))) return stdout_error();
        // Names that a walk would not lead back to this entry are listed,
        // not entered.
        bool enterable = st.name != "." && st.name != ".." && !st.name.empty() &&
                         st.name.find('/') == std::string::npos;
        if (st.is_dir() && enterable && depth < TREE_DEPTH_LIMIT) {
            Status sub = tree_below(s, child, depth + 1);
            if (!sub) return sub;
        }
    }
    return tlnclient::ok_status();
}

}  // namespace

std::string mode_string(uint32_t mode) {
    std::string m;
    m += (mode & P9_DMDIR) ? 'd' : (mode & tlnclient::DMAPPEND) ? 'a' : '-';
    m += (mode & tlnclient::DMEXCL) ? 'l' : '-';
    static const char rwx[] = "rwxrwxrwx";
    for (int i = 0; i < 9; i++) m += (mode & (0400u >> i)) ? rwx[i] : '-';
    return m;
}

const char* program_name = "tlnc";

int report(const std::string& op, const std::string& path, const Error& e) {
    std::string text = e.kind == ErrorKind::protocol ? "protocol error: " + e.text : e.text;
    std::fprintf(stderr, "%s: %s%s%s: %s\n", program_name, op.c_str(), path.empty() ? "" : " ",
                 path.c_str(), text.c_str());
    switch (e.kind) {
        case ErrorKind::refused:
        case ErrorKind::local:
            return EXIT_REFUSED;
        case ErrorKind::protocol:
        case ErrorKind::connection:
            return EXIT_CONNECTION;
    }
    return EXIT_CONNECTION;
}

int cmd_ls(Session& s, bool long_form, const std::string& path) {
    Qid q;
    Result<Fid> w = walk_to(s, path, &q);
    if (!w) return report("ls", path, w.error());
    if (!q.is_dir()) {
        Result<Stat> st = s.client->stat(w.value());
        drop(s, w.value());
        if (!st) return report("ls", path, st.error());
        std::string line = long_form ? long_line(st.value(), path, 0, 0) : path + "\n";
        if (!out(line)) return report("ls", path, stdout_error());
        return EXIT_OK;
    }
    drop(s, w.value());
    Result<std::vector<Stat>> entries = list_dir(s, path);
    if (!entries) return report("ls", path, entries.error());
    size_t uw = 0, gw = 0;
    for (const Stat& st : entries.value()) {
        uw = std::max(uw, st.uid.size());
        gw = std::max(gw, st.gid.size());
    }
    for (const Stat& st : entries.value()) {
        std::string line = long_form ? long_line(st, st.name, uw, gw) : st.name + "\n";
        if (!out(line)) return report("ls", path, stdout_error());
    }
    return EXIT_OK;
}

int cmd_stat(Session& s, const std::string& path) {
    Qid q;
    Result<Fid> w = walk_to(s, path, &q);
    if (!w) return report("stat", path, w.error());
    Result<Stat> r = s.client->stat(w.value());
    drop(s, w.value());
    if (!r) return report("stat", path, r.error());
    const Stat& st = r.value();
    char b[512];
    std::snprintf(b, sizeof b,
                  "name   %s\n"
                  "qid    %s %s\n"
                  "mode   %s (0x%08" PRIx32
                  ")\n"
                  "length %" PRIu64
                  "\n"
                  "uid    %s\n"
                  "gid    %s\n"
                  "muid   %s\n"
                  "atime  %" PRIu32
                  "\n"
                  "mtime  %" PRIu32
                  "\n"
                  "type   %u\n"
                  "dev    %" PRIu32 "\n",
                  st.name.c_str(), qid_string(st.qid).c_str(),
                  st.qid.is_dir() ? "directory" : "file", mode_string(st.mode).c_str(), st.mode,
                  st.length, st.uid.c_str(), st.gid.c_str(), st.muid.c_str(), st.atime, st.mtime,
                  static_cast<unsigned>(st.type), st.dev);
    if (!out(std::string(b))) return report("stat", path, stdout_error());
    return EXIT_OK;
}

int cmd_cat(Session& s, const std::string& path) {
    Qid q;
    Result<Fid> w = walk_to(s, path, &q);
    if (!w) return report("cat", path, w.error());
    Fid fid = w.value();
    if (q.is_dir()) {
        drop(s, fid);
        return report("cat", path, local("is a directory"));
    }
    Result<Qid> o = s.client->open(fid, P9_OREAD);
    if (!o) {
        drop(s, fid);
        return report("cat", path, o.error());
    }
    std::vector<uint8_t> buf(s.client->iounit());
    uint64_t offset = 0;
    for (;;) {
        Result<uint32_t> r = s.client->read(fid, offset, buf.data(), s.client->iounit());
        if (!r) {
            drop(s, fid);
            return report("cat", path, r.error());
        }
        if (r.value() == 0) break;
        if (!out(buf.data(), r.value())) {
            Error e = stdout_error();
            drop(s, fid);
            return report("cat", path, e);
        }
        offset += r.value();
    }
    Status cl = s.client->clunk(fid);
    if (!cl) return report("cat", path, cl.error());
    return EXIT_OK;
}

int cmd_write(Session& s, const std::string& path) {
    return write_from(s, "write", path, 0, "standard input");
}

int cmd_mkdir(Session& s, const std::string& path) {
    std::vector<std::string> names = tlnclient::split_path(path);
    Status ok = check_new_name(names);
    if (!ok) return report("mkdir", path, ok.error());
    Qid q;
    Result<Fid> dir = walk_to(s, parent_of(names), &q);
    if (!dir) return report("mkdir", path, dir.error());
    Result<Qid> c = s.client->create(dir.value(), names.back(), DIR_PERM, P9_OREAD);
    if (!c) {
        drop(s, dir.value());
        return report("mkdir", path, c.error());
    }
    Status cl = s.client->clunk(dir.value());
    if (!cl) return report("mkdir", path, cl.error());
    return EXIT_OK;
}

int cmd_rm(Session& s, const std::string& path) {
    Qid q;
    Result<Fid> w = walk_to(s, path, &q);
    if (!w) return report("rm", path, w.error());
    Status r = s.client->remove(w.value());
    if (!r) return report("rm", path, r.error());
    return EXIT_OK;
}

int cmd_put(Session& s, const std::string& hostfile, const std::string& path) {
    int fd = ::open(hostfile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return report("put", path, host_error(hostfile));
    struct stat hs;
    if (::fstat(fd, &hs) == 0 && S_ISDIR(hs.st_mode)) {
        ::close(fd);
        return report("put", path, local(hostfile + ": is a directory"));
    }
    // Into an existing directory, the file keeps its own name.
    std::string target = path;
    Qid q;
    Result<Fid> w = walk_to(s, path, &q);
    if (w) {
        drop(s, w.value());
        if (q.is_dir())
            target = clean_path(path) + (clean_path(path) == "/" ? "" : "/") + base_name(hostfile);
    }
    int status = write_from(s, "put", target, fd, hostfile);
    ::close(fd);
    return status;
}

namespace {

// Copies the tree file PATH into the host file TARGET; adds the bytes copied
// to *COPIED.
int get_file(Session& s, const std::string& path, const std::string& target, uint64_t* copied) {
    Qid q;
    Result<Fid> w = walk_to(s, path, &q);
    if (!w) return report("get", path, w.error());
    Fid fid = w.value();
    if (q.is_dir()) {
        drop(s, fid);
        return report("get", path, local("is a directory"));
    }
    Result<Stat> st = s.client->stat(fid);
    Result<Qid> o = st ? s.client->open(fid, P9_OREAD) : Result<Qid>(st.error());
    if (!o) {
        drop(s, fid);
        return report("get", path, o.error());
    }
    uint64_t length = st.value().length;

    // The bytes go to a temporary file beside the target, renamed over it only
    // when all of them arrived: a failed get leaves nothing behind.
    std::string tmp = target + ".tlnc-XXXXXX";
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        Error e = host_error(target);
        drop(s, fid);
        return report("get", path, e);
    }
    PendingTemp guard(tmp);
    auto fail = [&](const Error& e) {
        ::close(fd);
        ::unlink(tmp.c_str());
        if (s.client->usable()) drop(s, fid);
        return report("get", path, e);
    };

    std::vector<uint8_t> buf(s.client->iounit());
    uint64_t offset = 0;
    for (;;) {
        Result<uint32_t> r = s.client->read(fid, offset, buf.data(), s.client->iounit());
        if (!r) return fail(r.error());
        if (r.value() == 0) break;
        size_t done = 0;
        while (done < r.value()) {
            ssize_t n = ::write(fd, buf.data() + done, r.value() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return fail(host_error(target));
            done += static_cast<size_t>(n);
        }
        offset += r.value();
    }
    if (offset < length) {
        return fail(Error{ErrorKind::refused, "the server ended the file after " +
                                                  std::to_string(offset) + " of " +
                                                  std::to_string(length) + " bytes"});
    }
    mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0 || ::close(fd) != 0) {
        Error e = host_error(target);
        ::unlink(tmp.c_str());
        drop(s, fid);
        return report("get", path, e);
    }
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        Error e = host_error(target);
        ::unlink(tmp.c_str());
        drop(s, fid);
        return report("get", path, e);
    }
    *copied += offset;
    Status cl = s.client->clunk(fid);
    if (!cl) return report("get", path, cl.error());
    return EXIT_OK;
}

}  // namespace

int cmd_get(Session& s, const std::string& path, const std::string& hostfile) {
    // Into an existing host directory, the file keeps its own name.
    std::string target = hostfile;
    struct stat hs;
    if (::stat(hostfile.c_str(), &hs) == 0 && S_ISDIR(hs.st_mode)) {
        target = hostfile + "/" + base_name(clean_path(path));
    }
    uint64_t copied = 0;
    return get_file(s, path, target, &copied);
}

int cmd_tree(Session& s, const std::string& path) {
    std::string top = clean_path(path);
    Qid q;
    Result<Fid> w = walk_to(s, top, &q);
    if (!w) return report("tree", path, w.error());
    drop(s, w.value());
    if (!out(top + (q.is_dir() && top != "/" ? "/\n" : "\n"))) {
        return report("tree", path, stdout_error());
    }
    if (!q.is_dir()) return EXIT_OK;
    Status t = tree_below(s, top, 1);
    if (!t) return report("tree", path, t.error());
    return EXIT_OK;
}

int cmd_cat_all(Session& s, const std::vector<std::string>& paths) {
    int status = EXIT_OK;
    for (const std::string& p : paths) {
        if (!s.client->usable()) break;
        status = std::max(status, cmd_cat(s, p));
    }
    return status;
}

// ---- Whole directories ----

namespace {

// What a recursive copy has done so far.
struct Copied {
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t dirs = 0;
};

std::string child_path(const std::string& dir, const std::string& name) {
    return (dir == "/" ? "" : dir) + "/" + name;
}

// The second line of a failed recursive copy: where it stopped (the first
// line, already written, said why) and what is there from before.
int stopped(const char* op, const std::string& at, const Copied& c, int status) {
    std::fprintf(stderr,
                 "tlnc: %s -r: stopped at %s; copied before it: %" PRIu64 " files (%" PRIu64
                 " bytes) and %" PRIu64 " directories\n",
                 op, at.c_str(), c.files, c.bytes, c.dirs);
    return status;
}

// A name from a directory listing that is safe as one host path element.
bool plain_name(const std::string& n) {
    return !n.empty() && n != "." && n != ".." && n.find('/') == std::string::npos &&
           n.find('\0') == std::string::npos;
}

// Makes the tree directory PATH unless it is one already.
int ensure_tree_dir(Session& s, const std::string& path, Copied* c) {
    Qid q;
    Result<Fid> w = walk_to(s, path, &q);
    if (w) {
        drop(s, w.value());
        return q.is_dir() ? EXIT_OK : report("put", path, local("exists and is not a directory"));
    }
    if (w.error().kind != ErrorKind::refused) return report("put", path, w.error());
    int status = cmd_mkdir(s, path);
    if (status == EXIT_OK) c->dirs++;
    return status;
}

// Host directory HOST into the tree directory PATH (made if missing).
int put_tree(Session& s, const std::string& host, const std::string& path, Copied* c, int depth) {
    int status = ensure_tree_dir(s, path, c);
    if (status != EXIT_OK) return stopped("put", path, *c, status);
    DIR* d = ::opendir(host.c_str());
    if (!d) return stopped("put", path, *c, report("put", path, host_error(host)));
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        std::string from = host + "/" + n;
        std::string to = child_path(path, n);
        struct stat hs;
        if (::lstat(from.c_str(), &hs) != 0) {
            return stopped("put", to, *c, report("put", to, host_error(from)));
        }
        if (S_ISDIR(hs.st_mode)) {
            if (depth >= TREE_DEPTH_LIMIT) {
                return stopped("put", to, *c, report("put", to, local("too deep")));
            }
            status = put_tree(s, from, to, c, depth + 1);
            if (status != EXIT_OK) return status;  // already reported where it stopped
        } else if (S_ISREG(hs.st_mode)) {
            int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return stopped("put", to, *c, report("put", to, host_error(from)));
            status = write_from(s, "put", to, fd, from);
            ::close(fd);
            if (status != EXIT_OK) return stopped("put", to, *c, status);
            c->files++;
            c->bytes += static_cast<uint64_t>(hs.st_size);
        } else {
            std::fprintf(stderr, "tlnc: put -r: %s skipped: not a file or directory\n",
                         from.c_str());
        }
    }
    return EXIT_OK;
}

// Tree directory PATH into the host directory HOST (made if missing).
int get_tree(Session& s, const std::string& path, const std::string& host, Copied* c, int depth) {
    if (::mkdir(host.c_str(), 0777) == 0) {
        c->dirs++;
    } else {
        struct stat hs;
        if (errno != EEXIST || ::stat(host.c_str(), &hs) != 0 || !S_ISDIR(hs.st_mode)) {
            return stopped("get", path, *c, report("get", path, host_error(host)));
        }
    }
    Result<std::vector<Stat>> entries = list_dir(s, path);
    if (!entries) return stopped("get", path, *c, report("get", path, entries.error()));
    for (const Stat& st : entries.value()) {
        std::string from = child_path(path, st.name);
        if (!plain_name(st.name)) {
            return stopped("get", from, *c,
                           report("get", from, local("a name that is no host file name")));
        }
        std::string to = host + "/" + st.name;
        int status;
        if (st.is_dir()) {
            if (depth >= TREE_DEPTH_LIMIT) {
                return stopped("get", from, *c, report("get", from, local("too deep")));
            }
            status = get_tree(s, from, to, c, depth + 1);
            if (status != EXIT_OK) return status;
        } else {
            status = get_file(s, from, to, &c->bytes);
            if (status != EXIT_OK) return stopped("get", from, *c, status);
            c->files++;
        }
    }
    return EXIT_OK;
}

}  // namespace

int cmd_put_tree(Session& s, const std::string& hostdir, const std::string& path) {
    struct stat hs;
    if (::stat(hostdir.c_str(), &hs) != 0) return report("put", path, host_error(hostdir));
    if (!S_ISDIR(hs.st_mode)) return report("put", path, local(hostdir + ": not a directory"));
    // Into an existing directory, the copy keeps the host directory's name.
    std::string target = clean_path(path);
    Qid q;
    Result<Fid> w = walk_to(s, target, &q);
    if (w) {
        drop(s, w.value());
        if (q.is_dir()) target = child_path(target, base_name(hostdir));
    }
    Copied c;
    return put_tree(s, hostdir, target, &c, 1);
}

int cmd_get_tree(Session& s, const std::string& path, const std::string& hostdir) {
    std::string top = clean_path(path);
    Qid q;
    Result<Fid> w = walk_to(s, top, &q);
    if (!w) return report("get", path, w.error());
    drop(s, w.value());
    if (!q.is_dir()) return report("get", path, local("not a directory"));
    // Into an existing host directory, the copy keeps the tree directory's name.
    std::string target = hostdir;
    struct stat hs;
    if (top != "/" && ::stat(hostdir.c_str(), &hs) == 0 && S_ISDIR(hs.st_mode)) {
        target = hostdir + "/" + base_name(top);
    }
    Copied c;
    return get_tree(s, top, target, &c, 1);
}

// ---- df ----

int cmd_df(Session& s) {
    // Counted as tlnmount counts for statfs: every node from the attach root
    // down, and one data slot per 64 KiB begun of each file (holes count as
    // used, so the free figures are never more than what is free). The image
    // is the fixed tables plus every file's length: what the next save writes,
    // less only the files that hold nothing but zeros after a restore.
    uint64_t nodes = 1, slots = 0, bytes = tolvane::SNAP_FIXED_LEN;
    std::vector<std::pair<std::string, int>> dirs{{"/", 0}};
    while (!dirs.empty()) {
        auto [dir, depth] = dirs.back();
        dirs.pop_back();
        Result<std::vector<Stat>> entries = list_dir(s, dir);
        if (!entries) return report("df", dir, entries.error());
        for (const Stat& st : entries.value()) {
            nodes++;
            if (st.is_dir()) {
                if (plain_name(st.name) && depth < TREE_DEPTH_LIMIT) {
                    dirs.emplace_back(child_path(dir, st.name), depth + 1);
                }
            } else {
                slots += (st.length + tolvane::SLOT_CAP - 1) / tolvane::SLOT_CAP;
                bytes += st.length;
            }
        }
    }
    const uint64_t slot_cap = tolvane::DATA_SLOT_CAP - 1;  // slot 0 is never handed out
    struct Row {
        const char* what;
        uint64_t used, total;
    };
    const Row rows[] = {{"nodes", nodes, tolvane::NODE_CAP},
                        {"slots", slots, slot_cap},
                        {"image", bytes, tolvane::SNAP_CAP}};
    std::string text = "        used     free    total\n";
    for (const Row& r : rows) {
        char line[128];
        uint64_t used = std::min(r.used, r.total);
        std::snprintf(line, sizeof line, "%-5s %8" PRIu64 " %8" PRIu64 " %8" PRIu64 "\n", r.what,
                      r.used, r.total - used, r.total);
        text += line;
    }
    if (!out(text)) return report("df", "", stdout_error());
    return EXIT_OK;
}

}  // namespace tlnc
