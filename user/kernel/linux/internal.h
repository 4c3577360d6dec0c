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

// relay.cpp: the relay that shares one posted server among many clients.
struct Relay;
inline constexpr int RELAY_CLIENT_CAP = 32;  // clients served at once per posted name
inline constexpr int RELAY_LISTEN_CAP = 2;   // sockets per posted name
// How a socket's clients are spoken to: as the server speaks, or with every
// Rerror text replaced by the one the Linux kernel's 9P client maps to the
// right errno.
inline constexpr uint8_t RELAY_DIALECT_NATIVE = 0;
inline constexpr uint8_t RELAY_DIALECT_LINUX = 1;
// Starts the relay thread that serves the clients of n listening sockets
// (each with its dialect) on the server's stream posted_fd. The relay owns
// every descriptor given from then on, also when it fails. The relay, or
// nullptr with errno set.
Relay* relay_start(int posted_fd, const int* listen_fds, const uint8_t* dialects, int n);
// The same relay without its thread, for a caller that runs it by hand
// (the fuzz harness): relay_step does one turn of its loop, waiting up to
// wait_ms for a descriptor (0: not at all); false once the relay is done.
// relay_adopt serves an already connected socket (nonblocking) as a client.
Relay* relay_create(int posted_fd, const int* listen_fds, const uint8_t* dialects, int n);
bool relay_step(Relay* r, int wait_ms);
void relay_adopt(Relay* r, int fd, uint8_t dialect);
// Asks the relay to hand its clients the replies the server already wrote,
// then end (bounded in time); relay_join waits for that.
void relay_quiesce(Relay* r);
// Asks the relay to end at once.
void relay_stop(Relay* r);
void relay_join(Relay* r);
// Stops the relay if it runs, closes its descriptors and releases it.
void relay_free(Relay* r);

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
