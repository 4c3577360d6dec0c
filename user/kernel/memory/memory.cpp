// The in-memory kernel: syscall6 over fixed global buffers (see memory.h).
#include "kernel/memory/memory.h"

#include <array>
#include <cstring>

#include "kernel/velmor.h"

namespace {

const uint8_t* mem_in = nullptr;  // the caller's request bytes
uint64_t mem_in_len = 0;
uint64_t mem_in_pos = 0;
uint64_t mem_read_max = 0;
int32_t mem_read_fail = 0;

std::array<uint8_t, MEM_OUTPUT_CAP> mem_out;
uint64_t mem_out_len = 0;
int64_t mem_write_max = -1;
uint64_t mem_out_writes = 0;

std::array<char, MEM_LOG_CAP + 1> mem_log;  // one more for a closing NUL
uint64_t mem_log_len = 0;

std::array<std::array<uint8_t, MEM_IMAGE_CAP>, MEM_INSTANCES> mem_image;
std::array<uint8_t, MEM_INSTANCES> mem_store_open;
std::array<uint64_t, MEM_INSTANCES> mem_image_len;
std::array<uint64_t, MEM_INSTANCES> mem_saves;
int32_t mem_save_fault = MEM_SAVE_OK;
uint64_t mem_save_bytes = 0;

std::array<uint8_t, MEM_IMAGE_CAP> mem_rejected;
uint64_t mem_rejected_len = 0;
int64_t mem_rejected_inst = -1;

void mem_copy(uint8_t* dst, const uint8_t* src, uint64_t n) {
    if (n != 0) std::memcpy(dst, src, n);
}

int64_t mem_read(int64_t fd, uint8_t* buf, uint64_t n) {
    if (fd != MEM_REQUEST_FD) return -1;
    if (n == 0) return 0;
    uint64_t left = mem_in_len - mem_in_pos;
    if (left == 0) return mem_read_fail ? -1 : 0;
    uint64_t k = n < left ? n : left;
    if (mem_read_max != 0 && k > mem_read_max) k = mem_read_max;
    mem_copy(buf, mem_in + mem_in_pos, k);
    mem_in_pos += k;
    return static_cast<int64_t>(k);
}

int64_t mem_write(int64_t fd, const uint8_t* buf, uint64_t n) {
    if (fd == MEM_LOG_FD) {
        for (uint64_t i = 0; i < n && mem_log_len < MEM_LOG_CAP; i++) {
            mem_log[mem_log_len++] = static_cast<char>(buf[i]);
        }
        mem_log[mem_log_len] = 0;
        return static_cast<int64_t>(n);
    }
    if (fd != MEM_REPLY_FD) return -1;
    mem_out_writes++;
    uint64_t k = n;
    if (mem_write_max >= 0 && k > static_cast<uint64_t>(mem_write_max)) {
        k = static_cast<uint64_t>(mem_write_max);
    }
    if (k > MEM_OUTPUT_CAP - mem_out_len) return -1;
    mem_copy(mem_out.data() + mem_out_len, buf, k);
    mem_out_len += k;
    return static_cast<int64_t>(k);
}

int64_t mem_load(uint64_t inst, uint8_t* buf, uint64_t cap) {
    if (inst >= MEM_INSTANCES || !mem_store_open[inst]) return -1;
    uint64_t len = mem_image_len[inst];
    if (len > cap) return -1;
    mem_copy(buf, mem_image[inst].data(), len);
    return static_cast<int64_t>(len);
}

int64_t mem_save(uint64_t inst, const uint8_t* buf, uint64_t len) {
    mem_save_bytes += len;
    if (inst >= MEM_INSTANCES || !mem_store_open[inst]) return -1;
    if (mem_save_fault == MEM_SAVE_FAIL || len > MEM_IMAGE_CAP) return -1;
    if (mem_save_fault == MEM_SAVE_SHORT) return len == 0 ? -1 : static_cast<int64_t>(len - 1);
    mem_copy(mem_image[inst].data(), buf, len);
    mem_image_len[inst] = len;
    mem_saves[inst]++;
    return static_cast<int64_t>(len);
}

// Sets the instance's image aside (the instance then holds none) and writes
// where it went.
int64_t mem_reject(uint64_t inst, char* where, uint64_t cap) {
    if (inst >= MEM_INSTANCES || !mem_store_open[inst]) return -1;
    const char text[] = "memory:tln-N.img.rejected";
    constexpr uint64_t text_len = sizeof text - 1;
    if (where == nullptr || cap < text_len + 1) return -1;
    uint64_t len = mem_image_len[inst];
    mem_copy(mem_rejected.data(), mem_image[inst].data(), len);
    mem_rejected_len = len;
    mem_rejected_inst = static_cast<int64_t>(inst);
    mem_image_len[inst] = 0;
    for (uint64_t i = 0; i < text_len; i++) where[i] = text[i];
    where[11] = static_cast<char>('0' + inst);
    where[text_len] = 0;
    return static_cast<int64_t>(text_len);
}

}  // namespace

int64_t syscall6(int64_t num, int64_t a0, int64_t a1, int64_t a2, int64_t, int64_t, int64_t) {
    auto u = [](int64_t v) { return static_cast<uint64_t>(v); };
    switch (num) {
        case SYS_READ:
            return mem_read(a0, reinterpret_cast<uint8_t*>(a1), u(a2));
        case SYS_WRITE:
            return mem_write(a0, reinterpret_cast<const uint8_t*>(a1), u(a2));
        case SYS_TLN_LOAD:
            return mem_load(u(a0), reinterpret_cast<uint8_t*>(a1), u(a2));
        case SYS_TLN_SAVE:
            return mem_save(u(a0), reinterpret_cast<const uint8_t*>(a1), u(a2));
        case SYS_TLN_REJECT:
            return mem_reject(u(a0), reinterpret_cast<char*>(a1), u(a2));
        default:
            return -1;
    }
}

void velmor_mem_reset() {
    mem_in = nullptr;
    mem_in_len = 0;
    mem_in_pos = 0;
    mem_read_max = 0;
    mem_read_fail = 0;
    mem_out_len = 0;
    mem_write_max = -1;
    mem_out_writes = 0;
    mem_log_len = 0;
    mem_log[0] = 0;
    mem_store_open.fill(0);
    mem_image_len.fill(0);
    mem_saves.fill(0);
    mem_save_fault = MEM_SAVE_OK;
    mem_save_bytes = 0;
    mem_rejected_len = 0;
    mem_rejected_inst = -1;
}

void velmor_mem_input(const uint8_t* data, uint64_t len) {
    mem_in = data;
    mem_in_len = data == nullptr ? 0 : len;
    mem_in_pos = 0;
}

uint64_t velmor_mem_input_left() {
    return mem_in_len - mem_in_pos;
}
void velmor_mem_read_chunk(uint64_t max) {
    mem_read_max = max;
}
void velmor_mem_read_fail_at_end(int32_t fail) {
    mem_read_fail = fail;
}

const uint8_t* velmor_mem_output() {
    return mem_out.data();
}
uint64_t velmor_mem_output_len() {
    return mem_out_len;
}
void velmor_mem_output_clear() {
    mem_out_len = 0;
}
void velmor_mem_write_limit(int64_t limit) {
    mem_write_max = limit;
}
uint64_t velmor_mem_reply_writes() {
    return mem_out_writes;
}

const char* velmor_mem_log() {
    return mem_log.data();
}
uint64_t velmor_mem_log_len() {
    return mem_log_len;
}
void velmor_mem_log_clear() {
    mem_log_len = 0;
    mem_log[0] = 0;
}

void velmor_mem_store_open(uint64_t instance) {
    if (instance >= MEM_INSTANCES) return;
    mem_store_open[instance] = 1;
    mem_image_len[instance] = 0;
}

void velmor_mem_store_close(uint64_t instance) {
    if (instance >= MEM_INSTANCES) return;
    mem_store_open[instance] = 0;
    mem_image_len[instance] = 0;
}

int32_t velmor_mem_store_put(uint64_t instance, const uint8_t* data, uint64_t len) {
    if (instance >= MEM_INSTANCES || !mem_store_open[instance] || len > MEM_IMAGE_CAP) return -1;
    mem_copy(mem_image[instance].data(), data, len);
    mem_image_len[instance] = len;
    return 0;
}

int64_t velmor_mem_store_len(uint64_t instance) {
    if (instance >= MEM_INSTANCES || !mem_store_open[instance]) return -1;
    return static_cast<int64_t>(mem_image_len[instance]);
}

const uint8_t* velmor_mem_store_image(uint64_t instance) {
    return instance < MEM_INSTANCES ? mem_image[instance].data() : nullptr;
}

uint64_t velmor_mem_store_saves(uint64_t instance) {
    return instance < MEM_INSTANCES ? mem_saves[instance] : 0;
}

void velmor_mem_store_fault(int32_t mode) {
    mem_save_fault = mode;
}
uint64_t velmor_mem_save_bytes() {
    return mem_save_bytes;
}

int64_t velmor_mem_rejected_instance() {
    return mem_rejected_inst;
}
const uint8_t* velmor_mem_rejected() {
    return mem_rejected.data();
}
uint64_t velmor_mem_rejected_len() {
    return mem_rejected_len;
}
