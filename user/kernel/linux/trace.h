// The trace of the server's 9P2000 traffic, kept by the stand-in when
// VELMOR_TRACE names a file (the server's command line stays as it is).
//
// A text trace has one line per message: the time of day, who sent it to
// whom, and the message in the usual fcall form:
//   10:41:07.123456 client>server Twalk tag 3 fid 1 newfid 2 nwname 1 0:etc
// On standard input and output the parties are client and server.
//
// A FILE ending in ".pcap" gets a capture instead, which Wireshark and
// tshark decode with their 9P dissector: every connection is a TCP
// connection to port 564 of a made-up loopback address (see trace.cpp).
//
// Every hook below is called only when trace_on is set, so an untraced
// server pays one predictable branch at each. A trace write that fails stops
// the trace with one line on standard error; serving goes on.
#pragma once

#include <cstdint>

// Whether a trace is being written.
extern bool trace_on;

// Process start: opens $VELMOR_TRACE when it is set and not empty. A file
// that cannot be opened gets one line on standard error, and the server
// serves untraced.
void trace_start();

// Standard input and output: r is what a read of fd answered (bytes at buf,
// 0 at end of stream, or -errno), or the bytes a write of fd wrote. Only
// descriptors 0 (reads) and 1 (writes) are the server's stream.
void trace_stdio_read(int64_t fd, const void* buf, int64_t r);
void trace_stdio_write(int64_t fd, const void* buf, int64_t r);

// The process ends with status.
void trace_exit(int64_t status);
