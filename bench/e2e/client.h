// One benchmark connection: a 9P2000 server started as a child process with
// one end of a socketpair as its standard input and output, and a client on
// the other end (sends and reply checks: tlnclient's wire layer) that keeps
// exactly one request outstanding and checks every reply (type, tag, size,
// counts). Any deviation, an Rerror included, throws Failure.
//
// Posted: the server is started as "CMD post NAME" with a registry of its own
// and the connection is a client of the socket it posts, so every request
// passes the stand-in's multiplexer; more connections may join the same server.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "9p/9p.h"
#include "wire.h"

namespace tlnbench {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Monotonic clock in seconds.
double now();

// A server command line, already split into words.
struct Command {
    std::vector<std::string> argv;
    std::string text() const;
};
// Splits on blanks; single or double quotes group words (no escapes).
Command parse_command(std::string_view text);

// Environment changes for the child: each key is set to its value, or removed
// from the environment when its value is env_unset.
using EnvChanges = std::map<std::string, std::string>;
inline const std::string env_unset = "\x01unset";

class Conn {
public:
    // Starts the server (pinned to cpu when cpu >= 0) with its standard error
    // appended to errlog. Throws Failure when it cannot be started.
    // With post_dir set, the server posts itself in that registry directory
    // (VELMOR_SRV) and this connection is a client of the posted socket.
    Conn(const Command& cmd, const EnvChanges& env, int cpu, const std::string& errlog,
         const std::string& post_dir = "");
    // A further client of a posted server's socket (no process of its own).
    explicit Conn(const std::string& socket_path);
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    // Requests. Each sends one message and checks its reply.
    // version: returns the negotiated msize (at most the one asked for).
    uint32_t version(uint32_t msize);
    void attach(uint32_t fid, std::string_view aname = "");
    // Walks names from fid to newfid; the reply must carry names.size() qids.
    void walk(uint32_t fid, uint32_t newfid, const std::vector<std::string_view>& names = {});
    void open(uint32_t fid, uint8_t mode);
    void create(uint32_t fid, std::string_view name, uint32_t perm, uint8_t mode);
    // Returns the count of the Rread (at most count); *data points at its bytes
    // (valid until the next request).
    uint32_t read(uint32_t fid, uint64_t offset, uint32_t count, const uint8_t** data = nullptr);
    // The Rwrite must report all count bytes written. Writes of the same fid,
    // data and count reuse the encoded message and only patch tag and offset:
    // the driver's one hot path of its own. Encoding anew copies the data
    // each time, about 1 us of CPU per 64 KiB here (bench_codec
    // BM_RreadEncode64K, the same copy), 2 us per "write max" request, which
    // would land on both sides of every write row.
    void write(uint32_t fid, uint64_t offset, const uint8_t* data, uint32_t count);
    void clunk(uint32_t fid);
    void remove(uint32_t fid);
    // Returns the length field of the stat record.
    uint64_t stat(uint32_t fid);

    // Closes our end (the server reads end of stream; a posted server is sent
    // SIGTERM, its way to stop) and waits for the exit; returns the exit
    // status, or 128 + signal.
    int hang_up(double timeout_s = 60);
    // Kills the server at once and reaps it.
    void kill_now();

    pid_t pid() const { return pid_; }
    // Monotonic time taken just before the server process was created.
    double spawned_at() const { return spawned_at_; }
    // CPU time the server process has used so far, user and system, in
    // seconds (its CPU-time clock); less disturbed by other load than wall time.
    double cpu_time() const;
    uint32_t msize() const { return msize_; }
    // The posted socket, empty on stdio.
    const std::string& socket_path() const { return socket_path_; }

private:
    uint16_t next_tag();
    void send(const uint8_t* msg, size_t len);
    // Reads one whole reply into rbuf_; checks tag and that the type is the
    // expected one (check_reply: an Rerror becomes a Failure carrying its
    // text). Returns the length.
    //
    // The driver's second hot path of its own: one blocking read per reply,
    // bounded by SO_RCVTIMEO, where the wire layer polls and then reads. With
    // Wire::recv here, server CPU per op moved as the driver waited
    // differently (same binaries, --only rtt,stat, 2 x 5 reps under load):
    // rtt cpu-r 1.11 and 1.16 became 1.01 and 0.94, stat 1.15 and 1.15
    // became 0.94 and 0.95, the floor's CPU per op dropping and tolvane's
    // rising; so the figures would no longer compare with the recorded ones.
    uint32_t receive(uint8_t type, uint16_t tag, const char* what);
    // A cursor over sbuf_ for the next request.
    p9_cursor request();
    // Sends the request an encoder wrote into sbuf_ (N its result; negative
    // when it failed) and receives its reply: receive's result.
    uint32_t call(int32_t n, uint8_t type, uint16_t tag, const char* what);

    pid_t pid_ = -1;
    double spawned_at_ = 0;
    clockid_t cpu_clock_{};
    int fd_ = -1;
    std::string socket_path_;
    uint16_t tag_ = 0;
    uint32_t msize_ = 8192;
    tlnclient::Wire wire_;  // sends only: receive() reads rbuf_ itself
    std::vector<uint8_t> sbuf_, rbuf_, wbuf_;
    // The cached Twrite in wbuf_.
    uint32_t w_fid_ = 0, w_count_ = 0;
    const uint8_t* w_data_ = nullptr;
};

}  // namespace tlnbench
