// The FUSE operations of tlnmount, each a short sequence of 9P requests.
#include "mountfs.h"

#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string_view>

#include "9p/9p.h"
#include "errmap.h"
#include "tolvane/limits.h"

namespace tlnmount {

using tlnclient::Error;
using tlnclient::ErrorKind;
using tlnclient::Fid;
using tlnclient::Result;
using tlnclient::Stat;
using tlnclient::Status;

namespace {

static_assert(Mount::OPEN_LIMIT + 3 == tolvane::FID_CAP);

// The data slots file contents can use: slot 0 is never handed out.
constexpr uint64_t USABLE_SLOTS = tolvane::DATA_SLOT_CAP - 1;

constexpr uint32_t PERM_BITS = 0777;
// The block size stat reports, which cp and others take for their buffer
// size: FUSE's largest write, so a copy reaches us in as few requests as
// FUSE allows and each is split into msize-sized Twrites here.
constexpr blksize_t PREFERRED_IO = 1 << 20;

Mount* self() {
    return static_cast<Mount*>(fuse_get_context()->private_data);
}

// "/a/b/c" -> {"/a/b", "c"}; "/c" -> {"/", "c"}.
std::pair<std::string, std::string> split_last(const char* path) {
    std::string p(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return {std::string(1, '/'), p};
    std::string name = p.substr(slash + 1);
    p.resize(slash == 0 ? 1 : slash);
    return {p, name};
}

bool is_root(const char* path) {
    return tlnclient::split_path(path).empty();
}

// The 9P open mode for open(2) flags.
uint8_t open_mode(int flags) {
    uint8_t mode = P9_OREAD;
    switch (flags & O_ACCMODE) {
        case O_WRONLY:
            mode = P9_OWRITE;
            break;
        case O_RDWR:
            mode = P9_ORDWR;
            break;
        default:
            break;
    }
    if (flags & O_TRUNC) mode |= P9_OTRUNC;
    return mode;
}

bool writes(uint8_t mode) {
    uint8_t access = mode & 3;
    return access == P9_OWRITE || access == P9_ORDWR;
}

bool is_now_or_omit(const timespec& t) {
    return t.tv_nsec == UTIME_NOW || t.tv_nsec == UTIME_OMIT;
}

const uint8_t NOTHING[1] = {0};

// The server's own text for a handle whose file was removed: ESTALE. The
// mount says the same of a file gone from the path a handle was opened by.
const Error GONE{ErrorKind::refused, "tolvane: file removed"};

// What a directory handle holds.
struct Listing {
    std::vector<Stat> entries;
    bool served;  // a readdir has been answered from it
};

}  // namespace

Mount::Mount(Link link, bool debug)
    : link_(std::move(link)), debug_(debug), uid_(::getuid()), gid_(::getgid()) {}

Mount::~Mount() {
    (void)shutdown();
}

bool Mount::shutdown() {
    if (shut_) return !lost_;
    shut_ = true;
    for (auto& [id, h] : handles_) {
        settle(h);
        if (h.generation != 0) (void)clunk_checked(h.fid);
    }
    handles_.clear();
    if (!client().usable() && !link_.reconnects()) lost_ = true;
    Status down = link_.close();
    if (!down && !lost_) {
        std::fprintf(stderr, "tlnmount: hang-up: %s\n", down.error().text.c_str());
        return false;
    }
    return !lost_;
}

// Logs a failed call in debug mode, stops the loop when the connection is
// gone, and returns the negative errno for FUSE.
int Mount::fail(const char* op, const char* path, const Error& e) {
    int err = errno_for(e);
    if (debug_) {
        std::fprintf(stderr, "tlnmount: %s %s: %s (%s)\n", op, path ? path : "(removed)",
                     e.text.c_str(), strerrorname_np(err));
    }
    check_connection(e);
    return -err;
}

// After a failed call: when it broke the connection, says so once. Without
// reconnecting, asks the loop to stop, so the mount goes away instead of
// answering EIO forever.
void Mount::check_connection(const Error& e) {
    if (client().usable() || lost_) return;
    link_.broke(e);
    if (link_.reconnects()) return;
    lost_ = true;
    fuse_context* ctx = fuse_get_context();
    if (ctx && ctx->fuse) fuse_exit(ctx->fuse);
}

// A refusal made here, without asking the server.
int Mount::refuse(const char* op, const char* path, int err, const char* why) {
    if (debug_) {
        std::fprintf(stderr, "tlnmount: %s %s: %s (%s)\n", op, path ? path : "(removed)", why,
                     strerrorname_np(err));
    }
    return -err;
}

Result<Fid> Mount::walk(const char* path) {
    Status up = link_.up();
    if (!up) return up.error();
    return client().walk(link_.root(), path);
}

Status Mount::clunk_checked(Fid fid) {
    Status s = client().clunk(fid);
    if (!s) {
        if (debug_) std::fprintf(stderr, "tlnmount: clunk: %s\n", s.error().text.c_str());
        if (!shut_) check_connection(s.error());
    }
    return s;
}

Result<Stat> Mount::stat_path(const char* path) {
    if (is_root(path)) {
        Status up = link_.up();
        if (!up) return up.error();
        return client().stat(link_.root());
    }
    Result<Fid> f = walk(path);
    if (!f) return f.error();
    Result<Stat> st = client().stat(f.value());
    (void)clunk_checked(f.value());
    return st;
}

uint64_t Mount::add_handle(uint8_t mode, Fid fid, bool written) {
    uint64_t id = next_handle_++;
    uint8_t reopen = static_cast<uint8_t>(mode & ~P9_OTRUNC);
    handles_.emplace(id, Handle{reopen, fid, link_.generation(), written, false});
    return id;
}

// Calls on a directory descriptor (fchmod of an open directory) come with
// FUSE's own directory handle, the address of a Listing, and go by the path.
Mount::Handle* Mount::handle_of(const fuse_file_info* fi) {
    if (!fi) return nullptr;
    auto it = handles_.find(fi->fh);
    return it == handles_.end() ? nullptr : &it->second;
}

// Forgets H's fid when it belongs to an earlier connection. Writes through
// it that no save covered may or may not have reached the store: the next
// flush or fsync says so.
void Mount::settle(Handle& h) {
    if (h.generation == 0 || h.generation == link_.generation()) return;
    h.generation = 0;
    h.unsure = h.unsure || h.written;
    h.written = false;
}

// H's own fid while its connection lasts. Otherwise (a later connection, or
// a flush gave the fid back) a new fid walked to PATH and opened with H's
// mode. A file no longer at PATH, or removed through this mount (FUSE then
// gives no path), is stale.
Result<Fid> Mount::fid_of(Handle& h, const char* path) {
    Status up = link_.up();
    if (!up) return up.error();
    settle(h);
    if (h.generation != 0) return h.fid;
    if (!path) return GONE;
    Result<Fid> f = walk(path);
    if (!f) return errno_for(f.error()) == ENOENT ? GONE : f.error();
    Result<tlnclient::Qid> q = client().open(f.value(), h.mode);
    if (!q || q.value().is_dir()) {
        (void)clunk_checked(f.value());
        return q ? GONE : q.error();
    }
    h.fid = f.value();
    h.generation = link_.generation();
    return h.fid;
}

Result<Stat> Mount::stat_of(const char* path, const fuse_file_info* fi) {
    if (Handle* h = handle_of(fi)) {
        Result<Fid> fid = fid_of(*h, path);
        if (!fid) return fid.error();
        return client().stat(fid.value());
    }
    if (!path) return GONE;
    return stat_path(path);
}

void Mount::fill_stat(const Stat& s, struct stat* st) const {
    *st = {};
    st->st_ino = s.qid.path;
    st->st_mode = (s.is_dir() ? S_IFDIR : S_IFREG) | (s.mode & PERM_BITS);
    // No count of subdirectories is at hand; 1 tells tools there is none to
    // rely on.
    st->st_nlink = 1;
    st->st_uid = uid_;
    st->st_gid = gid_;
    st->st_size = static_cast<off_t>(s.length);
    st->st_blksize = PREFERRED_IO;
    st->st_blocks = static_cast<blkcnt_t>((s.length + 511) / 512);
    st->st_atim.tv_sec = s.atime;
    st->st_mtim.tv_sec = s.mtime;
    st->st_ctim.tv_sec = s.mtime;
}

// The server saves its tree when a fid through which something was written
// is clunked. A write of no bytes at offset 0 changes no byte and no length
// but counts as written, so walking a fid to PATH, opening it for writing,
// writing nothing and clunking it makes the server save now.
Status Mount::mark_written(const char* path) {
    Result<Fid> f = walk(path);
    if (!f) return f.error();
    Fid fid = f.value();
    Result<tlnclient::Qid> q = client().open(fid, P9_OWRITE);
    if (!q) {
        (void)clunk_checked(fid);
        return q.error();
    }
    Result<uint32_t> w = client().write(fid, 0, NOTHING, 0);
    Status c = clunk_checked(fid);
    if (!w) return w.error();
    return c;
}

Result<std::vector<Stat>> Mount::list(const char* path) {
    Result<Fid> f = walk(path);
    if (!f) return f.error();
    Result<tlnclient::Qid> q = client().open(f.value(), P9_OREAD);
    Result<std::vector<Stat>> list =
        q ? client().readdir(f.value()) : Result<std::vector<Stat>>(q.error());
    (void)clunk_checked(f.value());
    return list;
}

Result<Usage> Mount::usage() {
    Usage u;
    u.nodes = 1;
    std::deque<std::string> dirs{"/"};
    while (!dirs.empty()) {
        std::string dir = std::move(dirs.front());
        dirs.pop_front();
        Result<std::vector<Stat>> list = this->list(dir.c_str());
        if (!list) return list.error();
        for (const Stat& s : list.value()) {
            u.nodes++;
            if (s.is_dir()) {
                dirs.push_back((dir == "/" ? "/" : dir + "/") + s.name);
            } else {
                u.slots += (s.length + tolvane::SLOT_CAP - 1) / tolvane::SLOT_CAP;
            }
        }
    }
    return u;
}

struct Mount::Ops {
    static void* init(fuse_conn_info*, fuse_config* cfg) {
        Mount* m = self();
        // The kernel's inode numbers are the qid paths, and a removed file is
        // removed at once: hiding it under a new name would need a rename,
        // which the server cannot do.
        cfg->use_ino = 1;
        cfg->hard_remove = 1;
        // FUSE's own request sizes stay (reads of 256 KiB from read-ahead,
        // writes as large as the program's, up to 1 MiB); read and write
        // split them into requests as large as the msize allows.
        return m;
    }

    static int getattr(const char* path, struct stat* st, fuse_file_info* fi) {
        Mount* m = self();
        Result<Stat> s = m->stat_of(path, fi);
        if (!s) return m->fail("getattr", path, s.error());
        m->fill_stat(s.value(), st);
        return 0;
    }

    // A directory handle holds the listing read when it was opened (or
    // rewound), not a fid. Entries carry their own offsets (1 and 2 are "."
    // and ".."), so FUSE can hand the kernel whole entries with their
    // attributes ("readdirplus") and ls -l or find need no lookup per name.
    static int opendir(const char* path, fuse_file_info* fi) {
        Mount* m = self();
        Result<std::vector<Stat>> list = m->list(path);
        if (!list) return m->fail("opendir", path, list.error());
        fi->fh = reinterpret_cast<uint64_t>(new Listing{std::move(list).value(), false});
        return 0;
    }

    static int readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset,
                       fuse_file_info* fi, fuse_readdir_flags flags) {
        Mount* m = self();
        Listing* l = reinterpret_cast<Listing*>(fi->fh);
        if (offset == 0 && l->served) {  // rewinddir: read it afresh
            if (!path) return m->refuse("readdir", path, ESTALE, "directory removed");
            Result<std::vector<Stat>> list = m->list(path);
            if (!list && errno_for(list.error()) == ENOENT) {
                return m->refuse("readdir", path, ESTALE, "directory gone");
            }
            if (!list) return m->fail("readdir", path, list.error());
            l->entries = std::move(list).value();
        }
        l->served = true;
        bool plus = (flags & FUSE_READDIR_PLUS) != 0;
        for (off_t i = std::max<off_t>(offset, 0); i < static_cast<off_t>(l->entries.size()) + 2;
             i++) {
            int full;
            if (i < 2) {
                full = filler(buf, i == 0 ? "." : "..", nullptr, i + 1, fuse_fill_dir_flags{});
            } else {
                const Stat& s = l->entries[static_cast<size_t>(i - 2)];
                struct stat st;
                m->fill_stat(s, &st);
                full = filler(buf, s.name.c_str(), &st, i + 1,
                              plus ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags{});
            }
            if (full) break;
        }
        return 0;
    }

    static int releasedir(const char*, fuse_file_info* fi) {
        delete reinterpret_cast<Listing*>(fi->fh);
        return 0;
    }

    // Truncation by itself does not make the server save: after an open with
    // O_TRUNC the handle's fid writes nothing at offset 0, so that its clunk
    // saves the emptied file (": > file" must survive a restart).
    static int open(const char* path, fuse_file_info* fi) {
        Mount* m = self();
        if (m->handles_.size() >= OPEN_LIMIT) {
            return m->refuse("open", path, EMFILE, "every fid the mount may use is open");
        }
        uint8_t mode = open_mode(fi->flags);
        Result<Fid> f = m->walk(path);
        if (!f) return m->fail("open", path, f.error());
        Fid fid = f.value();
        Result<tlnclient::Qid> q = m->client().open(fid, mode);
        bool truncated = (mode & P9_OTRUNC) && writes(mode);
        if (q && truncated) {
            Result<uint32_t> w = m->client().write(fid, 0, NOTHING, 0);
            if (!w) q = w.error();
        }
        if (!q) {
            (void)m->clunk_checked(fid);
            return m->fail("open", path, q.error());
        }
        fi->fh = m->add_handle(mode, fid, truncated);
        return 0;
    }

    static int create(const char* path, mode_t perm, fuse_file_info* fi) {
        Mount* m = self();
        if (m->handles_.size() >= OPEN_LIMIT) {
            return m->refuse("create", path, EMFILE, "every fid the mount may use is open");
        }
        auto [parent, name] = split_last(path);
        uint8_t mode = open_mode(fi->flags);
        Result<Fid> f = m->walk(parent.c_str());
        if (!f) return m->fail("create", path, f.error());
        Fid fid = f.value();
        Result<tlnclient::Qid> q = m->client().create(fid, name, perm & PERM_BITS, mode);
        if (!q) {
            (void)m->clunk_checked(fid);
            return m->fail("create", path, q.error());
        }
        // The new file is saved when this fid is clunked.
        fi->fh = m->add_handle(mode, fid, true);
        return 0;
    }

    static int read(const char* path, char* buf, size_t size, off_t off, fuse_file_info* fi) {
        Mount* m = self();
        if (off < 0) return m->refuse("read", path, EINVAL, "negative offset");
        Handle* h = m->handle_of(fi);
        if (!h) return m->refuse("read", path, EBADF, "not an open file");
        Result<Fid> fid = m->fid_of(*h, path);
        if (!fid) return m->fail("read", path, fid.error());
        Result<uint64_t> r = m->client().read_full(fid.value(), static_cast<uint64_t>(off),
                                                   reinterpret_cast<uint8_t*>(buf), size);
        if (!r) return m->fail("read", path, r.error());
        return static_cast<int>(r.value());
    }

    // A short count is returned as it is (the kernel hands it to the program,
    // which asks again for the rest and then sees the error). No byte taken
    // at all is EFBIG: the server drops bytes past its largest file. The
    // handle counts as written from the first Twrite sent: one the connection
    // cut off may have been taken.
    static int write(const char* path, const char* buf, size_t size, off_t off,
                     fuse_file_info* fi) {
        Mount* m = self();
        if (off < 0) return m->refuse("write", path, EINVAL, "negative offset");
        Handle* h = m->handle_of(fi);
        if (!h) return m->refuse("write", path, EBADF, "not an open file");
        Result<Fid> f = m->fid_of(*h, path);
        if (!f) return m->fail("write", path, f.error());
        Fid fid = f.value();
        h->written = true;
        const uint8_t* data = reinterpret_cast<const uint8_t*>(buf);
        uint64_t done = 0;
        while (done < size) {
            uint32_t want =
                static_cast<uint32_t>(std::min<uint64_t>(size - done, m->client().iounit()));
            Result<uint32_t> w =
                m->client().write(fid, static_cast<uint64_t>(off) + done, data + done, want);
            if (!w) {
                if (done > 0) break;
                return m->fail("write", path, w.error());
            }
            if (w.value() == 0) {
                if (done > 0) break;
                return m->refuse("write", path, EFBIG, "the server took no bytes");
            }
            done += w.value();
        }
        return static_cast<int>(done);
    }

    // Every close(2) of a file waits for this (see "Closing saves" in
    // mountfs.h).
    static int flush(const char* path, fuse_file_info* fi) {
        Mount* m = self();
        Handle* h = m->handle_of(fi);
        if (!h) return 0;
        m->settle(*h);
        if (h->unsure) {
            h->unsure = false;
            return m->refuse("flush", path, EIO, "the connection broke before writes were saved");
        }
        if (h->generation == 0 || !h->written) return 0;
        Fid fid = h->fid;
        h->generation = 0;
        h->written = false;
        Status c = m->clunk_checked(fid);
        return c ? 0 : m->fail("flush", path, c.error());
    }

    // The last close: the fid goes back, unless a flush or a lost connection
    // took it already.
    static int release(const char*, fuse_file_info* fi) {
        Mount* m = self();
        auto it = m->handles_.find(fi->fh);
        if (it == m->handles_.end()) return 0;
        m->settle(it->second);
        if (it->second.generation != 0) (void)m->clunk_checked(it->second.fid);
        m->handles_.erase(it);
        return 0;
    }

    // Saves now, through a fid of its own; this handle's writes are in the
    // tree the server saves, unless its connection broke before.
    static int fsync(const char* path, int, fuse_file_info* fi) {
        Mount* m = self();
        if (!path) return m->refuse("fsync", path, ESTALE, "file removed");
        Status s = m->mark_written(path);
        Handle* h = m->handle_of(fi);
        if (h) m->settle(*h);
        if (h && h->unsure) {
            h->unsure = false;
            return m->refuse("fsync", path, EIO, "the connection broke before writes were saved");
        }
        if (!s) return m->fail("fsync", path, s.error());
        if (h) h->written = false;
        return 0;
    }

    static int mkdir(const char* path, mode_t perm) {
        Mount* m = self();
        auto [parent, name] = split_last(path);
        Result<Fid> f = m->walk(parent.c_str());
        if (!f) return m->fail("mkdir", path, f.error());
        Fid fid = f.value();
        Result<tlnclient::Qid> q =
            m->client().create(fid, name, P9_DMDIR | (perm & PERM_BITS), P9_OREAD);
        // The clunk of the new directory's fid is what saves it.
        Status c = m->clunk_checked(fid);
        if (!q) return m->fail("mkdir", path, q.error());
        if (!c) return m->fail("mkdir", path, c.error());
        return 0;
    }

    static int remove(const char* op, const char* path) {
        Mount* m = self();
        Result<Fid> f = m->walk(path);
        if (!f) return m->fail(op, path, f.error());
        Status s = m->client().remove(f.value());
        return s ? 0 : m->fail(op, path, s.error());
    }
    static int unlink(const char* path) { return remove("unlink", path); }
    static int rmdir(const char* path) { return remove("rmdir", path); }

    // A rename is a Twstat of the name, which only renames within one
    // directory; the server refuses every Twstat.
    static int rename(const char* from, const char* to, unsigned int flags) {
        Mount* m = self();
        auto [from_dir, from_name] = split_last(from);
        auto [to_dir, to_name] = split_last(to);
        // A 9P2000 rename never replaces a name, so RENAME_NOREPLACE changes
        // nothing; exchanging two names has no counterpart.
        if ((flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) != 0) {
            return m->refuse("rename", from, ENOTSUP, "no rename flag but RENAME_NOREPLACE");
        }
        if (from_dir != to_dir) {
            return m->refuse("rename", from, ENOTSUP, "9P2000 renames only within a directory");
        }
        Result<Fid> f = m->walk(from);
        if (!f) return m->fail("rename", from, f.error());
        Stat st = tlnclient::unchanged_stat();
        st.name = to_name;
        Status s = m->client().wstat(f.value(), st);
        (void)m->clunk_checked(f.value());
        return s ? 0 : m->fail("rename", from, s.error());
    }

    // Asking for the mode the file already has changes nothing and succeeds;
    // any other mode is a Twstat.
    static int chmod(const char* path, mode_t perm, fuse_file_info* fi) {
        Mount* m = self();
        Result<Stat> cur = m->stat_of(path, fi);
        if (!cur) return m->fail("chmod", path, cur.error());
        if ((perm & 07777) == (cur.value().mode & PERM_BITS)) return 0;
        Stat st = tlnclient::unchanged_stat();
        st.mode = (cur.value().mode & P9_DMDIR) | (perm & PERM_BITS);
        Status s = ok_or_wstat(m, path, fi, st);
        return s ? 0 : m->fail("chmod", path, s.error());
    }

    // Owners are the server's user names, which local user ids cannot
    // express; only a change to the owner shown (the mounting user) passes.
    static int chown(const char* path, uid_t uid, gid_t gid, fuse_file_info*) {
        Mount* m = self();
        bool same_uid = uid == static_cast<uid_t>(-1) || uid == m->uid_;
        bool same_gid = gid == static_cast<gid_t>(-1) || gid == m->gid_;
        if (same_uid && same_gid) return 0;
        return m->refuse("chown", path, ENOTSUP, "owners cannot be changed");
    }

    // To 0: an open with OTRUNC (plus the empty write that makes its clunk
    // save). Longer: a write of no bytes at the new length, which the server
    // takes as the new length. Shorter but not 0: the server has no way.
    static int truncate(const char* path, off_t size, fuse_file_info* fi) {
        Mount* m = self();
        if (!path) return m->refuse("truncate", path, ESTALE, "file removed");
        if (size < 0) return m->refuse("truncate", path, EINVAL, "negative length");
        uint64_t want = static_cast<uint64_t>(size);
        uint8_t mode = P9_OWRITE;
        uint64_t at = 0;
        if (want > 0) {
            Result<Stat> cur = m->stat_of(path, fi);
            if (!cur) return m->fail("truncate", path, cur.error());
            if (cur.value().length == want) return 0;
            if (cur.value().length > want) {
                return m->refuse("truncate", path, ENOTSUP,
                                 "files shrink only to length 0 (open with truncation)");
            }
            if (want > tolvane::FILE_CAP) {
                return m->refuse("truncate", path, EFBIG, "longer than the largest file");
            }
            at = want;
        } else {
            mode |= P9_OTRUNC;
        }
        Result<Fid> f = m->walk(path);
        if (!f) return m->fail("truncate", path, f.error());
        Fid fid = f.value();
        Result<tlnclient::Qid> q = m->client().open(fid, mode);
        Result<uint32_t> w =
            q ? m->client().write(fid, at, NOTHING, 0) : Result<uint32_t>(q.error());
        Status c = m->clunk_checked(fid);
        if (!w) return m->fail("truncate", path, w.error());
        if (!c) return m->fail("truncate", path, c.error());
        return 0;
    }

    // The server keeps no times (every stat says 0), so "now" (touch) has
    // nothing to change and succeeds; explicit times are a Twstat.
    static int utimens(const char* path, const timespec tv[2], fuse_file_info* fi) {
        Mount* m = self();
        if (!tv || (is_now_or_omit(tv[0]) && is_now_or_omit(tv[1]))) return 0;
        Stat st = tlnclient::unchanged_stat();
        if (!is_now_or_omit(tv[0])) st.atime = static_cast<uint32_t>(tv[0].tv_sec);
        if (!is_now_or_omit(tv[1])) st.mtime = static_cast<uint32_t>(tv[1].tv_sec);
        Status s = ok_or_wstat(m, path, fi, st);
        return s ? 0 : m->fail("utimens", path, s.error());
    }

    static Status ok_or_wstat(Mount* m, const char* path, fuse_file_info* fi, const Stat& st) {
        if (Handle* h = m->handle_of(fi)) {
            Result<Fid> fid = m->fid_of(*h, path);
            if (!fid) return fid.error();
            return m->client().wstat(fid.value(), st);
        }
        if (!path) return GONE;
        Result<Fid> f = m->walk(path);
        if (!f) return f.error();
        Status s = m->client().wstat(f.value(), st);
        (void)m->clunk_checked(f.value());
        return s;
    }

    // The fixed capacities, with what is in use counted from the tree.
    static int statfs(const char* path, struct statvfs* sv) {
        Mount* m = self();
        Result<Usage> u = m->usage();
        if (!u) return m->fail("statfs", path, u.error());
        *sv = {};
        sv->f_bsize = tolvane::SLOT_CAP;
        sv->f_frsize = tolvane::SLOT_CAP;
        sv->f_blocks = USABLE_SLOTS;
        sv->f_bfree = USABLE_SLOTS - std::min(u.value().slots, USABLE_SLOTS);
        sv->f_bavail = sv->f_bfree;
        sv->f_files = tolvane::NODE_CAP;
        sv->f_ffree = tolvane::NODE_CAP - std::min<uint64_t>(u.value().nodes, tolvane::NODE_CAP);
        sv->f_favail = sv->f_ffree;
        sv->f_namemax = tolvane::NAME_CAP;
        return 0;
    }

    // Hard and symbolic links and special files do not exist in the tree.
    static int symlink(const char*, const char* path) {
        return self()->refuse("symlink", path, EPERM, "no symbolic links");
    }
    static int link(const char*, const char* path) {
        return self()->refuse("link", path, EPERM, "no hard links");
    }
    static int mknod(const char* path, mode_t, dev_t) {
        return self()->refuse("mknod", path, EPERM, "only files and directories");
    }
};

const fuse_operations& Mount::operations() {
    static const fuse_operations ops = [] {
        fuse_operations o{};
        o.init = Ops::init;
        o.getattr = Ops::getattr;
        o.opendir = Ops::opendir;
        o.readdir = Ops::readdir;
        o.releasedir = Ops::releasedir;
        o.open = Ops::open;
        o.create = Ops::create;
        o.read = Ops::read;
        o.write = Ops::write;
        o.flush = Ops::flush;
        o.release = Ops::release;
        o.fsync = Ops::fsync;
        o.mkdir = Ops::mkdir;
        o.unlink = Ops::unlink;
        o.rmdir = Ops::rmdir;
        o.rename = Ops::rename;
        o.chmod = Ops::chmod;
        o.chown = Ops::chown;
        o.truncate = Ops::truncate;
        o.utimens = Ops::utimens;
        o.statfs = Ops::statfs;
        o.symlink = Ops::symlink;
        o.link = Ops::link;
        o.mknod = Ops::mknod;
        return o;
    }();
    return ops;
}

}  // namespace tlnmount
