// What both soak modes share: one connection that checks each reply's framing
// and tag, stat records decoded, the bytes files are written with, and two
// small readings of a reply or a process. A failure ends the run through the
// caller's fail function. Requests come from the test kit (requests.h).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "9p/9p.h"
#include "client.h"
#include "requests.h"
#include "spawn.h"
#include "wire.h"

namespace soak {

using tolvane_test::Bytes;
// Ends the run with a reason; never returns.
using FailFn = void (*)(const std::string& why);

inline constexpr uint32_t MSIZE = 131072;
inline constexpr int REPLY_TIMEOUT_MS = 10000;
inline constexpr int CONNECT_TRIES = 500;  // 10 ms apart

// One client connection to a posted server's socket.
class Conn {
public:
    Conn(const std::string& path, FailFn fail) : fail_(fail) {
        for (int attempt = 0; attempt < CONNECT_TRIES; attempt++) {
            fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
            if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                wire_ = tlnclient::Wire(fd_, fd_, MSIZE, REPLY_TIMEOUT_MS);
                return;
            }
            close(fd_);
            fd_ = -1;
            usleep(10000);
        }
        fail_("cannot connect to " + path);
    }
    ~Conn() {
        if (fd_ >= 0) close(fd_);
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    // Sends the request and returns the whole reply, checked for framing and
    // the request's tag.
    Bytes call(const Bytes& req) {
        if (req.empty()) fail_("could not encode a request");
        send_partial(req, req.size());
        requests++;
        tlnclient::Result<uint32_t> got = wire_.recv(MSIZE);
        if (!got) fail_(got.error().text);
        Bytes reply(wire_.data(), wire_.data() + got.value());
        if (reply[5] != req[5] || reply[6] != req[6]) fail_("reply tag differs from the request's");
        return reply;
    }
    // Sends the first n bytes of a request (all of it, or part before a hang-up).
    void send_partial(const Bytes& req, size_t n) {
        if (!wire_.send(req.data(), n))
            fail_("send failed: the server stopped serving this client");
    }

    uint64_t requests = 0;

private:
    FailFn fail_;
    int fd_ = -1;
    tlnclient::Wire wire_;
};

inline uint64_t hash_str(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

// The byte a file whose path hashes to `name_hash` holds at `off` wherever it
// was written.
inline uint8_t pattern(uint64_t name_hash, uint64_t off) {
    uint64_t x = (name_hash ^ (off * 0x9E3779B97F4A7C15ull)) >> 29;
    return static_cast<uint8_t>(x | 1);  // never 0, so a hole is told apart
}

// The record of an Rstat; false when the reply is not one whole Rstat.
inline bool decode_rstat(const Bytes& r, tlnclient::Stat& st) {
    uint16_t tag;
    return tlnclient::decode_rstat(r.data(), r.size(), tag, st) > 0;
}

// The text of an Rerror, or "" for any other reply.
inline std::string rerror_text(const Bytes& r) {
    uint16_t tag;
    const uint8_t* t;
    uint64_t n;
    if (r[4] != P9_RERROR || p9_decode_rerror(r.data(), r.size(), &tag, &t, &n) < 0) return {};
    return std::string(reinterpret_cast<const char*>(t), n);
}

// Which of the allowed refusals the reply is, or "" when it is of type want.
// Any other reply ends the run: "WHAT: reply type N 'TEXT'".
inline std::string refusal(const Bytes& r, uint8_t want, std::initializer_list<const char*> allowed,
                           const std::string& what, FailFn fail) {
    if (r[4] == want) return {};
    std::string text = rerror_text(r);
    for (const char* a : allowed) {
        if (text == a) return text;
    }
    fail(what + ": reply type " + std::to_string(r[4]) + " '" + text + "'");
    return {};
}

// Starts `BINARY post NAME 3` on the registry ROOT/srv and the store
// ROOT/store, its standard output and error appended to ROOT/server.log, and
// returns its pid.
inline pid_t start_server(const std::string& binary, const std::string& root,
                          const std::string& name, FailFn fail) {
    std::string log = root + "/server.log";
    int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (err < 0) fail("cannot open " + log);
    pid_t pid =
        tolvane_test::spawn(binary, {binary, "post", name, "3"},
                            {{"VELMOR_SRV", root + "/srv"}, {"VELMOR_STORE", root + "/store"}},
                            {tolvane_test::NULL_FD, err, err});
    close(err);
    if (pid < 0) fail("fork");
    return pid;
}

// Descriptors process pid holds open now.
inline uint64_t open_fds(pid_t pid) {
    uint64_t n = 0;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') n++;
    }
    closedir(d);
    return n;
}

}  // namespace soak
