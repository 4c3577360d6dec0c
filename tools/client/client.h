// tlnclient: a small 9P2000 client library on the lib/9p codec.
//
// One Client is one connection to one server: a socket posted in the velmor
// /srv registry, a socket path, a server command whose standard input and
// output carry the protocol, or a pair of descriptors the caller already has.
// Connecting negotiates 9P2000 (Tversion); everything after that is one
// request and one reply at a time, each reply checked before it is used:
// size within the negotiated msize, the tag of the request, the expected type
// (or Rerror), a body that decodes exactly, and counts no larger than asked.
//
// Nothing here throws. Every operation returns a Result: either its value or
// an Error saying what went wrong and whether the connection is still usable.
// A server that hangs up, answers garbage or stays silent past the timeout
// poisons the connection: that call and every later one fail with a
// connection or protocol error instead of hanging.
//
// Not thread-safe: one thread drives one Client.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stat.h"
#include "wire.h"

namespace tlnclient {

// A stat record for Twstat that asks for no change: every number is its
// "leave unchanged" value (all bits set) and every string is empty. Set only
// the fields to change.
Stat unchanged_stat();

using Fid = uint32_t;

struct Options {
    // Message size offered in Tversion; the server's answer (never larger) is
    // what the connection then uses.
    uint32_t msize = 131072;
    // Longest wait for any one reply (and for a spawned server to exit after
    // hang-up), in milliseconds.
    int timeout_ms = 20000;
    // User name sent in Tattach.
    std::string uname = "tlnc";
};

// Directory of the /srv registry, found as the server finds it: $VELMOR_SRV
// when set and not empty, else $XDG_RUNTIME_DIR/velmor-srv when
// XDG_RUNTIME_DIR is an absolute path to a directory this user may write, else
// /tmp/velmor-srv-<euid>.
std::string registry_dir();

// Path of the socket a server posted under NAME: registry_dir() + "/" + NAME.
std::string posted_path(std::string_view name);

// Splits a path on '/', dropping empty elements: "/a//b/" gives {"a", "b"};
// "" and "/" give {}. "." and ".." are kept for the server to interpret.
std::vector<std::string> split_path(std::string_view path);

class Client {
public:
    // Connects to the server posted under NAME in the registry, then Tversion.
    static Result<std::unique_ptr<Client>> connect_posted(std::string_view name,
                                                          const Options& opts = {});
    // Connects to a unix stream socket at PATH, then Tversion.
    static Result<std::unique_ptr<Client>> connect_socket(const std::string& path,
                                                          const Options& opts = {});
    // Starts COMMAND with /bin/sh -c, its standard input and output joined to
    // this client (its standard error is ours), then Tversion. close() hangs
    // up and waits for it to exit.
    static Result<std::unique_ptr<Client>> spawn(const std::string& command,
                                                 const Options& opts = {});
    // Speaks on descriptors the caller opened (they may be the same); the
    // Client owns them from here on and closes them. Then Tversion.
    static Result<std::unique_ptr<Client>> over_fds(int rfd, int wfd, const Options& opts = {});

    // Hangs up without waiting (see close()).
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Hangs up: closes the connection, so the server sees end of stream. For a
    // spawned server, then waits up to the timeout for it to exit and fails
    // when it exits with a status other than 0, is killed, or has to be killed
    // after the timeout. Later calls fail with a connection error.
    Status close();

    // The negotiated message size.
    uint32_t msize() const { return msize_; }
    // Largest data count of one Tread or Twrite: msize less the Twrite header
    // (23 bytes), rounded to the customary 24.
    uint32_t iounit() const { return msize_ - 24; }
    // False once the connection broke (protocol or connection error) or was
    // closed.
    bool usable() const { return !dead_; }
    // Checks, without waiting, a connection with no request outstanding: a
    // server says nothing unasked, so a stream that has ended, was reset or
    // holds bytes means the server hung up since its last reply (or broke
    // the protocol). Succeeds when nothing is waiting; otherwise poisons the
    // connection and fails with a connection error that says which.
    Status check_idle();
    // Process id of a spawned server, or -1.
    pid_t server_pid() const { return child_; }

    // Tattach of a new fid to the tree named by ANAME ("" for the default).
    // Returns the fid.
    Result<Fid> attach(std::string_view aname);

    // Walks a new fid from FROM along PATH (split with split_path; an empty
    // path clones FROM). Paths of more than 16 elements take several Twalks.
    // When the walk stops part way, the error carries the server's own words
    // for the element that failed. When REACHED is given and PATH has at least
    // one element, it receives the qid of the last element.
    Result<Fid> walk(Fid from, std::string_view path, Qid* reached = nullptr);

    // Topen of a walked fid with MODE (P9_OREAD, P9_OWRITE | P9_OTRUNC, ...).
    // Returns the qid.
    Result<Qid> open(Fid fid, uint8_t mode);

    // Tcreate of NAME in the directory FID is on. On success FID is open on the
    // new file (or directory, when PERM has P9_DMDIR). Returns its qid.
    Result<Qid> create(Fid fid, std::string_view name, uint32_t perm, uint8_t mode);

    // One Tread of at most COUNT bytes (COUNT is lowered to iounit()). Returns
    // the number of bytes placed at BUF; 0 means end of file.
    Result<uint32_t> read(Fid fid, uint64_t offset, uint8_t* buf, uint32_t count);

    // One Twrite of at most COUNT bytes (lowered to iounit()). Returns the
    // count the server took, which may be less.
    Result<uint32_t> write(Fid fid, uint64_t offset, const uint8_t* buf, uint32_t count);

    // Reads from OFFSET until COUNT bytes have arrived or the server answers
    // an empty read, in requests as large as the msize allows. Returns the
    // number of bytes read.
    Result<uint64_t> read_full(Fid fid, uint64_t offset, uint8_t* buf, uint64_t count);

    // Writes all COUNT bytes from OFFSET on, in requests as large as the msize
    // allows, continuing after short writes. A write the server answers with 0
    // bytes fails with a refused error naming the offset where it stopped.
    Status write_full(Fid fid, uint64_t offset, const uint8_t* buf, uint64_t count);

    // Tstat, decoded.
    Result<Stat> stat(Fid fid);

    // Reads a directory opened with P9_OREAD from offset 0 until an empty
    // reply and decodes every stat record, in the server's order. A record
    // split across two replies is joined.
    Result<std::vector<Stat>> readdir(Fid fid);

    // Twstat of FID with ST (start from unchanged_stat()). Succeeds when the
    // server answers Rwstat.
    Status wstat(Fid fid, const Stat& st);

    // Tremove. The fid is gone afterwards whether or not the remove succeeded.
    Status remove(Fid fid);

    // Tclunk. The fid is gone afterwards whether or not the server agreed.
    Status clunk(Fid fid);

private:
    Client(int rfd, int wfd, pid_t child, const Options& opts);
    static Result<std::unique_ptr<Client>> start(std::unique_ptr<Client> c);

    Status negotiate();
    // Sends the first LEN bytes of tx_ (a negative LEN is an encoder failure)
    // and receives the reply (wire_.data(), rx_len_ bytes). Succeeds when the reply has the tag
    // sent and type WANT; an Rerror becomes a refused Error.
    Status rpc(int32_t len, uint8_t want);
    Error fail(ErrorKind kind, std::string text) { return fail(Error{kind, std::move(text)}); }
    // A failed send or receive, or any connection or protocol error:
    // poisons the connection (it is hung up and later calls fail).
    Error fail(Error e);
    Result<Fid> alloc_fid();
    void free_fid(Fid fid);
    uint16_t next_tag();
    Result<uint16_t> walk_once(Fid fid, Fid newfid, const std::vector<std::string>& names,
                               size_t from, size_t count, Qid* last);
    Error walk_failure(Fid fid, const std::vector<std::string>& names, size_t from, size_t reached);
    void hang_up();

    int rfd_ = -1;
    int wfd_ = -1;
    pid_t child_ = -1;
    Options opts_;
    uint32_t msize_ = 0;
    uint16_t tag_ = 0;
    Wire wire_;
    uint32_t rx_len_ = 0;  // length of the reply at wire_.data()
    std::vector<uint8_t> tx_;
    std::vector<bool> fid_used_;
    std::optional<Error> dead_;  // why the connection is unusable; empty while usable
};

}  // namespace tlnclient
