// 9P2000 messages as text, for the trace (trace.h): a message on one line in
// the usual fcall form, decoded with the codec:
//   Twalk tag 3 fid 1 newfid 2 nwname 2 0:etc 1:hosts
//   Rerror tag 3 ename tolvane: no such file or directory
//   Rread tag 5 count 6 'hello\n'
// Strings are written as they are, but for bytes outside printable ASCII, the
// backslash and, in a name, the space (\xNN); the empty string is ''. Data is
// its count and its first 32 bytes, quoted when they are text, else in hex.
// A qid is (path version type) with the path and the type bits in hex; a mode
// or permission is a letter for each bit above the permissions (d a l m A t)
// and the permissions in octal. NOFID is -1; a Twstat field to be left as it
// is, ~. A message that does not decode is its type, tag, size and first
// bytes in hex.
#pragma once

#include <cstdint>

inline constexpr uint32_t LINE_CAP = 1024;  // a longer line is cut and ends in "..."

// A line being built; once full it is cut, and more text is dropped.
struct Line {
    char buf[LINE_CAP];
    uint32_t len = 0;
    bool cut = false;
};

// Appends printf-style text.
void line_put(Line& l, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Appends a string of a message, as above; with word false, spaces stay.
void line_put_str(Line& l, const uint8_t* s, uint64_t n, bool word);
// Appends message [msg, msg + len). srv, when not null, is the same request
// as the server got it, whose fids are shown after the client's: "fid 1/s0"
// (the client's fid 1 is the server's fid 0; "s?": a fid the client never
// made), and a Tread's count after the client's when it was lowered.
void line_put_message(Line& l, const uint8_t* msg, uint64_t len, const uint8_t* srv);
// Ends the line with its newline (with "...\n" when it was cut): its bytes are
// buf[0, len).
void line_end(Line& l);

// The name of a 9P2000 message type ("Twalk"), or nullptr.
const char* fcall_type_name(uint8_t type);
// Whether type is a 9P2000 request (T-message) type.
bool fcall_is_request(uint8_t type);
