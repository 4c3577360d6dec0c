// The hook that file operations are reported to (fsops.h).
#include "kernel/linux/fsops.h"

#include <cerrno>

FsOpHook fs_hook = nullptr;

void fs_report(uint8_t kind, int32_t fd, const char* name, const char* name2, const void* data,
               uint64_t len, int32_t flags, int64_t result) {
    int e = errno;
    int64_t answer = result < 0 ? -static_cast<int64_t>(e) : result;
    FsOp op{kind, fd, name, name2, data, len, flags, answer};
    fs_hook(&op);
    errno = e;
}

void velmor_linux_fs_hook(FsOpHook hook) {
    fs_hook = hook;
}
