// Fuzzes the image reader: arbitrary bytes as a stored image, read into a fresh
// process's tables with tln_deserialize.
//
// - The bytes of snap_buf past the image's length are poisoned for
//   AddressSanitizer while the reader runs: it may not look past the image.
// - A rejected image leaves every table exactly as it was (the skeleton).
// - An accepted image leaves tables that hold (tree_check.h), and the tree it
//   built saves to an image that is accepted again, restores the same tree and
//   saves to the same bytes.
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "tolvane/tolvane.h"
#include "tree_check.h"

using namespace tolvane;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_image: %s\n", what.c_str());
    std::abort();
}

int32_t read_guarded(uint64_t len) {
    ASAN_POISON_MEMORY_REGION(snap_buf.data() + len, SNAP_CAP - len);
    int32_t r = tln_deserialize(len);
    ASAN_UNPOISON_MEMORY_REGION(snap_buf.data() + len, SNAP_CAP - len);
    return r;
}

struct Tables {
    decltype(node_kind) kind;
    decltype(node_parent) parent;
    decltype(node_name) name;
    decltype(node_namelen) namelen;
    decltype(node_size) size;
    decltype(node_vers) vers;
    decltype(node_slot_chain) chain;
    decltype(node_chain_len) chain_len;
    decltype(dataslot_used) used;

    void take() {
        kind = node_kind;
        parent = node_parent;
        name = node_name;
        namelen = node_namelen;
        size = node_size;
        vers = node_vers;
        chain = node_slot_chain;
        chain_len = node_chain_len;
        used = dataslot_used;
    }
    std::string differs() const {
        if (kind != node_kind) return "node_kind";
        if (parent != node_parent) return "node_parent";
        if (name != node_name) return "node_name";
        if (namelen != node_namelen) return "node_namelen";
        if (size != node_size) return "node_size";
        if (vers != node_vers) return "node_vers";
        if (chain != node_slot_chain) return "node_slot_chain";
        if (chain_len != node_chain_len) return "node_chain_len";
        if (used != dataslot_used) return "dataslot_used";
        return {};
    }
};

Tables before;
std::vector<uint8_t> image1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    harness::reset_process(false);
    uint64_t len = size < SNAP_CAP ? size : SNAP_CAP;
    if (len != 0) std::memcpy(snap_buf.data(), data, len);
    before.take();
    if (read_guarded(len) != 1) {
        std::string d = before.differs();
        if (!d.empty()) fail("a rejected image changed " + d);
        return 0;
    }
    tree_check::Options opt;
    opt.reachable = false;
    std::string broken = tree_check::check_tree(opt);
    if (!broken.empty()) fail("accepted image breaks the tables: " + broken);

    // Round trip: what the server would save from this tree is read back whole.
    std::string tree1 = harness::dump_tree();
    uint64_t len1 = tln_serialize();
    if (len1 == 0) fail("accepted tree does not save");
    if (len1 > len) fail("saved image longer than the image read");
    image1.assign(snap_buf.begin(), snap_buf.begin() + static_cast<int64_t>(len1));
    harness::reset_process(false);
    if (read_guarded(len1) != 1) fail("the image saved from an accepted tree was rejected");
    std::string tree2 = harness::dump_tree();
    if (tree1 != tree2) fail("tree differs after a round trip:\n" + tree1 + "----\n" + tree2);
    uint64_t len2 = tln_serialize();
    if (len2 != len1 || std::memcmp(snap_buf.data(), image1.data(), len1) != 0) {
        fail("saving the restored tree gives other bytes");
    }
    return 0;
}
