// The error table: one row per text the server can send, by the name the
// server gives it in errors.h.
#include "errmap.h"

#include <array>
#include <cerrno>

#include "tolvane/errors.h"

namespace tlnmount {

namespace {

// Choices that are not obvious:
// - Texts that only a client bug could provoke (unknown fid, fid in use, fid
//   already open, bad directory offset) are EIO: a program can do nothing
//   about them and they should show up as I/O failures, not as its mistake.
// - "file removed" comes back through a handle whose file another path
//   removed; ESTALE ("Stale file handle") says exactly that.
// - A failed save left the change in the server's memory but not on its
//   store: EIO, as a disk error would.
// - Every Twstat is refused: chmod, chown, rename and explicit times see
//   ENOTSUP ("Operation not supported"), which tells the user the server
//   cannot do it rather than that they may not.
// - "not implemented" answers message types the mount never sends (Tauth).
constexpr std::array<ErrnoRule, 31> RULES = {{
    {tolvane::ERR_UNKNOWN_FID, EIO},
    {tolvane::ERR_FILE_REMOVED, ESTALE},
    {tolvane::ERR_FID_IN_USE, EIO},
    {tolvane::ERR_UNKNOWN_ATTACH_TREE, ENOENT},
    {tolvane::ERR_FID_TABLE_FULL, EMFILE},
    {tolvane::ERR_FID_IS_OPEN, EIO},
    {tolvane::ERR_NEWFID_IN_USE, EIO},
    {tolvane::ERR_NO_SUCH_FILE, ENOENT},
    {tolvane::ERR_FID_ALREADY_OPEN, EIO},
    {tolvane::ERR_DIRECTORY_READ_ONLY, EISDIR},
    {tolvane::ERR_OTRUNC_NEEDS_WRITE, EACCES},
    {tolvane::ERR_CREATE_IN_NON_DIRECTORY, ENOTDIR},
    {tolvane::ERR_BAD_NAME_LENGTH, ENAMETOOLONG},
    {tolvane::ERR_BAD_NAME, EINVAL},
    {tolvane::ERR_NAME_EXISTS, EEXIST},
    {tolvane::ERR_NODE_TABLE_FULL, ENOSPC},
    {tolvane::ERR_BAD_DIRECTORY_OFFSET, EIO},
    {tolvane::ERR_READ_COUNT_TOO_SMALL, EINVAL},
    {tolvane::ERR_FID_NOT_OPEN, EBADF},
    {tolvane::ERR_FID_NOT_OPEN_FOR_READ, EBADF},
    {tolvane::ERR_FID_NOT_OPEN_FOR_WRITE, EBADF},
    {tolvane::ERR_CANNOT_WRITE_DIRECTORY, EISDIR},
    {tolvane::ERR_POOL_EXHAUSTED, ENOSPC},
    {tolvane::ERR_SNAPSHOT_CAPACITY, ENOSPC},
    {tolvane::ERR_FILE_TOO_LARGE, EFBIG},
    {tolvane::ERR_PERSIST_FAILED, EIO},
    {tolvane::ERR_CANNOT_REMOVE_ROOT, EBUSY},
    {tolvane::ERR_DIRECTORY_NOT_EMPTY, ENOTEMPTY},
    {tolvane::ERR_REMOVE_NOT_PERSISTED, EIO},
    {tolvane::ERR_TWSTAT_NOT_SUPPORTED, ENOTSUP},
    {tolvane::ERR_NOT_IMPLEMENTED, ENOSYS},
}};

}  // namespace

std::span<const ErrnoRule> errno_rules() {
    return RULES;
}

int errno_for_text(std::string_view text) {
    for (const ErrnoRule& r : RULES) {
        if (r.text == text) return r.err;
    }
    constexpr std::string_view walk_stop = "': not found";
    if (text.size() > walk_stop.size() + 1 && text.front() == '\'' && text.ends_with(walk_stop)) {
        return ENOENT;
    }
    return EIO;
}

int errno_for(const tlnclient::Error& e) {
    switch (e.kind) {
        case tlnclient::ErrorKind::refused:
            return errno_for_text(e.text);
        case tlnclient::ErrorKind::local:
            return e.text == "out of fids" ? EMFILE : EIO;
        case tlnclient::ErrorKind::protocol:
        case tlnclient::ErrorKind::connection:
            break;
    }
    return EIO;
}

}  // namespace tlnmount
