#include "kernel/velmor.h"

// One line each: the arguments go to the kernel in order, the result comes back
// unchanged.

int64_t sys_read(int64_t fd, void* buf, uint64_t n) {
    return syscall6(SYS_READ, fd, reinterpret_cast<int64_t>(buf), static_cast<int64_t>(n), 0, 0, 0);
}

int64_t sys_write(int64_t fd, const void* buf, uint64_t n) {
    return syscall6(SYS_WRITE, fd, reinterpret_cast<int64_t>(buf), static_cast<int64_t>(n), 0, 0,
                    0);
}

void sys_exit(int64_t status) {
    syscall6(SYS_EXIT, status, 0, 0, 0, 0, 0);
    __builtin_trap();  // the kernel never returns from exit
}

int64_t sys_socketpair(int64_t domain, int64_t type, int64_t protocol, int32_t* sv) {
    return syscall6(SYS_SOCKETPAIR, domain, type, protocol, reinterpret_cast<int64_t>(sv), 0, 0);
}

int64_t sys_srv_post(const char* name, int64_t fd) {
    return syscall6(SYS_SRV_POST, reinterpret_cast<int64_t>(name), fd, 0, 0, 0, 0);
}

int64_t sys_tln_load(uint64_t instance, void* buf, uint64_t cap) {
    return syscall6(SYS_TLN_LOAD, static_cast<int64_t>(instance), reinterpret_cast<int64_t>(buf),
                    static_cast<int64_t>(cap), 0, 0, 0);
}

int64_t sys_tln_save(uint64_t instance, const void* buf, uint64_t len) {
    return syscall6(SYS_TLN_SAVE, static_cast<int64_t>(instance), reinterpret_cast<int64_t>(buf),
                    static_cast<int64_t>(len), 0, 0, 0);
}

int64_t sys_tln_reject(uint64_t instance, char* where, uint64_t cap) {
    return syscall6(SYS_TLN_REJECT, static_cast<int64_t>(instance),
                    reinterpret_cast<int64_t>(where), static_cast<int64_t>(cap), 0, 0, 0);
}
