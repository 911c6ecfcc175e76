// The regions of a multiregion point map.
//
// The annotation table lists every measured point with its group, the
// group's grid size or free-list flag, the number of its stored block
// ("Fileindex") and its X and Y. Each distinct group whose first row has type
// 0 becomes a region: a grid of AryNX x AryNY points, or, when that is zero
// and AryType is 0, all rows of the group. A region's points are the rows
// that follow its first row. Spectra come from the stored block a point
// names (points without one stay zero); traces give every trace's value at
// the point's 1-based position.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "veskread/container/huge_page_buffer.h"
#include "veskread/container/output_budget.h"
#include "veskread/extract/annotation_table.h"
#include "veskread/extract/stored_block_reader.h"

namespace vesk {

// The columns the regions consult, borrowed from the table; null when absent.
struct RegionColumns {
    const AnnoColumn* group = nullptr;
    const AnnoColumn* type = nullptr;
    const AnnoColumn* nx = nullptr;
    const AnnoColumn* ny = nullptr;
    const AnnoColumn* array_type = nullptr;
    const AnnoColumn* file_index = nullptr;
    const AnnoColumn* x = nullptr;
    const AnnoColumn* y = nullptr;

    static RegionColumns of(const AnnotationTable& table);
    static const std::vector<std::string>& names();
};

// First row and number of rows of each group number, by equality as Python
// compares a cell with an int.
class GroupIndex {
public:
    explicit GroupIndex(const AnnoColumn& group);
    // -1 when no cell equals `group`.
    int64_t first_row(int32_t group) const;
    int64_t count(int32_t group) const;

private:
    std::unordered_map<int32_t, std::pair<int64_t, int64_t>> rows_;
};

// AryNX x AryNY that repeats a text cell: no size, which numpy refuses by
// the text's length.
struct RepeatedText {};

struct RegionPlan {
    int32_t group = 0;
    int64_t first_row = 0;
    std::string title;
    // Point count; a float or text size is kept so that numpy refuses it.
    std::variant<int64_t, double, RepeatedText> size;
};

// The region of `group`, or nullopt when its first row's type is not 0.
// Throws MissingKey, IndexOutOfRange or WrongType as the lookups would.
std::optional<RegionPlan> plan_region(const RegionColumns& cols, const GroupIndex& groups,
                                      int32_t group);

// Whether every point of the region has a "Fileindex" row; when not, the
// point loop is certain to end in an error and nothing is allocated for it.
bool region_fits_table(const RegionColumns& cols, const RegionPlan& plan);

// What a spectrum region's point loop writes: the points whose "Fileindex"
// names a stored block (the others stay zero), and the bytes their rows of
// `row_bytes` commit in an array of zero pages, counted in the 2 MiB pages
// numpy backs large arrays with (all of an array too small to be mapped). The region must fit the
// table. The block of each point is kept, so that the loop that reads them looks nothing up again.
struct RegionFill {
    int64_t points = 0;
    int64_t committed = 0;
    std::vector<const int64_t*> offsets; // per point; null: no stored block
    bool every_point(int64_t size) const { return points == size; }
};
RegionFill region_fill(const StoredBlocks& blocks, const RegionColumns& cols,
                       const RegionPlan& plan, int64_t size, int64_t row_bytes);

// What the regions of one read may fill together, from one budget of the
// file's size: regions may overlap (share rows), and what each fills counts
// across all. A region spends the rows it commits and all its points'
// coordinates (and times, for spectra), filled or not; spend() refuses with reading's
// ValueError where they are not left.
class RegionBudget {
public:
    RegionBudget(int64_t file_size, bool traces)
        : budget_(file_size), per_point_(traces ? 16 : 24) {}
    void spend(const RegionPlan& plan, int64_t size, const RegionFill& filled);
    // Whether spend() would take what the region fills, rather than refuse it.
    bool fits(int64_t size, const RegionFill& filled) const;
    int64_t per_point() const { return per_point_; } // bytes of a point's coordinates

private:
    int64_t cost(int64_t size, const RegionFill& filled) const;

    OutputBudget budget_;
    int64_t per_point_;
};

// X or Y cells as doubles for numpy to store. Numbers convert here; other
// cells are Pending until the binding asks numpy, then Stored or Refused.
struct Coordinates {
    enum State : uint8_t { Stored, Pending, Refused };
    std::vector<double> value;
    std::vector<State> state;
    int64_t pending = 0; // cells left Pending
    static Coordinates of(const AnnoColumn* column);
};

// Where a point loop stopped because numpy refused a coordinate.
struct CoordinateStop {
    int64_t row = -1; // -1: the loop ran to its end
    bool is_y = false;
};

// Outputs of one region; all null for a check-only pass. The spectra of a
// spectrum region need not be cleared first: rows of points without a
// stored block are cleared here.
struct RegionArrays {
    double* map_x = nullptr;
    double* map_y = nullptr;
    float* spectra = nullptr;     // size x npt (spectra) or size x traces (traces)
    double* start_time = nullptr; // spectra only
    // The spectra are zero already, so rows of points without a block are
    // left untouched (their pages never committed).
    bool spectra_zeroed = false;
};

// Where the spectra of every region come from; one per call, so that the
// batch's scratch serves all regions.
struct SpectrumSource {
    const BlockReader& reader;
    const StoredBlocks& blocks;
    int64_t npt;
    BlockBatch batch;
    SpectrumSource(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                   int64_t stride)
        : reader(reader), blocks(blocks), npt(npt), batch(reader, npt, stride) {}
};

// `filled` is region_fill's answer for the region, or null for a check-only
// pass over a region that does not fit the table.
CoordinateStop fill_spectrum_region(SpectrumSource& src, const RegionColumns& cols,
                                    const Coordinates& x, const Coordinates& y,
                                    const RegionPlan& plan, int64_t size, const RegionArrays& out,
                                    const RegionFill* filled);

// The traces of a multiregion map, rows x cols (cols values of each trace).
// Held in memory unless the blocks overlap so much that it would dwarf the
// file; then each value is read when asked for.
class TraceMatrix {
public:
    // Consecutive stored blocks lie `stride` bytes apart.
    TraceMatrix(const BlockReader& reader, const StoredBlocks& blocks, int64_t width,
                int64_t stride);
    int64_t rows() const { return rows_; }
    int64_t cols() const { return cols_; }
    bool in_memory() const { return in_memory_; }
    // out[t] = value t of column c, for every trace t.
    void column(int64_t c, float* out) const;
    // column(cs[k], out + k * rows()) for k < count, in tiles that keep the
    // matrix and the output in cache (in memory only).
    void columns(const int64_t* cs, int64_t count, float* out) const;

private:
    const BlockReader& reader_;
    const StoredBlocks& blocks_;
    int64_t rows_;
    int64_t cols_;
    HugePageBuffer buffer_; // the values; empty when read on demand
    float* values_ = nullptr;
    bool in_memory_;
};

// Throws what a point loop throws looking up the X and Y cells of `row`.
void check_point_coordinates(const RegionColumns& cols, int64_t row);

// Throws what a trace region's point loop throws at the "Fileindex" cell of
// `row`, which must name one of `traces` columns (values per trace).
void check_trace_column(const RegionColumns& cols, int64_t row, int64_t traces);

CoordinateStop fill_trace_region(const TraceMatrix& traces, const RegionColumns& cols,
                                 const Coordinates& x, const Coordinates& y, const RegionPlan& plan,
                                 int64_t size, const RegionArrays& out);

} // namespace vesk
