// The measured part of a multiregion map that the end of its file cuts
// short: what reading refuses whole, read region by region for the stored
// spectra or traces the file holds whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "veskread/extract/annotation_table.h"
#include "veskread/extract/regions.h"
#include "veskread/extract/stored_block_reader.h"

namespace vesk {

struct MeasuredRegion {
    std::string title;
    int64_t points = 0;
};

// The regions to read, in their order, and where their points go: arrays of
// all of them together (values points x width; start_time for spectra only).
// `x` and `y` are the table's X and Y as reading stores them: a caller with
// the interpreter resolves text cells, which numpy takes as float() does.
struct RegionRead {
    const std::vector<int32_t>& groups;
    int64_t points; // as the outline counted them: the regions must fill them
    const Coordinates& x;
    const Coordinates& y;
    float* values;
    double* map_x;
    double* map_y;
    double* start_time;
};

// A point whose stored spectrum is whole gets it, its time and its position;
// the others keep what the caller put in the arrays, and with `placed` get
// the position the table gives them (NaN where it gives no number).
std::vector<MeasuredRegion> read_measured_regions(const BlockReader& reader,
                                                  const StoredBlocks& blocks,
                                                  const AnnotationTable& anno, int64_t npt,
                                                  int64_t stride, bool placed,
                                                  const RegionRead& out);

// The same for a multiregion map of traces, whose stored traces `whole`
// (traces_held_whole) the end of the file leaves whole: every point gets its
// value of each whole trace, and its position.
std::vector<MeasuredRegion> read_measured_region_traces(const BlockReader& reader,
                                                        const StoredBlocks& whole,
                                                        const AnnotationTable& anno, int64_t npt,
                                                        int64_t stride, const RegionRead& out);

// The table's position of a point: NaN where the cell is missing or refused.
double table_position(const Coordinates& c, int64_t row);

} // namespace vesk
