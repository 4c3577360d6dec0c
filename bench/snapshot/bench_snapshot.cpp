// Snapshot cost. Every save writes the whole tree, so the writer must run near
// memory-copy speed: the image writer and reader on the distro skeleton, on a
// tree with 1 MiB of file data and on a full SNAP_CAP image; and a whole
// dirty-clunk save (serialise, write, fsync, rename, fsync the directory)
// into a store on tmpfs and on disk.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "kernel/linux/standin.h"
#include "tolvane/tolvane.h"
#include "zero_tables.h"

namespace {

using namespace tolvane;

// Every table zero, then the skeleton, as at process start.
void fresh_tree() {
    harness::zero_tables();
    init_tree();
}

// A file in /var/lib named name with `chunks` slots of non-zero data from
// offset 0 and the given size (at least chunks * SLOT_CAP; the rest holes).
void add_file(const char* name, uint64_t chunks, uint64_t size) {
    int64_t n = node_alloc(KIND_FILE, 4, reinterpret_cast<const uint8_t*>(name), ::strlen(name));
    if (n < 0) abort();
    for (uint64_t c = 0; c < chunks; c++) {
        uint64_t base = node_get_chunk(n, c, 1);
        if (base == 0) abort();
        for (uint64_t i = 0; i < SLOT_CAP; i++) {
            node_data[base + i] = static_cast<uint8_t>(c * 131 + i * 7 + 1);
        }
    }
    node_size[n] = size;
}

enum Tree { SKELETON = 0, ONE_MIB = 1, FULL = 2 };

// The skeleton; 1 MiB in four 256-KiB files; or 62 slots of data in sixteen
// files plus one file whose holes bring the image to exactly SNAP_CAP.
void build(int64_t tree) {
    fresh_tree();
    if (tree == ONE_MIB) {
        for (const char* n : {"a", "b", "c", "d"}) add_file(n, 4, 4 * SLOT_CAP);
    } else if (tree == FULL) {
        char name[8];
        uint64_t total = 0;
        for (int i = 0; i < 15; i++) {
            std::snprintf(name, sizeof name, "f%02d", i);
            add_file(name, 4, 4 * SLOT_CAP);
            total += 4 * SLOT_CAP;
        }
        add_file("g", 2, 2 * SLOT_CAP);
        total += 2 * SLOT_CAP;
        add_file("holes", 1, SNAP_CAP - SNAP_FIXED - total);
    }
}

const char* tree_name(int64_t tree) {
    return tree == SKELETON ? "skeleton" : tree == ONE_MIB ? "1MiB" : "full";
}

void BM_Serialize(benchmark::State& state) {
    build(state.range(0));
    uint64_t len = 0;
    for (auto _ : state) {
        len = tln_serialize();
        benchmark::DoNotOptimize(len);
        benchmark::ClobberMemory();
    }
    if (len == 0) state.SkipWithError("image did not fit");
    state.SetBytesProcessed(static_cast<int64_t>(len) * state.iterations());
    state.SetLabel(std::string(tree_name(state.range(0))) + ", " + std::to_string(len) + " B");
}
BENCHMARK(BM_Serialize)->Arg(SKELETON)->Arg(ONE_MIB)->Arg(FULL);

void BM_Deserialize(benchmark::State& state) {
    build(state.range(0));
    uint64_t len = tln_serialize();
    fresh_tree();
    for (auto _ : state) {
        int32_t ok = tln_deserialize(len);
        if (ok != 1) state.SkipWithError("image refused");
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(len) * state.iterations());
    state.SetLabel(std::string(tree_name(state.range(0))) + ", " + std::to_string(len) + " B");
}
BENCHMARK(BM_Deserialize)->Arg(SKELETON)->Arg(ONE_MIB)->Arg(FULL);

// A whole save as a dirty clunk makes it, into a fresh store directory under
// the given parent.
void save_into(benchmark::State& state, const char* parent_env, const char* parent_default) {
    const char* parent = std::getenv(parent_env);
    std::string tmpl =
        std::string(parent != nullptr ? parent : parent_default) + "/tln-bench-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        state.SkipWithError("cannot create the store directory");
        return;
    }
    ::setenv("VELMOR_STORE", tmpl.c_str(), 1);
    ::unsetenv("VELMOR_STORE_FAULT");
    velmor_linux_reset();
    build(state.range(0));
    tln_instance = 0;
    tln_backing_ok = 1;
    uint64_t len = tln_serialize();
    for (auto _ : state) {
        if (tln_save_to_disk() != 1) {
            state.SkipWithError("save failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(len) * state.iterations());
    state.SetLabel(tree_name(state.range(0)));
    velmor_linux_reset();  // drops the store's lock before the directory goes
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
}

void BM_SaveTmpfs(benchmark::State& state) {
    save_into(state, "BENCH_SNAPSHOT_TMPFS", "/dev/shm");
}
void BM_SaveDisk(benchmark::State& state) {
    save_into(state, "BENCH_SNAPSHOT_DISK", "/tmp");
}
BENCHMARK(BM_SaveTmpfs)
    ->Arg(SKELETON)
    ->Arg(ONE_MIB)
    ->Arg(FULL)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SaveDisk)
    ->Arg(SKELETON)
    ->Arg(ONE_MIB)
    ->Arg(FULL)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
