// The trace of the server's 9P2000 traffic, kept by the stand-in when
// VELMOR_TRACE names a file (the server's command line stays as it is).
//
// A text trace has one line per message: the time of day, who sent it to
// whom, and the message in the usual fcall form:
//   10:41:07.123456 client>server Twalk tag 3 fid 1 newfid 2 nwname 1 0:etc
// On standard input and output the parties are client and server. On a
// posted name each connection is NAME#k or NAME.linux#k (k counts the
// connections of the process, from 1), the stand-in is velmor, and a client's
// request shows the client's fids with the server's beside them (fid 1/s0:
// the client's fid 1 is the server's fid 0); tags are the same on both sides.
// The stand-in's own answers (velmor>NAME#k) and its own requests
// (velmor>server) have lines of their own.
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

struct Mux;

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

// A posted name: m serves name (and name.linux).
void trace_post(const Mux* m, const char* name);
// Client slot i of m connected through a socket of the given dialect, or is
// gone.
void trace_client_open(const Mux* m, int i, uint8_t dialect);
void trace_client_close(const Mux* m, int i);
// A whole message client i sent, as it arrived (before the session marks it).
void trace_client_sent(const Mux* m, int i, const uint8_t* msg, uint32_t len);
// Client i's next request, about to be taken by the session (which rewrites
// it in place when it goes to the server); then, when the stand-in answered
// it itself, its answer (len 0: none).
void trace_take(int i, const uint8_t* msg, uint32_t len);
void trace_answer(const Mux* m, int i, const uint8_t* answer, uint32_t len);
// The request the server begins to read: client from's (as rewritten) or the
// stand-in's own (SESS_OWN).
void trace_server_reads(const Mux* m, int from, const uint8_t* msg, uint32_t len);
// The server's reply to the request of from (SESS_OWN, a client, or
// SESS_NOBODY when none was asked), handed to client to (-1: to nobody), as
// alt when alt_len > 0.
void trace_server_writes(const Mux* m, int from, int to, const uint8_t* reply, uint32_t len,
                         const uint8_t* alt, uint32_t alt_len);
// The answer sent to a connection turned away (every place was taken).
void trace_refused(const uint8_t* msg, uint32_t len);

// The process ends with status.
void trace_exit(int64_t status);
