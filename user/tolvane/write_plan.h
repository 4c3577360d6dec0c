// tolvane: how a Twrite's data gets from the stream into a file's slots, in
// four steps the write handler takes in order: plan, read, commit, and undo
// when the stream fails in between. Internal to the server; one write at a
// time.
#pragma once

#include <cstdint>

#include "tolvane/tolvane.h"

namespace tolvane {

// Header, fid, offset and count: where a Twrite's data begins.
inline constexpr uint64_t TWRITE_FIXED = P9_HEADER_LEN + 4 + 8 + 4;

// Reads message bytes [from, to) into their place in srv_buf: 0, or -1 when
// the stream ends or fails first.
[[nodiscard]] int32_t read_into_buf(uint64_t from, uint64_t to);

// Plan: finds or takes the slots for bytes [offset, offset + want) of file n,
// in order, stopping at the first chunk the pool cannot give, and notes
// where each stretch of the data goes. Returns the bytes that have a place.
[[nodiscard]] uint64_t write_plan(int64_t n, uint64_t offset, uint64_t want);
// Read: reads the rest of the message (size bytes in all) from the data on:
// the planned bytes past file n's length straight into their slots, all
// others into srv_buf. 0; or -1 when the stream ended or failed first, after
// the undo step, so that file n is as it was before the plan.
[[nodiscard]] int32_t write_read(int64_t n, uint64_t size);
// Commit: copies the planned bytes that came through srv_buf into their
// slots. The length, version and dirty mark are the handler's.
void write_commit();
// Undo: puts file n back as it was before the plan (write_read calls it).
void write_undo(int64_t n);

}  // namespace tolvane
