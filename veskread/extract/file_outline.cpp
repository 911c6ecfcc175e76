#include "veskread/extract/file_outline.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <unordered_map>

#include "veskread/container/directory.h"

namespace vesk {

namespace {

// Equal as stored: a NaN equals itself, so that it cannot defeat sharing.
bool same_value(const ParamValue& a, const ParamValue& b) {
    if (a.index() != b.index()) return false;
    if (auto* d = std::get_if<double>(&a)) {
        double other = std::get<double>(b);
        return std::memcmp(d, &other, sizeof other) == 0;
    }
    return a == b;
}

bool same_parameters(const ParamBlock& a, const ParamBlock& b) {
    return std::equal(a.entries().begin(), a.entries().end(), b.entries().begin(),
                      b.entries().end(), [](const auto& x, const auto& y) {
                          return x.first == y.first && same_value(x.second, y.second);
                      });
}

size_t hash_of(const ParamBlock& params) {
    size_t h = params.size();
    auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    for (const auto& [key, value] : params.entries()) {
        mix(std::hash<std::string>{}(key));
        mix(value.index());
        if (auto* i = std::get_if<int32_t>(&value))
            mix(std::hash<int32_t>{}(*i));
        else if (auto* d = std::get_if<double>(&value))
            mix(std::hash<uint64_t>{}(std::bit_cast<uint64_t>(*d)));
        else
            mix(std::hash<std::string>{}(std::get<ParamText>(value).bytes));
    }
    return h;
}

// One copy of each distinct parameter set the outline keeps.
class SharedParameters {
public:
    std::shared_ptr<const ParamBlock> take(std::shared_ptr<const ParamBlock> params) {
        if (!params) params = std::make_shared<const ParamBlock>();
        // Keys that merge the same blocks come with one set: compared once.
        auto& known = known_[params.get()];
        if (known.kept) return known.kept;
        known.given = params; // held, so that no later set takes its address
        size_t h = hash_of(*params);
        auto [first, last] = kept_.equal_range(h);
        for (auto it = first; it != last; ++it)
            if (same_parameters(*it->second, *params)) return known.kept = it->second;
        kept_.emplace(h, params);
        return known.kept = params;
    }

private:
    struct Known {
        std::shared_ptr<const ParamBlock> given;
        std::shared_ptr<const ParamBlock> kept;
    };
    std::unordered_multimap<size_t, std::shared_ptr<const ParamBlock>> kept_;
    std::unordered_map<const ParamBlock*, Known> known_;
};

// The outline of a block whose merge meets a parameter block that the end
// of the file cuts short, or a damaged record ends, from the records before
// the cut; where it cannot be outlined so, those records alone are kept in
// `before_cut`, and an error the cut leads to past them (a map's keys cut
// off, the file's end) in `failure`.
std::optional<BlockOutline>
outline_past_cut_parameters(const ByteSource& src, const std::vector<DirEntry>& directory,
                            const DataBlockKey& key, ParamRecordCache& cache,
                            MergedParameters& before_cut, std::optional<Error>& failure) {
    try {
        BlockOutline out = outline_block(src, directory, key, nullptr, &before_cut, &cache,
                                         CutParameters::KeepRead);
        if (out.parameters_cut_at == -1) return std::nullopt;
        return out;
    } catch (const PartialMapKeys& e) {
        failure = e;
        return std::nullopt;
    } catch (const Error& e) {
        if (e.kind() == ErrorKind::Io) throw;
        if (e.kind() == ErrorKind::ShortRead) failure = e;
        return std::nullopt;
    }
}

} // namespace

FileOutline outline_file(const ByteSource& src) {
    FileOutline out;
    try {
        if (!has_vesk_magic(src)) {
            out.is_vesk = false;
            return out;
        }
        std::vector<DirEntry> directory = read_directory(src);
        // A key listed again outlines the same: each outline scans the whole
        // directory, so a directory of repeated entries must not cost its
        // square, nor a copy of the outline each. Valid keys are few, so the
        // work stays linear in the file.
        std::set<std::string> seen;
        SharedParameters shared;
        // each read once, all held to one bound
        ParamRecordCache parameter_blocks(block_starts(directory));

        for (auto& key : list_contents(directory)) {
            if (!seen.insert(key.type + '/' + key.dimensions + '/' + key.derivative).second)
                continue;
            ListedBlock item{key, std::nullopt, std::nullopt, nullptr, -1, {}};
            MergedParameters merged;
            bool parameters_cut = false;
            try {
                item.outline =
                    outline_block(src, directory, key, nullptr, &merged, &parameter_blocks);
            } catch (const Error& e) {
                if (e.kind() == ErrorKind::Io) throw;
                item.problem = e;
                parameters_cut = ends_records(e.kind()) && !merged.params;
            } catch (const std::bad_alloc&) {
                item.problem = Error(ErrorKind::BadCount, "block too large to describe");
            }
            // Reading refuses it, but the package can read what the block
            // holds, or show the parameters before the cut.
            if (parameters_cut) {
                std::optional<Error> past_cut;
                try {
                    item.outline = outline_past_cut_parameters(src, directory, key,
                                                               parameter_blocks, merged, past_cut);
                } catch (const std::bad_alloc&) {
                }
                if (item.outline) {
                    item.problem.reset();
                } else {
                    item.parameters_cut_at = merged.cut_at;
                    item.parameters_damage = parameter_blocks.damage(merged.cut_at);
                    if (past_cut) item.problem = past_cut; // says more than the cut alone
                }
            }
            std::shared_ptr<const ParamBlock> parameters = std::move(merged.params);
            if (item.outline) parameters = std::move(item.outline->parameters);
            item.parameters = shared.take(std::move(parameters));
            out.blocks.push_back(std::move(item));
        }
    } catch (const Error& e) {
        out.failure = e;
    } catch (const std::bad_alloc&) {
        out.out_of_memory = true;
    }
    return out;
}

} // namespace vesk
