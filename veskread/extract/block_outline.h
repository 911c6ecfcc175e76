// What reading a data block gives, worked out without reading its values.
//
// The directory, the merged parameter blocks, the 3D store table and the
// annotation table settle a block's kind and the shape of its values; the
// file size settles how many values a short block yields. An outline throws
// the same core error that reading the block would end with, so a listing can
// report a block that cannot be read instead of describing it wrongly.
#pragma once

#include <cstdint>
#include <vector>

#include "veskread/container/byte_source.h"
#include "veskread/container/directory.h"
#include "veskread/container/listing.h"
#include "veskread/extract/param_block.h"

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

struct BlockOutline {
    BlockKind kind = BlockKind::Spectrum;
    // The values' shape. Multiregion maps give one row per point of all
    // regions together, in the order their regions are read.
    std::vector<int64_t> shape;
    ParamBlock parameters; // merged, with an underived map geometry applied
    int64_t data_offset = -1;
};

// Throws vesk::Error as reading `key` would fail; a key that reading refuses
// (such as a listed "SC") throws Error(Value) with reading's message.
BlockOutline outline_block(const ByteSource& src, const std::vector<DirEntry>& directory,
                           const DataBlockKey& key);

} // namespace vesk
