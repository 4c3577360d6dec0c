// Codec throughput: the smallest request/reply pair, the largest walk, a full
// 64 KiB read reply, and one stat record. Decoders return pointers into the
// buffer, so decode cost must not grow with the data size.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "9p/9p.h"

namespace {

constexpr uint64_t kBufCap = 131072;
constexpr uint32_t kReadCount = 65536;

const uint8_t* u8(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

// Tclunk encode followed by its decode: one pair per iteration.
void BM_TclunkEncodeDecode(benchmark::State& state) {
    std::vector<uint8_t> buf(64);
    uint32_t fid = 0;
    for (auto _ : state) {
        p9_cursor c;
        p9_cursor_init(&c, buf.data(), buf.size());
        int32_t n = p9_emit_tclunk(&c, 1, fid++);
        uint16_t tag;
        uint32_t got;
        int64_t r = p9_decode_tclunk(buf.data(), static_cast<uint64_t>(n), &tag, &got);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(got);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TclunkEncodeDecode);

struct Walk {
    std::vector<std::string> text;
    std::array<const uint8_t*, P9_MAX_WELEM> names{};
    std::array<uint64_t, P9_MAX_WELEM> lens{};
    Walk() {
        for (uint16_t i = 0; i < P9_MAX_WELEM; i++)
            text.push_back("component-" + std::to_string(i));
        for (uint16_t i = 0; i < P9_MAX_WELEM; i++) {
            names[i] = u8(text[i]);
            lens[i] = text[i].size();
        }
    }
};

void BM_TwalkEncode16(benchmark::State& state) {
    Walk w;
    std::vector<uint8_t> buf(kBufCap);
    for (auto _ : state) {
        p9_cursor c;
        p9_cursor_init(&c, buf.data(), buf.size());
        int32_t n = p9_emit_twalk(&c, 1, 2, 3, P9_MAX_WELEM, w.names.data(), w.lens.data());
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TwalkEncode16);

void BM_TwalkDecode16(benchmark::State& state) {
    Walk w;
    std::vector<uint8_t> buf(kBufCap);
    p9_cursor c;
    p9_cursor_init(&c, buf.data(), buf.size());
    const int32_t n = p9_emit_twalk(&c, 1, 2, 3, P9_MAX_WELEM, w.names.data(), w.lens.data());
    if (n < 0) state.SkipWithError("encode failed");
    const uint8_t* names[P9_MAX_WELEM];
    uint64_t lens[P9_MAX_WELEM];
    for (auto _ : state) {
        uint16_t tag, nwname;
        uint32_t fid, newfid;
        int64_t r = p9_decode_twalk(buf.data(), static_cast<uint64_t>(n), &tag, &fid, &newfid,
                                    &nwname, names, lens);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(names);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TwalkDecode16);

void BM_RreadEncode64K(benchmark::State& state) {
    std::vector<uint8_t> data(kReadCount, 0x5A);
    std::vector<uint8_t> buf(kBufCap);
    for (auto _ : state) {
        p9_cursor c;
        p9_cursor_init(&c, buf.data(), buf.size());
        int32_t n = p9_emit_rread(&c, 1, data.data(), kReadCount);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * kReadCount);
}
BENCHMARK(BM_RreadEncode64K);

void BM_RreadDecode64K(benchmark::State& state) {
    std::vector<uint8_t> data(kReadCount, 0x5A);
    std::vector<uint8_t> buf(kBufCap);
    p9_cursor c;
    p9_cursor_init(&c, buf.data(), buf.size());
    const int32_t n = p9_emit_rread(&c, 1, data.data(), kReadCount);
    if (n < 0) state.SkipWithError("encode failed");
    for (auto _ : state) {
        uint16_t tag;
        const uint8_t* got;
        uint32_t count;
        int64_t r = p9_decode_rread(buf.data(), static_cast<uint64_t>(n), &tag, &got, &count);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(got);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RreadDecode64K);

// A directory entry as the server writes it: a short name, "velmor" owners.
struct Record {
    std::string name = "dpkg", owner = "velmor";
    int32_t emit(p9_cursor* c) const {
        return p9_emit_stat(c, 0, 0, P9_QTDIR, 3, 42, 0x800001ED, 0, 0, 0, u8(name), name.size(),
                            u8(owner), owner.size(), u8(owner), owner.size(), u8(owner),
                            owner.size());
    }
};

void BM_StatEmit(benchmark::State& state) {
    Record rec;
    std::vector<uint8_t> buf(256);
    for (auto _ : state) {
        p9_cursor c;
        p9_cursor_init(&c, buf.data(), buf.size());
        int32_t n = rec.emit(&c);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatEmit);

void BM_StatDecode(benchmark::State& state) {
    Record rec;
    std::vector<uint8_t> buf(256);
    p9_cursor c;
    p9_cursor_init(&c, buf.data(), buf.size());
    const int32_t n = rec.emit(&c);
    if (n < 0) state.SkipWithError("encode failed");
    for (auto _ : state) {
        uint16_t type;
        uint32_t dev, qvers, mode, atime, mtime;
        uint8_t qtype;
        uint64_t qpath, length, nl, ul, gl, ml;
        const uint8_t *name, *uid, *gid, *muid;
        int64_t r = p9_decode_stat(buf.data(), static_cast<uint64_t>(n), 0, &type, &dev, &qtype,
                                   &qvers, &qpath, &mode, &atime, &mtime, &length, &name, &nl, &uid,
                                   &ul, &gid, &gl, &muid, &ml);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(name);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatDecode);

}  // namespace

BENCHMARK_MAIN();
