// The backing store of the Linux stand-in: one snapshot image per instance.
//
// Where. $VELMOR_STORE when set; set but empty means there is no backing
// store, and every call answers negative. Otherwise $XDG_STATE_HOME/velmor
// (when XDG_STATE_HOME is an absolute path), else ~/.local/state/velmor (when
// HOME names a directory we may write), else /tmp/velmor-state-<uid>. Missing
// directories are created with mode 0700, and the directory each is made in
// is synced: a directory's own fsync does not make its name durable, and a
// power cut could otherwise take the store directory away, with an image
// whose save was reported. The environment is read at every call. The
// directory is opened once (O_DIRECTORY) and every file in it is reached
// through that descriptor; a call checks with one stat(2) that the path still
// names the same directory, and resolves it afresh (creating it again if need
// be) when it does not.
//
// Files of instance N in that directory:
//   tln-N.img                        the image
//   tln-N.img.prev                   the image before the last save
//   tln-N.img.tmp                    the next save's temporary file: between
//                                    saves it holds the image before .prev
//   tln-N.img.prev.tmp               a .prev in the making (only where the
//                                    file system cannot exchange names)
//   tln-N.lock                       locked (flock) while a server uses N
//   tln-N.img.rejected-<UTC time>Z   an image the server refused, kept aside
//
// Save. The new image is written over tln-N.img.tmp in place, cut to its
// length and fsynced; then renameat2(RENAME_EXCHANGE) swaps the names of the
// temporary file and tln-N.img, so tln-N.img is the new image and the
// temporary name holds the old one, and a second exchange swaps that with
// tln-N.img.prev; then the directory is fsynced. So the three files trade
// names and no file is created or removed (on tmpfs, no page is freed and
// taken again). The first saves, with no image or no .prev yet, rename
// instead. On a file system that cannot exchange names, the current image
// first gets a second name, tln-N.img.prev (a hard link, renamed into
// place), and then the temporary file is renamed over tln-N.img. Each step
// is atomic, so at every moment, even when the process is killed,
// tln-N.img is a whole image: the old one or the new one, and so is .prev.
// A save is open, fstat, write, ftruncate, fsync, close, two exchanges and
// the directory's fsync, plus the stat that finds the directory. The answer
// is the length when the new image is tln-N.img and the directory was
// synced after it got that name, even if keeping the old image as .prev
// failed; it is negative whenever the new image may not be durable. The
// temporary file is removed only while it still holds the new image: once
// the new image has taken tln-N.img's name, the temporary name holds the
// previous image and is left alone.
//
// The temporary file is written in place only when it is a regular file
// with one name, checked before every save: a save killed between the two
// renames of a file system without the exchange leaves tln-N.img and
// tln-N.img.prev as two names of one file, and the exchanges can then hand
// that file the temporary name as well. A temporary file that is shared is
// unlinked (its other names keep their file) and a fresh one written.
//
// Lock. The first call for an instance takes an exclusive flock on
// tln-N.lock, held for the life of the process (or until
// velmor_linux_reset()), so two servers on one instance cannot overwrite each
// other's images. Taking it also removes what a killed save can leave
// behind: a tln-N.img.prev.tmp, and a tln-N.img.tmp that is not a regular
// file with one name (a save writes it in place). When another process holds
// the lock, load answers negative (the server then serves from memory only)
// after a line on standard error that says why; save and reject answer
// negative.
//
// Fault injection for tests, read from the environment at the first save (and
// again after velmor_linux_reset()):
//   VELMOR_STORE_FAULT=fail      every save answers -1 and touches no file
//   VELMOR_STORE_FAULT=short     a save writes half the image to the temporary
//                                file, removes it and answers that half
//   VELMOR_STORE_FAULT=nospace   a save fails as if write(2) had answered
//                                ENOSPC halfway: the temporary file is removed
//                                and the answer is -ENOSPC
//   VELMOR_STORE_FAULT=noexchange   saves go the way of a file system that
//                                cannot exchange names (hard link, renames)
//   VELMOR_STORE_FAULT=keepprev  the second exchange (the old image becoming
//                                .prev) fails with EIO: the save still
//                                succeeds, .prev stays as it was and the
//                                temporary name keeps the old image
//   VELMOR_STORE_FAULT=dirsync   the directory's fsync fails with EIO after
//                                the new image took tln-N.img's name: the
//                                save answers -EIO (it may not be durable)
//                                and the temporary name keeps the old image
//   VELMOR_STORE_FAULT_AFTER=K   the fault begins after K successful saves
// With fail, short and nospace tln-N.img and tln-N.img.prev stay as they
// were; in every case tln-N.img is a whole image.
//
// Every call here that changes the disk goes through fsops.h, which can
// report it to a test's hook: tests/kernel/powerloss_test.cpp records saves
// that way and loads every state a power cut during them could leave.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/linux/fsops.h"
#include "kernel/linux/internal.h"

namespace {

constexpr int LOCK_SLOTS = 16;
constexpr int REJECT_TRIES = 1000;  // -1 .. -999 after a name already taken
constexpr int NAME_CAP = 64;        // "tln-<instance><suffix>"

enum Fault {
    FAULT_NONE,
    FAULT_FAIL,
    FAULT_SHORT,
    FAULT_NOSPACE,
    FAULT_NOEXCHANGE,
    FAULT_KEEPPREV,
    FAULT_DIRSYNC
};

// The store directory last resolved: its path, an O_DIRECTORY descriptor of
// it, and its device and inode, which tell whether the path still names it.
struct StoreDir {
    int fd = -1;  // -1: none resolved
    char path[PATH_MAX] = {};
    dev_t dev = 0;
    ino_t ino = 0;
};
StoreDir cur;

// Locks held: instance numbers in store directories (by device and inode).
struct StoreLock {
    int fd = -1;  // -1: slot free
    uint64_t instance = 0;
    dev_t dev = 0;
    ino_t ino = 0;
};
StoreLock locks[LOCK_SLOTS];

bool fault_known = false;
Fault fault_kind = FAULT_NONE;
uint64_t fault_after = 0;
uint64_t saves_ok = 0;

// The store directory's path into out (only the /tmp fallback is created and
// checked here): 1, or 0 when there is no backing store, or -errno.
int64_t store_dir_path(char* out, uint64_t cap) {
    const char* v = getenv("VELMOR_STORE");
    int64_t r;
    if (v != nullptr) {
        if (v[0] == '\0') return 0;
        r = snprintf(out, cap, "%s", v) < static_cast<int>(cap) ? 0 : -ENAMETOOLONG;
    } else if (const char* x = getenv("XDG_STATE_HOME"); x != nullptr && x[0] == '/') {
        r = join_path(out, cap, x, "velmor");
    } else if (const char* h = usable_dir_env("HOME"); h != nullptr) {
        r = join_path(out, cap, h, ".local/state/velmor");
    } else {
        r = tmp_user_dir(out, cap, "velmor-state");
        return r < 0 ? r : 1;
    }
    return r < 0 ? r : 1;
}

// Makes cur the store directory the environment names now: 1, 0 when there
// is no backing store, or -errno (cur.path then holds the path, for
// messages). When the path still names the directory already open, that
// costs one stat; otherwise the directory is created if missing and opened.
int64_t store_dir() {
    char path[PATH_MAX];
    path[0] = '\0';
    int64_t r = store_dir_path(path, sizeof path);
    struct stat st;
    if (r > 0 && cur.fd >= 0 && strcmp(path, cur.path) == 0 && stat(path, &st) == 0 &&
        S_ISDIR(st.st_mode) && st.st_dev == cur.dev && st.st_ino == cur.ino) {
        return 1;
    }
    if (cur.fd >= 0) close(cur.fd);
    cur = StoreDir{};
    memcpy(cur.path, path, sizeof path);
    if (r <= 0) return r;
    r = make_dirs(path);
    if (r < 0) return r;
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    cur.fd = fd;
    cur.dev = st.st_dev;
    cur.ino = st.st_ino;
    return 1;
}

// "tln-<instance><suffix>" into out (NAME_CAP bytes).
void store_name(char* out, uint64_t instance, const char* suffix) {
    snprintf(out, NAME_CAP, "tln-%llu%s", static_cast<unsigned long long>(instance), suffix);
}

// "<store directory>/tln-<instance><suffix>" into out (PATH_MAX bytes), for
// messages and answers; 0 or -ENAMETOOLONG.
int64_t store_path(char* out, uint64_t instance, const char* suffix) {
    int n = snprintf(out, PATH_MAX, "%s/tln-%llu%s", cur.path,
                     static_cast<unsigned long long>(instance), suffix);
    return n >= 0 && n < PATH_MAX ? 0 : -ENAMETOOLONG;
}

// Removes, once the lock says that no other process saves here, what a save
// killed halfway (or an older layout of the store) can leave: a .prev in the
// making, and a temporary file that is not a regular file of its own, since
// a save overwrites the temporary file in place and must never write
// through a second name of the image or of .prev.
void drop_leftovers(uint64_t instance) {
    char name[NAME_CAP];
    store_name(name, instance, ".img.prev.tmp");
    fs_unlinkat(cur.fd, name);
    store_name(name, instance, ".img.tmp");
    struct stat st;
    if (fstatat(cur.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (!S_ISREG(st.st_mode) || st.st_nlink != 1)) {
        fs_unlinkat(cur.fd, name);
    }
}

// Takes (or finds already taken) the lock of instance in the current store
// directory. 0: held by this process; -EWOULDBLOCK: another process holds
// it; other negatives on failure.
int64_t lock_instance(uint64_t instance) {
    int free_slot = -1;
    for (int i = 0; i < LOCK_SLOTS; i++) {
        const StoreLock& l = locks[i];
        if (l.fd >= 0 && l.instance == instance && l.dev == cur.dev && l.ino == cur.ino) return 0;
        if (l.fd < 0 && free_slot < 0) free_slot = i;
    }
    if (free_slot < 0) return -ENOLCK;
    char name[NAME_CAP];
    store_name(name, instance, ".lock");
    int fd = fs_openat(cur.fd, name, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -errno;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        fs_close(fd);
        return e == EWOULDBLOCK ? -EWOULDBLOCK : -e;
    }
    locks[free_slot] = StoreLock{fd, instance, cur.dev, cur.ino};
    drop_leftovers(instance);
    return 0;
}

// The fault in force for the next save.
Fault current_fault() {
    if (!fault_known) {
        fault_known = true;
        const char* f = getenv("VELMOR_STORE_FAULT");
        fault_kind = FAULT_NONE;
        if (f != nullptr && strcmp(f, "fail") == 0) fault_kind = FAULT_FAIL;
        if (f != nullptr && strcmp(f, "short") == 0) fault_kind = FAULT_SHORT;
        if (f != nullptr && strcmp(f, "nospace") == 0) fault_kind = FAULT_NOSPACE;
        if (f != nullptr && strcmp(f, "noexchange") == 0) fault_kind = FAULT_NOEXCHANGE;
        if (f != nullptr && strcmp(f, "keepprev") == 0) fault_kind = FAULT_KEEPPREV;
        if (f != nullptr && strcmp(f, "dirsync") == 0) fault_kind = FAULT_DIRSYNC;
        const char* after = getenv("VELMOR_STORE_FAULT_AFTER");
        fault_after = after != nullptr ? strtoull(after, nullptr, 10) : 0;
    }
    return saves_ok >= fault_after ? fault_kind : FAULT_NONE;
}

int64_t write_all(int fd, const uint8_t* p, uint64_t n) {
    uint64_t done = 0;
    while (done < n) {
        ssize_t w = fs_write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return -errno;
        if (w == 0) return -EIO;
        done += static_cast<uint64_t>(w);
    }
    return static_cast<int64_t>(done);
}

// Keeps the current image as .prev and puts the temporary file in its
// place with a hard link and two renames, for file systems that cannot
// exchange two names.
int64_t commit_by_link(const char* tmp, const char* img, const char* prev, const char* prev_tmp,
                       bool* placed) {
    struct stat st;
    if (fstatat(cur.fd, img, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (fs_unlinkat(cur.fd, prev_tmp) != 0 && errno != ENOENT) return -errno;
        if (fs_linkat(cur.fd, img, prev_tmp) != 0) return -errno;
        if (fs_renameat(cur.fd, prev_tmp, prev) != 0) {
            int e = errno;
            fs_unlinkat(cur.fd, prev_tmp);
            return -e;
        }
        // When .prev already was a name of the image (a save killed after
        // this step), the rename did nothing and the second name is left.
        fs_unlinkat(cur.fd, prev_tmp);
    } else if (errno != ENOENT) {
        return -errno;
    }
    if (fs_renameat(cur.fd, tmp, img) != 0) return -errno;
    *placed = true;
    return 0;
}

// Puts the whole, synced temporary file in place of the image, keeps the
// image it replaces as .prev, and syncs the directory. Sets *placed once
// tln-N.img names the new image (the temporary name then holds the old one,
// or nothing). 0 when the new image is in place and the directory synced
// after it; else negative, and the new image may not be durable.
int64_t commit_image(uint64_t instance, Fault fault, bool* placed) {
    char tmp[NAME_CAP], img[NAME_CAP], prev[NAME_CAP], prev_tmp[NAME_CAP];
    store_name(tmp, instance, ".img.tmp");
    store_name(img, instance, ".img");
    store_name(prev, instance, ".img.prev");
    store_name(prev_tmp, instance, ".img.prev.tmp");
    int r = -1;
    if (fault == FAULT_NOEXCHANGE) {
        errno = EINVAL;  // as from a file system without the exchange
    } else {
        r = fs_exchange(cur.fd, tmp, img);
    }
    if (r == 0) {
        // tln-N.img is the new image; the temporary name holds the old one,
        // which now trades names with .prev: the file that leaves .prev is
        // the next save's temporary file, overwritten in place. When that
        // fails, the old image stays under the temporary name and .prev as
        // it was; the save itself stands once the directory is synced.
        *placed = true;
        int x = -1;
        if (fault == FAULT_KEEPPREV) {
            errno = EIO;
        } else {
            x = fs_exchange(cur.fd, tmp, prev);
        }
        if (x != 0 && errno == ENOENT) fs_renameat(cur.fd, tmp, prev);  // no .prev yet
    } else if (errno == ENOENT) {
        // No image yet: nothing to keep.
        if (fs_renameat(cur.fd, tmp, img) != 0) return -errno;
        *placed = true;
    } else if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        int64_t c = commit_by_link(tmp, img, prev, prev_tmp, placed);
        if (c < 0) return c;
    } else {
        return -errno;
    }
    if (fault == FAULT_DIRSYNC) return -EIO;
    return fs_fsync_dir(cur.fd) == 0 ? 0 : -errno;
}

// Opens the temporary file for writing in place, as a regular file with one
// name: one that is anything else (a second name of the image or of .prev,
// a symbolic link) loses that name first and a fresh file is made.
int open_temp(const char* tmp) {
    int fd = fs_openat(cur.fd, tmp, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) return fd;
        fs_close(fd);
    } else if (errno != ELOOP) {
        return -1;
    }
    if (fs_unlinkat(cur.fd, tmp) != 0 && errno != ENOENT) return -1;
    return fs_openat(cur.fd, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

}  // namespace

int64_t store_load(uint64_t instance, void* buf, uint64_t cap) {
    if (buf == nullptr && cap > 0) return -EFAULT;
    int64_t s = store_dir();
    if (s == 0) return -ENODEV;
    if (s < 0) {
        say("[velmor] store: cannot use the store directory %s (%s); serving from memory only\n",
            cur.path, strerror(static_cast<int>(-s)));
        return s;
    }
    char lock[PATH_MAX], img[PATH_MAX];
    if (store_path(lock, instance, ".lock") < 0 || store_path(img, instance, ".img") < 0) {
        return -ENAMETOOLONG;
    }
    int64_t l = lock_instance(instance);
    if (l == -EWOULDBLOCK) {
        say("[velmor] store: instance %llu is in use by another server (lock %s); serving from "
            "memory "
            "only\n",
            static_cast<unsigned long long>(instance), lock);
        return -EBUSY;
    }
    if (l < 0) {
        say("[velmor] store: cannot lock %s (%s); serving from memory only\n", lock,
            strerror(static_cast<int>(-l)));
        return l;
    }

    char name[NAME_CAP];
    store_name(name, instance, ".img");
    int fd = openat(cur.fd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return 0;
    if (fd < 0) {
        int e = errno;
        say("[velmor] store: cannot read %s (%s); serving from memory only\n", img, strerror(e));
        return -e;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        say("[velmor] store: %s is not a regular file; serving from memory only\n", img);
        return -EINVAL;
    }
    auto* p = static_cast<uint8_t*>(buf);
    uint64_t got = 0;
    int64_t result = 0;
    if (static_cast<uint64_t>(st.st_size) > cap) result = -EFBIG;
    while (result == 0 && got < cap) {
        ssize_t r = read(fd, p + got, cap - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) result = -errno;
        if (r <= 0) break;
        got += static_cast<uint64_t>(r);
    }
    if (result == 0 && got == cap) {
        // A file that grew past the capacity after the fstat above.
        uint8_t extra;
        if (read(fd, &extra, 1) > 0) result = -EFBIG;
    }
    close(fd);
    if (result == -EFBIG) {
        say("[velmor] store: %s is larger than %llu bytes; left as it is, serving from memory "
            "only\n",
            img, static_cast<unsigned long long>(cap));
        return result;
    }
    if (result < 0) {
        say("[velmor] store: cannot read %s (%s); serving from memory only\n", img,
            strerror(static_cast<int>(-result)));
        return result;
    }
    return static_cast<int64_t>(got);
}

int64_t store_save(uint64_t instance, const void* buf, uint64_t len) {
    if (buf == nullptr && len > 0) return -EFAULT;
    if (len > static_cast<uint64_t>(INT64_MAX)) return -EINVAL;
    int64_t s = store_dir();
    if (s <= 0) return s == 0 ? -ENODEV : s;
    Fault fault = current_fault();
    if (fault == FAULT_FAIL) return -1;
    int64_t l = lock_instance(instance);
    if (l < 0) return l == -EWOULDBLOCK ? -EBUSY : l;

    char tmp[NAME_CAP];
    store_name(tmp, instance, ".img.tmp");
    // Overwritten in place, then cut to the image's length: its pages and
    // blocks are reused rather than freed and taken again.
    int fd = open_temp(tmp);
    if (fd < 0) return -errno;
    bool cut = fault == FAULT_SHORT || fault == FAULT_NOSPACE;
    uint64_t todo = cut ? len / 2 : len;
    int64_t want = static_cast<int64_t>(len);
    int64_t result = write_all(fd, static_cast<const uint8_t*>(buf), todo);
    if (result >= 0) {
        if (fault == FAULT_SHORT) {
            result = len > 0 ? static_cast<int64_t>(todo) : -EIO;
        } else if (fault == FAULT_NOSPACE) {
            result = -ENOSPC;
        } else if (fs_ftruncate(fd, want) != 0 || fs_fsync(fd) != 0) {
            result = -errno;
        }
    }
    if (fs_close(fd) != 0 && result == want) result = -errno;
    bool ok = result == want;
    bool placed = false;
    if (ok) {
        int64_t c = commit_image(instance, fault, &placed);
        if (c < 0) {
            result = c;
            ok = false;
        }
    }
    if (ok) {
        saves_ok++;
        return want;
    }
    // Only while the temporary name still holds the new image: once placed,
    // it holds the previous image (or nothing).
    if (!placed) fs_unlinkat(cur.fd, tmp);
    return result;
}

int64_t store_reject(uint64_t instance, char* where, uint64_t cap) {
    if (where == nullptr && cap > 0) return -EFAULT;
    int64_t s = store_dir();
    if (s <= 0) return s == 0 ? -ENODEV : s;
    int64_t l = lock_instance(instance);
    if (l < 0) return l == -EWOULDBLOCK ? -EBUSY : l;
    char img[NAME_CAP];
    store_name(img, instance, ".img");
    struct stat st;
    if (fstatat(cur.fd, img, &st, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
    if (!S_ISREG(st.st_mode)) return -EINVAL;

    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm;
    if (gmtime_r(&now, &tm) == nullptr ||
        strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm) == 0) {
        return -EINVAL;
    }
    // linkat() never replaces an existing name, so no earlier rejected image
    // can be overwritten; the image's own name goes only after the new one
    // exists.
    char kept[NAME_CAP + 64];
    int k = 0;
    for (; k < REJECT_TRIES; k++) {
        int n = k == 0 ? snprintf(kept, sizeof kept, "%s.rejected-%s", img, stamp)
                       : snprintf(kept, sizeof kept, "%s.rejected-%s-%d", img, stamp, k);
        if (n < 0 || n >= static_cast<int>(sizeof kept)) return -ENAMETOOLONG;
        if (fs_linkat(cur.fd, img, kept) == 0) break;
        if (errno != EEXIST) return -errno;
    }
    if (k == REJECT_TRIES) return -EEXIST;
    if (fs_unlinkat(cur.fd, img) != 0) {
        int e = errno;
        fs_unlinkat(cur.fd, kept);
        return -e;
    }
    if (fs_fsync_dir(cur.fd) != 0) return -errno;
    if (cap == 0) return 0;
    char full[PATH_MAX];
    int n = snprintf(full, sizeof full, "%s/%s", cur.path, kept);
    if (n < 0 || n >= static_cast<int>(sizeof full)) return -ENAMETOOLONG;
    uint64_t len = static_cast<uint64_t>(n);
    if (len > cap - 1) len = cap - 1;
    memcpy(where, full, len);
    where[len] = '\0';
    return static_cast<int64_t>(len);
}

void store_reset() {
    for (StoreLock& l : locks) {
        if (l.fd >= 0) close(l.fd);
        l = StoreLock{};
    }
    if (cur.fd >= 0) close(cur.fd);
    cur = StoreDir{};
    fault_known = false;
    fault_kind = FAULT_NONE;
    fault_after = 0;
    saves_ok = 0;
}
