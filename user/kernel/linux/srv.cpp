// Socket pairs and the /srv registry of the Linux stand-in.
//
// The registry is a directory: $VELMOR_SRV when set and not empty, else
// $XDG_RUNTIME_DIR/velmor-srv when XDG_RUNTIME_DIR names a directory this
// user may write, else /tmp/velmor-srv-<uid>; missing directories are created
// with mode 0700. Posting NAME with a descriptor creates the listening unix
// stream socket <registry>/NAME, mode 0600, and a relay that joins each client
// connecting there to the posted descriptor, one client at a time.
//
// Why a relay thread. On velmor the kernel itself carries a client's bytes to
// the posted end of the pair; the server sees one stream, stays one thread and
// has one request in flight. Here a relay thread plays that kernel part. A
// thread rather than a child process because it lives and dies with the
// server: nothing outlives a killed server to hold the socket, and no process
// has to be reaped. It shares nothing with the server but the two descriptors
// it owns (the posted end of the pair and the client's connection), and every
// signal is blocked in it, so stop requests reach the server's thread.
//
// Relay rules:
// - Requests are forwarded whole. The bytes of one message are collected from
//   the client (its size field says how many) and written to the server only
//   when complete, so a client that hangs up in the middle of a message leaves
//   nothing of it in the server's stream. A size field below 7 or above
//   RELAY_MSG_CAP drops the client.
// - Replies are collected whole the same way and then written to the client.
// - The relay counts requests forwarded against whole replies read. After a
//   client leaves, the replies still owed to it are read and discarded before
//   the next client is accepted, so no client ever sees another's reply.
// - A client that only shuts down its sending side still gets the replies
//   owed to it; then it is closed.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kernel/linux/internal.h"
#include "kernel/velmor.h"

namespace {

constexpr uint64_t RELAY_MSG_CAP = (1u << 20) + 64;  // largest message a relay carries
constexpr uint32_t MSG_MIN = 7;                      // size, type and tag
constexpr int LISTEN_BACKLOG = 16;
// At exit the server has written every reply it will ever write, so a reply
// not yet begun is given QUIESCE_IDLE_MS to show up; a reply on its way to a
// client is given until QUIESCE_TOTAL_MS after the exit began.
constexpr int QUIESCE_IDLE_MS = 200;
constexpr int64_t QUIESCE_TOTAL_MS = 2000;
constexpr int ACCEPT_RETRY_MS = 100;     // pause after a failed accept (e.g. out of descriptors)

enum : int { RELAY_RUN = 0, RELAY_QUIESCE = 1, RELAY_STOP = 2 };

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One message on its way: collected from one descriptor, then written whole
// to the other.
struct Msg {
    uint8_t buf[RELAY_MSG_CAP];
    uint64_t have = 0;  // bytes collected
    uint64_t sent = 0;  // bytes of the whole message written on
    bool whole = false;
};

void msg_clear(Msg& m) {
    m.have = 0;
    m.sent = 0;
    m.whole = false;
}

// Reads more of one message from fd without blocking, never past its end.
// 1: progress (m.whole says whether it is complete); 0: nothing to read now;
// -1: end of stream or failure; -2: a size field out of bounds.
int collect(int fd, Msg& m) {
    uint64_t want = m.have < 4 ? 4 - m.have : le32(m.buf) - m.have;
    ssize_t r = recv(fd, m.buf + m.have, want, MSG_DONTWAIT);
    if (r < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    if (r == 0) return -1;
    m.have += static_cast<uint64_t>(r);
    if (m.have < 4) return 1;
    uint32_t size = le32(m.buf);
    if (size < MSG_MIN || size > RELAY_MSG_CAP) return -2;
    if (m.have == size) m.whole = true;
    return 1;
}

// Reads until the message is whole or nothing more is there; the last
// collect() result.
int collect_all(int fd, Msg& m) {
    int c;
    while ((c = collect(fd, m)) > 0 && !m.whole) {
    }
    return c;
}

// Writes more of a whole message to fd without blocking. 1: all of it is
// out; 0: part or none of it (try again when fd is writable); -1: failure.
int deliver(int fd, Msg& m) {
    uint64_t size = le32(m.buf);
    while (m.sent < size) {
        ssize_t r = send(fd, m.buf + m.sent, size - m.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
        m.sent += static_cast<uint64_t>(r);
    }
    return 1;
}

struct Relay {
    Relay* next = nullptr;
    pthread_t thread{};
    bool started = false;
    int listen_fd = -1;
    int posted_fd = -1;  // the relay's own duplicate of the posted descriptor
    int wake[2] = {-1, -1};
    std::atomic<int> mode{RELAY_RUN};
    char path[sizeof(sockaddr_un{}.sun_path)] = {};
    dev_t dev = 0;  // the socket file this relay bound, so that only it is removed
    ino_t ino = 0;
    Msg req;  // client to server
    Msg rep;  // server to client
};

Relay* relays = nullptr;  // touched by the server's thread only

// The relay loop; see the rules at the top of the file.
void* relay_main(void* arg) {
    Relay& r = *static_cast<Relay*>(arg);
    int client = -1;
    bool client_eof = false;  // the client sent its last byte
    uint64_t owed = 0;        // requests forwarded whose replies were not read whole yet
    int64_t deadline = -1;

    auto drop_client = [&] {
        close(client);
        client = -1;
        client_eof = false;
        if (!r.req.whole) msg_clear(r.req);  // a whole one is still written to the server
        if (r.rep.whole) msg_clear(r.rep);
    };

    for (;;) {
        int mode = r.mode.load();
        if (mode == RELAY_STOP) break;
        int timeout = -1;
        if (mode == RELAY_QUIESCE) {
            if (deadline < 0) deadline = now_ms() + QUIESCE_TOTAL_MS;
            int64_t left = deadline - now_ms();
            bool pending = client >= 0 && (owed > 0 || r.rep.whole);
            if (!pending || left <= 0) break;
            timeout = static_cast<int>(r.rep.whole || left < QUIESCE_IDLE_MS ? left : QUIESCE_IDLE_MS);
        }
        bool running = mode == RELAY_RUN;
        if (client >= 0 && client_eof && owed == 0 && !r.req.whole && !r.rep.whole) drop_client();

        // Only descriptors with something to wait for are polled (fd -1 is
        // skipped), so a hung-up peer cannot make poll() spin.
        short cev = 0;
        if (client >= 0 && running && !client_eof && !r.req.whole) cev |= POLLIN;
        if (client >= 0 && r.rep.whole) cev |= POLLOUT;
        short sev = 0;
        if (!r.rep.whole) sev |= POLLIN;
        if (running && r.req.whole) sev |= POLLOUT;
        bool can_accept = running && client < 0 && owed == 0 && !r.req.whole;
        pollfd p[4] = {
            {r.wake[0], POLLIN, 0},
            {can_accept ? r.listen_fd : -1, POLLIN, 0},
            {cev != 0 ? client : -1, cev, 0},
            {sev != 0 ? r.posted_fd : -1, sev, 0},
        };
        int n = poll(p, 4, timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // failure, or quiescing and nothing more came
        if (p[0].revents != 0) {
            char sink[64];
            while (read(r.wake[0], sink, sizeof sink) > 0) {
            }
            continue;  // the mode changed
        }

        if (p[1].revents & POLLIN) {
            client = accept4(r.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (client < 0 && errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                poll(nullptr, 0, ACCEPT_RETRY_MS);
            }
            client_eof = false;
        }

        // Client to server.
        constexpr short READABLE = POLLIN | POLLHUP | POLLERR;
        if (client >= 0 && (cev & POLLIN) && (p[2].revents & READABLE)) {
            int c = collect_all(client, r.req);
            if (c == -2) {
                drop_client();
            } else if (c == -1) {
                client_eof = true;
                if (!r.req.whole) msg_clear(r.req);  // half a message goes nowhere
            }
        }
        if (running && r.req.whole) {
            int d = deliver(r.posted_fd, r.req);
            if (d < 0) break;  // the server's end is gone
            if (d > 0) {
                owed++;
                msg_clear(r.req);
            }
        }

        // Server to client.
        if (!r.rep.whole && (p[3].revents & READABLE)) {
            // End of stream or a bad size: the server's stream cannot be
            // followed any more.
            if (collect_all(r.posted_fd, r.rep) < 0) break;
            if (r.rep.whole) {
                if (owed > 0) owed--;
                if (client < 0) msg_clear(r.rep);  // owed to a client that left
            }
        }
        if (client >= 0 && r.rep.whole) {
            int d = deliver(client, r.rep);
            if (d < 0) {
                drop_client();
            } else if (d > 0) {
                msg_clear(r.rep);
            }
        }
    }
    if (client >= 0) close(client);
    return nullptr;
}

// Removes the relay's socket file, unless another relay has replaced it since.
void unlink_own_socket(const Relay& r) {
    struct stat st;
    if (r.path[0] != '\0' && lstat(r.path, &st) == 0 && st.st_dev == r.dev && st.st_ino == r.ino) {
        unlink(r.path);
    }
}

void relay_free(Relay* r) {
    for (int fd : {r->listen_fd, r->posted_fd, r->wake[0], r->wake[1]}) {
        if (fd >= 0) close(fd);
    }
    r->~Relay();
    munmap(r, sizeof(Relay));
}

void relay_signal(Relay* r, int mode) {
    r->mode.store(mode);
    char c = 1;
    ssize_t w = write(r->wake[1], &c, 1);
    (void)w;  // a full pipe means a wake-up is pending anyway
}

// The registry directory into out, created when missing. 0 or -errno.
int64_t registry_dir(char* out, uint64_t cap) {
    const char* v = getenv("VELMOR_SRV");
    if (v != nullptr && v[0] != '\0') {
        if (strlen(v) >= cap) return -ENAMETOOLONG;
        memcpy(out, v, strlen(v) + 1);
        return make_dirs(out);
    }
    const char* xdg = usable_dir_env("XDG_RUNTIME_DIR");
    if (xdg != nullptr) {
        int64_t r = join_path(out, cap, xdg, "velmor-srv");
        return r < 0 ? r : make_dirs(out);
    }
    return tmp_user_dir(out, cap, "velmor-srv");
}

// Whether a server answers on the socket file at path: 1 yes, 0 no (stale),
// negative when path is not a socket or cannot be tried.
int64_t probe_live(const sockaddr_un& addr) {
    struct stat st;
    if (lstat(addr.sun_path, &st) != 0) return -errno;
    if (!S_ISSOCK(st.st_mode)) return -EEXIST;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -errno;
    int64_t live;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        live = 1;
    } else if (errno == ECONNREFUSED) {
        live = 0;
    } else if (errno == EAGAIN || errno == EINPROGRESS) {
        live = 1;  // a full backlog: somebody is listening
    } else {
        live = -errno;
    }
    close(fd);
    return live;
}

// Binds a listening socket at addr, replacing a stale socket file there.
// The registry lock must be held. The descriptor, or -errno.
int64_t bind_listener(const sockaddr_un& addr) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -errno;
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    // The socket file is born 0600; the umask is restored at once.
    mode_t old_mask = umask(0177);
    int b = bind(fd, sa, sizeof addr);
    if (b != 0 && errno == EADDRINUSE) {
        int64_t live = probe_live(addr);
        if (live != 0) {
            umask(old_mask);
            close(fd);
            return live > 0 ? -EADDRINUSE : live;
        }
        b = unlink(addr.sun_path) == 0 ? bind(fd, sa, sizeof addr) : -1;
    }
    int e = errno;
    umask(old_mask);
    if (b != 0 || chmod(addr.sun_path, 0600) != 0 || listen(fd, LISTEN_BACKLOG) != 0) {
        if (b == 0) e = errno;
        close(fd);
        return -e;
    }
    return fd;
}

}  // namespace

int64_t srv_socketpair(int64_t domain, int64_t type, int64_t protocol, int32_t* sv) {
    if (domain != VELMOR_AF_UNIX) return -EAFNOSUPPORT;
    if (type != VELMOR_SOCK_STREAM) return -EPROTOTYPE;
    if (protocol != 0) return -EPROTONOSUPPORT;
    if (sv == nullptr) return -EFAULT;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -errno;
    sv[0] = fds[0];
    sv[1] = fds[1];
    return 0;
}

int64_t srv_post(const char* name, int64_t fd) {
    if (name == nullptr) return -EFAULT;
    size_t len = strnlen(name, NAME_MAX + 1);
    if (len == 0 || len > NAME_MAX || strchr(name, '/') != nullptr || strcmp(name, ".") == 0 ||
        strcmp(name, "..") == 0) {
        return -EINVAL;
    }
    if (fd < 0 || fd > INT_MAX) return -EBADF;
    int stype = 0;
    socklen_t slen = sizeof stype;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &stype, &slen) != 0) return -errno;
    if (stype != SOCK_STREAM) return -EINVAL;

    char dir[PATH_MAX];
    int64_t r = registry_dir(dir, sizeof dir);
    if (r < 0) return r;
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    r = join_path(addr.sun_path, sizeof addr.sun_path, dir, name);
    if (r < 0) return r;

    // Mapped rather than allocated: the stand-in then needs nothing of the
    // C++ library at run time (a relay is large, and rare).
    void* mem = mmap(nullptr, sizeof(Relay), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
    if (mem == MAP_FAILED) return -ENOMEM;
    Relay* relay = new (mem) Relay;
    memcpy(relay->path, addr.sun_path, sizeof relay->path);
    relay->posted_fd = fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 3);
    if (relay->posted_fd < 0 || pipe2(relay->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        r = -errno;
        relay->path[0] = '\0';
        relay_free(relay);
        return r;
    }

    // Two servers posting the same name at once must not both see a stale
    // socket and remove each other's: the check and the bind run under a lock
    // on the registry directory.
    int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || flock(dfd, LOCK_EX) != 0) {
        r = -errno;
        if (dfd >= 0) close(dfd);
        relay->path[0] = '\0';
        relay_free(relay);
        return r;
    }
    r = bind_listener(addr);
    struct stat st;
    if (r >= 0 && lstat(addr.sun_path, &st) == 0) {
        relay->dev = st.st_dev;
        relay->ino = st.st_ino;
    }
    close(dfd);  // releases the lock
    if (r < 0) {
        relay->path[0] = '\0';  // the file there is not ours
        relay_free(relay);
        return r;
    }
    relay->listen_fd = static_cast<int>(r);

    // The thread inherits a mask with every signal blocked.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int e = pthread_create(&relay->thread, nullptr, relay_main, relay);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (e != 0) {
        unlink_own_socket(*relay);
        relay_free(relay);
        return -e;
    }
    relay->started = true;
    relay->next = relays;
    relays = relay;
    return 0;
}

void srv_quiesce() {
    for (Relay* r = relays; r != nullptr; r = r->next) relay_signal(r, RELAY_QUIESCE);
    for (Relay* r = relays; r != nullptr; r = r->next) {
        pthread_join(r->thread, nullptr);
        r->started = false;
        unlink_own_socket(*r);
    }
}

void srv_reset() {
    while (relays != nullptr) {
        Relay* r = relays;
        relays = r->next;
        if (r->started) {
            relay_signal(r, RELAY_STOP);
            pthread_join(r->thread, nullptr);
        }
        unlink_own_socket(*r);
        relay_free(r);
    }
}
