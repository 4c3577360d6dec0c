// A reference model of the file server, written with ordinary containers: the
// tree, the file contents, the client's fids and the last image stored. Each
// operation takes the request's fields and returns the exact reply bytes the
// server must send (built with the codec), changing the model as the server
// must change its tables.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "requests.h"
#include "tolvane/tolvane.h"

namespace model {

using Bytes = std::vector<uint8_t>;
// One chunk's bytes, shared between the live tree and the stored copies until
// a write changes it.
using Chunk = std::shared_ptr<const Bytes>;

using tolvane_test::build;
using tolvane_test::u8;

struct Node {
    uint8_t kind = tolvane::KIND_FREE;
    int64_t parent = 0;
    std::string name;
    uint64_t size = 0;
    uint32_t vers = 0;
    // Chunks that hold a data slot. A chunk inside the length without one
    // reads as zeros.
    std::map<uint64_t, Chunk> chunks;
    // The file's contents go into an image: it held a slot since it was last
    // emptied (truncated, created, or restored with only zero chunks).
    bool has_chain = false;
    // Times the row was freed in this process (the qid path's high half).
    uint32_t gen = 0;
};

struct Fid {
    bool used = false;
    uint32_t id = 0;
    int64_t node = 0;  // -1 once the node was removed through another fid
    bool open = false;
    uint8_t mode = 0;
    bool dirty = false;
};

class Model {
public:
    // A fresh process: the distro skeleton, no fids. store: whether there is a
    // backing store (no store: saves are skipped, never fail).
    explicit Model(bool store);

    Bytes version(uint16_t tag, uint32_t msize);
    Bytes attach(uint16_t tag, uint32_t fid, const std::string& aname);
    Bytes walk(uint16_t tag, uint32_t fid, uint32_t newfid, const std::vector<std::string>& names);
    Bytes open(uint16_t tag, uint32_t fid, uint8_t mode);
    Bytes create(uint16_t tag, uint32_t fid, const std::string& name, uint32_t perm, uint8_t mode);
    Bytes read(uint16_t tag, uint32_t fid, uint64_t offset, uint32_t count);
    Bytes write(uint16_t tag, uint32_t fid, uint64_t offset, const Bytes& data);
    Bytes clunk(uint16_t tag, uint32_t fid);
    Bytes stat(uint16_t tag, uint32_t fid);
    Bytes remove(uint16_t tag, uint32_t fid);
    Bytes flush(uint16_t tag);
    Bytes unsupported(uint16_t tag);
    Bytes wstat(uint16_t tag);

    // End of stream (the save), then a new process that loads the store.
    // Returns whether the new process restores an image (else skeleton).
    bool restart();

    // Every later save fails (the store refuses it) while set.
    void set_save_fault(bool on) { fault_ = on; }

    // Same format as harness::dump_tree().
    std::string dump() const;

    // Views for choosing the next operation.
    const std::vector<Node>& nodes() const { return nodes_; }
    const std::array<Fid, tolvane::FID_CAP>& fids() const { return fids_; }
    int64_t fid_slot(uint32_t fid) const;
    uint64_t saves() const { return saves_; }
    uint64_t slots_used() const;
    bool store() const { return store_; }

private:
    void skeleton();
    int64_t alloc_node(uint8_t kind, int64_t parent, const std::string& name);
    int64_t alloc_fid(uint32_t id, int64_t node);
    int64_t find_child(int64_t dir, const std::string& name) const;
    bool has_children(int64_t n) const;
    int64_t aname_root(const std::string& aname) const;
    // Nullptr when the fid may be used (slot set), else the refusal.
    const char* check_fid(uint32_t fid, int64_t* slot) const;
    void release_chain(int64_t n);
    // The save a dirty clunk, a remove and end of stream make: false when it
    // failed (skipped saves succeed).
    bool save();
    Bytes stat_record(int64_t n) const;
    Bytes dir_read(uint16_t tag, int64_t dir, uint64_t offset, uint32_t count) const;

    std::vector<Node> nodes_;
    std::array<Fid, tolvane::FID_CAP> fids_{};
    bool store_;
    bool fault_ = false;
    std::optional<std::vector<Node>> stored_;
    uint64_t saves_ = 0;
};

// Reply builders (the codec's encoders).
Bytes rerror(uint16_t tag, const std::string& text);

}  // namespace model
