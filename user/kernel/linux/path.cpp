// Path helpers shared by the /srv registry and the backing store.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/linux/fsops.h"
#include "kernel/linux/internal.h"

// Syncs the directory that holds path, so that a name just made there
// outlives a power cut: an fsync of a new directory (or of anything in it)
// does not make its entry in its parent durable. 0 or -errno.
static int64_t sync_parent(const char* path) {
    char parent[PATH_MAX];
    size_t len = strlen(path);
    if (len >= sizeof parent) return -ENAMETOOLONG;
    memcpy(parent, path, len + 1);
    char* slash = strrchr(parent, '/');
    if (slash == nullptr) {
        memcpy(parent, ".", 2);  // a relative name: the working directory
    } else if (slash == parent) {
        parent[1] = '\0';  // "/name": the root
    } else {
        *slash = '\0';
    }
    int fd = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int64_t r = fs_fsync_path(fd, parent) == 0 ? 0 : -errno;
    close(fd);
    return r;
}

int64_t make_dirs(const char* path) {
    char buf[4096];
    size_t len = strlen(path);
    if (len == 0) return -ENOENT;
    if (len >= sizeof buf) return -ENAMETOOLONG;
    memcpy(buf, path, len + 1);
    // Each prefix ending before a '/' (and finally the whole path) in turn.
    for (size_t i = 1; i <= len; i++) {
        if (buf[i] != '/' && buf[i] != '\0') continue;
        char saved = buf[i];
        buf[i] = '\0';
        if (fs_mkdir(buf, 0700) == 0) {
            // The umask may have taken bits away; the directory is ours alone.
            if (chmod(buf, 0700) != 0) return -errno;
            int64_t r = sync_parent(buf);
            if (r < 0) return r;
        } else if (errno != EEXIST) {
            return -errno;
        }
        buf[i] = saved;
    }
    struct stat st;
    if (stat(path, &st) != 0) return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

int64_t join_path(char* out, uint64_t cap, const char* a, const char* b) {
    int n = snprintf(out, cap, "%s/%s", a, b);
    if (n < 0 || static_cast<uint64_t>(n) >= cap) return -ENAMETOOLONG;
    return 0;
}

const char* usable_dir_env(const char* name) {
    const char* v = getenv(name);
    if (v == nullptr || v[0] != '/') return nullptr;
    struct stat st;
    if (stat(v, &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
    if (access(v, W_OK | X_OK) != 0) return nullptr;
    return v;
}

int64_t tmp_user_dir(char* out, uint64_t cap, const char* prefix) {
    int n = snprintf(out, cap, "/tmp/%s-%u", prefix, static_cast<unsigned>(geteuid()));
    if (n < 0 || static_cast<uint64_t>(n) >= cap) return -ENAMETOOLONG;
    if (fs_mkdir(out, 0700) == 0) {
        int64_t r = sync_parent(out);
        if (r < 0) return r;
    } else if (errno != EEXIST) {
        return -errno;
    }
    // /tmp is shared: someone else may have made the name first.
    struct stat st;
    if (lstat(out, &st) != 0) return -errno;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return -EACCES;
    if ((st.st_mode & 0777) != 0700 && chmod(out, 0700) != 0) return -errno;
    return 0;
}

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
