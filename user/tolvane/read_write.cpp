// Tread and Twrite: file contents through the chunk chains, and directory
// listings as whole stat records.
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
    uint32_t mode = node_kind[n] == KIND_DIR ? MODE_DIR : MODE_FILE;
    return p9_emit_stat(c, 0, 0, node_qtype(n), node_vers[n], node_qpath(n), mode, 0, 0,
                        node_size[n], node_name[n].data(), node_namelen[n], ident_buf.data(),
                        IDENT_LEN, ident_buf.data(), IDENT_LEN, ident_buf.data(), IDENT_LEN);
}

static int32_t emit_rread(uint16_t tag, const uint8_t* data, uint32_t count) {
    p9_cursor c;
    p9_cursor_init(&c, srv_buf.data(), SRV_BUF_CAP);
    int32_t len = p9_emit_rread(&c, tag, data, count);
    return len < 0 ? -1 : send_rmsg(len);
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
            if (pos + rec > offset) return emit_rerror(tag, "tolvane: bad directory offset");
            pos += rec;
            continue;
        }
        if (p9_cursor_bytes(&c) + rec > limit) {
            if (p9_cursor_bytes(&c) > 0) break;
            return emit_rerror(tag, "tolvane: read count too small for a directory entry");
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
    if (const char* refusal = fid_check(fid, &slot)) return emit_rerror(tag, refusal);
    if (!fid_open[slot]) return emit_rerror(tag, "tolvane: fid not open");
    if ((fid_mode[slot] & ACCESS_MASK) == P9_OWRITE) {
        return emit_rerror(tag, "tolvane: fid not open for read");
    }
    int64_t n = fid_node[slot];
    if (node_kind[n] == KIND_DIR) return emit_dir_read(tag, n, offset, count);
    return emit_file_read(tag, n, offset, count);
}

int32_t serve_twrite(uint64_t size) {
    uint16_t tag;
    uint32_t fid, count;
    uint64_t offset;
    const uint8_t* data;
    if (p9_decode_twrite(srv_buf.data(), size, &tag, &fid, &offset, &data, &count) < 0) return -1;
    int64_t slot;
    if (const char* refusal = fid_check(fid, &slot)) return emit_rerror(tag, refusal);
    if (!fid_open[slot]) return emit_rerror(tag, "tolvane: fid not open");
    uint8_t access = fid_mode[slot] & ACCESS_MASK;
    if (access == P9_OREAD || access == P9_OEXEC) {
        return emit_rerror(tag, "tolvane: fid not open for write");
    }
    int64_t n = fid_node[slot];
    if (node_kind[n] != KIND_FILE) return emit_rerror(tag, "tolvane: cannot write a directory");

    // Bytes at or past FILE_CAP are dropped; slots are taken only for the
    // chunks the write touches, and a dry pool cuts the write short.
    uint64_t end = offset + count;
    if (end > FILE_CAP) end = FILE_CAP;
    uint64_t want = offset < end ? end - offset : 0;
    uint64_t done = 0;
    while (done < want) {
        uint64_t at = offset + done;
        uint64_t in_chunk = at % SLOT_CAP;
        uint64_t step = want - done < SLOT_CAP - in_chunk ? want - done : SLOT_CAP - in_chunk;
        uint64_t chunk = node_write_chunk(n, at / SLOT_CAP, in_chunk, in_chunk + step);
        if (chunk == 0) break;
        bcopy(node_data.data() + chunk + in_chunk, data + done, step);
        done += step;
    }
    if (done == 0 && want > 0) return emit_rerror(tag, "tolvane: file-data pool exhausted");

    // A write at an offset up to FILE_CAP extends the length to where it
    // ended, even with nothing written; one starting above FILE_CAP leaves
    // the length alone.
    if (offset <= FILE_CAP && offset + done > node_size[n]) node_size[n] = offset + done;
    node_vers[n]++;
    fid_dirty[slot] = 1;

    p9_cursor c;
    p9_cursor_init(&c, srv_buf.data(), SRV_BUF_CAP);
    int32_t len = p9_emit_rwrite(&c, tag, static_cast<uint32_t>(done));
    return len < 0 ? -1 : send_rmsg(len);
}

}  // namespace tolvane
