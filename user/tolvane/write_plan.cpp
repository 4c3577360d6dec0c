// The streaming write: a Twrite is the one request whose body the request
// step leaves in the stream. Its data goes from the stream straight into the
// file's slots where it can, so the bytes are moved once, by the read,
// rather than read into srv_buf and copied again.
//
// Only bytes at or past the file's length are read straight into a slot;
// they are invisible until the length moves at the end. Bytes below the
// length, bytes that are dropped (past FILE_CAP or the image's room, or
// after the pool ran dry) and the whole body of a refused request are read
// into srv_buf at their place in the message, and the bytes to keep are
// copied into the slots once the whole message has arrived. So a request cut
// off by the end of the stream changes nothing any reader can see: the slots
// it took go back to the pool and the bytes it put past the length are
// cleared again.
#include "tolvane/write_plan.h"

namespace tolvane {

// A write's data (less than SRV_BUF_CAP bytes) spans at most this many
// chunks, and only the one holding the file's length may split in two.
inline constexpr uint64_t WRITE_CHUNKS = (SRV_BUF_CAP - TWRITE_FIXED - 1) / SLOT_CAP + 2;
static_assert(WRITE_CHUNKS == 3);
inline constexpr uint64_t WRITE_PIECES = WRITE_CHUNKS + 1;

// The current write's plan, one request at a time: per piece (a stretch of
// the data within one slot) its place in the message, its length, where it
// goes, and whether it is read straight there (1) or copied there from
// srv_buf once the message is in (0); the chunks it gave a slot; and the
// file's chain length before the plan.
static std::array<uint64_t, WRITE_PIECES> piece_at;
static std::array<uint64_t, WRITE_PIECES> piece_len;
static std::array<uint8_t*, WRITE_PIECES> piece_dst;
static std::array<uint8_t, WRITE_PIECES> piece_direct;
static uint64_t piece_count;
static std::array<uint64_t, WRITE_CHUNKS> taken_chunk;
static uint64_t taken_count;
static uint64_t planned_chain_len;

int32_t read_into_buf(uint64_t from, uint64_t to) {
    if (from >= to) return 0;
    int64_t r = read_exact(static_cast<int32_t>(srv_rfd), srv_buf.data() + from, to - from);
    return r == static_cast<int64_t>(to - from) ? 0 : -1;
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

uint64_t write_plan(int64_t n, uint64_t offset, uint64_t want) {
    piece_count = 0;
    taken_count = 0;
    planned_chain_len = node_chain_len[n];
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

int32_t write_read(int64_t n, uint64_t size) {
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
            write_undo(n);
            return -1;
        }
        pos = piece_at[i] + piece_len[i];
    }
    if (read_into_buf(pos, size) < 0) {
        write_undo(n);
        return -1;
    }
    return 0;
}

void write_commit() {
    for (uint64_t i = 0; i < piece_count; i++) {
        if (piece_direct[i] == 0) bcopy(piece_dst[i], srv_buf.data() + piece_at[i], piece_len[i]);
    }
}

// The bytes read past the length were zero, the slots the plan took were
// free.
void write_undo(int64_t n) {
    for (uint64_t i = 0; i < piece_count; i++) {
        if (piece_direct[i] != 0) __builtin_memset(piece_dst[i], 0, piece_len[i]);
    }
    for (uint64_t i = 0; i < taken_count; i++) {
        uint64_t c = taken_chunk[i];
        dataslot_used[static_cast<uint64_t>(node_slot_chain[n][c])] = 0;
        node_slot_chain[n][c] = -1;
    }
    node_chain_len[n] = planned_chain_len;
}

}  // namespace tolvane
