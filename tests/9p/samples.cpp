#include "samples.h"

#include <functional>

namespace codec_samples {
namespace {

Sample make(std::string name, uint8_t type, const std::function<int32_t(p9_cursor*)>& emit) {
    Bytes b(256);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    int32_t n = emit(&c);
    b.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return Sample{std::move(name), type, n, std::move(b)};
}

// The stat values of the record, after whatever leading arguments the caller
// already bound (cursor, tag, fid).
template <typename Emit, typename... Head>
int32_t with_stat(Emit emit, Head... head) {
    return emit(head..., kStype, kDev, kQtype, kQvers, kQpath, kSmode, kAtime, kMtime, kLength,
                u8(kSname), kSname.size(), u8(kSuid), kSuid.size(), u8(kSgid), kSgid.size(),
                u8(kSmuid), kSmuid.size());
}

std::vector<Sample> build_all() {
    const uint8_t* wnames[3];
    uint64_t wlens[3];
    for (size_t i = 0; i < kWalkNames.size(); i++) {
        wnames[i] = u8(kWalkNames[i]);
        wlens[i] = kWalkNames[i].size();
    }
    uint8_t qtypes[kWalkQids];
    uint32_t qvers[kWalkQids];
    uint64_t qpaths[kWalkQids];
    for (uint16_t i = 0; i < kWalkQids; i++) {
        qtypes[i] = static_cast<uint8_t>(kQtype - i);
        qvers[i] = kQvers + i;
        qpaths[i] = kQpath + i;
    }
    const uint8_t* data = u8(kData);
    const auto dlen = static_cast<uint32_t>(kData.size());

    return {
        make("Tversion", P9_TVERSION,
             [&](p9_cursor* c) {
                 return p9_emit_tversion(c, kTag, kMsize, u8(kVersion), kVersion.size());
             }),
        make("Rversion", P9_RVERSION,
             [&](p9_cursor* c) {
                 return p9_emit_rversion(c, kTag, kMsize, u8(kVersion), kVersion.size());
             }),
        make("Tauth", P9_TAUTH,
             [&](p9_cursor* c) {
                 return p9_emit_tauth(c, kTag, kAfid, u8(kUname), kUname.size(), u8(kAname),
                                      kAname.size());
             }),
        make("Rauth", P9_RAUTH,
             [&](p9_cursor* c) { return p9_emit_rauth(c, kTag, kQtype, kQvers, kQpath); }),
        make("Tattach", P9_TATTACH,
             [&](p9_cursor* c) {
                 return p9_emit_tattach(c, kTag, kFid, kAfid, u8(kUname), kUname.size(), u8(kAname),
                                        kAname.size());
             }),
        make("Rattach", P9_RATTACH,
             [&](p9_cursor* c) { return p9_emit_rattach(c, kTag, kQtype, kQvers, kQpath); }),
        make("Rerror", P9_RERROR,
             [&](p9_cursor* c) { return p9_emit_rerror(c, kTag, u8(kEname), kEname.size()); }),
        make("Tflush", P9_TFLUSH, [&](p9_cursor* c) { return p9_emit_tflush(c, kTag, kOldtag); }),
        make("Rflush", P9_RFLUSH, [&](p9_cursor* c) { return p9_emit_rflush(c, kTag); }),
        make("Twalk", P9_TWALK,
             [&](p9_cursor* c) {
                 return p9_emit_twalk(c, kTag, kFid, kNewfid,
                                      static_cast<uint16_t>(kWalkNames.size()), wnames, wlens);
             }),
        make(
            "Rwalk", P9_RWALK,
            [&](p9_cursor* c) { return p9_emit_rwalk(c, kTag, kWalkQids, qtypes, qvers, qpaths); }),
        make("Topen", P9_TOPEN, [&](p9_cursor* c) { return p9_emit_topen(c, kTag, kFid, kMode); }),
        make("Ropen", P9_ROPEN,
             [&](p9_cursor* c) { return p9_emit_ropen(c, kTag, kQtype, kQvers, kQpath, kIounit); }),
        make("Tcreate", P9_TCREATE,
             [&](p9_cursor* c) {
                 return p9_emit_tcreate(c, kTag, kFid, u8(kName), kName.size(), kPerm, kMode);
             }),
        make("Rcreate", P9_RCREATE,
             [&](p9_cursor* c) {
                 return p9_emit_rcreate(c, kTag, kQtype, kQvers, kQpath, kIounit);
             }),
        make("Tread", P9_TREAD,
             [&](p9_cursor* c) { return p9_emit_tread(c, kTag, kFid, kOffset, kCount); }),
        make("Rread", P9_RREAD, [&](p9_cursor* c) { return p9_emit_rread(c, kTag, data, dlen); }),
        make("Twrite", P9_TWRITE,
             [&](p9_cursor* c) { return p9_emit_twrite(c, kTag, kFid, kOffset, data, dlen); }),
        make("Rwrite", P9_RWRITE, [&](p9_cursor* c) { return p9_emit_rwrite(c, kTag, dlen); }),
        make("Tclunk", P9_TCLUNK, [&](p9_cursor* c) { return p9_emit_tclunk(c, kTag, kFid); }),
        make("Rclunk", P9_RCLUNK, [&](p9_cursor* c) { return p9_emit_rclunk(c, kTag); }),
        make("Tremove", P9_TREMOVE, [&](p9_cursor* c) { return p9_emit_tremove(c, kTag, kFid); }),
        make("Rremove", P9_RREMOVE, [&](p9_cursor* c) { return p9_emit_rremove(c, kTag); }),
        make("Tstat", P9_TSTAT, [&](p9_cursor* c) { return p9_emit_tstat(c, kTag, kFid); }),
        make("Rstat", P9_RSTAT, [&](p9_cursor* c) { return with_stat(p9_emit_rstat, c, kTag); }),
        make("Twstat", P9_TWSTAT,
             [&](p9_cursor* c) { return with_stat(p9_emit_twstat, c, kTag, kFid); }),
        make("Rwstat", P9_RWSTAT, [&](p9_cursor* c) { return p9_emit_rwstat(c, kTag); }),
        make("stat", 0, [&](p9_cursor* c) { return with_stat(p9_emit_stat, c); }),
    };
}

}  // namespace

const std::vector<Sample>& all() {
    static const std::vector<Sample> samples = build_all();
    return samples;
}

const Sample& get(std::string_view name) {
    for (const Sample& s : all())
        if (s.name == name) return s;
    static const Sample none{"none", 0, -1, {}};
    return none;
}

}  // namespace codec_samples
