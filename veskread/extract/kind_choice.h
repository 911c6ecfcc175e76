// Which of the three 3D objects a block becomes, and how an image map's
// stored blocks are laid out.
//
// The six map keys make an image map; otherwise an annotation block makes a
// multiregion map; otherwise the block is a time-resolved series. Only the
// exact type "TRC" holds traces. An image map's blocks are spectra when a
// block's data is NPT floats, image planes when there are NPT blocks, and
// unreadable (left at zero) when both or neither hold.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "veskread/extract/param_block.h"
#include "veskread/extract/store_table.h"

namespace vesk {

enum class Kind3D { ImageMap, MultiRegion, TimeResolved };

// The map geometry: origin, step and point count in x and y, indexed by
// MapGeometry.
enum MapGeometry : size_t { kOriginX, kOriginY, kStepX, kStepY, kPointsX, kPointsY };
constexpr std::array<const char*, 6> kMapGeometryKeys = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};

Kind3D choose_kind(const ParamBlock& params, int64_t anno_offset);

inline bool is_trace_type(std::string_view data_block_type) { return data_block_type == "TRC"; }

enum class ImageLayout { Spectra, Planes, Neither };

ImageLayout image_layout(const StoreTable& table, int64_t npt);

} // namespace vesk
