// Stored blocks read one after another: the spectra and times of a
// time-resolved series, and the traces and names of trace blocks (time
// series, trace maps and the traces of a multiregion map).
//
// Each reader first walks the blocks without reading values, so that the
// first failing block raises what reading would raise before any output is
// allocated; the caller then allocates once and the second pass reads the
// values straight into place. Nothing here touches Python.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "veskread/container/interpreter_rules.h"
#include "veskread/extract/stored_block_reader.h"

namespace vesk {

// Time-resolved spectra: throws what the first failing block raises (a
// negative or impossible seek, or a time that the short block or the file
// end leaves unread).
void check_spectrum_series(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt);
// The blocks of a series that the end of the file leaves whole, values and
// time: the measured part of a recording that stopped early. A block at a
// negative offset stays, for reading to refuse.
StoredBlocks series_blocks_held_whole(const BlockReader& reader, const StoredBlocks& blocks,
                                      int64_t npt);
// The blocks of a series or map of traces whose values the end of the file
// leaves whole (their names may be cut). A block at a negative offset stays,
// for reading to refuse.
StoredBlocks traces_held_whole(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt);
// spectra: blocks x npt floats; times: one per block. `stride` is block
// size plus info size, the distance between the blocks of a run.
void read_spectrum_series(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                          int64_t stride, float* spectra, double* times);

struct TraceScan {
    std::vector<int64_t> counts; // values each block yields, of npt asked
    Labels labels;
};

struct PlaneShape {
    int64_t npy;
    int64_t npx;
};

// Throws what reading block `b` of a trace map throws before its name: a
// negative offset, or values (of `npt` asked) that do not fill one plane.
inline int64_t check_trace_plane(const BlockReader& reader, const StoredBlock& b, int64_t npt,
                                 const PlaneShape& plane) {
    BlockReader::check_seek(b.offset);
    int64_t got = reader.values_at(b.offset, npt);
    if (got != plane.npy * plane.npx) interp::reshape_mismatch(got, plane.npy, plane.npx);
    return got;
}

// Seeks, value counts and names of trace blocks, in block order. With
// `plane`, every block must yield exactly npy*npx values (reshape).
TraceScan scan_traces(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                      int32_t info_size, const std::optional<PlaneShape>& plane);

// Index of the first count that differs from counts[0], if any (stacking
// rows of unequal length fails there).
std::optional<size_t> first_unequal(const std::vector<int64_t>& counts);

// Whether every trace block lies whole in the file with its name inside its
// own stride, so that nothing can fail: then values and names are read in
// one pass (read_traces) instead of a scan and a read.
bool traces_in_one_pass(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                        int32_t info_size, int64_t stride);
// dst: row k (npt floats) from block k, or with `planes` column k of an
// (npt, blocks) array: a stack along a third axis. Returns the names.
Labels read_traces(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                   int32_t info_size, int64_t stride, bool planes, float* dst);

// The traces of `blocks`, each of which holds its npt values whole
// (traces_held_whole), into dst as read_traces places them; their names.
// One pass where the blocks allow it, else a scan and a read.
Labels read_whole_traces(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                         int32_t info_size, int64_t stride, bool planes, float* dst);

// dst: blocks x width floats, row k from block k (each yields width values).
void read_trace_rows(const BlockReader& reader, const StoredBlocks& blocks, int64_t width,
                     float* dst);
// dst: (plane, blocks) floats, column k from block k: a stack along a third axis.
void read_trace_planes(const BlockReader& reader, const StoredBlocks& blocks, int64_t plane,
                       float* dst);

} // namespace vesk
