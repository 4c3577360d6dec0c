// 9P2000 codec: message types, protocol constants, the write cursor, and an
// encoder and a decoder for every 9P2000 message in both directions.
//
// Encoding goes through a p9_cursor over a caller-owned buffer. Every writer
// checks the room left before it writes; the first failure sticks in the
// cursor, so a caller can issue a series of writes and look at the result once.
// A message is built in a freshly set-up cursor (pos 0): the encoders patch the
// size into bytes 0..3 when they finish.
//
// Decoding is stateless: decoders take the buffer and the number of valid bytes
// in it, bound every body read by the message's size field, require the fields
// to end exactly at that size, and hand strings and data back as pointers into
// the buffer. Nothing is ever allocated or copied on the decode side.
//
// Result codes, shared by every operation of the library:
//   -1  not enough room (writers) / not enough bytes: the buffer is shorter than
//       7 bytes or than the size field says (readers, header decoders)
//   -2  a string longer than 65535 bytes or a stat record over 65535 bytes
//       (writers); a malformed message: size field below 7, a field that does
//       not fit before the size, fields that end before it, a walk count above
//       16, an Rread/Twrite count that disagrees with the bytes (decoders)
//   -3  the type byte is not the decoder's message type; an encoder asked for
//       more than P9_MAX_WELEM walk elements (not recorded in the cursor)
// Encoders return the message length on success (which is also the value of its
// size field); decoders return the message's size field.
#pragma once

#include <cstdint>

// Message types.
inline constexpr uint8_t P9_TVERSION = 100;
inline constexpr uint8_t P9_RVERSION = 101;
inline constexpr uint8_t P9_TAUTH = 102;
inline constexpr uint8_t P9_RAUTH = 103;
inline constexpr uint8_t P9_TATTACH = 104;
inline constexpr uint8_t P9_RATTACH = 105;
inline constexpr uint8_t P9_RERROR = 107;  // there is no 106
inline constexpr uint8_t P9_TFLUSH = 108;
inline constexpr uint8_t P9_RFLUSH = 109;
inline constexpr uint8_t P9_TWALK = 110;
inline constexpr uint8_t P9_RWALK = 111;
inline constexpr uint8_t P9_TOPEN = 112;
inline constexpr uint8_t P9_ROPEN = 113;
inline constexpr uint8_t P9_TCREATE = 114;
inline constexpr uint8_t P9_RCREATE = 115;
inline constexpr uint8_t P9_TREAD = 116;
inline constexpr uint8_t P9_RREAD = 117;
inline constexpr uint8_t P9_TWRITE = 118;
inline constexpr uint8_t P9_RWRITE = 119;
inline constexpr uint8_t P9_TCLUNK = 120;
inline constexpr uint8_t P9_RCLUNK = 121;
inline constexpr uint8_t P9_TREMOVE = 122;
inline constexpr uint8_t P9_RREMOVE = 123;
inline constexpr uint8_t P9_TSTAT = 124;
inline constexpr uint8_t P9_RSTAT = 125;
inline constexpr uint8_t P9_TWSTAT = 126;
inline constexpr uint8_t P9_RWSTAT = 127;

// Qid type bits.
inline constexpr uint8_t P9_QTDIR = 0x80;
inline constexpr uint8_t P9_QTAPPEND = 0x40;
inline constexpr uint8_t P9_QTEXCL = 0x20;
inline constexpr uint8_t P9_QTMOUNT = 0x10;
inline constexpr uint8_t P9_QTAUTH = 0x08;
inline constexpr uint8_t P9_QTTMP = 0x04;
inline constexpr uint8_t P9_QTFILE = 0x00;

inline constexpr uint32_t P9_DMDIR = 0x80000000;  // the directory bit of a stat's mode

// Open modes (low two bits) and flags.
inline constexpr uint8_t P9_OREAD = 0;
inline constexpr uint8_t P9_OWRITE = 1;
inline constexpr uint8_t P9_ORDWR = 2;
inline constexpr uint8_t P9_OEXEC = 3;
inline constexpr uint8_t P9_OTRUNC = 0x10;
inline constexpr uint8_t P9_OCEXEC = 0x20;
inline constexpr uint8_t P9_ORCLOSE = 0x40;

inline constexpr uint16_t P9_NOTAG = 0xFFFF;
inline constexpr uint32_t P9_NOFID = 0xFFFFFFFF;
inline constexpr uint32_t P9_MSIZE_DEFAULT = 131072;
inline constexpr uint32_t P9_MSIZE_MIN = 256;
inline constexpr uint32_t P9_MSIZE_MAX = 1048576;
inline constexpr uint16_t P9_MAX_WELEM = 16;
inline constexpr uint64_t P9_QID_LEN = 13;
inline constexpr uint64_t P9_STAT_FIXED = 41;  // stat bytes before the name, size field included
inline constexpr uint64_t P9_HEADER_LEN = 7;   // size[4] type[1] tag[2]

// Twstat "leave unchanged" sentinels. The codec applies none of them.
inline constexpr uint16_t P9_WSTAT_TYPE_UNCHANGED = 0xFFFF;
inline constexpr uint32_t P9_WSTAT_DEV_UNCHANGED = 0xFFFFFFFF;
inline constexpr uint8_t P9_WSTAT_QIDTYPE_UNCHANGED = 0xFF;
inline constexpr uint32_t P9_WSTAT_QIDVERS_UNCHANGED = 0xFFFFFFFF;
inline constexpr uint64_t P9_WSTAT_QIDPATH_UNCHANGED = 0xFFFFFFFFFFFFFFFF;
inline constexpr uint32_t P9_WSTAT_MODE_UNCHANGED = 0xFFFFFFFF;
inline constexpr uint32_t P9_WSTAT_TIME_UNCHANGED = 0xFFFFFFFF;
inline constexpr uint64_t P9_WSTAT_LENGTH_UNCHANGED = 0xFFFFFFFFFFFFFFFF;

// Write cursor over a caller-owned buffer. Invariants: pos <= cap; pos only
// grows; once err is non-zero no writer changes buf, pos or err again.
struct p9_cursor {
    uint8_t* buf;
    uint64_t cap;
    uint64_t pos;
    int32_t err;  // 0 while healthy, else the first negative code a writer returned
};

// Sets buf and cap, pos = 0, err = 0.
void p9_cursor_init(p9_cursor* c, uint8_t* buf, uint64_t cap);
// Bytes written so far (pos).
[[nodiscard]] uint64_t p9_cursor_bytes(const p9_cursor* c);
// The sticky error: 0, -1 or -2.
[[nodiscard]] int32_t p9_cursor_error(const p9_cursor* c);

// Reads the 7-byte header of a message of unknown type. Returns 0; -1 when len
// is below 7; -2 when the size field is below 7 (*size then holds it, type and
// tag are not written). A size above len is returned unchanged.
[[nodiscard]] int32_t p9_decode_header(const uint8_t* buf, uint64_t len, uint32_t* size,
                                       uint8_t* type, uint16_t* tag);

// ---- Version and error messages ----
// Encoders: message length, or -1 / -2 (see above).
[[nodiscard]] int32_t p9_emit_tversion(p9_cursor* c, uint16_t tag, uint32_t msize,
                                       const uint8_t* version, uint64_t version_len);
[[nodiscard]] int32_t p9_emit_rversion(p9_cursor* c, uint16_t tag, uint32_t msize,
                                       const uint8_t* version, uint64_t version_len);
[[nodiscard]] int32_t p9_emit_rerror(p9_cursor* c, uint16_t tag, const uint8_t* ename,
                                     uint64_t ename_len);
// Decoders: the size field, or -1 / -2 / -3.
[[nodiscard]] int64_t p9_decode_tversion(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                         uint32_t* msize, const uint8_t** version,
                                         uint64_t* version_len);
[[nodiscard]] int64_t p9_decode_rversion(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                         uint32_t* msize, const uint8_t** version,
                                         uint64_t* version_len);
[[nodiscard]] int64_t p9_decode_rerror(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                       const uint8_t** ename, uint64_t* ename_len);

// ---- Messages (encoders: length or negative; decoders: size field or negative) ----
[[nodiscard]] int32_t p9_emit_tauth(p9_cursor* c, uint16_t tag, uint32_t afid, const uint8_t* uname,
                                    uint64_t uname_len, const uint8_t* aname, uint64_t aname_len);
[[nodiscard]] int64_t p9_decode_tauth(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                      uint32_t* afid, const uint8_t** uname, uint64_t* uname_len,
                                      const uint8_t** aname, uint64_t* aname_len);
[[nodiscard]] int32_t p9_emit_rauth(p9_cursor* c, uint16_t tag, uint8_t qtype, uint32_t qvers,
                                    uint64_t qpath);
[[nodiscard]] int64_t p9_decode_rauth(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                      uint8_t* qtype, uint32_t* qvers, uint64_t* qpath);

[[nodiscard]] int32_t p9_emit_tattach(p9_cursor* c, uint16_t tag, uint32_t fid, uint32_t afid,
                                      const uint8_t* uname, uint64_t uname_len,
                                      const uint8_t* aname, uint64_t aname_len);
[[nodiscard]] int64_t p9_decode_tattach(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                        uint32_t* fid, uint32_t* afid, const uint8_t** uname,
                                        uint64_t* uname_len, const uint8_t** aname,
                                        uint64_t* aname_len);
[[nodiscard]] int32_t p9_emit_rattach(p9_cursor* c, uint16_t tag, uint8_t qtype, uint32_t qvers,
                                      uint64_t qpath);
[[nodiscard]] int64_t p9_decode_rattach(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                        uint8_t* qtype, uint32_t* qvers, uint64_t* qpath);

[[nodiscard]] int32_t p9_emit_tflush(p9_cursor* c, uint16_t tag, uint16_t oldtag);
[[nodiscard]] int64_t p9_decode_tflush(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                       uint16_t* oldtag);
[[nodiscard]] int32_t p9_emit_rflush(p9_cursor* c, uint16_t tag);
[[nodiscard]] int64_t p9_decode_rflush(const uint8_t* buf, uint64_t len, uint16_t* tag);

// Twalk: -3 from the encoder when nwname > P9_MAX_WELEM (nothing written);
// -2 from the decoder. The decoder's arrays need room for P9_MAX_WELEM entries.
[[nodiscard]] int32_t p9_emit_twalk(p9_cursor* c, uint16_t tag, uint32_t fid, uint32_t newfid,
                                    uint16_t nwname, const uint8_t* const* wnames,
                                    const uint64_t* wlens);
[[nodiscard]] int64_t p9_decode_twalk(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                      uint32_t* fid, uint32_t* newfid, uint16_t* nwname,
                                      const uint8_t** wnames, uint64_t* wlens);
[[nodiscard]] int32_t p9_emit_rwalk(p9_cursor* c, uint16_t tag, uint16_t nwqid,
                                    const uint8_t* qtypes, const uint32_t* qvers,
                                    const uint64_t* qpaths);
[[nodiscard]] int64_t p9_decode_rwalk(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                      uint16_t* nwqid, uint8_t* qtypes, uint32_t* qvers,
                                      uint64_t* qpaths);

[[nodiscard]] int32_t p9_emit_topen(p9_cursor* c, uint16_t tag, uint32_t fid, uint8_t mode);
[[nodiscard]] int64_t p9_decode_topen(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                      uint32_t* fid, uint8_t* mode);
[[nodiscard]] int32_t p9_emit_ropen(p9_cursor* c, uint16_t tag, uint8_t qtype, uint32_t qvers,
                                    uint64_t qpath, uint32_t iounit);
[[nodiscard]] int64_t p9_decode_ropen(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                      uint8_t* qtype, uint32_t* qvers, uint64_t* qpath,
                                      uint32_t* iounit);

[[nodiscard]] int32_t p9_emit_tcreate(p9_cursor* c, uint16_t tag, uint32_t fid, const uint8_t* name,
                                      uint64_t name_len, uint32_t perm, uint8_t mode);
[[nodiscard]] int64_t p9_decode_tcreate(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                        uint32_t* fid, const uint8_t** name, uint64_t* name_len,
                                        uint32_t* perm, uint8_t* mode);
[[nodiscard]] int32_t p9_emit_rcreate(p9_cursor* c, uint16_t tag, uint8_t qtype, uint32_t qvers,
                                      uint64_t qpath, uint32_t iounit);
[[nodiscard]] int64_t p9_decode_rcreate(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                        uint8_t* qtype, uint32_t* qvers, uint64_t* qpath,
                                        uint32_t* iounit);

[[nodiscard]] int32_t p9_emit_tread(p9_cursor* c, uint16_t tag, uint32_t fid, uint64_t offset,
                                    uint32_t count);
[[nodiscard]] int64_t p9_decode_tread(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                      uint32_t* fid, uint64_t* offset, uint32_t* count);
// Rread: the data pointer comes before the count in the API; on the wire the
// count comes first. The decoder requires count == size - 11 (-2 otherwise).
[[nodiscard]] int32_t p9_emit_rread(p9_cursor* c, uint16_t tag, const uint8_t* data,
                                    uint32_t count);
[[nodiscard]] int64_t p9_decode_rread(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                      const uint8_t** data, uint32_t* count);

// Twrite: the decoder requires count == size - 23 (-2 otherwise).
[[nodiscard]] int32_t p9_emit_twrite(p9_cursor* c, uint16_t tag, uint32_t fid, uint64_t offset,
                                     const uint8_t* data, uint32_t count);
[[nodiscard]] int64_t p9_decode_twrite(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                       uint32_t* fid, uint64_t* offset, const uint8_t** data,
                                       uint32_t* count);
[[nodiscard]] int32_t p9_emit_rwrite(p9_cursor* c, uint16_t tag, uint32_t count);
[[nodiscard]] int64_t p9_decode_rwrite(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                       uint32_t* count);

[[nodiscard]] int32_t p9_emit_tclunk(p9_cursor* c, uint16_t tag, uint32_t fid);
[[nodiscard]] int64_t p9_decode_tclunk(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                       uint32_t* fid);
[[nodiscard]] int32_t p9_emit_rclunk(p9_cursor* c, uint16_t tag);
[[nodiscard]] int64_t p9_decode_rclunk(const uint8_t* buf, uint64_t len, uint16_t* tag);

[[nodiscard]] int32_t p9_emit_tremove(p9_cursor* c, uint16_t tag, uint32_t fid);
[[nodiscard]] int64_t p9_decode_tremove(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                        uint32_t* fid);
[[nodiscard]] int32_t p9_emit_rremove(p9_cursor* c, uint16_t tag);
[[nodiscard]] int64_t p9_decode_rremove(const uint8_t* buf, uint64_t len, uint16_t* tag);

// ---- Stat record and stat messages ----
// Appends one stat record at the cursor's current position (no fresh cursor
// needed). Returns the record length, -1 (no room) or -2 (a string over 65535
// bytes, or a record whose size field would exceed 65535; sticky).
[[nodiscard]] int32_t p9_emit_stat(p9_cursor* c, uint16_t type, uint32_t dev, uint8_t qtype,
                                   uint32_t qvers, uint64_t qpath, uint32_t mode, uint32_t atime,
                                   uint32_t mtime, uint64_t length, const uint8_t* name,
                                   uint64_t name_len, const uint8_t* uid, uint64_t uid_len,
                                   const uint8_t* gid, uint64_t gid_len, const uint8_t* muid,
                                   uint64_t muid_len);
// Reads one stat record at offset, bounded by bound. Returns the record length
// (size field + 2), -1 when fewer than 2 bytes remain, -2 when malformed.
[[nodiscard]] int64_t p9_decode_stat(const uint8_t* buf, uint64_t bound, uint64_t offset,
                                     uint16_t* type, uint32_t* dev, uint8_t* qtype, uint32_t* qvers,
                                     uint64_t* qpath, uint32_t* mode, uint32_t* atime,
                                     uint32_t* mtime, uint64_t* length, const uint8_t** name,
                                     uint64_t* name_len, const uint8_t** uid, uint64_t* uid_len,
                                     const uint8_t** gid, uint64_t* gid_len, const uint8_t** muid,
                                     uint64_t* muid_len);

[[nodiscard]] int32_t p9_emit_tstat(p9_cursor* c, uint16_t tag, uint32_t fid);
[[nodiscard]] int64_t p9_decode_tstat(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                      uint32_t* fid);
[[nodiscard]] int32_t p9_emit_rstat(p9_cursor* c, uint16_t tag, uint16_t type, uint32_t dev,
                                    uint8_t qtype, uint32_t qvers, uint64_t qpath, uint32_t mode,
                                    uint32_t atime, uint32_t mtime, uint64_t length,
                                    const uint8_t* name, uint64_t name_len, const uint8_t* uid,
                                    uint64_t uid_len, const uint8_t* gid, uint64_t gid_len,
                                    const uint8_t* muid, uint64_t muid_len);
[[nodiscard]] int64_t p9_decode_rstat(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                      uint16_t* type, uint32_t* dev, uint8_t* qtype,
                                      uint32_t* qvers, uint64_t* qpath, uint32_t* mode,
                                      uint32_t* atime, uint32_t* mtime, uint64_t* length,
                                      const uint8_t** name, uint64_t* name_len, const uint8_t** uid,
                                      uint64_t* uid_len, const uint8_t** gid, uint64_t* gid_len,
                                      const uint8_t** muid, uint64_t* muid_len);
[[nodiscard]] int32_t p9_emit_twstat(p9_cursor* c, uint16_t tag, uint32_t fid, uint16_t type,
                                     uint32_t dev, uint8_t qtype, uint32_t qvers, uint64_t qpath,
                                     uint32_t mode, uint32_t atime, uint32_t mtime, uint64_t length,
                                     const uint8_t* name, uint64_t name_len, const uint8_t* uid,
                                     uint64_t uid_len, const uint8_t* gid, uint64_t gid_len,
                                     const uint8_t* muid, uint64_t muid_len);
[[nodiscard]] int64_t p9_decode_twstat(const uint8_t* buf, uint64_t len, uint16_t* tag,
                                       uint32_t* fid, uint16_t* type, uint32_t* dev, uint8_t* qtype,
                                       uint32_t* qvers, uint64_t* qpath, uint32_t* mode,
                                       uint32_t* atime, uint32_t* mtime, uint64_t* length,
                                       const uint8_t** name, uint64_t* name_len,
                                       const uint8_t** uid, uint64_t* uid_len, const uint8_t** gid,
                                       uint64_t* gid_len, const uint8_t** muid, uint64_t* muid_len);
[[nodiscard]] int32_t p9_emit_rwstat(p9_cursor* c, uint16_t tag);
[[nodiscard]] int64_t p9_decode_rwstat(const uint8_t* buf, uint64_t len, uint16_t* tag);
