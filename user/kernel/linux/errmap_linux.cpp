// Placeholder until the shared error table lands: texts go out unchanged.
#include "kernel/linux/internal.h"

const char* linux_error_text(const char* text, uint64_t len, uint64_t* out_len) {
    *out_len = len;
    return text;
}
