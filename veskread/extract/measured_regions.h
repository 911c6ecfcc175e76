// The measured part of a multiregion map that the end of its file cuts
// short: what reading refuses whole, read region by region for the stored
// spectra or traces the file holds whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "veskread/extract/annotation_table.h"
#include "veskread/extract/stored_block_reader.h"

namespace vesk {

struct MeasuredRegion {
    std::string title;
    int64_t points = 0;
};

// All points of the regions of `groups`, in that order, into arrays of all
// of them together: values (points x npt), map_x, map_y, start_time. A point
// whose stored spectrum is whole gets it, its time and its position; the
// others keep what the caller put in the arrays, and with `placed` get the
// position the table gives them (NaN where it gives no number, as for a text
// cell). `points` is the count the outline gave, which the regions must fill.
std::vector<MeasuredRegion>
read_measured_regions(const BlockReader& reader, const StoredBlocks& blocks,
                      const AnnotationTable& anno, int64_t npt, int64_t stride,
                      const std::vector<int32_t>& groups, int64_t points, bool placed,
                      float* values, double* map_x, double* map_y, double* start_time);

// The same for a multiregion map of traces, whose stored traces `whole`
// (traces_held_whole) the end of the file leaves whole: values (points x
// whole traces), map_x, map_y.
std::vector<MeasuredRegion>
read_measured_region_traces(const BlockReader& reader, const StoredBlocks& whole,
                            const AnnotationTable& anno, int64_t npt, int64_t stride,
                            const std::vector<int32_t>& groups, int64_t points, float* values,
                            double* map_x, double* map_y);

} // namespace vesk
