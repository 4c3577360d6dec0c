// Loading the tree from the kernel's backing store at start-up and saving it
// whole at every save point (dirty clunk, successful remove, end of stream,
// wire error).
#include "kernel/velmor.h"
#include "tolvane/tolvane.h"

namespace tolvane {

uint64_t tln_backing_ok;

// Room for the path the store reports for a rejected image, and for the line
// that names it.
static constexpr uint64_t REJECT_WHERE_CAP = 1024;
static constexpr uint64_t REJECT_LINE_CAP = REJECT_WHERE_CAP + 64;

// Appends the NUL-terminated text s to line at *len, keeping room for the NUL
// that ends line; text that does not fit is cut off.
static void line_append(char* line, uint64_t cap, uint64_t* len, const char* s) {
    for (uint64_t i = 0; s[i] != 0 && *len + 1 < cap; i++) line[(*len)++] = s[i];
    line[*len] = 0;
}

// The stored image was refused: ask the store to keep it aside, so that no
// later save destroys it, and say where it is. When the store cannot keep
// it, saves stay off for the life of the process for the same reason.
static void tln_reject_image() {
    char where[REJECT_WHERE_CAP];
    where[0] = 0;
    int64_t r = sys_tln_reject(tln_instance, where, REJECT_WHERE_CAP);
    where[REJECT_WHERE_CAP - 1] = 0;
    if (r < 0) {
        tln_backing_ok = 0;
        write_str(2,
                  "[tolvane] snapshot rejected; the store could not keep it aside; "
                  "saves are off\n");
        return;
    }
    char line[REJECT_LINE_CAP];
    uint64_t len = 0;
    line[0] = 0;
    line_append(line, REJECT_LINE_CAP, &len, "[tolvane] snapshot rejected, kept as ");
    line_append(line, REJECT_LINE_CAP, &len, where);
    line_append(line, REJECT_LINE_CAP, &len, "\n");
    write_str(2, line);
}

int32_t tln_load_from_disk() {
    int64_t n = sys_tln_load(tln_instance, snap_buf.data(), SNAP_CAP);
    if (n >= 0) tln_backing_ok = 1;
    if (n <= 0) return 0;
    if (tln_deserialize(static_cast<uint64_t>(n)) != 0) return 1;
    tln_reject_image();
    return 0;
}

int32_t tln_save_to_disk() {
    if (tln_backing_ok == 0) return 0;
    uint64_t len = tln_serialize();
    if (len == 0) {
        write_str(2, "[tolvane] snapshot too large to persist\n");
        return -1;
    }
    if (sys_tln_save(tln_instance, snap_buf.data(), len) != static_cast<int64_t>(len)) {
        write_str(2, "[tolvane] persist failed (ext4 I/O error)\n");
        return -1;
    }
    return 1;
}

}  // namespace tolvane
