// An in-memory velmor kernel for tests and fuzzing: `syscall6` over buffers
// instead of a real kernel or POSIX.
//
// - SYS_READ on MEM_REQUEST_FD hands out the bytes given to velmor_mem_input,
//   at most the requested count (and at most the read-chunk limit) per call; at
//   their end it answers 0 (end of stream), or -1 when a read failure was asked
//   for.
// - SYS_WRITE on MEM_REPLY_FD appends to the captured output; on MEM_LOG_FD it
//   appends to the captured log (bounded; bytes beyond are dropped silently).
// - SYS_TLN_LOAD / SYS_TLN_SAVE / SYS_TLN_REJECT work on one in-memory image per
//   instance, 0 to MEM_INSTANCES - 1. An instance is closed (no backing store:
//   load answers -1) until velmor_mem_store_open.
// - Every other call, and any other descriptor, answers -1.
//
// All state is global and fixed in size, like the server's own; nothing is
// allocated. velmor_mem_reset returns everything to the state at start.
#pragma once

#include <cstdint>

inline constexpr int64_t MEM_REQUEST_FD = 0;
inline constexpr int64_t MEM_REPLY_FD = 1;
inline constexpr int64_t MEM_LOG_FD = 2;
inline constexpr uint64_t MEM_INSTANCES = 10;
inline constexpr uint64_t MEM_IMAGE_CAP = 5242880;
inline constexpr uint64_t MEM_OUTPUT_CAP = uint64_t{1} << 21;
inline constexpr uint64_t MEM_LOG_CAP = uint64_t{1} << 16;

// Save faults (velmor_mem_store_fault): every later save of any instance fails
// in that way until the fault is set back to MEM_SAVE_OK.
inline constexpr int32_t MEM_SAVE_OK = 0;
inline constexpr int32_t MEM_SAVE_FAIL = 1;   // the save answers -1, image unchanged
inline constexpr int32_t MEM_SAVE_SHORT = 2;  // the save answers len - 1, image unchanged

// Back to the start state: no input, empty output and log, every instance
// closed and empty, no faults, counters 0.
void velmor_mem_reset();

// ---- Request stream ----
// The bytes the next reads hand out, replacing whatever was left. The caller
// keeps them alive and unchanged until they have been read or replaced.
void velmor_mem_input(const uint8_t* data, uint64_t len);
// Bytes not yet read.
[[nodiscard]] uint64_t velmor_mem_input_left();
// Each read hands out at most max bytes (0: no limit beyond the count asked).
void velmor_mem_read_chunk(uint64_t max);
// With fail set, a read at the end of the input answers -1 instead of 0.
void velmor_mem_read_fail_at_end(int32_t fail);

// ---- Captured replies ----
[[nodiscard]] const uint8_t* velmor_mem_output();
[[nodiscard]] uint64_t velmor_mem_output_len();
void velmor_mem_output_clear();
// Each reply write stores at most limit bytes and answers that many (a short
// write); a negative limit (the default) stores everything.
void velmor_mem_write_limit(int64_t limit);
// Number of SYS_WRITE calls on MEM_REPLY_FD since the last reset.
[[nodiscard]] uint64_t velmor_mem_reply_writes();

// ---- Captured log ----
[[nodiscard]] const char* velmor_mem_log();
[[nodiscard]] uint64_t velmor_mem_log_len();
void velmor_mem_log_clear();

// ---- Backing store ----
// The instance has a backing store holding no image (load answers 0).
void velmor_mem_store_open(uint64_t instance);
// The instance has no backing store (load answers -1, saves fail).
void velmor_mem_store_close(uint64_t instance);
// Places an image in an open instance, as if saved. 0 on success, -1 when the
// instance is closed or out of range, or len is above MEM_IMAGE_CAP.
[[nodiscard]] int32_t velmor_mem_store_put(uint64_t instance, const uint8_t* data, uint64_t len);
// -1 when closed (or out of range); otherwise the image's length (0: none).
[[nodiscard]] int64_t velmor_mem_store_len(uint64_t instance);
// The instance's image bytes (velmor_mem_store_len of them).
[[nodiscard]] const uint8_t* velmor_mem_store_image(uint64_t instance);
// Bytes handed to SYS_TLN_SAVE (all instances, failed saves included) since
// the last reset: lets a fuzz target bound the work one input may cause.
[[nodiscard]] uint64_t velmor_mem_save_bytes();
// Saves that succeeded on the instance since the last reset.
[[nodiscard]] uint64_t velmor_mem_store_saves(uint64_t instance);
void velmor_mem_store_fault(int32_t mode);

// The image last set aside by SYS_TLN_REJECT, and its instance (-1: none).
[[nodiscard]] int64_t velmor_mem_rejected_instance();
[[nodiscard]] const uint8_t* velmor_mem_rejected();
[[nodiscard]] uint64_t velmor_mem_rejected_len();
