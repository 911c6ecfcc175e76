#include "veskread/extract/kind_choice.h"

namespace vesk {

Kind3D choose_kind(const ParamBlock& params, int64_t anno_offset) {
    for (const char* key : kMapGeometryKeys)
        if (!params.contains(key))
            return anno_offset != -1 ? Kind3D::MultiRegion : Kind3D::TimeResolved;
    return Kind3D::ImageMap;
}

ImageLayout image_layout(const StoreTable& table, int64_t npt) {
    bool spectra = int64_t(table.block_size) == 4 * npt;
    bool planes = int64_t(table.stored_blocks) == npt;
    if (spectra == planes) return ImageLayout::Neither;
    return spectra ? ImageLayout::Spectra : ImageLayout::Planes;
}

} // namespace vesk
