#include "veskread/extract/image_map.h"

#include <algorithm>
#include <string>
#include <vector>

#include "veskread/container/interpreter_rules.h"
#include "veskread/container/interrupt.h"
#include "veskread/container/output_budget.h"

namespace vesk {

namespace {

// Blocks stored back to back are read a run at a time: one read per run
// instead of one per spectrum.
constexpr int64_t kRunBytes = int64_t(1) << 20;

void read_spectrum_blocks(const BlockReader& reader, const StoredBlocks& blocks, const MapShape& s,
                          int64_t stride, float* out) {
    const auto& bl = blocks.blocks;
    const auto n = static_cast<int64_t>(bl.size());
    std::vector<unsigned char> scratch;
    int64_t max_run = stride > 0 ? std::max<int64_t>(kRunBytes / stride, 1) : 1;
    for (int64_t i = 0; i < n;) {
        poll_interrupt(s.npt * 4);
        int64_t offset = bl[static_cast<size_t>(i)].offset;
        BlockReader::check_seek(offset);
        if (s.npx == 0) interp::modulo_by_zero();
        int64_t col = i % s.npx;
        int64_t row = i / s.npx;
        if (row >= s.npy) interp::index_out_of_bounds(row, 0, s.npy);
        float* dst = out + (row * s.npx + col) * s.npt;
        int64_t run = 1;
        if (stride >= 4 * s.npt && s.npt > 0) {
            int64_t limit = std::min({max_run, n - i, s.npy * s.npx - i});
            while (run < limit && bl[static_cast<size_t>(i + run)].offset == offset + run * stride)
                ++run;
        }
        if (run > 1 && reader.read_run(offset, run, stride, s.npt, dst, scratch)) {
            i += run;
            continue;
        }
        // A single value would broadcast over the whole spectrum; anything
        // but a full spectrum is refused.
        int64_t got = reader.read_values(offset, s.npt, dst);
        if (got != s.npt) interp::broadcast_mismatch(got, s.npt);
        ++i;
    }
}

void read_plane_blocks(const BlockReader& reader, const StoredBlocks& blocks, const MapShape& s,
                       float* out) {
    int64_t plane = s.npy * s.npx;
    std::vector<float> values;
    int64_t i = 0;
    for (const auto& b : blocks.blocks) {
        poll_interrupt(plane * 4);
        BlockReader::check_seek(b.offset);
        // Sized by what the file holds there, never by the declared plane alone.
        int64_t room = reader.values_at(b.offset, plane);
        if (int64_t(values.size()) < room) values.resize(static_cast<size_t>(room));
        int64_t got = reader.read_values(b.offset, room, values.data());
        if (got != plane) interp::reshape_mismatch(got, s.npy, s.npx);
        if (i >= s.npt) interp::index_out_of_bounds(i, 2, s.npt);
        for (int64_t p = 0; p < plane; ++p) out[p * s.npt + i] = values[p];
        ++i;
    }
}

} // namespace

int64_t image_bytes_written(const BlockReader& reader, const StoredBlocks& blocks,
                            ImageLayout layout, const MapShape& s) {
    int64_t per_block = 0, limit = 0, count = 0;
    if (layout == ImageLayout::Spectra) {
        per_block = s.npt;
        limit = s.npx == 0 ? 0 : s.npy * s.npx;
    } else if (layout == ImageLayout::Planes) {
        per_block = s.npy * s.npx;
        limit = s.npt;
    }
    for (const auto& b : blocks.blocks) {
        if (count >= limit || b.offset < 0) break;
        if (reader.values_at(b.offset, per_block) != per_block) break;
        ++count;
        poll_interrupt();
    }
    return saturating_mul(saturating_mul(count, per_block), 4);
}

void read_image_spectra(const BlockReader& reader, const StoredBlocks& blocks, ImageLayout layout,
                        const MapShape& shape, int64_t stride, float* out) {
    switch (layout) {
    case ImageLayout::Spectra:
        read_spectrum_blocks(reader, blocks, shape, stride, out);
        return;
    case ImageLayout::Planes:
        read_plane_blocks(reader, blocks, shape, out);
        return;
    case ImageLayout::Neither:
        for (const auto& b : blocks.blocks) BlockReader::check_seek(b.offset);
        return;
    }
}

} // namespace vesk
