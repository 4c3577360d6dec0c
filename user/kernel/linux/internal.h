// The Linux stand-in's own interfaces between its source files. Each kernel
// call is implemented in the file of its concern and reached from syscall6
// (syscall.cpp). Results follow the kernel's convention: not negative on
// success, a negated errno value on failure.
#pragma once

#include <cstdint>

#include "kernel/linux/session.h"

// stream.cpp: descriptor reads and writes, signals and the stop request.
int64_t stream_read(int64_t fd, void* buf, uint64_t n);
int64_t stream_write(int64_t fd, const void* buf, uint64_t n);
void stream_reset();

// srv.cpp: socket pairs and the /srv registry.
int64_t srv_socketpair(int64_t domain, int64_t type, int64_t protocol, int32_t* sv);
int64_t srv_post(const char* name, int64_t fd);
// The multiplexer serving fd when fd is the server's end of a posted pair,
// else nullptr.
struct Mux;
Mux* srv_mux(int64_t fd);
// Hands the clients of every posted name the replies the server already
// wrote (bounded in time) and removes the names' sockets. Called on the way
// out of the process.
void srv_quiesce();
// Ends every posted name at once and removes its sockets (tests).
void srv_reset();

// mux.cpp: the multiplexer that shares one posted server among many clients
// (session.h keeps their sessions).
inline constexpr int MUX_CLIENT_CAP = SESS_CLIENT_CAP;  // clients served at once per name
inline constexpr int MUX_LISTEN_CAP = 2;                // sockets per posted name
// A multiplexer for the server's end server_fd of a pair whose other end
// posted_fd (which it then owns) was posted, serving the clients of n
// listening sockets (each with its dialect, which it then owns too). The
// multiplexer, or nullptr with errno set (nothing is closed then).
Mux* mux_create(int server_fd, int posted_fd, const int* listen_fds, const uint8_t* dialects,
                int n);
int mux_server_fd(const Mux* m);
// The server's reads and writes of its end: the bytes of one request at a
// time (waiting for one; 0, end of stream, once a stop was requested), and
// one whole reply per write (-EINVAL for anything else).
int64_t mux_read(Mux* m, void* buf, uint64_t n);
int64_t mux_write(Mux* m, const void* buf, uint64_t n);
// Waits up to wait_ms for a request to be in hand for the server, doing all
// the rest meanwhile (accepting, reading, sending replies); true when one
// is. For a caller that runs the server's reads by hand (tests, the fuzz
// harness), so that a read never waits.
bool mux_wait(Mux* m, int wait_ms);
// Serves an already connected socket (nonblocking) as a client.
void mux_adopt(Mux* m, int fd, uint8_t dialect);
// The header of the request last handed to the server (P9_HEADER_LEN bytes).
void mux_last_header(const Mux* m, uint8_t* hdr);
// Hands the clients the replies still waiting for them, bounded in time.
void mux_quiesce(Mux* m);
// Closes every client and the descriptors the multiplexer owns, and releases it.
void mux_free(Mux* m);

// store.cpp: the backing store of the tln images.
int64_t store_load(uint64_t instance, void* buf, uint64_t cap);
int64_t store_save(uint64_t instance, const void* buf, uint64_t len);
int64_t store_reject(uint64_t instance, char* where, uint64_t cap);
void store_reset();

// path.cpp: small helpers shared by the registry and the store.
// One line to standard error with one write (printf-style).
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Creates path and any missing parents with mode 0700 (mkdir -p), syncing the
// directory each new one was made in, so that what is later kept in path
// does not vanish with it at a power cut. 0 or -errno; an existing path that
// is not a directory gives -ENOTDIR.
int64_t make_dirs(const char* path);
// Writes a, "/" and b into out (cap bytes with the NUL). 0, or -ENAMETOOLONG
// when it does not fit.
int64_t join_path(char* out, uint64_t cap, const char* a, const char* b);
// The value of the environment variable name when it is an absolute path of
// an existing directory that this user may write to, else nullptr.
const char* usable_dir_env(const char* name);
// The per-user fallback under /tmp, "/tmp/<prefix>-<uid>", created 0700 (and
// /tmp synced when it is made). It must be a real directory (no symlink)
// owned by this user. 0 or -errno.
int64_t tmp_user_dir(char* out, uint64_t cap, const char* prefix);
