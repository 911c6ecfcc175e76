// What reading a data block gives, worked out without reading its values.
//
// The directory, the merged parameter blocks, the 3D store table and the
// annotation table settle a block's kind and the shape of its values; the
// file size settles how many values a short block yields. An outline throws
// the same core error that reading the block would end with, so a listing can
// report a block that cannot be read instead of describing it wrongly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "veskread/container/byte_source.h"
#include "veskread/container/directory.h"
#include "veskread/container/listing.h"
#include "veskread/extract/annotation_table.h"
#include "veskread/extract/param_block.h"
#include "veskread/extract/store_table.h"

namespace vesk {

enum class BlockKind {
    Spectrum,
    ImageMap,
    ImageTraces,
    TimeSeries,
    TimeTraces,
    MultiregionMap,
    MultiregionTraces,
};

// The parameters a block merges, as soon as they are read.
// What outline_block throws where a parameter block that is cut short, or
// damaged, keeps some of a map's keys but not the others, or is the
// block's own and keeps none: read past it, a map would be taken for a
// series of its points.
class PartialMapKeys : public Error {
public:
    using Error::Error;
};

struct MergedParameters {
    std::shared_ptr<const ParamBlock> params;
    int64_t cut_at = -1; // a parameter block cut short, whose records before the cut they hold
};

struct BlockOutline {
    BlockKind kind = BlockKind::Spectrum;
    // The values' shape. Multiregion maps give one row per point of all
    // regions together, in the order their regions are read.
    std::vector<int64_t> shape;
    // Merged, with an underived map geometry applied; shared by the keys of a
    // listing that merge the same blocks.
    std::shared_ptr<const ParamBlock> parameters;
    int64_t data_offset = -1;
    // As the directory entry gives it, in bytes (-1 when negative); reading
    // never consults it.
    int64_t data_length = -1;
    // Points of an image map or multiregion map that no stored block fills:
    // they read as 0. With cut blocks, also the points whose block is cut.
    int64_t unfilled_points = 0;
    // Stored blocks of an image map's spectra, a time-resolved series, a
    // block of traces or a multiregion map that the end of the file cuts
    // short. Reading fails on them, or passes them over
    // (CutBlocks::PassOver); the shape of a series or block of traces counts
    // only the whole ones, and a map's unfilled points those of cut blocks.
    int64_t cut_blocks = 0;
    // Blocks the store table of a 3D block lists (-1 for 2D).
    int64_t stored_blocks = -1;
    // Names of the traces read that the end of the file cuts short: they
    // read shorter than stored, or empty.
    int64_t cut_names = 0;
    // A parameter block that the end of the file cuts short, or a damaged
    // record ends, whose records before were merged (CutParameters::KeepRead),
    // or -1; and for a damaged record, its error (ParamRecordCache::damage).
    int64_t parameters_cut_at = -1;
    std::string parameters_damage;
    // An image map stored as planes (a spectral point of every map point
    // per block); with fewer than NPT, every point lacks the other planes'.
    bool planes = false;
    // The distinct text cells of a multiregion block's X and Y that reading
    // hands to numpy, which takes them as Python's float() does: only a
    // caller with Python can tell whether it refuses one (and the block).
    std::vector<std::string> coordinate_texts;
};

// One distinct group of a multiregion map's annotation table, in the order
// the "Group" column first names it: for a region, whether a stored block
// fills each of its points (those without one read as zero, at (0, 0)),
// and the rows of the table that place those without one.
struct GroupFills {
    int32_t group = 0;
    bool region = false;
    std::vector<uint8_t> filled; // per point of a region
    // The table row of each point without a stored block, in point order,
    // whose X and Y place it; empty past a bound on all regions' points.
    std::vector<int64_t> unfilled_rows;
};

// What an outline of a 3D block read on its way, for a caller that goes on
// to read the block's values.
struct StoredLayout {
    StoreTable table;
    StoredBlocks blocks;
    std::vector<GroupFills> groups;            // multiregion maps (traces: no fills)
    std::optional<AnnotationTable> annotation; // multiregion maps
};

// Throws vesk::Error as reading `key` would fail; a key that reading refuses
// (such as a listed "SC") throws Error(Value) with reading's message. For a
// 3D block, `stored` (when given) receives its store table and blocks.
// `merged` (when given) receives the merged parameters as soon as they are
// read, so that a block refused later (a missing MXY, values cut short) still
// has them to show. `cache` (when given) holds the parameter blocks that
// earlier outlines of a listing read, and their merges; with it, `cut` may
// keep what a parameter block cut short holds before the cut.
BlockOutline outline_block(const ByteSource& src, const std::vector<DirEntry>& directory,
                           const DataBlockKey& key, StoredLayout* stored = nullptr,
                           MergedParameters* merged = nullptr, ParamRecordCache* cache = nullptr,
                           CutParameters cut = CutParameters::Refuse);

} // namespace vesk
