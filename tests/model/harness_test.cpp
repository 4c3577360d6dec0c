// The test harness itself: the in-memory kernel behaves as the server's kernel
// calls require (so the model test and the fuzzers drive the real server
// faithfully), and the table checker catches each kind of broken table. Also
// the whole process (tolvane::main) over the memory kernel: start-up, the
// end-of-stream and wire-error saves, and a rejected image kept aside.
#include "harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/memory/memory.h"
#include "kernel/velmor.h"
#include "requests.h"
#include "tolvane/tolvane.h"
#include "tree_check.h"

namespace {

using namespace tolvane;
using Bytes = std::vector<uint8_t>;

using tolvane_test::tclunk;
using tolvane_test::tversion;

TEST(MemoryKernel, ReadsHandOutTheInputThenEndOfStream) {
    velmor_mem_reset();
    const uint8_t in[5] = {1, 2, 3, 4, 5};
    velmor_mem_input(in, 5);
    velmor_mem_read_chunk(2);
    uint8_t buf[8] = {};
    EXPECT_EQ(sys_read(MEM_REQUEST_FD, buf, 8), 2);
    EXPECT_EQ(sys_read(MEM_REQUEST_FD, buf + 2, 8), 2);
    EXPECT_EQ(sys_read(MEM_REQUEST_FD, buf + 4, 8), 1);
    EXPECT_EQ(Bytes(buf, buf + 5), Bytes(in, in + 5));
    EXPECT_EQ(sys_read(MEM_REQUEST_FD, buf, 8), 0);
    velmor_mem_read_fail_at_end(1);
    EXPECT_LT(sys_read(MEM_REQUEST_FD, buf, 8), 0);
    EXPECT_LT(sys_read(MEM_REPLY_FD, buf, 8), 0);  // only the request descriptor reads
}

TEST(MemoryKernel, WritesAreCapturedAndCanBeCutShort) {
    velmor_mem_reset();
    const uint8_t out[4] = {9, 8, 7, 6};
    EXPECT_EQ(sys_write(MEM_REPLY_FD, out, 4), 4);
    EXPECT_EQ(Bytes(velmor_mem_output(), velmor_mem_output() + velmor_mem_output_len()),
              Bytes(out, out + 4));
    velmor_mem_write_limit(3);
    EXPECT_EQ(sys_write(MEM_REPLY_FD, out, 4), 3);
    EXPECT_EQ(velmor_mem_output_len(), 7u);
    EXPECT_EQ(sys_write(MEM_LOG_FD, "line\n", 5), 5);
    EXPECT_EQ(std::string(velmor_mem_log()), "line\n");
    EXPECT_LT(sys_write(7, out, 4), 0);
    EXPECT_EQ(velmor_mem_reply_writes(), 2u);
}

TEST(MemoryKernel, StoreLoadsSavesRejectsAndFails) {
    velmor_mem_reset();
    uint8_t buf[16] = {};
    EXPECT_LT(sys_tln_load(0, buf, sizeof buf), 0);  // closed: no backing store
    velmor_mem_store_open(0);
    EXPECT_EQ(sys_tln_load(0, buf, sizeof buf), 0);  // open, no image
    const uint8_t img[6] = {'T', 'L', 'N', 'I', 'M', 'G'};
    EXPECT_EQ(sys_tln_save(0, img, 6), 6);
    EXPECT_EQ(velmor_mem_store_saves(0), 1u);
    EXPECT_EQ(sys_tln_load(0, buf, sizeof buf), 6);
    EXPECT_EQ(Bytes(buf, buf + 6), Bytes(img, img + 6));
    EXPECT_LT(sys_tln_load(0, buf, 5), 0);  // larger than the capacity
    velmor_mem_store_fault(MEM_SAVE_SHORT);
    EXPECT_EQ(sys_tln_save(0, img, 3), 2);
    velmor_mem_store_fault(MEM_SAVE_FAIL);
    EXPECT_LT(sys_tln_save(0, img, 3), 0);
    EXPECT_EQ(velmor_mem_store_len(0), 6);  // failed saves leave the image
    EXPECT_EQ(velmor_mem_save_bytes(), 12u);
    char where[64];
    EXPECT_GT(sys_tln_reject(0, where, sizeof where), 0);
    EXPECT_EQ(std::string(where), "memory:tln-0.img.rejected");
    EXPECT_EQ(velmor_mem_store_len(0), 0);
    EXPECT_EQ(velmor_mem_rejected_len(), 6u);
    EXPECT_EQ(velmor_mem_rejected_instance(), 0);
    EXPECT_LT(sys_tln_save(1, img, 6), 0);  // instance 1 has no store
    EXPECT_LT(syscall6(SYS_SOCKETPAIR, 1, 1, 0, 0, 0, 0), 0);
}

// Each kind of broken table, made on a fresh tree, is reported.
TEST(TreeCheck, EveryBrokenTableIsReported) {
    struct Case {
        const char* what;
        void (*breakit)();
    };
    const Case cases[] = {
        {"slot 0 free", [] { dataslot_used[0] = 0; }},
        {"slot used by nobody", [] { dataslot_used[7] = 1; }},
        {"chain entry in a free slot",
         [] {
             node_kind[20] = KIND_FILE;
             node_parent[20] = 0;
             node_namelen[20] = 1;
             node_name[20][0] = 'q';
             node_slot_chain[20].fill(-1);
             node_slot_chain[20][0] = 3;
             node_chain_len[20] = 1;
         }},
        {"slot held twice",
         [] {
             for (uint64_t n : {20, 21}) {
                 node_kind[n] = KIND_FILE;
                 node_parent[n] = 0;
                 node_namelen[n] = 1;
                 node_name[n][0] = static_cast<uint8_t>('a' + n);
                 node_slot_chain[n].fill(-1);
                 node_slot_chain[n][0] = 3;
                 node_chain_len[n] = 1;
             }
             dataslot_used[3] = 1;
         }},
        {"entry past the chain length",
         [] {
             node_slot_chain[3][5] = 2;
             dataslot_used[2] = 1;
         }},
        {"bad kind", [] { node_kind[4] = 7; }},
        {"parent out of range", [] { node_parent[4] = 900; }},
        {"parent not a directory",
         [] {
             node_kind[20] = KIND_FILE;
             node_parent[20] = 0;
             node_namelen[20] = 1;
             node_name[20][0] = 'x';
             node_slot_chain[20].fill(-1);
             node_parent[4] = 20;
         }},
        {"same name twice",
         [] {
             node_namelen[2] = 3;
             node_name[2] = node_name[1];
         }},
        {"root not root", [] { node_parent[0] = 3; }},
        {"file too long",
         [] {
             node_kind[20] = KIND_FILE;
             node_parent[20] = 0;
             node_namelen[20] = 1;
             node_name[20][0] = 'x';
             node_slot_chain[20].fill(-1);
             node_size[20] = FILE_CAP + 1;
         }},
        {"name too long", [] { node_namelen[3] = NAME_CAP + 1; }},
        {"fid on a row out of range",
         [] {
             fid_used[5] = 1;
             fid_node[5] = static_cast<int64_t>(NODE_CAP);
         }},
        {"cycle", [] { node_parent[1] = 4; }},
    };
    for (const Case& c : cases) {
        harness::reset_process(false);
        ASSERT_EQ(tree_check::check_tree(), "") << "fresh tree";
        c.breakit();
        EXPECT_NE(tree_check::check_tree(), "") << c.what;
    }
    harness::reset_process(false);
    fid_used[5] = 1;
    fid_node[5] = -1;  // a fid whose node was removed is fine
    EXPECT_EQ(tree_check::check_tree(), "");
}

// The whole process over the memory kernel.
struct Process {
    Bytes input;
    int32_t run() {
        velmor_mem_input(input.data(), input.size());
        char arg0[] = "tolvane";
        char* argv[] = {arg0, nullptr};
        return tolvane::main(1, argv);
    }
};

void fresh_process(bool store) {
    harness::reset_process(store);
    // main builds the skeleton itself, on the zeroed tables of a new process.
    node_kind.fill(0);
    dataslot_used.fill(0);
    tln_backing_ok = 0;
}

TEST(WholeProcess, EndOfStreamSavesAndExitsZero) {
    fresh_process(true);
    Process p{tversion(1, 8192)};
    EXPECT_EQ(p.run(), 0);
    EXPECT_EQ(velmor_mem_store_saves(0), 1u);
    EXPECT_EQ(velmor_mem_store_len(0), static_cast<int64_t>(SNAP_FIXED));
    std::string log = velmor_mem_log();
    EXPECT_NE(log.find("[tolvane] server starting\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[tolvane] EOF, exiting\n"), std::string::npos) << log;
}

TEST(WholeProcess, FailedSaveAtEndOfStreamExitsOne) {
    fresh_process(true);
    velmor_mem_store_fault(MEM_SAVE_FAIL);
    Process p{tversion(1, 8192)};
    EXPECT_EQ(p.run(), 1);
    std::string log = velmor_mem_log();
    EXPECT_NE(log.find("[tolvane] persist failed (ext4 I/O error)\n[tolvane] EOF, exiting\n"),
              std::string::npos)
        << log;
}

TEST(WholeProcess, WireErrorSavesThenExitsOne) {
    fresh_process(true);
    Bytes in = tversion(1, 8192);
    Bytes half = tclunk(2, 0);
    in.insert(in.end(), half.begin(), half.begin() + 5);  // the stream ends inside a message
    Process p{in};
    EXPECT_EQ(p.run(), 1);
    EXPECT_EQ(velmor_mem_store_saves(0), 1u);
    EXPECT_NE(std::string(velmor_mem_log()).find("[tolvane] wire error, exiting\n"),
              std::string::npos);
}

TEST(WholeProcess, RejectedImageIsKeptAsideAndNotOverwritten) {
    fresh_process(true);
    Bytes bad(SNAP_FIXED, 0);
    const char magic[] = "TLNIMG03";
    for (int i = 0; i < 8; i++) bad[static_cast<size_t>(i)] = static_cast<uint8_t>(magic[i]);
    bad[8] = 5;  // row 0 of an unknown kind
    ASSERT_EQ(velmor_mem_store_put(0, bad.data(), bad.size()), 0);
    Process p{tversion(1, 8192)};
    EXPECT_EQ(p.run(), 0);
    std::string log = velmor_mem_log();
    EXPECT_NE(log.find("memory:tln-0.img.rejected"), std::string::npos) << log;
    EXPECT_NE(log.find("[tolvane] no snapshot"), std::string::npos) << log;
    EXPECT_EQ(Bytes(velmor_mem_rejected(), velmor_mem_rejected() + velmor_mem_rejected_len()), bad);
    // The end-of-stream save wrote the skeleton in the image's place.
    EXPECT_EQ(velmor_mem_store_len(0), static_cast<int64_t>(SNAP_FIXED));
}

}  // namespace
