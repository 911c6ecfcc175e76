// Reading the stored blocks of an image map into its (NPY, NPX, NPT) array.
//
// Spectrum blocks fill the map row by row in stored-block order; plane blocks
// fill spectral point i of every map point. Each block is read straight into
// its place; the errors are those of the array operations they replace
// (modulo by a zero NPX, an index past the map, a count that does not fit).
#pragma once

#include <cstdint>

#include "veskread/container/interpreter_rules.h"
#include "veskread/extract/kind_choice.h"
#include "veskread/extract/stored_block_reader.h"

namespace vesk {

struct MapShape {
    int64_t npy = 0;
    int64_t npx = 0;
    int64_t npt = 0;
};

// Whether the blocks fill every value of the map when they read without
// error (so the array need not be cleared first).
bool image_blocks_cover_map(const StoredBlocks& blocks, ImageLayout layout, const MapShape& shape);

// What a block that the end of the file cuts short does to a read: fail it,
// or leave what it would write as the caller filled it (the measured part of
// a recording that stopped early): a spectrum block's point, or a plane
// block's value of every point.
enum class CutBlocks { Raise, PassOver };

// Throws what reading spectrum block `i` (at `b.offset`) into a map of `shape`
// throws before its values: a negative offset, a zero NPX, a place past the
// map's last point.
inline void check_spectrum_place(const StoredBlock& b, int64_t i, const MapShape& shape) {
    BlockReader::check_seek(b.offset);
    if (shape.npx == 0) interp::modulo_by_zero();
    if (i / shape.npx >= shape.npy) interp::index_out_of_bounds(i / shape.npx, 0, shape.npy);
}
// The same for every block, in order: whether the map's spectrum blocks can
// all be placed, told without reading them.
void check_spectrum_places(const StoredBlocks& blocks, const MapShape& shape);

// Throws what reading plane blocks into a map of `shape` throws, without
// reading them: a negative offset, a plane the file cuts short, a plane past
// NPT. Passing over cut planes, returns how many the file cuts short.
int64_t check_plane_places(const BlockReader& reader, const StoredBlocks& blocks,
                           const MapShape& shape, CutBlocks cut = CutBlocks::Raise);

// Spectrum blocks the end of the file cuts short (a block at a negative
// offset is not cut: reading refuses it).
int64_t cut_spectrum_blocks(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt);

// `out` holds npy*npx*npt floats, zero unless image_blocks_cover_map; `stride` is the distance
// between stored blocks (block size plus info size). Runs without Python.
void read_image_spectra(const BlockReader& reader, const StoredBlocks& blocks, ImageLayout layout,
                        const MapShape& shape, int64_t stride, float* out,
                        CutBlocks cut = CutBlocks::Raise);

// Rows [first_row, first_row + rows) by columns [first_col, first_col + cols)
// of a map: a tile of it, as a chunked reader asks for.
struct MapWindow {
    int64_t first_row;
    int64_t rows;
    int64_t first_col;
    int64_t cols;
};

// The tile `w` of the map into `out` (rows*cols*npt floats, zero where no
// block writes), reading only what writes it: the blocks of its points, or
// each plane's values of its points (with the few columns between its rows,
// so that a plane is one read, not one per row). Blocks elsewhere are not
// looked at, so they cannot fail the read. Throws a Value error for rows or columns outside
// the map, and refuses tiles that would fill more memory than the file's
// size allows.
void read_image_window(const BlockReader& reader, const StoredBlocks& blocks, ImageLayout layout,
                       const MapShape& shape, int64_t stride, MapWindow w, float* out,
                       CutBlocks cut = CutBlocks::Raise);

// Memory of `out` (zero pages until written) that read_image_spectra commits
// before it stops (at the first block that fails, or at the end), found
// without reading values: the values it writes, or for planes, which write
// into every point's spectrum, the pages those writes touch.
int64_t image_bytes_committed(const BlockReader& reader, const StoredBlocks& blocks,
                              ImageLayout layout, const MapShape& shape,
                              CutBlocks cut = CutBlocks::Raise);
// Throws a Value error, before anything is read, where read_image_spectra
// would commit more than the file's size allows.
void check_image_commit(const BlockReader& reader, const StoredBlocks& blocks, ImageLayout layout,
                        const MapShape& shape, CutBlocks cut = CutBlocks::Raise);

} // namespace vesk
