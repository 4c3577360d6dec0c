// Hooks of the Linux stand-in that are not kernel calls.
#pragma once

#include <cstdint>

// Forgets every per-descriptor read buffer and framing state and the stop
// request, as at process start. Tests call it between cases that reuse
// descriptor numbers. It also ends every posted name (removing its sockets),
// releases the backing-store locks and forgets the store's fault settings, so
// the next call reads the environment afresh.
void velmor_linux_reset();

// Process start: asks for huge pages for the zero-initialised storage, ignores
// SIGPIPE and makes SIGTERM, SIGINT and SIGHUP request a stop (the read that
// waits for the next message answers end of stream).
// The process entry calls it once; tests that raise those signals call it too.
void velmor_linux_start();

// How long a read inside a message waits for the client's next byte once a
// stop was requested, in milliseconds (5000 at start and after a reset).
// Tests shorten it.
void velmor_linux_set_stop_grace_ms(int32_t ms);

// For a test that plays the server of a posted name on its end fd of the
// pair: waits up to ms for a client's request to be ready for the server's
// reads, doing meanwhile what the server's read would do (accepting clients,
// reading their requests, sending pending replies). 1 when one is ready, 0
// when none came, -1 when fd is not the server's end of a posted pair.
int32_t velmor_linux_wait_request(int64_t fd, int32_t ms);
