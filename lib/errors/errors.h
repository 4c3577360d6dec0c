// Every text tolvane sends in an Rerror, and those the velmor stand-in sends
// on a posted name, named once. The server, the stand-in and the clients
// that turn texts into errnos (errmap.h) all point down to this leaf.
//
// Clients match these texts byte for byte, so a text is never changed in
// place: a new refusal gets a new name (and a row in errmap.cpp, which the
// compiler checks against ERR_ALL). Each is a whole Rerror text,
// NUL-terminated for emit_rerror.
#pragma once

#include <array>
#include <string_view>

namespace tolvane {

// Fids.
inline constexpr char ERR_UNKNOWN_FID[] = "tolvane: unknown fid";
inline constexpr char ERR_FILE_REMOVED[] = "tolvane: file removed";
inline constexpr char ERR_FID_IN_USE[] = "tolvane: fid in use";
inline constexpr char ERR_NEWFID_IN_USE[] = "tolvane: newfid in use";
inline constexpr char ERR_FID_TABLE_FULL[] = "tolvane: fid table full";
inline constexpr char ERR_FID_IS_OPEN[] = "tolvane: fid is open";
inline constexpr char ERR_FID_ALREADY_OPEN[] = "tolvane: fid already open";
inline constexpr char ERR_FID_NOT_OPEN[] = "tolvane: fid not open";
inline constexpr char ERR_FID_NOT_OPEN_FOR_READ[] = "tolvane: fid not open for read";
inline constexpr char ERR_FID_NOT_OPEN_FOR_WRITE[] = "tolvane: fid not open for write";

// Attach, walk, open and create.
inline constexpr char ERR_UNKNOWN_ATTACH_TREE[] = "tolvane: unknown attach tree";
inline constexpr char ERR_NO_SUCH_FILE[] = "tolvane: no such file or directory";
inline constexpr char ERR_DIRECTORY_READ_ONLY[] = "tolvane: directory is read-only";
inline constexpr char ERR_OTRUNC_NEEDS_WRITE[] = "tolvane: OTRUNC needs write";
inline constexpr char ERR_CREATE_IN_NON_DIRECTORY[] = "tolvane: create in a non-directory";
inline constexpr char ERR_BAD_NAME_LENGTH[] = "tolvane: bad name length";
inline constexpr char ERR_BAD_NAME[] = "tolvane: bad name";
inline constexpr char ERR_NAME_EXISTS[] = "tolvane: name exists";
inline constexpr char ERR_NODE_TABLE_FULL[] = "tolvane: node table full";

// Read and write.
inline constexpr char ERR_BAD_DIRECTORY_OFFSET[] = "tolvane: bad directory offset";
inline constexpr char ERR_READ_COUNT_TOO_SMALL[] =
    "tolvane: read count too small for a directory entry";
inline constexpr char ERR_CANNOT_WRITE_DIRECTORY[] = "tolvane: cannot write a directory";
inline constexpr char ERR_POOL_EXHAUSTED[] = "tolvane: file-data pool exhausted";
inline constexpr char ERR_SNAPSHOT_CAPACITY[] = "tolvane: snapshot capacity exhausted";
inline constexpr char ERR_FILE_TOO_LARGE[] = "tolvane: file too large";

// Clunk and remove.
inline constexpr char ERR_PERSIST_FAILED[] = "tolvane: persist failed";
inline constexpr char ERR_CANNOT_REMOVE_ROOT[] = "tolvane: cannot remove root";
inline constexpr char ERR_DIRECTORY_NOT_EMPTY[] = "tolvane: directory not empty";
inline constexpr char ERR_REMOVE_NOT_PERSISTED[] = "tolvane: remove not persisted";

// Message types the server does not serve.
inline constexpr char ERR_TWSTAT_NOT_SUPPORTED[] = "tolvane: Twstat not supported";
inline constexpr char ERR_NOT_IMPLEMENTED[] = "tolvane: not implemented";

// Every text above.
inline constexpr std::array<std::string_view, 31> ERR_ALL = {
    ERR_UNKNOWN_FID,
    ERR_FILE_REMOVED,
    ERR_FID_IN_USE,
    ERR_NEWFID_IN_USE,
    ERR_FID_TABLE_FULL,
    ERR_FID_IS_OPEN,
    ERR_FID_ALREADY_OPEN,
    ERR_FID_NOT_OPEN,
    ERR_FID_NOT_OPEN_FOR_READ,
    ERR_FID_NOT_OPEN_FOR_WRITE,
    ERR_UNKNOWN_ATTACH_TREE,
    ERR_NO_SUCH_FILE,
    ERR_DIRECTORY_READ_ONLY,
    ERR_OTRUNC_NEEDS_WRITE,
    ERR_CREATE_IN_NON_DIRECTORY,
    ERR_BAD_NAME_LENGTH,
    ERR_BAD_NAME,
    ERR_NAME_EXISTS,
    ERR_NODE_TABLE_FULL,
    ERR_BAD_DIRECTORY_OFFSET,
    ERR_READ_COUNT_TOO_SMALL,
    ERR_CANNOT_WRITE_DIRECTORY,
    ERR_POOL_EXHAUSTED,
    ERR_SNAPSHOT_CAPACITY,
    ERR_FILE_TOO_LARGE,
    ERR_PERSIST_FAILED,
    ERR_CANNOT_REMOVE_ROOT,
    ERR_DIRECTORY_NOT_EMPTY,
    ERR_REMOVE_NOT_PERSISTED,
    ERR_TWSTAT_NOT_SUPPORTED,
    ERR_NOT_IMPLEMENTED,
};

}  // namespace tolvane

// The stand-in's own refusals on a posted name.
inline constexpr char VELMOR_ERR_MALFORMED[] = "velmor: malformed 9P2000 message";
inline constexpr char VELMOR_ERR_TOO_MANY[] = "velmor: too many clients on this channel";
inline constexpr char VELMOR_ERR_MSIZE[] = "velmor: msize below 256";
inline constexpr std::array<std::string_view, 3> VELMOR_ERR_ALL = {
    VELMOR_ERR_MALFORMED, VELMOR_ERR_TOO_MANY, VELMOR_ERR_MSIZE};
