// tlnmount's file system: the FUSE operations (high-level, path-based API)
// on one attached tlnclient connection.
//
// Fids. The root fid from the attach is the only fid held for the mount's
// whole life. Every path operation walks a fresh fid from it and clunks that
// fid before returning; an open file handle owns the fid it opened until the
// kernel releases the handle (or the mount ends); a directory is read whole
// through a fid of its own when it is opened, and the handle keeps the
// listing, not the fid. So the fids in use
// at any moment are the root, the open handles and at most two transient ones
// (a walk and the probe the client uses to explain a walk that stopped), and
// open() refuses with EMFILE before the server's fid table would be full.
//
// One request at a time: the mount runs FUSE's single-threaded loop, and each
// operation finishes its requests before the next operation starts.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "client.h"

struct fuse_operations;
struct fuse_file_info;

namespace tlnmount {

// Nodes and data slots counted from the tree, for statfs. A file's slots are
// counted from its length (one per 64 KiB begun), so holes count as used:
// the free figures are never more than what is really free.
struct Usage {
    uint64_t nodes = 0;  // the attach root and everything below it
    uint64_t slots = 0;
};

class Mount {
public:
    // CLIENT is attached with ROOT. DEBUG writes every refusal (operation,
    // path, the server's text and the errno given) to stderr.
    Mount(std::unique_ptr<tlnclient::Client> client, tlnclient::Fid root, bool debug);
    ~Mount();
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;

    // The operations table for fuse_new, whose user data must be this Mount.
    static const fuse_operations& operations();

    // Clunks every fid the mount still holds: handles the kernel never
    // released (a release still queued when the file system was unmounted is
    // dropped by the kernel, and its clunk is what makes the server save),
    // then the root; then hangs up. Returns false when the connection was
    // lost during the mount or the hang-up failed (a -c server that exited
    // badly).
    bool shutdown();

    // True once the connection broke; the loop has been asked to stop.
    bool lost() const { return lost_; }

    // Walks the whole tree from the root, counting nodes and slots.
    tlnclient::Result<Usage> usage();

    // Most handles open at once: the server's fid table less the root and
    // two transient fids.
    static constexpr size_t OPEN_LIMIT = 61;

    // Implementation of each operation; the static table calls these.
    struct Ops;

private:
    int fail(const char* op, const char* path, const tlnclient::Error& e);
    void check_connection(const tlnclient::Error& e);
    int refuse(const char* op, const char* path, int err, const char* why);
    tlnclient::Result<tlnclient::Fid> walk(const char* path);
    tlnclient::Result<tlnclient::Stat> stat_path(const char* path);
    bool handle_fid(const fuse_file_info* fi, tlnclient::Fid* fid) const;
    // Through FI's fid when it is an open file handle, else by PATH.
    tlnclient::Result<tlnclient::Stat> stat_of(const char* path, const fuse_file_info* fi);
    // The listing of the directory at PATH, through a fid of its own.
    tlnclient::Result<std::vector<tlnclient::Stat>> list(const char* path);
    tlnclient::Status clunk_checked(tlnclient::Fid fid);
    void fill_stat(const tlnclient::Stat& s, struct stat* st) const;
    tlnclient::Status mark_written(const char* path);

    std::unique_ptr<tlnclient::Client> client_;
    tlnclient::Fid root_;
    bool debug_;
    bool lost_ = false;
    bool shut_ = false;
    uid_t uid_;
    gid_t gid_;
    std::set<tlnclient::Fid> handles_;  // the fid of every open handle
};

}  // namespace tlnmount
