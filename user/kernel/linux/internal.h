// The Linux stand-in's own interfaces between its source files. Each kernel
// call is implemented in the file of its concern and reached from syscall6
// (syscall.cpp). Results follow the kernel's convention: not negative on
// success, a negated errno value on failure.
#pragma once

#include <cstdint>

// stream.cpp: descriptor reads and writes, signals and the stop request.
int64_t stream_read(int64_t fd, void* buf, uint64_t n);
int64_t stream_write(int64_t fd, const void* buf, uint64_t n);
void stream_reset();

// srv.cpp: socket pairs, the /srv registry and its relays.
int64_t srv_socketpair(int64_t domain, int64_t type, int64_t protocol, int32_t* sv);
int64_t srv_post(const char* name, int64_t fd);
// Lets every relay hand the replies the server already wrote to their client,
// then ends the relays (bounded in time). Called on the way out of the process.
void srv_quiesce();
// Stops every relay at once and removes its socket (tests).
void srv_reset();

// store.cpp: the backing store of the tln images.
int64_t store_load(uint64_t instance, void* buf, uint64_t cap);
int64_t store_save(uint64_t instance, const void* buf, uint64_t len);
int64_t store_reject(uint64_t instance, char* where, uint64_t cap);
void store_reset();

// path.cpp: small path helpers shared by the registry and the store.
// Creates path and any missing parents with mode 0700 (mkdir -p). 0 or -errno;
// an existing path that is not a directory gives -ENOTDIR.
int64_t make_dirs(const char* path);
// Writes a, "/" and b into out (cap bytes with the NUL). 0, or -ENAMETOOLONG
// when it does not fit.
int64_t join_path(char* out, uint64_t cap, const char* a, const char* b);
// The value of the environment variable name when it is an absolute path of
// an existing directory that this user may write to, else nullptr.
const char* usable_dir_env(const char* name);
// The per-user fallback under /tmp, "/tmp/<prefix>-<uid>", created 0700. It
// must be a real directory (no symlink) owned by this user. 0 or -errno.
int64_t tmp_user_dir(char* out, uint64_t cap, const char* prefix);
