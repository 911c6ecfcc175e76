#include "veskread/extract/image_map.h"

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "veskread/container/interpreter_rules.h"
#include "veskread/container/interrupt.h"
#include "veskread/container/output_budget.h"
#include "veskread/extract/transpose.h"

namespace vesk {

namespace {

constexpr int64_t kPlaneTileBytes = int64_t(4) << 20;
constexpr int64_t kPlanesPerTile = 64;

// Points [first, first + count) of a map: a window of whole rows, or all of it.
struct PointWindow {
    int64_t first;
    int64_t count;
};

// The points of a window of planes that go to `out`: `runs` runs of
// `length` points, `pitch` apart (part of each row of a tile); by default
// the whole window.
struct PlaneRuns {
    int64_t runs = 1;
    int64_t length = -1; // -1: the window's count
    int64_t pitch = 0;
};

// A tile's rows whose gaps (the columns outside it) are at most this many
// points are read together, each plane's values of them in one read: a read
// per row and plane costs far more than copying a gap.
constexpr int64_t kRowGapPoints = 1024;

// `blocks` are the map's stored blocks from block `window.first` on; `out`
// holds the window's spectra.
void read_spectrum_blocks(const BlockReader& reader, std::span<const StoredBlock> blocks,
                          const MapShape& s, int64_t stride, PointWindow window, float* out,
                          CutBlocks cut) {
    // Whole blocks lying back to back go a batch per read, straight into
    // their spectra; the rest one by one, with the errors of a short read.
    // Points follow one another in the map, so each block's info part can
    // land on the next spectrum, and a block is one part of the read.
    BlockBatch batch(reader, s.npt, stride, BlockBatch::kDefaultBatchBytes, InfoRoom::Unused);
    const bool batched = batch.usable();
    auto nothing = [](int64_t, const unsigned char*) {};
    // A single value would broadcast over the whole spectrum; anything but a
    // full spectrum is refused.
    auto single = [&](int64_t, int64_t offset, float* dst) {
        int64_t got = reader.read_values(offset, s.npt, dst);
        if (got != s.npt) interp::broadcast_mismatch(got, s.npt);
    };
    int64_t i = window.first;
    for (const auto& b : blocks) {
        poll_interrupt(s.npt * 4);
        check_spectrum_place(b, i, s);
        if (cut == CutBlocks::PassOver && reader.values_at(b.offset, s.npt) != s.npt) {
            ++i;
            continue;
        }
        // Block i fills point i: row i / npx, column i % npx.
        batch.take(batched, b.offset, out + (i - window.first) * s.npt, i, nothing, single);
        ++i;
    }
    batch.flush(nothing, single);
}

// Each plane's values of the window's points go to value i of their
// spectra; `out` holds the spectra of the window's points, or of its `runs`.
void read_plane_blocks(const BlockReader& reader, std::span<const StoredBlock> blocks,
                       const MapShape& s, int64_t stride, PointWindow window, float* out,
                       CutBlocks cut, PlaneRuns runs = {}) {
    if (runs.length < 0) runs.length = window.count;
    const int64_t full = saturating_mul(s.npy, s.npx);
    const int64_t plane = window.count; // values read of each plane
    const int64_t plane_bytes = saturating_mul(plane, 4);
    const int64_t skip = saturating_mul(window.first, 4);
    // Planes gather in a tile (whole ones lying back to back a batch per
    // read) and go to their points a few at a time, so that each point's
    // spectrum takes a run of values rather than one. A failing block raises
    // before its tile is written; the map is then dropped anyway.
    const int64_t per_tile =
        plane > 0 ? std::clamp<int64_t>(kPlaneTileBytes / plane_bytes, 1, kPlanesPerTile) : 1;
    // Where a block's size is whole floats, tile rows hold whole blocks, so
    // that a batch is one run of the file copied as it lies.
    const TileRows rows = tile_rows(plane, stride);
    BlockBatch batch(reader, plane, stride, saturating_mul(per_tile, stride), rows.room);
    // A batch reads the whole run of planes; a window of less than half of
    // each reads its part of each alone instead.
    const bool batched = batch.usable() && (plane == full || stride - plane_bytes <= plane_bytes);
    // Made once a plane has shown that the file holds one, never from the
    // declared size alone. Every value is read before it is moved out.
    std::unique_ptr<float[]> tile;
    float* row0 = nullptr; // the tile's first row, placed for the batch it starts
    auto slot = [&](int64_t k, int64_t offset) {
        if (!tile)
            tile.reset(new float[static_cast<size_t>(per_tile * rows.pitch) + kTilePlacementSlack]);
        if (k == 0) row0 = place_tile(tile.get(), offset);
        return row0 + k * rows.pitch;
    };
    auto nothing = [](int64_t, const unsigned char*) {};
    // A short plane is refused with the values the whole plane holds.
    auto refuse = [&](int64_t offset, int64_t got) {
        interp::reshape_mismatch(plane == full ? got : reader.values_at(offset - skip, full), s.npy,
                                 s.npx);
    };
    auto single = [&](int64_t, int64_t offset, float* dst) {
        int64_t got = reader.read_values(offset, plane, dst);
        if (got != plane) refuse(offset, got);
    };
    int64_t first = 0, in_tile = 0;
    auto drain = [&] {
        batch.flush(nothing, single);
        // A plane of no points writes nothing (and the map may have no storage).
        if (in_tile > 0 && plane > 0)
            for (int64_t r = 0; r < runs.runs; ++r)
                transpose_tile(row0 + r * runs.pitch, in_tile, runs.length, rows.pitch,
                               out + r * runs.length * s.npt + first, s.npt);
        first += in_tile;
        in_tile = 0;
    };
    int64_t i = 0;
    for (const auto& b : blocks) {
        poll_interrupt(plane_bytes);
        BlockReader::check_seek(b.offset);
        // Told by the whole plane, so that rows read alone agree with the map.
        if (cut == CutBlocks::PassOver && i < s.npt && reader.values_at(b.offset, full) < full) {
            drain();
            ++first; // its value of every point stays as the caller put it
            ++i;
            continue;
        }
        const int64_t at = checked_add(b.offset, skip);
        if (batched && batch.fits(at) && i < s.npt) {
            batch.add(at, slot(in_tile, at), i, nothing, single);
        } else {
            batch.flush(nothing, single);
            int64_t room = reader.values_at(at, plane);
            if (room == plane) {
                single(i, at, slot(in_tile, at));
            } else {
                std::vector<float> part(static_cast<size_t>(room));
                refuse(at, reader.read_values(at, room, part.data()));
            }
            if (i >= s.npt) interp::index_out_of_bounds(i, 2, s.npt);
        }
        if (++in_tile == per_tile) drain();
        ++i;
    }
    drain();
}

} // namespace

namespace {
// Large arrays are backed by huge pages (numpy asks the kernel for them), so
// a write commits the whole 2 MiB around it.
constexpr int64_t kCommitGranule = int64_t(2) << 20;

// Plane i writes value i of every point's spectrum: each point's run of
// `planes` values commits the pages around it, however few planes there are.
int64_t plane_bytes_committed(int64_t points, int64_t npt, int64_t planes) {
    if (planes <= 0) return 0; // no plane writes a page
    int64_t map = saturating_mul(saturating_mul(points, npt), 4);
    int64_t granules = (saturating_mul(planes, 4) + kCommitGranule - 1) / kCommitGranule + 1;
    return std::min(map, saturating_mul(saturating_mul(points, granules), kCommitGranule));
}
} // namespace

int64_t image_bytes_committed(const BlockReader& reader, const StoredBlocks& blocks,
                              ImageLayout layout, const MapShape& s, CutBlocks cut) {
    int64_t per_block = 0, limit = 0, count = 0;
    if (layout == ImageLayout::Spectra) {
        per_block = s.npt;
        limit = s.npx == 0 ? 0 : s.npy * s.npx;
    } else if (layout == ImageLayout::Planes) {
        per_block = s.npy * s.npx;
        limit = s.npt;
    }
    // Passed over, a cut block leaves its point (or plane) untouched, and the
    // blocks after it still write theirs.
    const bool pass_over = cut == CutBlocks::PassOver;
    int64_t place = 0;
    for (const auto& b : blocks.blocks) {
        if (place >= limit || b.offset < 0) break;
        ++place;
        poll_interrupt();
        if (reader.values_at(b.offset, per_block) == per_block)
            ++count;
        else if (!pass_over)
            break;
    }
    if (layout != ImageLayout::Planes || count == 0)
        return saturating_mul(saturating_mul(count, per_block), 4);
    return plane_bytes_committed(per_block, s.npt, count);
}

void check_image_commit(const BlockReader& reader, const StoredBlocks& blocks, ImageLayout layout,
                        const MapShape& shape, CutBlocks cut) {
    // Unrecorded points stay untouched zero pages; only the memory the
    // blocks' writes commit counts.
    int64_t committed = image_bytes_committed(reader, blocks, layout, shape, cut);
    const char* verb = layout == ImageLayout::Planes ? " touch " : " fill ";
    OutputBudget(reader.file_size())
        .spend(committed, "3D store table names " + std::to_string(blocks.blocks.size()) +
                              " stored blocks that" + verb + std::to_string(committed) +
                              " bytes of the map");
}

void check_spectrum_places(const StoredBlocks& blocks, const MapShape& shape) {
    int64_t i = 0;
    for (const auto& b : blocks.blocks) check_spectrum_place(b, i++, shape);
}

int64_t check_plane_places(const BlockReader& reader, const StoredBlocks& blocks,
                           const MapShape& shape, CutBlocks cut) {
    const int64_t plane = saturating_mul(shape.npy, shape.npx);
    int64_t i = 0, passed_over = 0;
    for (const auto& b : blocks.blocks) {
        poll_interrupt();
        BlockReader::check_seek(b.offset);
        int64_t room = reader.values_at(b.offset, plane);
        if (room != plane && cut == CutBlocks::PassOver && i < shape.npt) {
            ++passed_over;
        } else {
            if (room != plane) interp::reshape_mismatch(room, shape.npy, shape.npx);
            if (i >= shape.npt) interp::index_out_of_bounds(i, 2, shape.npt);
        }
        ++i;
    }
    return passed_over;
}

int64_t cut_spectrum_blocks(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt) {
    int64_t cut = 0;
    for (const auto& b : blocks.blocks)
        if (b.offset >= 0 && reader.values_at(b.offset, npt) != npt) ++cut;
    return cut;
}

bool image_blocks_cover_map(const StoredBlocks& blocks, ImageLayout layout, const MapShape& shape) {
    // Block i fills spectrum i (or plane i); one more than there is room
    // for raises, so reading without error means every place was written.
    auto n = static_cast<int64_t>(blocks.blocks.size());
    switch (layout) {
    case ImageLayout::Spectra:
        return n >= shape.npy * shape.npx;
    case ImageLayout::Planes:
        return n >= shape.npt;
    case ImageLayout::Neither:
        break;
    }
    return false;
}

void read_image_spectra(const BlockReader& reader, const StoredBlocks& blocks, ImageLayout layout,
                        const MapShape& shape, int64_t stride, float* out, CutBlocks cut) {
    const PointWindow all{0, shape.npy * shape.npx};
    switch (layout) {
    case ImageLayout::Spectra:
        read_spectrum_blocks(reader, blocks.blocks, shape, stride, all, out, cut);
        return;
    case ImageLayout::Planes:
        read_plane_blocks(reader, blocks.blocks, shape, stride, all, out, cut);
        return;
    case ImageLayout::Neither:
        for (const auto& b : blocks.blocks) BlockReader::check_seek(b.offset);
        return;
    }
}

namespace {

// The stored blocks that write a window of points.
std::span<const StoredBlock> window_blocks(const StoredBlocks& blocks, ImageLayout layout,
                                           const MapShape& shape, PointWindow window) {
    const auto n = static_cast<int64_t>(blocks.blocks.size());
    std::span<const StoredBlock> all(blocks.blocks);
    if (layout == ImageLayout::Spectra && window.first < n)
        return all.subspan(static_cast<size_t>(window.first),
                           static_cast<size_t>(std::min(window.count, n - window.first)));
    if (layout == ImageLayout::Planes && window.count > 0)
        return all.first(static_cast<size_t>(std::min(n, shape.npt)));
    return {};
}

std::string span_text(const char* what, int64_t first, int64_t count) {
    return std::string(what) + " " + std::to_string(first) + " to " + std::to_string(first + count);
}

} // namespace

void read_image_window(const BlockReader& reader, const StoredBlocks& blocks, ImageLayout layout,
                       const MapShape& shape, int64_t stride, MapWindow w, float* out,
                       CutBlocks cut) {
    if (w.first_row < 0 || w.rows < 0 || w.first_row > shape.npy - w.rows)
        throw_value(span_text("rows", w.first_row, w.rows) + " are not rows of the map's " +
                    std::to_string(shape.npy));
    if (w.first_col < 0 || w.cols < 0 || w.first_col > shape.npx - w.cols)
        throw_value(span_text("columns", w.first_col, w.cols) + " are not columns of the map's " +
                    std::to_string(shape.npx));
    // Whole rows are one run of points; part of each row is a run per row.
    const bool whole_rows = w.cols == shape.npx;
    const int64_t runs = whole_rows ? 1 : w.rows;
    auto run = [&](int64_t r) {
        return whole_rows
                   ? PointWindow{saturating_mul(w.first_row, shape.npx),
                                 saturating_mul(w.rows, shape.npx)}
                   : PointWindow{saturating_mul(w.first_row + r, shape.npx) + w.first_col, w.cols};
    };
    // Blocks passed over for the cut write nothing.
    auto written = [&](std::span<const StoredBlock> read, int64_t values) {
        if (cut != CutBlocks::PassOver) return static_cast<int64_t>(read.size());
        int64_t whole = 0;
        for (const StoredBlock& b : read) whole += reader.values_at(b.offset, values) == values;
        return whole;
    };
    int64_t committed = 0;
    if (layout == ImageLayout::Spectra) {
        for (int64_t r = 0; r < runs; ++r)
            committed = saturating_add(
                committed,
                saturating_mul(written(window_blocks(blocks, layout, shape, run(r)), shape.npt),
                               saturating_mul(shape.npt, 4)));
    } else if (layout == ImageLayout::Planes) {
        int64_t points = saturating_mul(w.rows, w.cols);
        int64_t planes = written(window_blocks(blocks, layout, shape, PointWindow{0, points}),
                                 saturating_mul(shape.npy, shape.npx));
        committed = plane_bytes_committed(points, shape.npt, planes);
    }
    OutputBudget(reader.file_size())
        .spend(committed, "the map's " + span_text("rows", w.first_row, w.rows) +
                              (whole_rows ? "" : ", " + span_text("columns", w.first_col, w.cols)) +
                              " fill " + std::to_string(committed) + " bytes");
    if (layout == ImageLayout::Planes && !whole_rows) {
        if (w.rows == 0 || w.cols == 0) return;
        // Each plane is read once per group of rows rather than once per
        // row: a tile a column wide of a map of many planes would otherwise
        // cost a read per point and plane.
        const int64_t gap = shape.npx - w.cols;
        const int64_t group =
            gap > std::max(w.cols, kRowGapPoints)
                ? 1
                : std::clamp<int64_t>((kPlaneTileBytes / 4 - w.cols) / shape.npx + 1, 1, w.rows);
        for (int64_t r = 0; r < w.rows; r += group) {
            const int64_t n = std::min(group, w.rows - r);
            const PointWindow span{run(r).first, (n - 1) * shape.npx + w.cols};
            std::span<const StoredBlock> read = window_blocks(blocks, layout, shape, span);
            read_plane_blocks(reader, read, shape, stride, span, out + r * w.cols * shape.npt, cut,
                              PlaneRuns{n, w.cols, shape.npx});
        }
        return;
    }
    for (int64_t r = 0; r < runs; ++r) {
        PointWindow window = run(r);
        std::span<const StoredBlock> read = window_blocks(blocks, layout, shape, window);
        if (read.empty()) continue;
        float* into = out + saturating_mul(saturating_mul(r, w.cols), shape.npt);
        if (layout == ImageLayout::Spectra)
            read_spectrum_blocks(reader, read, shape, stride, window, into, cut);
        else
            read_plane_blocks(reader, read, shape, stride, window, into, cut);
    }
}

} // namespace vesk
