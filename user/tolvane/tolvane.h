// tolvane: the file server's tables, buffers and functions.
//
// All state is global, fixed in size by the capacity constants below, and
// lives for the whole process. Tables are parallel arrays indexed by node
// number, data slot or fid slot. Failure is reported by return value: table
// operations return an index or -1, handlers return 0 when their reply (success
// or Rerror) went out whole and -1 when the request did not decode or the reply
// could not be encoded or written.
//
// Everything lives in namespace tolvane: the server has its own `main`,
// `strlen` and `bcopy`, which on Linux must not collide with the C library's.
#pragma once

#include <array>
#include <cstdint>

#include "9p/9p.h"
#include "tolvane/limits.h"

namespace tolvane {

// ---- Capacities: limits.h ----

inline constexpr uint8_t KIND_FREE = 0;
inline constexpr uint8_t KIND_DIR = 1;
inline constexpr uint8_t KIND_FILE = 2;

inline constexpr uint32_t DM_DIR = P9_DMDIR;              // 0x80000000
inline constexpr uint32_t MODE_FILE = 0x1FF;              // 0777
inline constexpr uint32_t MODE_DIR = DM_DIR | MODE_FILE;  // 0x800001FF

// Tremove/Rremove: the codec's types, named here too (serve_tremove reads
// the request by hand).
using ::P9_RREMOVE;
using ::P9_TREMOVE;

// ---- Snapshot image layout ("TLNIMG03") ----
inline constexpr uint8_t SNAP_MAGIC0 = 'T';
inline constexpr uint8_t SNAP_MAGIC1 = 'L';
inline constexpr uint8_t SNAP_MAGIC2 = 'N';
inline constexpr uint8_t SNAP_MAGIC3 = 'I';
inline constexpr uint8_t SNAP_MAGIC4 = 'M';
inline constexpr uint8_t SNAP_MAGIC5 = 'G';
inline constexpr uint8_t SNAP_MAGIC6 = '0';
inline constexpr uint8_t SNAP_MAGIC7 = '3';
inline constexpr uint64_t SNAP_OFF_KIND = 8;
inline constexpr uint64_t SNAP_OFF_PARENT = SNAP_OFF_KIND + NODE_CAP * 1;
inline constexpr uint64_t SNAP_OFF_NAME = SNAP_OFF_PARENT + NODE_CAP * 8;
inline constexpr uint64_t SNAP_OFF_NAMELEN = SNAP_OFF_NAME + NODE_CAP * NAME_CAP;
inline constexpr uint64_t SNAP_OFF_SIZE = SNAP_OFF_NAMELEN + NODE_CAP * 8;
inline constexpr uint64_t SNAP_OFF_VERS = SNAP_OFF_SIZE + NODE_CAP * 8;
inline constexpr uint64_t SNAP_OFF_CHAINLEN = SNAP_OFF_VERS + NODE_CAP * 4;
inline constexpr uint64_t SNAP_FIXED = SNAP_OFF_CHAINLEN + NODE_CAP * 8;
static_assert(SNAP_OFF_PARENT == 392 && SNAP_OFF_NAME == 3464 && SNAP_OFF_NAMELEN == 28040);
static_assert(SNAP_OFF_SIZE == 31112 && SNAP_OFF_VERS == 34184 && SNAP_OFF_CHAINLEN == 35720);
static_assert(SNAP_FIXED == 38792 && SNAP_FIXED == SNAP_FIXED_LEN);
static_assert(SNAP_FIXED == 8 + NODE_CAP * 37 + NODE_CAP * NAME_CAP);

// ---- Process (program entry and command line) ----
extern uint64_t tln_instance;           // backing-store instance, 0 to 9
extern int64_t srv_rfd;                 // requests are read from here
extern int64_t srv_wfd;                 // replies are written here
extern std::array<int32_t, 2> post_sv;  // [0] posted in /srv, [1] served

// The server's entry, called by the runtime's process entry; returns the exit
// status.
int32_t main(int32_t argc, char** argv);
// 1 when s is exactly "post", else 0.
[[nodiscard]] int32_t arg_is_post(const char* s);
// The value of a one-digit argument "0".."9", else -1.
[[nodiscard]] int64_t digit_arg(const char* s);
// Bytes before the first NUL.
[[nodiscard]] uint64_t strlen(const char* s);
// Writes s (without its NUL) to fd with one write; the result is ignored.
void write_str(int32_t fd, const char* s);

// ---- Request framing and dispatch ----
extern std::array<uint8_t, SRV_BUF_CAP> srv_buf;  // the request, then its reply

// Reads and answers one request from srv_rfd. Returns 1 when it was served (an
// Rerror included), 0 when the stream ended cleanly before a new message, -1
// on a wire error: the stream ended or failed inside a message, the size
// field is outside 7..SRV_BUF_CAP (the body is then not read), or the handler
// could not decode the request or send its reply. Nothing is answered on -1.
[[nodiscard]] int32_t serve_one();
// n on success; the bytes read so far (< n) at end of stream; negative on failure.
[[nodiscard]] int64_t read_exact(int32_t fd, uint8_t* buf, uint64_t n);
// The first four bytes of buf as a little-endian u32 (a message's size field).
[[nodiscard]] uint32_t peek_size(const uint8_t* buf);
// Writes srv_buf[0, len) with one write: 0 when all of it went out; -1 for a
// len of 0 or less (nothing written) and for a short or failed write (not
// retried).
[[nodiscard]] int32_t send_rmsg(int32_t len);
// Encodes and sends Rerror(tag, text): send_rmsg's result, or -1.
[[nodiscard]] int32_t emit_rerror(uint16_t tag, const char* text);
// The ending every reply shares: encodes it over srv_buf with emit, which is
// given the cursor and returns the encoder's result, and sends it. 0 when
// the reply went out whole; -1 when it did not encode or was not sent.
template <class Emit>
[[nodiscard]] int32_t send_reply(Emit&& emit) {
    p9_cursor c;
    p9_cursor_init(&c, srv_buf.data(), SRV_BUF_CAP);
    int32_t len = emit(&c);
    return len < 0 ? -1 : send_rmsg(len);
}

// Handlers: each takes the request's size (it stands whole at srv_buf[0];
// for serve_twrite only its 7 header bytes, the handler reads the rest) and
// returns 0 when its reply, success or Rerror, went out whole; -1 when the
// request does not decode as its type (nothing is answered) or the reply could
// not be encoded or written. A refusal is an Rerror and 0, never -1.
[[nodiscard]] int32_t serve_tversion(uint64_t size);
[[nodiscard]] int32_t serve_tflush(uint64_t size);
[[nodiscard]] int32_t serve_twstat(uint64_t size);
[[nodiscard]] int32_t serve_unsupported(uint64_t size);
[[nodiscard]] int32_t serve_tattach(uint64_t size);
[[nodiscard]] int32_t serve_twalk(uint64_t size);
[[nodiscard]] int32_t serve_topen(uint64_t size);
[[nodiscard]] int32_t serve_tcreate(uint64_t size);
[[nodiscard]] int32_t serve_tread(uint64_t size);
[[nodiscard]] int32_t serve_twrite(uint64_t size);
[[nodiscard]] int32_t serve_tclunk(uint64_t size);
[[nodiscard]] int32_t serve_tstat(uint64_t size);
[[nodiscard]] int32_t serve_tremove(uint64_t size);

// ---- Node table ----
extern std::array<uint8_t, NODE_CAP> node_kind;
extern std::array<int64_t, NODE_CAP> node_parent;
extern std::array<std::array<uint8_t, NAME_CAP>, NODE_CAP> node_name;
extern std::array<uint64_t, NODE_CAP> node_namelen;
extern std::array<uint64_t, NODE_CAP> node_size;
extern std::array<uint32_t, NODE_CAP> node_vers;
extern std::array<std::array<int32_t, CHAIN_LEN>, NODE_CAP> node_slot_chain;
extern std::array<uint64_t, NODE_CAP> node_chain_len;
// Per row: how many times it was freed since the process started. In memory
// only (never in an image): it tells a re-created node from the one removed
// before it, in the high half of the qid path.
extern std::array<uint32_t, NODE_CAP> node_gen;

// Lowest free row, initialised; -1 when the name is over NAME_CAP or no row is free.
[[nodiscard]] int64_t node_alloc(uint8_t kind, int64_t parent, const uint8_t* name,
                                 uint64_t namelen);
// 1 when the two names have the same length and bytes, else 0.
[[nodiscard]] int32_t names_equal(const uint8_t* a, uint64_t alen, const uint8_t* b, uint64_t blen);
// Lowest in-use child of parent with exactly that name, or -1.
[[nodiscard]] int64_t node_find_child(int64_t parent, const uint8_t* name, uint64_t namelen);
// 1 when some in-use row other than n has n as its parent, else 0.
[[nodiscard]] int32_t node_has_children(int64_t n);
// P9_QTDIR for a directory row, P9_QTFILE for any other (a free row included).
[[nodiscard]] uint8_t node_qtype(int64_t n);
// A new directory NAME (NUL-terminated) under parent: node_alloc's result.
[[nodiscard]] int64_t add_dir(int64_t parent, const char* name);
// Root and distro skeleton; runs once, first thing at start-up.
void init_tree();

// ---- Data slots and chunk chains ----
extern std::array<uint8_t, DATA_SLOT_CAP * SLOT_CAP> node_data;
extern std::array<uint8_t, DATA_SLOT_CAP> dataslot_used;
// Per slot: every byte of the slot at or past this offset is zero. Raised by
// the allocating lookups, lowered only by clearing; never reset with the rest
// of the tables (an extent that is too large only costs clearing time).
extern std::array<uint32_t, DATA_SLOT_CAP> dataslot_extent;

// Byte offset in node_data of the slot holding the chunk, or 0 for none. With
// allocate, a hole gets the lowest free slot (zeroed); 0 when none is free.
[[nodiscard]] uint64_t node_get_chunk(int64_t node, uint64_t chunk, int32_t allocate);
// node_get_chunk with allocate, for a caller about to store bytes [from, to)
// of the chunk (from < to <= SLOT_CAP): a slot taken now is zero outside them.
[[nodiscard]] uint64_t node_write_chunk(int64_t node, uint64_t chunk, uint64_t from, uint64_t to);
// Frees every slot of the node's chain and empties it (size is the caller's).
void node_release_chain(int64_t node);
// Copies n bytes from src to dst (the compiler's memcpy); no overlap.
void bcopy(void* dst, const void* src, uint64_t n);

// ---- Fid table ----
extern std::array<uint8_t, FID_CAP> fid_used;
extern std::array<uint32_t, FID_CAP> fid_id;
// The fid's node; -1 once that node was removed through another fid (the fid is
// then refused everything but Tclunk).
extern std::array<int64_t, FID_CAP> fid_node;
extern std::array<uint8_t, FID_CAP> fid_open;
extern std::array<uint8_t, FID_CAP> fid_mode;
extern std::array<uint8_t, FID_CAP> fid_dirty;

// The slot of an established fid, or -1. Every number is an ordinary key,
// P9_NOFID included.
[[nodiscard]] int64_t fid_lookup(uint32_t fid);
// Establishes fid on node in the lowest free slot (closed, mode 0, not dirty)
// and returns the slot; -1, nothing changed, when every slot is in use.
// Whether the number is already established is the caller's check.
[[nodiscard]] int64_t fid_alloc(uint32_t fid, int64_t node);
// Releases a slot fid_lookup or fid_alloc returned.
void fid_free(int64_t slot);

// ---- Attach and walk ----
extern std::array<const uint8_t*, P9_MAX_WELEM> walk_wnames;
extern std::array<uint64_t, P9_MAX_WELEM> walk_wlens;
extern std::array<uint8_t, P9_MAX_WELEM> walk_qtypes;
extern std::array<uint32_t, P9_MAX_WELEM> walk_qvers;
extern std::array<uint64_t, P9_MAX_WELEM> walk_qpaths;

// Attach root selected by an attach name ("", "/", "name", "/name"), or -1.
[[nodiscard]] int64_t aname_root(const uint8_t* aname, uint64_t len);

// ---- Read and write ----
extern const std::array<uint8_t, 6> ident_buf;  // "velmor": owner, group, modifier

// Answers a Tread of directory dir: the whole stat records from offset on that
// fit in count, built in srv_buf behind the Rread header; none at or past the
// end. An offset inside a record (ERR_BAD_DIRECTORY_OFFSET) and a count too
// small for the next record are Rerrors. Returns send_rmsg's result (also for
// an Rerror), or -1 when a record cannot be encoded.
[[nodiscard]] int32_t emit_dir_read(uint16_t tag, int64_t dir, uint64_t offset, uint32_t count);

// ---- Snapshot image and backing store ----
extern std::array<uint8_t, SNAP_CAP> snap_buf;
extern uint64_t tln_backing_ok;
// Bytes of file contents the next image holds: the sum of node_image_bytes
// over every row, kept up to date by each change of a file's length or chain
// (write, truncating open, remove) and recounted by a restore. The image is
// SNAP_FIXED plus this, and writes keep it within SNAP_CAP.
extern uint64_t snap_contents;
// Upper bound on snap_contents: what an image of SNAP_CAP bytes has room for.
inline constexpr uint64_t SNAP_CONTENTS_CAP = SNAP_CAP - SNAP_FIXED;

// Bytes row n adds to an image: its whole length when it is a file whose
// chain holds a slot, else 0.
[[nodiscard]] uint64_t node_image_bytes(int64_t n);
// snap_contents counted afresh from the node table.
[[nodiscard]] uint64_t snap_count_contents();

// Little-endian stores into snap_buf at pos, unchecked (the caller keeps pos
// inside SNAP_CAP): each returns the position after the value.
uint64_t snap_put_u64(uint64_t pos, uint64_t v);
uint64_t snap_put_u32(uint64_t pos, uint32_t v);
// Little-endian loads from snap_buf at pos, unchecked like the stores.
[[nodiscard]] uint64_t snap_get_u64(uint64_t pos);
[[nodiscard]] uint32_t snap_get_u32(uint64_t pos);
// Image length written to snap_buf, or 0 when it would not fit in SNAP_CAP.
[[nodiscard]] uint64_t tln_serialize();
// 1 when the image at snap_buf[0, len) was read into the tree; 0 when it was
// rejected, with the tree exactly as before.
[[nodiscard]] int32_t tln_deserialize(uint64_t len);

// Why the last tln_deserialize refused its image: the rule (SNAP_OK after an
// accepted image), the row it found at fault (-1 for the image as a whole)
// and the value of the field that broke the rule. Only tools read these; the
// server's behaviour and log do not depend on them.
inline constexpr uint8_t SNAP_OK = 0;
inline constexpr uint8_t SNAP_BAD_SHORT = 1;           // value: length, under 8
inline constexpr uint8_t SNAP_BAD_MAGIC = 2;           // value: the first 8 bytes, little-endian
inline constexpr uint8_t SNAP_BAD_FIXED = 3;           // value: length, under SNAP_FIXED
inline constexpr uint8_t SNAP_BAD_LENGTH = 4;          // value: length, over SNAP_CAP
inline constexpr uint8_t SNAP_BAD_KIND = 5;            // value: the kind
inline constexpr uint8_t SNAP_BAD_NAMELEN = 6;         // value: the name length
inline constexpr uint8_t SNAP_BAD_SIZE_NOT_FILE = 7;   // value: the size of a free row or directory
inline constexpr uint8_t SNAP_BAD_CHAIN_NOT_FILE = 8;  // value: its chain length
inline constexpr uint8_t SNAP_BAD_FILE_SIZE = 9;       // value: a file size over FILE_CAP
inline constexpr uint8_t SNAP_BAD_ROOT_KIND = 10;      // value: row 0's kind
inline constexpr uint8_t SNAP_BAD_ROOT_PARENT = 11;    // value: row 0's parent
inline constexpr uint8_t SNAP_BAD_ROOT_NAME = 12;      // value: row 0's name length
inline constexpr uint8_t SNAP_BAD_PARENT = 13;         // value: a parent outside the table
inline constexpr uint8_t SNAP_BAD_EMPTY_NAME = 14;     // value: 0, the name length
inline constexpr uint8_t SNAP_BAD_PARENT_KIND = 15;    // value: the parent, not a directory
inline constexpr uint8_t SNAP_BAD_CYCLE = 16;          // value: the parent the climb began at
inline constexpr uint8_t SNAP_BAD_DUP_NAME = 17;       // value: the other row of that name
inline constexpr uint8_t SNAP_BAD_CONTENTS = 18;       // value: the size that runs past the end
inline constexpr uint8_t SNAP_BAD_SLOTS = 19;          // value: slots needed up to this row
extern uint8_t snap_reason;
extern int64_t snap_reason_row;
extern uint64_t snap_reason_value;
// 1 when a stored image was restored, else 0.
[[nodiscard]] int32_t tln_load_from_disk();
// 1 when the image was stored; 0 when skipped (no backing store); -1 when the
// save failed (too large, or the store failed), after its log line.
int32_t tln_save_to_disk();

}  // namespace tolvane
