// The whole run-time support a freestanding build of the server gets: the
// memory routines the compiler may call on its own (for struct copies,
// zeroing and comparisons), a process entry, and a kernel entry `syscall6`.
// Linked with the server's core, the codec and kernel/stubs.cpp by
// scripts/freestanding.sh using -nostdlib, it proves that nothing from a C or
// C++ library is used: velmor has none.
//
// syscall6 here is a placeholder that fails every call (velmor's traps are not
// Linux's), so the program is linked, never run.
#include <cstddef>
#include <cstdint>

#include "kernel/velmor.h"

namespace tolvane {
int32_t main(int32_t argc, char** argv);
}

extern "C" {

void* memcpy(void* dst, const void* src, size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    for (size_t i = 0; i < n; i++) d[i] = s[i];
    return dst;
}

void* memmove(void* dst, const void* src, size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    if (d < s) {
        for (size_t i = 0; i < n; i++) d[i] = s[i];
    } else {
        for (size_t i = n; i > 0; i--) d[i - 1] = s[i - 1];
    }
    return dst;
}

void* memset(void* dst, int c, size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    for (size_t i = 0; i < n; i++) d[i] = static_cast<unsigned char>(c);
    return dst;
}

int memcmp(const void* a, const void* b, size_t n) {
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; i++) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

// velmor enters a program with argc and argv; here there is no loader to
// pass them, so the server runs as if started with no arguments.
[[noreturn]] void _start() {
    static char name[] = "tolvane";
    static char* argv[] = {name, nullptr};
    sys_exit(tolvane::main(1, argv));
}

}  // extern "C"

int64_t syscall6(int64_t, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t) {
    return -38;  // no such call
}
