// The velmor kernel calls the server makes. Each stub passes its arguments, in
// order, to the kernel's six-argument entry `syscall6` under the call's number
// and returns the signed result unchanged; negative means failure.
//
// On velmor `syscall6` traps into the kernel. On Linux the stand-in in
// kernel/linux/ implements it on POSIX; test builds may link another one (an
// in-memory double) in its place.
#pragma once

#include <cstdint>

inline constexpr int64_t SYS_EXIT = 1;
inline constexpr int64_t SYS_READ = 6;
inline constexpr int64_t SYS_WRITE = 8;
inline constexpr int64_t SYS_SOCKETPAIR = 53;
inline constexpr int64_t SYS_SRV_POST = 275;
inline constexpr int64_t SYS_TLN_LOAD = 283;
inline constexpr int64_t SYS_TLN_SAVE = 284;
inline constexpr int64_t SYS_TLN_REJECT = 285;

inline constexpr int64_t VELMOR_AF_UNIX = 1;
inline constexpr int64_t VELMOR_SOCK_STREAM = 1;

// The kernel's generic entry: call number and up to six 64-bit arguments.
int64_t syscall6(int64_t num, int64_t a0, int64_t a1, int64_t a2, int64_t a3, int64_t a4,
                 int64_t a5);

// > 0: bytes placed at buf (maybe fewer than n); 0: end of stream; < 0: failure.
int64_t sys_read(int64_t fd, void* buf, uint64_t n);
// Bytes written.
int64_t sys_write(int64_t fd, const void* buf, uint64_t n);
// Ends the process.
[[noreturn]] void sys_exit(int64_t status);
// Not negative: sv[0] and sv[1] form one connected byte stream.
int64_t sys_socketpair(int64_t domain, int64_t type, int64_t protocol, int32_t* sv);
// Not negative: fd is entered in /srv under the NUL-terminated name; a client
// that opens the name talks through it to the other end of the pair.
int64_t sys_srv_post(const char* name, int64_t fd);
// < 0: no backing store for the instance; 0: no image; n > 0: n bytes (n <= cap)
// of the stored image placed at buf.
int64_t sys_tln_load(uint64_t instance, void* buf, uint64_t cap);
// Bytes stored; the save counts only when this equals len. The image replaces
// the instance's previous one whole.
int64_t sys_tln_save(uint64_t instance, const void* buf, uint64_t len);
// The image the last load returned was refused by the reader: the store keeps
// it aside so that later saves cannot destroy it, and writes where it is kept
// (NUL-terminated, at most cap bytes) into where. Returns the length of that
// text, or negative when nothing could be kept.
int64_t sys_tln_reject(uint64_t instance, char* where, uint64_t cap);
