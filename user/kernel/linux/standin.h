// Hooks of the Linux stand-in that are not kernel calls.
#pragma once

// Forgets every per-descriptor read buffer and framing state and the stop
// request, as at process start. Tests call it between cases that reuse
// descriptor numbers.
void velmor_linux_reset();
