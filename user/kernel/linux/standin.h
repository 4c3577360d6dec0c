// Hooks of the Linux stand-in that are not kernel calls.
#pragma once

#include <cstdint>

// Forgets every per-descriptor read buffer and framing state and the stop
// request, as at process start. Tests call it between cases that reuse
// descriptor numbers. It also ends every posted name (removing its sockets),
// releases the backing-store locks and forgets the store's fault settings, so
// the next call reads the environment afresh, and removes a file-operation
// hook (velmor_linux_fs_hook).
void velmor_linux_reset();

// Process start: asks for huge pages for the zero-initialised storage, ignores
// SIGPIPE and makes SIGTERM, SIGINT and SIGHUP request a stop (the read that
// waits for the next message answers end of stream), and opens the trace that
// VELMOR_TRACE names, if any (trace.h).
// The process entry calls it once; tests that raise those signals call it too.
void velmor_linux_start();

// How long a read inside a message waits for the client's next byte once a
// stop was requested, in milliseconds (5000 at start and after a reset).
// Tests shorten it.
void velmor_linux_set_stop_grace_ms(int32_t ms);

// For a test that plays the server of a posted name on its end fd of the
// pair: waits up to ms for a client's request to be ready for the server's
// reads, doing meanwhile what the server's read would do (accepting clients,
// reading their requests, sending pending replies). 1 when one is ready, 0
// when none came, -1 when fd is not the server's end of a posted pair.
int32_t velmor_linux_wait_request(int64_t fd, int32_t ms);

// The stand-in's file operations that change what is on disk (fsops.h), for a
// test that records them to rebuild every state a power cut could leave.
enum FsOpKind : uint8_t {
    FS_OP_OPEN = 1,   // openat of name in the store directory with flags: fd
    FS_OP_WRITE,      // write(fd, data, len): the bytes written
    FS_OP_TRUNCATE,   // ftruncate(fd, len)
    FS_OP_SYNC,       // fsync(fd) of a file
    FS_OP_CLOSE,      // close(fd)
    FS_OP_RENAME,     // name renamed to name2, both in the store directory
    FS_OP_EXCHANGE,   // name and name2 exchanged (renameat2 RENAME_EXCHANGE)
    FS_OP_LINK,       // name2 made another name of name's file
    FS_OP_UNLINK,     // name removed
    FS_OP_SYNC_DIR,   // fsync(fd) of the store directory
    FS_OP_MKDIR,      // the directory whose whole path is name made
    FS_OP_SYNC_PATH,  // fsync(fd) of the directory whose whole path is name
};

// One operation, reported once the call returned. The pointers are valid
// only during the report.
struct FsOp {
    uint8_t kind;
    int32_t fd;         // the descriptor the call used or (FS_OP_OPEN) answered, else -1
    const char* name;   // FS_OP_OPEN, _RENAME, _EXCHANGE, _LINK, _UNLINK, _MKDIR, _SYNC_PATH
    const char* name2;  // FS_OP_RENAME, _EXCHANGE, _LINK
    const void* data;   // FS_OP_WRITE
    uint64_t len;       // FS_OP_WRITE: the bytes asked for; FS_OP_TRUNCATE: the length
    int32_t flags;      // FS_OP_OPEN
    int64_t result;     // what the call answered when not negative, else -errno
};
using FsOpHook = void (*)(const FsOp* op);

// Reports every such operation to hook from now on (nullptr: none, as at
// process start and after velmor_linux_reset()).
void velmor_linux_fs_hook(FsOpHook hook);
