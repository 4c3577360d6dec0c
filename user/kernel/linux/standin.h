// Hooks of the Linux stand-in that are not kernel calls.
#pragma once

#include <cstdint>

// Forgets every per-descriptor read buffer and framing state and the stop
// request, as at process start. Tests call it between cases that reuse
// descriptor numbers. It also stops every /srv relay (removing its socket),
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
