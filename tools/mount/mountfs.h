// tlnmount's file system: the FUSE operations (high-level, path-based API)
// on one attached tlnclient connection, kept by a Link (link.h).
//
// Fids. The root fid from the attach is the only fid held for the
// connection's whole life. Every path operation walks a fresh fid from it and
// clunks that fid before returning; an open file handle owns the fid it
// opened until the kernel releases the handle (or the mount ends, or a close
// saves, below); a directory is read whole through a fid of its own when it
// is opened, and the handle keeps the listing, not the fid. So the fids in
// use at any moment are the root, the open handles and at most two transient
// ones (a walk and the probe the client uses to explain a walk that stopped),
// and open() refuses with EMFILE before the server's fid table would be full.
//
// Closing saves. The server saves its tree when a fid that wrote is clunked.
// The kernel waits for a flush at every close(2) but not for the release that
// follows the last one, so flush clunks the fid of a handle that wrote since
// its last save, and close(2) returns once the change is saved (or with the
// reason it may not be). A handle used again after that opens a new fid.
//
// Reconnecting. When the Link connects again after a break, path operations
// simply walk from the new root. An open handle keeps the Link's generation
// beside its fid; used on a later connection, it walks a new fid to its path
// and opens it with the mode it was opened with (never with OTRUNC again). A
// file no longer at that path is stale (ESTALE). A request the break cut off
// answers EIO: it may or may not have taken effect. Writes through a handle
// that no save covered when the connection broke make its next close (or
// fsync) answer EIO, for the same reason.
//
// One request at a time: the mount runs FUSE's single-threaded loop, and each
// operation finishes its requests before the next operation starts.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client.h"
#include "link.h"

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
    // LINK is attached. DEBUG writes every refusal (operation, path, the
    // server's text and the errno given) to stderr.
    Mount(Link link, bool debug);
    ~Mount();
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;

    // The operations table for fuse_new, whose user data must be this Mount.
    static const fuse_operations& operations();

    // Clunks every fid the mount still holds: handles the kernel never
    // released (a release still queued when the file system was unmounted is
    // dropped by the kernel), then the root; then hangs up. Returns false
    // when the connection was lost for good during the mount (no
    // reconnecting) or the hang-up failed (a -c server that exited badly).
    bool shutdown();

    // True once the connection broke with no reconnecting; the loop has been
    // asked to stop.
    bool lost() const { return lost_; }

    // Walks the whole tree from the root, counting nodes and slots.
    tlnclient::Result<Usage> usage();

    // Most handles open at once: the server's fid table less the root and
    // two transient fids.
    static constexpr size_t OPEN_LIMIT = 61;

    // Implementation of each operation; the static table calls these.
    struct Ops;

private:
    // An open file.
    struct Handle {
        uint8_t mode = 0;  // the 9P open mode, less OTRUNC
        tlnclient::Fid fid = 0;
        uint64_t generation = 0;  // the Link's when FID was opened; 0 while it has none
        bool written = false;     // written through since the last save it knows of
        bool unsure = false;      // had unsaved writes when its connection broke
    };

    tlnclient::Client& client() { return link_.client(); }
    int fail(const char* op, const char* path, const tlnclient::Error& e);
    void check_connection(const tlnclient::Error& e);
    int refuse(const char* op, const char* path, int err, const char* why);
    tlnclient::Result<tlnclient::Fid> walk(const char* path);
    tlnclient::Result<tlnclient::Stat> stat_path(const char* path);
    uint64_t add_handle(uint8_t mode, tlnclient::Fid fid, bool written);
    // FI's handle when FI is an open file handle of ours, else null.
    Handle* handle_of(const fuse_file_info* fi);
    // H's fid on the current connection, opened anew by PATH when needed.
    tlnclient::Result<tlnclient::Fid> fid_of(Handle& h, const char* path);
    void settle(Handle& h);
    // Through FI's handle when it is an open file handle, else by PATH.
    tlnclient::Result<tlnclient::Stat> stat_of(const char* path, const fuse_file_info* fi);
    // The listing of the directory at PATH, through a fid of its own.
    tlnclient::Result<std::vector<tlnclient::Stat>> list(const char* path);
    tlnclient::Status clunk_checked(tlnclient::Fid fid);
    void fill_stat(const tlnclient::Stat& s, struct stat* st) const;
    tlnclient::Status mark_written(const char* path);

    Link link_;
    bool debug_;
    bool lost_ = false;
    bool shut_ = false;
    uid_t uid_;
    gid_t gid_;
    // Every open file handle, by the number FUSE keeps for it (from 1 up:
    // never the address of a directory handle's listing).
    std::map<uint64_t, Handle> handles_;
    uint64_t next_handle_ = 1;
};

}  // namespace tlnmount
