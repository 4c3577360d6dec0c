// The request step: read one framed 9P2000 message into srv_buf, check its
// size, hand it by type to exactly one handler, which answers with exactly one
// reply encoded over the request (a Twrite's body is left to its handler).
// Also the shared reply path and the handlers that belong to the core:
// Tversion, Tflush, Twstat and the unsupported types.
#include "errors/errors.h"
#include "kernel/velmor.h"
#include "tolvane/tolvane.h"

namespace tolvane {

std::array<uint8_t, SRV_BUF_CAP> srv_buf;

static_assert(SRV_BUF_CAP <= INT32_MAX, "reply lengths travel as signed 32-bit");

// Reads until n bytes have arrived. Returns n; the count read so far (< n) when
// the stream ends first; a failed read's negative result.
int64_t read_exact(int32_t fd, uint8_t* buf, uint64_t n) {
    uint64_t got = 0;
    while (got < n) {
        int64_t r = sys_read(fd, buf + got, n - got);
        if (r < 0) return r;
        if (r == 0) break;
        got += static_cast<uint64_t>(r);
    }
    return static_cast<int64_t>(got);
}

// The first four bytes as an unsigned 32-bit little-endian value.
uint32_t peek_size(const uint8_t* buf) {
    return static_cast<uint32_t>(buf[0]) | static_cast<uint32_t>(buf[1]) << 8 |
           static_cast<uint32_t>(buf[2]) << 16 | static_cast<uint32_t>(buf[3]) << 24;
}

// Writes srv_buf[0, len) with one write. Returns 0 when all of it went out; -1
// for a length of 0 or less (nothing written) and for a short or failed write,
// which is not retried.
int32_t send_rmsg(int32_t len) {
    if (len <= 0) return -1;
    int64_t w = sys_write(srv_wfd, srv_buf.data(), static_cast<uint64_t>(len));
    return w == len ? 0 : -1;
}

// Encodes Rerror(tag, text) over srv_buf and sends it: send_rmsg's result, or
// -1 when it does not encode.
int32_t emit_rerror(uint16_t tag, const char* text) {
    return send_reply([&](p9_cursor* c) {
        return p9_emit_rerror(c, tag, reinterpret_cast<const uint8_t*>(text), strlen(text));
    });
}

// Answers with "9P2000" and the client's msize lowered to what srv_buf holds,
// whatever version the client named, and forgets every fid (dirty ones without
// a save). A Tversion that does not decode is a wire error.
int32_t serve_tversion(uint64_t size) {
    uint16_t tag;
    uint32_t msize;
    const uint8_t* version;
    uint64_t version_len;
    if (p9_decode_tversion(srv_buf.data(), size, &tag, &msize, &version, &version_len) < 0) {
        return -1;
    }
    uint32_t reply_msize = msize > SRV_BUF_CAP ? static_cast<uint32_t>(SRV_BUF_CAP) : msize;

    for (uint64_t s = 0; s < FID_CAP; s++) {
        fid_used[s] = 0;
        fid_dirty[s] = 0;
    }

    static constexpr uint8_t ours[] = {'9', 'P', '2', '0', '0', '0'};
    return send_reply(
        [&](p9_cursor* c) { return p9_emit_rversion(c, tag, reply_msize, ours, sizeof ours); });
}

// Requests are answered one at a time, so no request is pending when a Tflush
// is read: it is answered at once with Rflush, as 9P2000 requires (never with
// Rerror).
int32_t serve_tflush(uint64_t size) {
    uint16_t tag;
    uint16_t oldtag;
    if (p9_decode_tflush(srv_buf.data(), size, &tag, &oldtag) < 0) return -1;
    return send_reply([&](p9_cursor* c) { return p9_emit_rflush(c, tag); });
}

// Refuses the request with text; only the header is looked at.
static int32_t refuse_by_header(uint64_t size, const char* text) {
    uint32_t msg_size;
    uint8_t type;
    uint16_t tag;
    if (p9_decode_header(srv_buf.data(), size, &msg_size, &type, &tag) < 0) return -1;
    return emit_rerror(tag, text);
}

// Nothing of the tree can be changed by Twstat; the stat is not examined.
int32_t serve_twstat(uint64_t size) {
    return refuse_by_header(size, ERR_TWSTAT_NOT_SUPPORTED);
}

// Tauth, R-messages and every type without a handler.
int32_t serve_unsupported(uint64_t size) {
    return refuse_by_header(size, ERR_NOT_IMPLEMENTED);
}

using handler = int32_t (*)(uint64_t size);

// One handler per type byte; every type not named here is unsupported.
static constexpr std::array<handler, 256> dispatch = [] {
    std::array<handler, 256> t{};
    t.fill(serve_unsupported);
    t[P9_TVERSION] = serve_tversion;
    t[P9_TATTACH] = serve_tattach;
    t[P9_TFLUSH] = serve_tflush;
    t[P9_TWALK] = serve_twalk;
    t[P9_TOPEN] = serve_topen;
    t[P9_TCREATE] = serve_tcreate;
    t[P9_TREAD] = serve_tread;
    t[P9_TWRITE] = serve_twrite;
    t[P9_TCLUNK] = serve_tclunk;
    t[P9_TSTAT] = serve_tstat;
    t[P9_TREMOVE] = serve_tremove;
    t[P9_TWSTAT] = serve_twstat;
    return t;
}();

// Reads and answers one request. Returns 1 when it was served (an Rerror
// included), 0 when the stream ended cleanly before a new message, -1 on a
// wire error: the stream ended or failed inside a message, the size field is
// out of 7..SRV_BUF_CAP (the body is then not read), or the handler could not
// decode the request or send its reply. Nothing is answered on -1.
int32_t serve_one() {
    auto fd = static_cast<int32_t>(srv_rfd);
    int64_t r = read_exact(fd, srv_buf.data(), P9_HEADER_LEN);
    if (r == 0) return 0;
    if (r != static_cast<int64_t>(P9_HEADER_LEN)) return -1;

    uint64_t size = peek_size(srv_buf.data());
    if (size < P9_HEADER_LEN || size > SRV_BUF_CAP) return -1;
    // A Twrite reads its own body, to put the data straight into the file.
    if (size > P9_HEADER_LEN && srv_buf[4] != P9_TWRITE) {
        uint64_t body = size - P9_HEADER_LEN;
        if (read_exact(fd, srv_buf.data() + P9_HEADER_LEN, body) != static_cast<int64_t>(body)) {
            return -1;
        }
    }
    return dispatch[srv_buf[4]](size) < 0 ? -1 : 1;
}

}  // namespace tolvane
