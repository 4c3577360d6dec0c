// The backing store of the Linux stand-in: one snapshot image per instance.
//
// Where. $VELMOR_STORE when set; set but empty means there is no backing
// store, and every call answers negative. Otherwise $XDG_STATE_HOME/velmor
// (when XDG_STATE_HOME is an absolute path), else ~/.local/state/velmor (when
// HOME names a directory we may write), else /tmp/velmor-state-<uid>. Missing
// directories are created with mode 0700. The environment is read at every
// call.
//
// Files of instance N in that directory:
//   tln-N.img                        the image
//   tln-N.img.prev                   the image before the last save
//   tln-N.img.tmp                    a save in progress
//   tln-N.img.prev.tmp               a .prev in the making
//   tln-N.lock                       locked (flock) while a server uses N
//   tln-N.img.rejected-<UTC time>Z   an image the server refused, kept aside
//
// Save. The new image is written whole to tln-N.img.tmp and fsynced; the
// current image gets a second name, tln-N.img.prev (a hard link, renamed into
// place); then the temporary file is renamed over tln-N.img and the directory
// is fsynced. Each rename is atomic, so at every moment, even when the process
// is killed, tln-N.img is a whole image: the old one or the new one. The
// length is answered only when every step succeeded; otherwise the answer is
// negative and the temporary file is removed.
//
// Lock. The first call for an instance takes an exclusive flock on
// tln-N.lock, held for the life of the process (or until
// velmor_linux_reset()), so two servers on one instance cannot overwrite each
// other's images. When another process holds it, load answers negative (the
// server then serves from memory only) after a line on standard error that
// says why; save and reject answer negative.
//
// Fault injection for tests, read from the environment at the first save (and
// again after velmor_linux_reset()):
//   VELMOR_STORE_FAULT=fail      every save answers -1 and touches no file
//   VELMOR_STORE_FAULT=short     a save writes half the image to the temporary
//                                file, removes it and answers that half
//   VELMOR_STORE_FAULT=nospace   a save fails as if write(2) had answered
//                                ENOSPC halfway: the temporary file is removed
//                                and the answer is -ENOSPC
//   VELMOR_STORE_FAULT_AFTER=K   the fault begins after K successful saves
// In every case tln-N.img and tln-N.img.prev stay as they were.
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

#include "kernel/linux/internal.h"

namespace {

constexpr int LOCK_SLOTS = 16;
constexpr int REJECT_TRIES = 1000;  // -1 .. -999 after a name already taken

enum Fault { FAULT_NONE, FAULT_FAIL, FAULT_SHORT, FAULT_NOSPACE };

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

// One line to standard error with one write.
void say(const char* fmt, ...) {
    char line[PATH_MAX + 256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    ssize_t w = write(2, line, len);
    (void)w;
}

// The store directory into out, created when missing: 1, or 0 when there is
// no backing store, or -errno.
int64_t store_dir(char* out, uint64_t cap) {
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
    if (r == 0) r = make_dirs(out);
    return r < 0 ? r : 1;
}

// "<dir>/tln-<instance><suffix>" into out; 0 or -ENAMETOOLONG.
int64_t store_path(char* out, const char* dir, uint64_t instance, const char* suffix) {
    int n = snprintf(out, PATH_MAX, "%s/tln-%llu%s", dir, static_cast<unsigned long long>(instance),
                     suffix);
    return n >= 0 && n < PATH_MAX ? 0 : -ENAMETOOLONG;
}

// Takes (or finds already taken) the lock of instance in dir. 0: held by this
// process; -EWOULDBLOCK: another process holds it; other negatives on failure.
int64_t lock_instance(const char* dir, uint64_t instance) {
    struct stat st;
    if (stat(dir, &st) != 0) return -errno;
    int free_slot = -1;
    for (int i = 0; i < LOCK_SLOTS; i++) {
        const StoreLock& l = locks[i];
        if (l.fd >= 0 && l.instance == instance && l.dev == st.st_dev && l.ino == st.st_ino) return 0;
        if (l.fd < 0 && free_slot < 0) free_slot = i;
    }
    if (free_slot < 0) return -ENOLCK;
    char path[PATH_MAX];
    if (store_path(path, dir, instance, ".lock") < 0) return -ENAMETOOLONG;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -errno;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        close(fd);
        return e == EWOULDBLOCK ? -EWOULDBLOCK : -e;
    }
    locks[free_slot] = StoreLock{fd, instance, st.st_dev, st.st_ino};
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
        const char* after = getenv("VELMOR_STORE_FAULT_AFTER");
        fault_after = after != nullptr ? strtoull(after, nullptr, 10) : 0;
    }
    return saves_ok >= fault_after ? fault_kind : FAULT_NONE;
}

int64_t write_all(int fd, const uint8_t* p, uint64_t n) {
    uint64_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return -errno;
        if (w == 0) return -EIO;
        done += static_cast<uint64_t>(w);
    }
    return static_cast<int64_t>(done);
}

int64_t fsync_dir(const char* dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int64_t r = fsync(fd) == 0 ? 0 : -errno;
    close(fd);
    return r;
}

// Keeps the current image as .prev and puts the temporary file in its place.
int64_t commit_image(const char* dir, uint64_t instance, const char* tmp) {
    char img[PATH_MAX], prev[PATH_MAX], prev_tmp[PATH_MAX];
    if (store_path(img, dir, instance, ".img") < 0 || store_path(prev, dir, instance, ".img.prev") < 0 ||
        store_path(prev_tmp, dir, instance, ".img.prev.tmp") < 0) {
        return -ENAMETOOLONG;
    }
    struct stat st;
    if (lstat(img, &st) == 0) {
        if (unlink(prev_tmp) != 0 && errno != ENOENT) return -errno;
        if (link(img, prev_tmp) != 0) return -errno;
        if (rename(prev_tmp, prev) != 0) {
            int e = errno;
            unlink(prev_tmp);
            return -e;
        }
    } else if (errno != ENOENT) {
        return -errno;
    }
    if (rename(tmp, img) != 0) return -errno;
    return fsync_dir(dir);
}

}  // namespace

int64_t store_load(uint64_t instance, void* buf, uint64_t cap) {
    if (buf == nullptr && cap > 0) return -EFAULT;
    char dir[PATH_MAX];
    int64_t s = store_dir(dir, sizeof dir);
    if (s == 0) return -ENODEV;
    if (s < 0) {
        say("[velmor] store: cannot use the store directory %s (%s); serving from memory only\n", dir,
            strerror(static_cast<int>(-s)));
        return s;
    }
    char lock[PATH_MAX], img[PATH_MAX];
    if (store_path(lock, dir, instance, ".lock") < 0 || store_path(img, dir, instance, ".img") < 0) {
        return -ENAMETOOLONG;
    }
    int64_t l = lock_instance(dir, instance);
    if (l == -EWOULDBLOCK) {
        say("[velmor] store: instance %llu is in use by another server (lock %s); serving from memory "
            "only\n",
            static_cast<unsigned long long>(instance), lock);
        return -EBUSY;
    }
    if (l < 0) {
        say("[velmor] store: cannot lock %s (%s); serving from memory only\n", lock,
            strerror(static_cast<int>(-l)));
        return l;
    }

    int fd = open(img, O_RDONLY | O_CLOEXEC);
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
        say("[velmor] store: %s is larger than %llu bytes; left as it is, serving from memory only\n",
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
    char dir[PATH_MAX];
    int64_t s = store_dir(dir, sizeof dir);
    if (s <= 0) return s == 0 ? -ENODEV : s;
    Fault fault = current_fault();
    if (fault == FAULT_FAIL) return -1;
    int64_t l = lock_instance(dir, instance);
    if (l < 0) return l == -EWOULDBLOCK ? -EBUSY : l;

    char tmp[PATH_MAX];
    if (store_path(tmp, dir, instance, ".img.tmp") < 0) return -ENAMETOOLONG;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
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
        } else if (fsync(fd) != 0) {
            result = -errno;
        }
    }
    if (close(fd) != 0 && result == want) result = -errno;
    bool ok = result == want;
    if (ok) {
        int64_t c = commit_image(dir, instance, tmp);
        if (c < 0) {
            result = c;
            ok = false;
        }
    }
    if (ok) {
        saves_ok++;
        return want;
    }
    unlink(tmp);  // gone already when only the directory fsync failed
    return result;
}

int64_t store_reject(uint64_t instance, char* where, uint64_t cap) {
    if (where == nullptr && cap > 0) return -EFAULT;
    char dir[PATH_MAX];
    int64_t s = store_dir(dir, sizeof dir);
    if (s <= 0) return s == 0 ? -ENODEV : s;
    int64_t l = lock_instance(dir, instance);
    if (l < 0) return l == -EWOULDBLOCK ? -EBUSY : l;
    char img[PATH_MAX];
    if (store_path(img, dir, instance, ".img") < 0) return -ENAMETOOLONG;
    struct stat st;
    if (lstat(img, &st) != 0) return -errno;
    if (!S_ISREG(st.st_mode)) return -EINVAL;

    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm;
    if (gmtime_r(&now, &tm) == nullptr || strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm) == 0) {
        return -EINVAL;
    }
    // link() never replaces an existing name, so no earlier rejected image
    // can be overwritten; the image's own name goes only after the new one
    // exists.
    char kept[PATH_MAX];
    int k = 0;
    for (; k < REJECT_TRIES; k++) {
        int n = k == 0 ? snprintf(kept, sizeof kept, "%s.rejected-%s", img, stamp)
                       : snprintf(kept, sizeof kept, "%s.rejected-%s-%d", img, stamp, k);
        if (n < 0 || n >= static_cast<int>(sizeof kept)) return -ENAMETOOLONG;
        if (link(img, kept) == 0) break;
        if (errno != EEXIST) return -errno;
    }
    if (k == REJECT_TRIES) return -EEXIST;
    if (unlink(img) != 0) {
        int e = errno;
        unlink(kept);
        return -e;
    }
    int64_t r = fsync_dir(dir);
    if (r < 0) return r;
    if (cap == 0) return 0;
    uint64_t n = strlen(kept);
    if (n > cap - 1) n = cap - 1;
    memcpy(where, kept, n);
    where[n] = '\0';
    return static_cast<int64_t>(n);
}

void store_reset() {
    for (StoreLock& l : locks) {
        if (l.fd >= 0) close(l.fd);
        l = StoreLock{};
    }
    fault_known = false;
    fault_kind = FAULT_NONE;
    fault_after = 0;
    saves_ok = 0;
}
