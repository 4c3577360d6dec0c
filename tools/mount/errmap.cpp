// The error table: one row per text the server can send.
#include "errmap.h"

#include <array>
#include <cerrno>

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
    {"tolvane: unknown fid", EIO},
    {"tolvane: file removed", ESTALE},
    {"tolvane: fid in use", EIO},
    {"tolvane: unknown attach tree", ENOENT},
    {"tolvane: fid table full", EMFILE},
    {"tolvane: fid is open", EIO},
    {"tolvane: newfid in use", EIO},
    {"tolvane: no such file or directory", ENOENT},
    {"tolvane: fid already open", EIO},
    {"tolvane: directory is read-only", EISDIR},
    {"tolvane: OTRUNC needs write", EACCES},
    {"tolvane: create in a non-directory", ENOTDIR},
    {"tolvane: bad name length", ENAMETOOLONG},
    {"tolvane: bad name", EINVAL},
    {"tolvane: name exists", EEXIST},
    {"tolvane: node table full", ENOSPC},
    {"tolvane: bad directory offset", EIO},
    {"tolvane: read count too small for a directory entry", EINVAL},
    {"tolvane: fid not open", EBADF},
    {"tolvane: fid not open for read", EBADF},
    {"tolvane: fid not open for write", EBADF},
    {"tolvane: cannot write a directory", EISDIR},
    {"tolvane: file-data pool exhausted", ENOSPC},
    {"tolvane: snapshot capacity exhausted", ENOSPC},
    {"tolvane: file too large", EFBIG},
    {"tolvane: persist failed", EIO},
    {"tolvane: cannot remove root", EBUSY},
    {"tolvane: directory not empty", ENOTEMPTY},
    {"tolvane: remove not persisted", EIO},
    {"tolvane: Twstat not supported", ENOTSUP},
    {"tolvane: not implemented", ENOSYS},
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
