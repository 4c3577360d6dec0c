// The sessions of a posted name: what the stand-in keeps per client so that
// many 9P2000 clients can share the one server stream, with no sockets in it.
//
// The multiplexer (mux.cpp) hands the server one request at a time, and the
// server answers it before the next is taken, so at most one request is at
// the server. Around that, this file does everything 9P2000 asks of a
// channel shared by many clients:
// - Tversion never reaches the server: the stream was opened with a Tversion
//   of the multiplexer's own (msize SESS_SERVER_MSIZE), and each client's is
//   answered here as the server would answer it: "9P2000" and the smaller of
//   the client's msize and SESS_SERVER_MSIZE. An msize below P9_MSIZE_MIN is
//   refused and leaves the session as it was; any other Tversion ends the
//   client's session: its fids are clunked at the server (files it wrote are
//   saved). A Tversion is read whatever msize the session has.
// - Tags go through unchanged: with one request at the server there is
//   nothing to tell apart.
// - Fids are each client's own: a client's fid numbers are mapped to server
//   fid numbers handed out here, in every message that names one. A fid the
//   client never made goes out as SESS_FID_UNKNOWN, which no client is given,
//   so the server answers exactly as it answers any unknown fid. A new fid
//   (Tattach fid, Twalk newfid) is mapped when the request goes out and kept
//   only if the reply says it was made. Tclunk and Tremove end the mapping as
//   they go out: the server releases the fid whatever it answers.
// - Tread's count is lowered to what fits the client's msize.
// - Tflush: the request it names is still queued (the multiplexer drops it,
//   see sess_scan) or already answered, since requests are taken in order;
//   either way it is answered here with Rflush, after every reply the client
//   is owed for earlier requests, so no reply ever follows its tag's Rflush.
// - Malformed requests never reach the server (one that does not decode
//   would end its stream for everybody): a message larger than the client's
//   msize or one that does not decode gets Rerror VELMOR_ERR_MALFORMED; types
//   the server has no handler for (R-messages, unknown types) get the
//   server's own "not implemented".
// - A client that hangs up (sess_close): every server fid it held is
//   clunked, so its writes are saved as if it had clunked them itself.
// - The Linux dialect: every Rerror text a client of NAME.linux gets, the
//   stand-in's own included, is the one the kernel's 9P client maps to the
//   right errno (errmap.h). And the Twstats that client sends for what
//   programs do every day (touch, truncate, an open with O_TRUNC, which it
//   follows with a Twstat of length 0) are done with the server's ordinary
//   requests, since the server refuses every Twstat: one that changes
//   nothing but the times is answered once the fid is known good (the
//   server keeps no times); one that sets the length (and perhaps the
//   times) empties the file as an open with OTRUNC does, or extends it as a
//   write of no bytes at that offset does, through a fid of the stand-in's
//   own that is clunked at the end (so the change is saved). A length
//   between 0 and the file's own is refused, as is anything that changes a
//   name, a mode, an owner or a group: those reach the server as they are.
#pragma once

#include <array>
#include <cstdint>

#include "9p/9p.h"

inline constexpr int SESS_CLIENT_CAP = 32;                // clients served at once per posted name
inline constexpr uint32_t SESS_FID_CAP = 256;             // server fids handed out at once
inline constexpr uint32_t SESS_SERVER_MSIZE = 131072;     // the msize asked of the server
inline constexpr uint32_t SESS_FID_UNKNOWN = 0xFFFFFFFE;  // never handed out
inline constexpr uint32_t SESS_SMALL_REPLY = 256;         // room for any reply but Rread
inline constexpr uint32_t SESS_OWN_CAP = 128;       // the longest request of the stand-in's own
inline constexpr int16_t SESS_OWN = -1;             // a request of the stand-in's own
inline constexpr int16_t SESS_NOBODY = -2;          // no request at the server
inline constexpr int16_t SESS_SCRIPT = -3;          // a fid of a Twstat done for a client
inline constexpr uint64_t SESS_FILE_CAP = 4194304;  // the server's largest file
inline constexpr uint32_t SESS_PATH_CAP = 256;      // the longest path kept for a fid
inline constexpr uint16_t SESS_PATH_UNKNOWN = 0xFFFF;

// How a socket's clients are spoken to: as the server speaks, or with every
// Rerror text replaced by the one the Linux kernel's 9P client maps to the
// right errno.
inline constexpr uint8_t SESS_DIALECT_NATIVE = 0;
inline constexpr uint8_t SESS_DIALECT_LINUX = 1;

// Where fields lie in the messages the session reads and rewrites.
inline constexpr uint32_t AT_SIZE = 0;
inline constexpr uint32_t AT_TYPE = 4;
inline constexpr uint32_t AT_TAG = 5;
inline constexpr uint32_t AT_FID = 7;  // every request that names a fid names it first
inline constexpr uint32_t AT_TVERSION_MSIZE = 7;
inline constexpr uint32_t AT_TATTACH_AFID = 11;
inline constexpr uint32_t AT_TWALK_NEWFID = 11;
inline constexpr uint32_t AT_TWALK_NWNAME = 15;
inline constexpr uint32_t AT_TFLUSH_OLDTAG = 7;
inline constexpr uint32_t AT_TREAD_COUNT = 19;
inline constexpr uint32_t AT_TWRITE_COUNT = 19;
inline constexpr uint32_t TWRITE_FIXED = 23;  // size, type, tag, fid, offset, count
inline constexpr uint32_t RREAD_FIXED = 11;   // size, type, tag, count
inline constexpr uint32_t AT_RWALK_NWQID = 7;
inline constexpr uint32_t AT_RERROR_ENAME = 7;  // the text's length, then the text
inline constexpr uint32_t TFLUSH_LEN = 9;

// Type bytes sess_scan writes over a queued request. Every type that is not
// forwarded is first turned into TYPE_UNSERVED, so these never clash with
// what a client sent.
inline constexpr uint8_t TYPE_UNSERVED = 0;  // answered with the server's "not implemented"
inline constexpr uint8_t TYPE_FLUSHED = 1;   // dropped by a later Tflush
inline constexpr uint8_t TYPE_RFLUSH = 2;    // a Tflush that dropped its request

// The state of one posted name's sessions: parallel tables by client and by
// server fid, and the one request at the server.
struct Session {
    std::array<uint8_t, SESS_CLIENT_CAP> client_open;
    std::array<uint8_t, SESS_CLIENT_CAP> client_dialect;
    std::array<uint32_t, SESS_CLIENT_CAP> client_msize;

    // By server fid number: whose fid it is (SESS_OWN once its client is
    // gone or began a new session: it waits to be clunked) and the client's
    // number for it.
    std::array<uint8_t, SESS_FID_CAP> fid_used;
    std::array<int16_t, SESS_FID_CAP> fid_client;
    std::array<uint32_t, SESS_FID_CAP> fid_cfid;
    // And the names that lead to its file from the root of an attach with
    // no attach name, joined by '/' (SESS_PATH_UNKNOWN: none known), so a
    // Twstat of an open fid can reach its file through a fid of its own.
    bool orphans;      // some fid may be the stand-in's own, waiting to be clunked
    uint32_t fid_top;  // no fid at or above this was ever handed out: scans stop here
    std::array<uint16_t, SESS_FID_CAP> fid_path_len;
    std::array<std::array<char, SESS_PATH_CAP>, SESS_FID_CAP> fid_path;

    // The request at the server: whose (SESS_NOBODY: none), its type, the
    // names a Twalk asked for, and the new fid it maps (-1: none).
    int16_t flight_client;
    uint8_t flight_type;
    uint16_t flight_nwname;
    int32_t flight_newfid;
    // The path the fid flight_path_fid (-1: none) has if the request succeeds.
    int32_t flight_path_fid;
    uint16_t flight_path_len;
    std::array<char, SESS_PATH_CAP> flight_path;

    bool opened;                            // the opening Tversion has gone out
    std::array<uint8_t, SESS_OWN_CAP> own;  // a request of the stand-in's own
    bool flight_script;                     // the request at the server is a Twstat's step

    // A Twstat done for a Linux client with ordinary requests: the step whose
    // request goes out next (0: none), whether its reply is awaited, the
    // client (SESS_NOBODY once gone) and its tag, the client's fid at the
    // server, the fid of the stand-in's own (-1: none yet), attached afresh
    // and walked down the client fid's path (its own fid may be open, and an
    // open fid cannot be walked), the length asked (P9_WSTAT_LENGTH_UNCHANGED:
    // the times alone), and the first refusal, answered at the end.
    uint8_t script_step;
    bool script_waiting;
    int16_t script_client;
    uint16_t script_tag;
    uint32_t script_sfid;
    int32_t script_fid;
    uint64_t script_length;
    uint64_t script_qpath;   // the file's qid path, to know it again
    uint16_t script_walked;  // bytes of the path walked so far
    uint16_t script_error_len;
    std::array<char, SESS_SMALL_REPLY> script_error;
};

// Forgets every client and fid; the next own request is the opening Tversion.
void sess_init(Session& s);

// Client c connected through a socket of the given dialect.
void sess_open(Session& s, int c, uint8_t dialect);

// Client c is gone: each of its fids becomes the stand-in's own, to be
// clunked at the server by the next own requests.
void sess_close(Session& s, int c);

// The next request of the stand-in's own, built in s.own and now the one at
// the server: the opening Tversion, or a Tclunk of a fid whose client is
// gone. Its length, or 0 when there is none (or a request is at the server).
uint32_t sess_own_next(Session& s);

// Marks what a message that just became complete at `at` in a client's
// buffer does to the requests queued before it in [first, at): unserved types
// become TYPE_UNSERVED, and a Tflush of a queued request drops it (the
// request becomes TYPE_FLUSHED, the Tflush TYPE_RFLUSH). Every message in
// [first, at] must be whole and framed.
void sess_scan(uint8_t* buf, uint64_t first, uint64_t at);

// The room client c's reply to request msg may need (at least
// SESS_SMALL_REPLY; an Rread's count is lowered to fit the client's msize).
uint32_t sess_reply_room(const Session& s, int c, const uint8_t* msg);

enum SessAction : uint8_t {
    SESS_FORWARD = 0,  // msg was rewritten for the server and is now at it
    SESS_ANSWER = 1,   // answered here: the reply is in answer
    SESS_LATER = 2,    // answered later, from the stand-in's own requests
};

// Takes client c's next request msg (one whole message of len bytes, 7 to
// SESS_SERVER_MSIZE, as sess_scan left it). SESS_FORWARD: msg was rewritten
// in place and must be handed to the server. SESS_ANSWER: the reply, at most
// SESS_SMALL_REPLY bytes, is in answer and *answer_len (0: nothing is said).
// SESS_LATER: the stand-in's own requests (sess_own_next) do it, and the
// reply to the last of them brings the answer (sess_reply).
SessAction sess_take(Session& s, int c, uint8_t* msg, uint32_t len, uint8_t* answer,
                     uint32_t* answer_len);

// The server's reply to the request at it (len bytes, one whole message).
// Returns the client to hand it to, or -1 when it is the stand-in's own or
// goes nowhere. *alt_len is 0 to hand it on as it is, else the length of the
// reply in alt (SESS_SMALL_REPLY bytes) to hand on instead. The last reply
// of a Twstat done for a client hands on that client's answer in alt.
int sess_reply(Session& s, const uint8_t* reply, uint32_t len, uint8_t* alt, uint32_t* alt_len);
