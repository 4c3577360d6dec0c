// Socket pairs and the /srv registry of the Linux stand-in.
//
// The registry is a directory: $VELMOR_SRV when set and not empty, else
// $XDG_RUNTIME_DIR/velmor-srv when XDG_RUNTIME_DIR names a directory this
// user may write, else /tmp/velmor-srv-<uid>; missing directories are created
// with mode 0700. Posting NAME with one end of a pair that sys_socketpair
// made creates two listening unix stream sockets, mode 0600: <registry>/NAME,
// where clients speak 9P2000 as the server does, and <registry>/NAME.linux,
// the same but for Rerror texts, which are those the Linux kernel's 9P client
// understands. From then on the server's reads and writes of the pair's
// other end are a multiplexer over the clients of both (mux.cpp), many at a
// time, in the server's own thread.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "kernel/linux/internal.h"
#include "kernel/linux/trace.h"
#include "kernel/velmor.h"

namespace {

// Connections wait here while the server works on a request (it accepts
// them when it next reads) or while every place is taken.
constexpr int LISTEN_BACKLOG = 64;
constexpr int POST_CAP = 16;  // names posted by one process
constexpr int PAIR_CAP = 16;  // socket pairs remembered
constexpr char LINUX_SUFFIX[] = ".linux";

// The pairs sys_socketpair made, newest last, so that a post of one end
// knows the other as the server's.
int32_t pair_fd[PAIR_CAP][2];
int pair_count = 0;

void pair_forget(int32_t fd) {
    for (int k = 0; k < pair_count; k++) {
        if (pair_fd[k][0] == fd || pair_fd[k][1] == fd) {
            pair_fd[k][0] = pair_fd[k][1] = -1;
        }
    }
}

void pair_remember(int32_t a, int32_t b) {
    pair_forget(a);  // descriptor numbers of closed pairs are used again
    pair_forget(b);
    if (pair_count == PAIR_CAP) {
        memmove(pair_fd[0], pair_fd[1], sizeof pair_fd[0] * (PAIR_CAP - 1));
        pair_count--;
    }
    pair_fd[pair_count][0] = a;
    pair_fd[pair_count][1] = b;
    pair_count++;
}

// The other end of the pair fd belongs to, or -1.
int32_t pair_peer(int64_t fd) {
    for (int k = pair_count - 1; k >= 0; k--) {
        if (pair_fd[k][0] == fd) return pair_fd[k][1];
        if (pair_fd[k][1] == fd) return pair_fd[k][0];
    }
    return -1;
}

// One posted name: its multiplexer and the socket files it bound, so that
// only those are removed.
struct Post {
    Mux* mux = nullptr;
    char path[MUX_LISTEN_CAP][sizeof(sockaddr_un{}.sun_path)] = {};
    dev_t dev[MUX_LISTEN_CAP] = {};
    ino_t ino[MUX_LISTEN_CAP] = {};
};

Post posts[POST_CAP];  // touched by the server's thread only

// Removes socket file k of a post, unless another server has replaced it.
void unlink_own_socket(const Post& p, int k) {
    struct stat st;
    if (p.path[k][0] != '\0' && lstat(p.path[k], &st) == 0 && st.st_dev == p.dev[k] &&
        st.st_ino == p.ino[k]) {
        unlink(p.path[k]);
    }
}

void post_release(Post& p) {
    if (p.mux != nullptr) mux_free(p.mux);
    for (int k = 0; k < MUX_LISTEN_CAP; k++) unlink_own_socket(p, k);
    p = Post{};
}

// The registry directory into out, created when missing. 0 or -errno; on a
// refusal the stand-in says which directory and why.
int64_t registry_dir(char* out, uint64_t cap) {
    const char* v = getenv("VELMOR_SRV");
    int64_t r;
    if (v != nullptr && v[0] != '\0') {
        if (strlen(v) >= cap) {
            say("[velmor] srv: cannot use the registry directory %s (path too long)\n", v);
            return -ENAMETOOLONG;
        }
        memcpy(out, v, strlen(v) + 1);
        r = make_dirs(out);
    } else if (const char* xdg = usable_dir_env("XDG_RUNTIME_DIR")) {
        r = join_path(out, cap, xdg, "velmor-srv");
        if (r == 0) r = make_dirs(out);
    } else {
        r = tmp_user_dir(out, cap, "velmor-srv");
        if (r == -EACCES) {
            say("[velmor] srv: cannot use the registry directory %s (not a directory of this "
                "user's own: a symlink, or made by someone else)\n",
                out);
            return r;
        }
    }
    if (r < 0) {
        say("[velmor] srv: cannot use the registry directory %s (%s)\n", out,
            strerror(static_cast<int>(-r)));
    }
    return r;
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
    pair_remember(fds[0], fds[1]);
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
    // Only the other end of a pair of ours can be served; and it is served
    // under one name at a time.
    int32_t server_fd = pair_peer(fd);
    if (server_fd < 0) return -EINVAL;
    if (srv_mux(server_fd) != nullptr) return -EBUSY;

    Post* post = nullptr;
    for (Post& p : posts) {
        if (p.mux == nullptr && post == nullptr) post = &p;
    }
    if (post == nullptr) return -ENFILE;

    char dir[PATH_MAX];
    int64_t r = registry_dir(dir, sizeof dir);
    if (r < 0) return r;
    // NAME, then NAME.linux; both must fit a socket address.
    sockaddr_un addr[MUX_LISTEN_CAP];
    const uint8_t dialects[MUX_LISTEN_CAP] = {SESS_DIALECT_NATIVE, SESS_DIALECT_LINUX};
    for (int k = 0; k < MUX_LISTEN_CAP; k++) {
        memset(&addr[k], 0, sizeof addr[k]);
        addr[k].sun_family = AF_UNIX;
        r = join_path(addr[k].sun_path, sizeof addr[k].sun_path, dir, name);
        if (r == 0 && k == 1) {
            if (strlen(addr[k].sun_path) + sizeof LINUX_SUFFIX > sizeof addr[k].sun_path) {
                r = -ENAMETOOLONG;
            } else {
                strcat(addr[k].sun_path, LINUX_SUFFIX);
            }
        }
        if (r < 0) return r;
    }

    int posted = fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 3);
    if (posted < 0) return -errno;

    // Two servers posting the same name at once must not both see a stale
    // socket and remove each other's: the checks and binds run under a lock
    // on the registry directory.
    int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || flock(dfd, LOCK_EX) != 0) {
        r = -errno;
        if (dfd >= 0) close(dfd);
        close(posted);
        return r;
    }
    int listen_fds[MUX_LISTEN_CAP];
    int bound = 0;
    for (; bound < MUX_LISTEN_CAP; bound++) {
        r = bind_listener(addr[bound]);
        if (r < 0) break;
        listen_fds[bound] = static_cast<int>(r);
        struct stat st;
        memcpy(post->path[bound], addr[bound].sun_path, sizeof post->path[bound]);
        if (lstat(addr[bound].sun_path, &st) == 0) {
            post->dev[bound] = st.st_dev;
            post->ino[bound] = st.st_ino;
        }
    }
    close(dfd);  // releases the lock
    if (r < 0) {
        for (int k = 0; k < bound; k++) close(listen_fds[k]);
        close(posted);
        post_release(*post);
        return r;
    }

    post->mux = mux_create(server_fd, posted, listen_fds, dialects, MUX_LISTEN_CAP);
    if (post->mux == nullptr) {
        r = -errno;
        for (int k = 0; k < MUX_LISTEN_CAP; k++) close(listen_fds[k]);
        close(posted);
        post_release(*post);
        return r;
    }
    if (trace_on) trace_post(post->mux, name);
    return 0;
}

Mux* srv_mux(int64_t fd) {
    for (Post& p : posts) {
        if (p.mux != nullptr && mux_server_fd(p.mux) == fd) return p.mux;
    }
    return nullptr;
}

void srv_quiesce() {
    for (Post& p : posts) {
        if (p.mux == nullptr) continue;
        mux_quiesce(p.mux);
        for (int k = 0; k < MUX_LISTEN_CAP; k++) unlink_own_socket(p, k);
    }
}

void srv_reset() {
    for (Post& p : posts) {
        if (p.mux != nullptr || p.path[0][0] != '\0') post_release(p);
    }
    pair_count = 0;
}
