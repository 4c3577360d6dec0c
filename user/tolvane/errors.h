// tolvane: every text the server sends in an Rerror, named once.
//
// Clients match these texts byte for byte (tlnmount and the stand-in's Linux
// dialect turn them into errnos), so a text is never changed in place: a new
// refusal gets a new name. Each is a whole Rerror text, NUL-terminated for
// emit_rerror.
#pragma once

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

}  // namespace tolvane
