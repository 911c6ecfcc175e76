#include "veskread/extract/series.h"

#include <algorithm>
#include <string>

#include "veskread/container/interpreter_rules.h"
#include "veskread/container/interrupt.h"
#include "veskread/container/output_budget.h"

namespace vesk {

void check_spectrum_series(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt) {
    for (const auto& b : blocks.blocks) {
        poll_interrupt();
        BlockReader::check_seek(b.offset);
        int64_t got = reader.values_at(b.offset, npt);
        int64_t after = reader.position_after(b.offset, npt, got);
        if (!reader.has_time(after)) reader.read_time(after); // raises the short read
    }
}

void read_spectrum_series(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                          float* spectra, double* times) {
    int64_t k = 0;
    for (const auto& b : blocks.blocks) {
        poll_interrupt(npt * 4);
        BlockReader::check_seek(b.offset);
        int64_t got = reader.read_values(b.offset, npt, spectra + k * npt);
        // A short spectrum leaves the position at the end of the file, so
        // the time read after it fails as it would have.
        times[k] = reader.read_time(reader.position_after(b.offset, npt, got));
        if (got != npt) throw_file_changed(b.offset);
        ++k;
    }
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
        BlockReader::check_seek(b.offset);
        int64_t got = reader.values_at(b.offset, npt);
        if (plane && got != plane->npy * plane->npx)
            interp::reshape_mismatch(got, plane->npy, plane->npx);
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

} // namespace vesk
