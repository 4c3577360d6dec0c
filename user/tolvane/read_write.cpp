// Tread and Twrite: file contents through the chunk chains, and directory
// listings as whole stat records.
#include "errors/errors.h"
#include "tolvane/handlers.h"
#include "tolvane/tolvane.h"
#include "tolvane/write_plan.h"

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

// Reads the rest of the message, from its data on, and refuses the request.
static int32_t refuse_twrite(uint64_t size, uint16_t tag, const char* text) {
    if (read_into_buf(TWRITE_FIXED, size) < 0) return -1;
    return emit_rerror(tag, text);
}

// Called with the request's 7 header bytes in srv_buf; reads the rest itself
// (write_plan.cpp): its data goes from the stream into the file's slots.
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
    uint64_t done = write_plan(n, offset, want);
    if (write_read(n, size) < 0) return -1;
    write_commit();
    if (done == 0 && want > 0) return emit_rerror(tag, ERR_POOL_EXHAUSTED);

    // A write at an offset up to FILE_CAP extends the length to where it
    // ended, even with nothing written; a count-0 write above FILE_CAP
    // leaves the length alone.
    if (offset <= FILE_CAP && offset + done > node_size[n]) node_size[n] = offset + done;
    snap_contents = snap_contents - held + node_image_bytes(n);
    node_vers[n]++;
    fid_dirty[slot] = 1;

    return send_reply(
        [&](p9_cursor* c) { return p9_emit_rwrite(c, tag, static_cast<uint32_t>(done)); });
}

}  // namespace tolvane
