// Shared pieces of the 3D readers' bindings: the state of one 3D read and
// the numpy calls that allocate results or reproduce numpy's own errors.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "veskread/extract/py_extract.h"
#include "veskread/extract/py_numpy.h"
#include "veskread/extract/series.h"
#include "veskread/extract/store_table.h"
#include "veskread/extract/stored_block_reader.h"
#include "veskread/module/py_errors.h"

namespace vesk::py {

// What every kind of 3D object starts from.
struct Read3D {
    DataRequest& req;
    StoreTable table;
    StoredBlocks blocks;
    int64_t npt = 0;
    bool traces = false; // the exact type "TRC"
    std::optional<BlockReader> reader;

    // Distance between the stored blocks of a run.
    int64_t stride() const { return int64_t(table.block_size) + table.info_size; }
};

// np.vstack / np.dstack of what the per-block reads would have stacked,
// for their errors: no block at all, or rows of unequal length.
void raise_stack_error(Name fn, const std::vector<int64_t>& counts, size_t unequal);

// One str per block, through the module's decode_string; equal names share
// one object. New reference.
PyObject* labels_list(const Labels& labels);

// Walks every stored trace (names and value counts) and checks that
// np.vstack would take them; returns the list of labels. New reference.
PyObject* scan_stackable_traces(Read3D& r, TraceScan& scan);

// False with a ValueError set when the stored blocks would make more than a
// call may build from the file (they overlap, so the same bytes count again).
bool spend_on_blocks(Read3D& r, int64_t bytes);

// Traces whose blocks allow one pass (traces_in_one_pass): values into a new
// float32 array of `shape` (rows, or planes stacked along a third axis) and
// the list of labels. False with an exception set.
bool read_traces_at_once(Read3D& r, std::initializer_list<int64_t> shape, bool planes, Ref& values,
                         Ref& labels);

PyObject* read_image_map(Read3D& r);
PyObject* read_time_resolved(Read3D& r);
PyObject* read_multiregion(Read3D& r);

} // namespace vesk::py
