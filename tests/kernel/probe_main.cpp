// A stand-in "server" for the entry tests: runs on the real process entry and
// uses nothing but the kernel calls.
//   exit N        returns N at once
//   echo          copies every chunk read from descriptor 0 to descriptor 1
//                 until a read answers 0 (exit 0) or fails (exit 2)
//   sigpipe       reads descriptor 0 to its end, then writes to descriptor 1;
//                 exit 3 when that write fails
//   post NAME K   posts one end of a socket pair as NAME, writes
//                 "probe: posted\n" to descriptor 2, then answers K whole
//                 messages (K < 0: until end of stream) on the other end by
//                 sending each back, and returns 0
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernel/velmor.h"

namespace {

void say(const char* s) {
    sys_write(2, s, strlen(s));
}

bool read_exact(int64_t fd, uint8_t* p, uint64_t n) {
    while (n > 0) {
        int64_t r = sys_read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<uint64_t>(r);
    }
    return true;
}

uint8_t msg_buf[1 << 20];

}  // namespace

namespace tolvane {

int32_t main(int32_t argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "exit") == 0) return atoi(argv[2]);
    if (argc >= 2 && strcmp(argv[1], "echo") == 0) {
        uint8_t buf[4096];
        for (;;) {
            int64_t r = sys_read(0, buf, sizeof buf);
            if (r == 0) {
                say("probe: end of stream\n");
                return 0;
            }
            if (r < 0) {
                say("probe: read failed\n");
                return 2;
            }
            if (sys_write(1, buf, static_cast<uint64_t>(r)) != r) return 2;
        }
    }
    if (argc >= 2 && strcmp(argv[1], "sigpipe") == 0) {
        uint8_t buf[256];
        while (sys_read(0, buf, sizeof buf) > 0) {
        }
        return sys_write(1, "x", 1) < 0 ? 3 : 4;
    }
    if (argc >= 4 && strcmp(argv[1], "post") == 0) {
        int32_t sv[2];
        if (sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, sv) < 0) return 5;
        if (sys_srv_post(argv[2], sv[0]) < 0) return 6;
        say("probe: posted\n");
        int64_t count = atoi(argv[3]);
        for (int64_t i = 0; count < 0 || i < count; i++) {
            if (!read_exact(sv[1], msg_buf, 4)) break;
            uint32_t size = msg_buf[0] | msg_buf[1] << 8 | msg_buf[2] << 16 |
                            static_cast<uint32_t>(msg_buf[3]) << 24;
            if (size < 7 || size > sizeof msg_buf) return 7;
            if (!read_exact(sv[1], msg_buf + 4, size - 4)) return 7;
            if (sys_write(sv[1], msg_buf, size) != size) return 8;
        }
        say("probe: done\n");
        return 0;
    }
    return 9;
}

}  // namespace tolvane
