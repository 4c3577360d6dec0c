// The file operations of the stand-in that change what is on disk: the
// backing store's writes, syncs and names, and the directories it makes.
// Each is the POSIX call itself, then, only when a test installed a hook
// (velmor_linux_fs_hook), a report of what the call did. Without a hook the
// cost is one test of a pointer next to a system call, and the calls, their
// order and every byte written are the same either way.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "kernel/linux/standin.h"

extern FsOpHook fs_hook;  // nullptr: nothing is reported

// Hands the hook one operation. result is what the call answered; a negative
// one is reported as -errno. errno is left as the call set it.
void fs_report(uint8_t kind, int32_t fd, const char* name, const char* name2, const void* data,
               uint64_t len, int32_t flags, int64_t result);

inline int fs_openat(int dir, const char* name, int flags, mode_t mode) {
    int fd = openat(dir, name, flags, mode);
    if (fs_hook != nullptr) fs_report(FS_OP_OPEN, fd, name, nullptr, nullptr, 0, flags, fd);
    return fd;
}

inline ssize_t fs_write(int fd, const void* p, uint64_t n) {
    ssize_t w = write(fd, p, n);
    if (fs_hook != nullptr) fs_report(FS_OP_WRITE, fd, nullptr, nullptr, p, n, 0, w);
    return w;
}

inline int fs_ftruncate(int fd, int64_t len) {
    int r = ftruncate(fd, len);
    if (fs_hook != nullptr) {
        fs_report(FS_OP_TRUNCATE, fd, nullptr, nullptr, nullptr, static_cast<uint64_t>(len), 0, r);
    }
    return r;
}

// fsync of a file; fs_fsync_dir is the same call on the store directory.
inline int fs_fsync(int fd) {
    int r = fsync(fd);
    if (fs_hook != nullptr) fs_report(FS_OP_SYNC, fd, nullptr, nullptr, nullptr, 0, 0, r);
    return r;
}

inline int fs_fsync_dir(int dir) {
    int r = fsync(dir);
    if (fs_hook != nullptr) fs_report(FS_OP_SYNC_DIR, dir, nullptr, nullptr, nullptr, 0, 0, r);
    return r;
}

inline int fs_close(int fd) {
    int r = close(fd);
    if (fs_hook != nullptr) fs_report(FS_OP_CLOSE, fd, nullptr, nullptr, nullptr, 0, 0, r);
    return r;
}

// from and to are names in the one directory dir.
inline int fs_renameat(int dir, const char* from, const char* to) {
    int r = renameat(dir, from, dir, to);
    if (fs_hook != nullptr) fs_report(FS_OP_RENAME, -1, from, to, nullptr, 0, 0, r);
    return r;
}

inline int fs_exchange(int dir, const char* a, const char* b) {
    int r = renameat2(dir, a, dir, b, RENAME_EXCHANGE);
    if (fs_hook != nullptr) fs_report(FS_OP_EXCHANGE, -1, a, b, nullptr, 0, 0, r);
    return r;
}

inline int fs_linkat(int dir, const char* from, const char* to) {
    int r = linkat(dir, from, dir, to, 0);
    if (fs_hook != nullptr) fs_report(FS_OP_LINK, -1, from, to, nullptr, 0, 0, r);
    return r;
}

inline int fs_unlinkat(int dir, const char* name) {
    int r = unlinkat(dir, name, 0);
    if (fs_hook != nullptr) fs_report(FS_OP_UNLINK, -1, name, nullptr, nullptr, 0, 0, r);
    return r;
}

// path is a whole path.
inline int fs_mkdir(const char* path, mode_t mode) {
    int r = mkdir(path, mode);
    if (fs_hook != nullptr) fs_report(FS_OP_MKDIR, -1, path, nullptr, nullptr, 0, 0, r);
    return r;
}

// fsync of the directory open as fd, whose whole path is path.
inline int fs_fsync_path(int fd, const char* path) {
    int r = fsync(fd);
    if (fs_hook != nullptr) fs_report(FS_OP_SYNC_PATH, fd, path, nullptr, nullptr, 0, 0, r);
    return r;
}
