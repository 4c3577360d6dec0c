// The stop request of the Linux stand-in (stop.cpp), as the descriptor reads
// of stream.cpp use it. Internal to the stand-in.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>

// True once SIGTERM, SIGINT or SIGHUP asked the server to stop.
bool stop_is_requested();
// Waits until fd is readable, for at most the stop grace. 1: readable (or at
// end of stream, or failed: the read tells); 0: interrupted, look at the stop
// request again; -ETIMEDOUT; other negatives on failure.
int64_t wait_readable(int64_t fd);
// One readv(2) that a stop signal can end: at a message boundary by jumping
// back out of the call, inside a message by interrupting it; either way the
// answer is -1 with EINTR and the caller finds the stop request.
ssize_t stoppable_read(int fd, iovec* iov, int iovcnt, bool boundary);
// The same, where with wake a wake-up (SIGIO) noted since wake_take ends a
// read at a boundary before it begins (-1 with EINTR, and no stop
// requested); one that lands during the read makes it fail with EINTR
// unless it has taken bytes.
ssize_t wakeable_read(int fd, iovec* iov, int iovcnt, bool boundary, bool wake);
// Installs the wake-up's handler (once); a descriptor may then be set to
// send SIGIO. wake_take: whether a wake-up came since it was last asked.
void wake_arm();
bool wake_take();
// poll(2) that a stop signal can end, as a read at a message boundary: the
// answer is then -1 with EINTR and the caller finds the stop request.
int stoppable_poll(pollfd* fds, int n, int timeout_ms);
// Forgets the stop request and restores the default grace (tests).
void stop_reset();
