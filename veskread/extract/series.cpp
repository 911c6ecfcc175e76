#include "veskread/extract/series.h"

#include <algorithm>
#include <memory>
#include <string>

#include "veskread/container/interpreter_rules.h"
#include "veskread/container/interrupt.h"
#include "veskread/container/output_budget.h"
#include "veskread/extract/transpose.h"

namespace vesk {

namespace {

constexpr int64_t kTimeEnd = 136 + 8; // the time's end, counted from the values' end
constexpr int32_t kLabelStart = 152;
constexpr int64_t kPlaneBatch = 64; // planes per transposed tile, at most a default batch

} // namespace

void check_spectrum_series(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt) {
    for (const auto& b : blocks.blocks) {
        poll_interrupt();
        BlockReader::check_seek(b.offset);
        int64_t got = reader.values_at(b.offset, npt);
        int64_t after = reader.position_after(b.offset, npt, got);
        if (!reader.has_time(after)) reader.read_time(after); // raises the short read
    }
}

StoredBlocks series_blocks_held_whole(const BlockReader& reader, const StoredBlocks& blocks,
                                      int64_t npt) {
    StoredBlocks out;
    for (const auto& b : blocks.blocks) {
        if (b.offset >= 0 && (reader.values_at(b.offset, npt) != npt ||
                              !reader.has_time(reader.position_after(b.offset, npt, npt))))
            continue;
        out.blocks.push_back(b);
    }
    return out;
}

StoredBlocks traces_held_whole(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt) {
    StoredBlocks out;
    for (const auto& b : blocks.blocks)
        if (b.offset < 0 || reader.values_at(b.offset, npt) == npt) out.blocks.push_back(b);
    return out;
}

void read_spectrum_series(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                          int64_t stride, float* spectra, double* times) {
    BlockBatch batch(reader, npt, stride);
    const bool batched = batch.usable(kTimeEnd);
    auto take_time = [times](int64_t k, const unsigned char* info) {
        times[k] = BlockReader::time_in(info);
    };
    auto single = [&](int64_t k, int64_t offset, float* dst) {
        int64_t got = reader.read_values(offset, npt, dst);
        // A short spectrum leaves the position at the end of the file, so
        // the time read after it fails as it would have.
        times[k] = reader.read_time(reader.position_after(offset, npt, got));
        if (got != npt) throw_file_changed(offset);
    };
    int64_t k = 0;
    for (const auto& b : blocks.blocks) {
        poll_interrupt(npt * 4);
        BlockReader::check_seek(b.offset);
        batch.take(batched, b.offset, spectra + k * npt, k, take_time, single);
        ++k;
    }
    batch.flush(take_time, single);
}

TraceScan scan_traces(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                      int32_t info_size, const std::optional<PlaneShape>& plane) {
    TraceScan scan;
    scan.counts.reserve(blocks.blocks.size());
    scan.labels.of_block.reserve(blocks.blocks.size());
    int64_t last_at = -1;
    // Names of overlapping blocks may each run on through the same bytes.
    OutputBudget budget(reader.file_size());
    for (const auto& b : blocks.blocks) {
        poll_interrupt();
        int64_t got = plane ? check_trace_plane(reader, b, npt, *plane)
                            : (BlockReader::check_seek(b.offset), reader.values_at(b.offset, npt));
        int64_t after = reader.position_after(b.offset, npt, got);
        // Blocks that share a position share a name; read it once.
        if (scan.labels.texts.empty() || after != last_at) {
            std::string text = reader.read_label(after, info_size);
            poll_interrupt(static_cast<int64_t>(text.size()));
            if (!budget.try_spend(static_cast<int64_t>(text.size())))
                budget.refuse("3D store table names " + std::to_string(blocks.blocks.size()) +
                              " stored blocks whose trace names overlap");
            if (scan.labels.texts.empty() || text != scan.labels.texts.back())
                scan.labels.texts.push_back(std::move(text));
            last_at = after;
        }
        scan.labels.of_block.push_back(static_cast<uint32_t>(scan.labels.texts.size() - 1));
        scan.counts.push_back(got);
    }
    return scan;
}

std::optional<size_t> first_unequal(const std::vector<int64_t>& counts) {
    for (size_t k = 1; k < counts.size(); ++k)
        if (counts[k] != counts[0]) return k;
    return std::nullopt;
}

bool traces_in_one_pass(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                        int32_t info_size, int64_t stride) {
    if (blocks.blocks.empty() || info_size < kLabelStart) return false;
    BlockBatch batch(reader, npt, stride);
    if (!batch.usable(info_size)) return false;
    for (const auto& b : blocks.blocks)
        if (!batch.fits(b.offset)) return false;
    return true;
}

Labels read_traces(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                   int32_t info_size, int64_t stride, bool planes, float* dst) {
    Labels labels;
    labels.of_block.reserve(blocks.blocks.size());
    labels.texts.reserve(blocks.blocks.size());
    auto add_label = [&](std::string_view text) {
        if (labels.texts.empty() || text != labels.texts.back()) labels.texts.emplace_back(text);
        labels.of_block.push_back(static_cast<uint32_t>(labels.texts.size() - 1));
    };
    auto take_label = [&](int64_t, const unsigned char* info) {
        add_label(BlockReader::label_in(info, info_size));
    };
    auto single = [&](int64_t, int64_t offset, float* values) {
        if (reader.read_values(offset, npt, values) != npt) throw_file_changed(offset);
        add_label(reader.read_label(reader.position_after(offset, npt, npt), info_size));
    };
    // Planes are transposed from a tile of a few of them.
    const TileRows rows = tile_rows(npt, stride);
    BlockBatch batch(reader, npt, stride,
                     planes ? std::min(kPlaneBatch * stride, BlockBatch::kDefaultBatchBytes)
                            : BlockBatch::kDefaultBatchBytes,
                     planes ? rows.room : InfoRoom::Scratch);
    if (!planes) {
        int64_t k = 0;
        for (const auto& b : blocks.blocks) {
            batch.add(b.offset, dst + k * npt, k, take_label, single);
            ++k;
        }
        batch.flush(take_label, single);
        return labels;
    }
    // Planes land in a tile first, then go to their columns a few rows at a
    // time, so that the scattered writes stay within cache.
    const auto n = static_cast<int64_t>(blocks.blocks.size());
    const int64_t pitch = rows.pitch;
    // Every value is read before it is moved out.
    std::unique_ptr<float[]> tile(
        new float[batch.capacity() * static_cast<size_t>(pitch) + kTilePlacementSlack]);
    float* row0 = tile.get(); // the tile's first row, placed for the batch it starts
    int64_t first = 0;        // block number of the tile's first plane
    int64_t in_tile = 0;
    auto drain = [&] {
        batch.flush(take_label, single);
        // Each output row takes one short contiguous run per tile.
        transpose_tile(row0, in_tile, npt, pitch, dst + first, n);
        first += in_tile;
        in_tile = 0;
    };
    int64_t k = 0;
    for (const auto& b : blocks.blocks) {
        if (!batch.joins(b.offset)) drain();
        if (in_tile == 0) row0 = place_tile(tile.get(), b.offset);
        batch.add(b.offset, row0 + in_tile * pitch, k, take_label, single);
        ++in_tile;
        ++k;
    }
    drain();
    return labels;
}

void read_trace_rows(const BlockReader& reader, const StoredBlocks& blocks, int64_t width,
                     float* dst) {
    int64_t k = 0;
    for (const auto& b : blocks.blocks) {
        poll_interrupt(width * 4);
        if (reader.read_values(b.offset, width, dst + k * width) != width)
            throw_file_changed(b.offset);
        ++k;
    }
}

void read_trace_planes(const BlockReader& reader, const StoredBlocks& blocks, int64_t plane,
                       float* dst) {
    int64_t n = static_cast<int64_t>(blocks.blocks.size());
    std::vector<float> values(static_cast<size_t>(plane));
    int64_t k = 0;
    for (const auto& b : blocks.blocks) {
        poll_interrupt(plane * 4);
        if (reader.read_values(b.offset, plane, values.data()) != plane)
            throw_file_changed(b.offset);
        for (int64_t p = 0; p < plane; ++p) dst[p * n + k] = values[p];
        ++k;
    }
}

Labels read_whole_traces(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                         int32_t info_size, int64_t stride, bool planes, float* dst) {
    if (traces_in_one_pass(reader, blocks, npt, info_size, stride))
        return read_traces(reader, blocks, npt, info_size, stride, planes, dst);
    TraceScan scan = scan_traces(reader, blocks, npt, info_size, std::nullopt);
    if (planes)
        read_trace_planes(reader, blocks, npt, dst);
    else
        read_trace_rows(reader, blocks, npt, dst);
    return std::move(scan.labels);
}

} // namespace vesk
