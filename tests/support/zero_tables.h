// Clearing the server's tables as at process start. Header-only and free of
// any kernel, so that the fuzz targets, the in-process test support and the
// snapshot benchmark share one list: a table added to the server is cleared
// in one place.
#pragma once

#include "no_coverage.h"
#include "tolvane/tolvane.h"

namespace harness {

// Every node, slot-map and fid table zero and instance 0, as at process
// start. node_data is left alone: a slot is cleared when it is taken.
TREE_CHECK_NO_COVERAGE inline void zero_tables() {
    using namespace tolvane;
    node_kind.fill(0);
    node_parent.fill(0);
    for (auto& r : node_name) r.fill(0);
    node_namelen.fill(0);
    node_size.fill(0);
    node_vers.fill(0);
    for (auto& c : node_slot_chain) c.fill(0);
    node_chain_len.fill(0);
    node_gen.fill(0);
    dataslot_used.fill(0);
    fid_used.fill(0);
    fid_id.fill(0);
    fid_node.fill(0);
    fid_open.fill(0);
    fid_mode.fill(0);
    fid_dirty.fill(0);
    tln_instance = 0;
    snap_contents = 0;
}

}  // namespace harness
