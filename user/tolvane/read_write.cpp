// Tread and Twrite: file contents through the chunk chains, and directory
// listings as whole stat records.
#include "tolvane/errors.h"
#include "tolvane/handlers.h"
#include "tolvane/tolvane.h"

namespace tolvane {

const std::array<uint8_t, 6> ident_buf = {'v', 'e', 'l', 'm', 'o', 'r'};
static_assert(ident_buf.size() == IDENT_LEN);

// Rread header: size[4] type[1] tag[2] count[4]. A file read returns at most
// one chunk, which always fits behind it.
inline constexpr uint64_t RREAD_HDR = P9_HEADER_LEN + 4;
static_assert(RREAD_HDR + SLOT_CAP <= SRV_BUF_CAP);
// A directory's records are assembled where the Rread carries them, right
// behind its header, so the reply is encoded around them without a copy.
inline constexpr uint64_t DIR_SCRATCH = RREAD_HDR;
// The longest listing (NODE_CAP - 1 children with NAME_CAP-byte names) fits
// the scratch area whole.
static_assert((NODE_CAP - 1) * (STAT_REC_BASE + NAME_CAP) <= SRV_BUF_CAP - DIR_SCRATCH);

// A hole inside a file's length reads as zeros, from here.
static const std::array<uint8_t, SLOT_CAP> zero_chunk{};

int32_t emit_node_stat(p9_cursor* c, int64_t n) {
    return p9_emit_stat(c, 0, 0, node_qtype(n), node_vers[n], node_qpath(n), node_stat_mode(n), 0,
                        0, node_size[n], node_name[n].data(), node_namelen[n], ident_buf.data(),
                        IDENT_LEN, ident_buf.data(), IDENT_LEN, ident_buf.data(), IDENT_LEN);
}

static int32_t emit_rread(uint16_t tag, const uint8_t* data, uint32_t count) {
    return send_reply([&](p9_cursor* c) { return p9_emit_rread(c, tag, data, count); });
}

// Bytes of file n from offset, at most count: never past the length, never
// across a chunk boundary; a chunk without a slot gives zeros.
static int32_t emit_file_read(uint16_t tag, int64_t n, uint64_t offset, uint32_t count) {
    uint64_t len = 0;
    if (offset < node_size[n]) len = node_size[n] - offset < count ? node_size[n] - offset : count;
    uint64_t in_chunk = offset % SLOT_CAP;
    if (len > SLOT_CAP - in_chunk) len = SLOT_CAP - in_chunk;
    if (len == 0) return emit_rread(tag, zero_chunk.data(), 0);

    uint64_t chunk = node_get_chunk(n, offset / SLOT_CAP, 0);
    const uint8_t* src = chunk == 0 ? zero_chunk.data() : node_data.data() + chunk + in_chunk;
    return emit_rread(tag, src, static_cast<uint32_t>(len));
}

int32_t emit_dir_read(uint16_t tag, int64_t dir, uint64_t offset, uint32_t count) {
    // Records are whole and in node-number order. The offset must be where an
    // earlier read ended: the start of a record, or the end of the listing.
    // It is found by summing record lengths from the first child, so no state
    // is kept between reads.
    uint64_t limit = count < SRV_BUF_CAP - DIR_SCRATCH ? count : SRV_BUF_CAP - DIR_SCRATCH;
    p9_cursor c;
    p9_cursor_init(&c, srv_buf.data() + DIR_SCRATCH, limit);
    uint64_t pos = 0;  // listing offset of the current record
    for (int64_t n = 0; n < static_cast<int64_t>(NODE_CAP); n++) {
        if (node_kind[n] == KIND_FREE || node_parent[n] != dir || n == dir) continue;
        uint64_t rec = STAT_REC_BASE + node_namelen[n];
        if (pos < offset) {
            if (pos + rec > offset) return emit_rerror(tag, ERR_BAD_DIRECTORY_OFFSET);
            pos += rec;
            continue;
        }
        if (p9_cursor_bytes(&c) + rec > limit) {
            if (p9_cursor_bytes(&c) > 0) break;
            return emit_rerror(tag, ERR_READ_COUNT_TOO_SMALL);
        }
        if (emit_node_stat(&c, n) < 0) return -1;
        pos += rec;
    }
    uint64_t got = p9_cursor_bytes(&c);
    return emit_rread(tag, srv_buf.data() + DIR_SCRATCH, static_cast<uint32_t>(got));
}

int32_t serve_tread(uint64_t size) {
    uint16_t tag;
    uint32_t fid, count;
    uint64_t offset;
    if (p9_decode_tread(srv_buf.data(), size, &tag, &fid, &offset, &count) < 0) return -1;
    int64_t slot;
    if (const char* refusal = fid_check(fid, FidUse::read, &slot)) return emit_rerror(tag, refusal);
    int64_t n = fid_node[slot];
    if (node_kind[n] == KIND_DIR) return emit_dir_read(tag, n, offset, count);
    return emit_file_read(tag, n, offset, count);
}

// A Twrite is the one request whose body the request step leaves in the
// stream: its data goes from the stream straight into the file's slots where
// it can, so the bytes are moved once, by the read, rather than read into
// srv_buf and copied again.
//
// Only bytes at or past the file's length are read straight into a slot;
// they are invisible until the length moves at the end. Bytes below the
// length, bytes that are dropped (past FILE_CAP, or after the pool ran dry)
// and the whole body of a refused request are read into srv_buf at their
// place in the message, and the bytes to keep are copied into the slots once
// the whole message has arrived. So a request cut off by the end of the
// stream changes nothing any reader can see: the slots it took go back to the
// pool and the bytes it put past the length are cleared again.

// Header, fid, offset and count: where a Twrite's data begins.
inline constexpr uint64_t TWRITE_FIXED = P9_HEADER_LEN + 4 + 8 + 4;
// A write's data (less than SRV_BUF_CAP bytes) spans at most this many
// chunks, and only the one holding the file's length may split in two.
inline constexpr uint64_t WRITE_CHUNKS = (SRV_BUF_CAP - TWRITE_FIXED - 1) / SLOT_CAP + 2;
static_assert(WRITE_CHUNKS == 3);
inline constexpr uint64_t WRITE_PIECES = WRITE_CHUNKS + 1;

// The current write's plan, one request at a time: per piece (a stretch of
// the data within one slot) its place in the message, its length, where it
// goes, and whether it is read straight there (1) or copied there from
// srv_buf once the message is in (0); and the chunks it gave a slot.
static std::array<uint64_t, WRITE_PIECES> piece_at;
static std::array<uint64_t, WRITE_PIECES> piece_len;
static std::array<uint8_t*, WRITE_PIECES> piece_dst;
static std::array<uint8_t, WRITE_PIECES> piece_direct;
static uint64_t piece_count;
static std::array<uint64_t, WRITE_CHUNKS> taken_chunk;
static uint64_t taken_count;

// Reads message bytes [from, to) into their place in srv_buf: 0, or -1 when
// the stream ends or fails first.
static int32_t read_into_buf(uint64_t from, uint64_t to) {
    if (from >= to) return 0;
    int64_t r = read_exact(static_cast<int32_t>(srv_rfd), srv_buf.data() + from, to - from);
    return r == static_cast<int64_t>(to - from) ? 0 : -1;
}

// Reads the rest of the message, from its data on, and refuses the request.
static int32_t refuse_twrite(uint64_t size, uint16_t tag, const char* text) {
    if (read_into_buf(TWRITE_FIXED, size) < 0) return -1;
    return emit_rerror(tag, text);
}

static void plan_add(uint64_t at, uint64_t len, uint8_t* dst, uint8_t direct) {
    // A direct piece that continues the last one in the message and in the
    // pool joins it, so one read fills both (consecutive chunks usually sit
    // in consecutive slots).
    if (direct != 0 && piece_count > 0) {
        uint64_t last = piece_count - 1;
        if (piece_direct[last] != 0 && piece_at[last] + piece_len[last] == at &&
            piece_dst[last] + piece_len[last] == dst) {
            piece_len[last] += len;
            return;
        }
    }
    piece_at[piece_count] = at;
    piece_len[piece_count] = len;
    piece_dst[piece_count] = dst;
    piece_direct[piece_count] = direct;
    piece_count++;
}

// Finds or takes the slots for bytes [offset, offset + want) of file n, in
// order, stopping at the first chunk the pool cannot give. Returns the bytes
// that have a place.
static uint64_t plan_write(int64_t n, uint64_t offset, uint64_t want) {
    piece_count = 0;
    taken_count = 0;
    uint64_t length = node_size[n];
    uint64_t done = 0;
    while (done < want) {
        uint64_t at = offset + done;
        uint64_t c = at / SLOT_CAP;
        uint64_t in_chunk = at % SLOT_CAP;
        uint64_t step = want - done < SLOT_CAP - in_chunk ? want - done : SLOT_CAP - in_chunk;
        bool hole = node_slot_chain[n][c] < 0;
        uint64_t chunk = node_write_chunk(n, c, in_chunk, in_chunk + step);
        if (chunk == 0) break;
        if (hole) taken_chunk[taken_count++] = c;
        uint8_t* dst = node_data.data() + chunk + in_chunk;
        uint64_t below = at < length ? (length - at < step ? length - at : step) : 0;
        if (below > 0) plan_add(TWRITE_FIXED + done, below, dst, 0);
        if (step > below) plan_add(TWRITE_FIXED + done + below, step - below, dst + below, 1);
        done += step;
    }
    return done;
}

// Puts file n back as it was before the write was planned: the bytes read
// past its length were zero, the slots it took were free.
static void undo_write(int64_t n, uint64_t chain_len) {
    for (uint64_t i = 0; i < piece_count; i++) {
        if (piece_direct[i] != 0) __builtin_memset(piece_dst[i], 0, piece_len[i]);
    }
    for (uint64_t i = 0; i < taken_count; i++) {
        uint64_t c = taken_chunk[i];
        dataslot_used[static_cast<uint64_t>(node_slot_chain[n][c])] = 0;
        node_slot_chain[n][c] = -1;
    }
    node_chain_len[n] = chain_len;
}

// Called with the request's 7 header bytes in srv_buf; reads the rest itself.
int32_t serve_twrite(uint64_t size) {
    uint64_t fixed_end = size < TWRITE_FIXED ? size : TWRITE_FIXED;
    if (read_into_buf(P9_HEADER_LEN, fixed_end) < 0) return -1;
    // The decoder looks only at the fixed fields and at the size; the data
    // pointer it gives back is where the data will be, not used here.
    uint16_t tag;
    uint32_t fid, count;
    uint64_t offset;
    const uint8_t* data;
    if (p9_decode_twrite(srv_buf.data(), size, &tag, &fid, &offset, &data, &count) < 0) return -1;
    int64_t slot;
    if (const char* refusal = fid_check(fid, FidUse::write, &slot)) {
        return refuse_twrite(size, tag, refusal);
    }
    int64_t n = fid_node[slot];
    if (node_kind[n] != KIND_FILE) return refuse_twrite(size, tag, ERR_CANNOT_WRITE_DIRECTORY);

    // No byte can be stored at or past FILE_CAP: a write that starts there
    // is an error, not a count of 0 that a client would try again.
    if (count > 0 && offset >= FILE_CAP) return refuse_twrite(size, tag, ERR_FILE_TOO_LARGE);
    // Bytes past FILE_CAP are dropped.
    uint64_t end = offset + count;
    if (end > FILE_CAP) end = FILE_CAP;
    // Nor may the write make the tree unsaveable: a file that holds a slot
    // goes into the image at its whole length, which must leave the image
    // within SNAP_CAP; room is the longest length this file may have then.
    // A write with data leaves the file holding a slot and at least
    // offset + 1 long; one of count 0 (on a file that holds a slot) makes
    // it offset long, unless offset lies past FILE_CAP. Bytes that would
    // pass room are dropped; when not one fits, the write is refused.
    uint64_t held = node_image_bytes(n);
    uint64_t room = SNAP_CONTENTS_CAP - (snap_contents - held);
    if (count > 0 || node_chain_len[n] != 0) {
        uint64_t reach = count > 0 ? offset + 1 : (offset <= FILE_CAP ? offset : 0);
        if (node_size[n] > room || reach > room) {
            return refuse_twrite(size, tag, ERR_SNAPSHOT_CAPACITY);
        }
        if (end > room) end = room;
    }
    // Slots are taken only for the chunks the write touches, and a dry pool
    // cuts the write short.
    uint64_t want = offset < end ? end - offset : 0;
    uint64_t chain_len = node_chain_len[n];
    uint64_t done = plan_write(n, offset, want);

    // The message in order: each direct piece into its slot, everything
    // before and after it into srv_buf.
    uint64_t pos = TWRITE_FIXED;
    for (uint64_t i = 0; i < piece_count; i++) {
        if (piece_direct[i] == 0) continue;
        int64_t r = -1;
        if (read_into_buf(pos, piece_at[i]) == 0) {
            r = read_exact(static_cast<int32_t>(srv_rfd), piece_dst[i], piece_len[i]);
        }
        if (r != static_cast<int64_t>(piece_len[i])) {
            undo_write(n, chain_len);
            return -1;
        }
        pos = piece_at[i] + piece_len[i];
    }
    if (read_into_buf(pos, size) < 0) {
        undo_write(n, chain_len);
        return -1;
    }
    for (uint64_t i = 0; i < piece_count; i++) {
        if (piece_direct[i] == 0) bcopy(piece_dst[i], srv_buf.data() + piece_at[i], piece_len[i]);
    }
    if (done == 0 && want > 0) return emit_rerror(tag, ERR_POOL_EXHAUSTED);

    // A write at an offset up to FILE_CAP extends the length to where it
    // ended, even with nothing written; one starting above FILE_CAP leaves
    // the length alone.
    if (offset <= FILE_CAP && offset + done > node_size[n]) node_size[n] = offset + done;
    snap_contents = snap_contents - held + node_image_bytes(n);
    node_vers[n]++;
    fid_dirty[slot] = 1;

    return send_reply(
        [&](p9_cursor* c) { return p9_emit_rwrite(c, tag, static_cast<uint32_t>(done)); });
}

}  // namespace tolvane
