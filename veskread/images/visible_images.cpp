#include "veskread/images/visible_images.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "veskread/container/interrupt.h"
#include "veskread/images/image_keys.h"

namespace vesk {

namespace {

// extendType of a BID value, which must be an int to be shifted.
int extend_type_of(const ParamValue& word) {
    if (auto* w = std::get_if<int32_t>(&word)) return decode_block_type(*w).extend_type;
    interp::unsupported_operands(">>", as_value(word), interp::Value::integer(0));
}

bool is_directory_block(const ParamBlock& candidate) {
    const ParamValue* bid = candidate.find("BID");
    return bid && extend_type_of(*bid) == kExtendVisibleImages;
}

void join_directory(ParamBlock& directory, const ParamBlock& block) {
    if (directory.size() == 0)
        directory = block;
    else
        directory.update(block);
}

bool same_value(const ParamValue& a, const ParamValue& b) {
    if (a.index() != b.index()) return false;
    // Bit patterns, so that a NaN equals itself and the cycle is still seen.
    if (auto* d = std::get_if<double>(&a))
        return std::bit_cast<uint64_t>(*d) == std::bit_cast<uint64_t>(std::get<double>(b));
    return a == b;
}

bool same_block(const ParamBlock& a, const ParamBlock& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto& [ka, va] = a.entries()[i];
        const auto& [kb, vb] = b.entries()[i];
        if (ka != kb || !same_value(va, vb)) return false;
    }
    return true;
}

// Brent's cycle detection on the scan state (position, directory so far).
// The next step depends on nothing else, so a repeated state means the chain
// would go round for ever; a state that merely revisits a position with a
// different directory is allowed to go on.
class CycleGuard {
public:
    bool repeats(int64_t position, const ParamBlock& directory) {
        if (saved_ && position == saved_position_ && same_block(directory, saved_directory_))
            return true;
        if (steps_ == power_) {
            saved_ = true;
            saved_position_ = position;
            saved_directory_ = directory;
            power_ *= 2;
            steps_ = 0;
        }
        ++steps_;
        return false;
    }

private:
    bool saved_ = false;
    int64_t saved_position_ = 0;
    ParamBlock saved_directory_;
    uint64_t power_ = 1;
    uint64_t steps_ = 0;
};

// A real chain reads each of its directory blocks once (and image 00's
// parameters once while F00 stays); a chain whose directories keep changing may
// never come back to a state it has been in. Its work is bounded by the
// file: every step costs the bytes it parses, at least the 16 searched.
class ChainWork {
public:
    explicit ChainWork(int64_t file_size)
        : file_size_(file_size), left_(kAllowance + 16 * std::max<int64_t>(file_size, 0)) {}

    void step(int64_t parsed_bytes) {
        int64_t cost = 16 + std::max<int64_t>(parsed_bytes, 0);
        ++steps_;
        poll_interrupt(cost);
        if (cost > left_)
            throw Error(ErrorKind::Value,
                        "image directory chain runs on for more than " + std::to_string(steps_) +
                            " steps; a file of " + std::to_string(file_size_) +
                            " bytes cannot hold that many directory blocks",
                        -1, steps_);
        left_ -= cost;
    }

private:
    static constexpr int64_t kAllowance = int64_t(4) << 20;
    int64_t file_size_;
    int64_t left_;
    int64_t steps_ = 0;
};

} // namespace

std::optional<VisibleImageBlock> find_visible_image_block(const std::vector<DirEntry>& directory) {
    for (const DirEntry& e : directory)
        if (e.type.extend_type == kExtendVisibleImages)
            return VisibleImageBlock{e.byte_offset, e.size_in_words};
    return std::nullopt;
}

Number add(const Number& a, const ParamValue& b) { return interp::add(a, as_value(b)); }

int64_t seek_position(const Number& n) { return interp::as_index(n); }

ParamBlock read_image_directory(Cursor& cur, const VisibleImageBlock& block) {
    ParamBlock directory;
    const Number offset = Number::integer(block.offset);
    // Only ever compared, never sought, so it may lie beyond 64 bits.
    const __int128 block_end =
        static_cast<__int128>(block.offset) + static_cast<__int128>(block.size_in_words) * 4;
    CycleGuard guard;
    ChainWork work(cur.source_size());
    // Every step joins image 00's block again; while F00 stays, it is the
    // same block, read once, so that a long honest chain costs its length.
    struct {
        int64_t at = -1;
        ParamBlock block;
        bool joins = false;
    } img00;
    cur.seek(block.offset);
    while (cur.tell() != block_end) {
        const int64_t here = cur.tell();
        if (guard.repeats(here, directory)) break;
        std::string window = cur.read_upto(16);
        size_t bid = window.find("BID");
        if (bid == std::string::npos) break;
        const int64_t dir_at = checked_add(here, static_cast<int64_t>(bid));
        const ParamBlock step_block = read_param_block(cur, dir_at);
        int64_t parsed = cur.tell() - dir_at;
        const bool step_joins = is_directory_block(step_block);
        if (step_joins) join_directory(directory, step_block);
        const ParamValue& f00 = directory.at("F00");
        const int64_t img00_at = seek_position(add(offset, f00));
        if (img00_at != img00.at) {
            img00.block = read_param_block(cur, img00_at);
            parsed += cur.tell() - img00_at;
            img00.at = img00_at;
            img00.joins = is_directory_block(img00.block);
            if (img00.joins) join_directory(directory, img00.block);
        } else if (img00.joins && step_joins) {
            // Joined again, image 00's block would only take back the keys
            // this step's block changed.
            for (const auto& [key, value] : step_block.entries())
                if (const ParamValue* kept = img00.block.find(key)) directory.set(key, *kept);
        }
        work.step(parsed);

        const ParamValue& nrp = directory.at("NRP");
        // image_key(NRP - 1): the subtraction, then the formatting as an int.
        Number last_index = interp::sub(as_value(nrp), Number::integer(1));
        std::string last = image_key(interp::as_index(last_index));
        const ParamValue& img_offset = directory.at("F" + last);
        const ParamValue& img_size = directory.at("Z" + last);
        Number last_end = add(add(offset, img_offset), img_size);
        if (interp::equals(last_end, here)) break;
        cur.seek(seek_position(last_end));
    }
    return directory;
}

int64_t image_count(const ParamBlock& directory) {
    const ParamValue& nrp = directory.at("NRP");
    if (auto* n = std::get_if<int32_t>(&nrp)) return *n;
    interp::not_an_integer(as_value(nrp));
}

ImageSubBlock read_image_params(Cursor& cur, const VisibleImageBlock& block,
                                const ParamBlock& directory, const std::string& key) {
    ImageSubBlock sub;
    sub.start = add(Number::integer(block.offset), directory.at("F" + key));
    sub.params = read_param_block(cur, seek_position(sub.start));
    return sub;
}

const ImageSubBlock& SubBlockCache::get(Cursor& cur, const VisibleImageBlock& block,
                                        const ParamBlock& directory, const std::string& key) {
    Number start = add(Number::integer(block.offset), directory.at("F" + key));
    int64_t at = seek_position(start);
    auto it = by_start_.find(at);
    if (it != by_start_.end()) return it->second;
    ImageSubBlock sub{start, read_param_block(cur, at)};
    int64_t parsed = cur.tell() - at;
    poll_interrupt(parsed);
    if (!budget_.try_spend(parsed))
        budget_.refuse("image sub-blocks overlap: " + std::to_string(by_start_.size() + 1) +
                       " of them, the last " + std::to_string(parsed) + " bytes long");
    return by_start_.emplace(at, std::move(sub)).first->second;
}

bool seek_image_bytes(Cursor& cur, const ImageSubBlock& sub) {
    Number data_area = add(sub.start, sub.params.at("SIZ"));
    cur.seek(seek_position(data_area));
    const ParamValue& type = sub.params.at("T00");
    bool holds_image = false;
    if (auto* i = std::get_if<int32_t>(&type)) holds_image = *i == 9;
    if (auto* d = std::get_if<double>(&type)) holds_image = *d == 9.0;
    if (!holds_image) return false;
    cur.seek(seek_position(add(data_area, sub.params.at("F00"))));
    return true;
}

int64_t image_bytes_available(const Cursor& cur, int64_t count, int64_t size_seen) {
    if (count < -1)
        throw Error(ErrorKind::NegativeReadLength, "read length must be non-negative or -1",
                    cur.tell(), count);
    if (count >= 0 && cur.tell() <= size_seen && count <= size_seen - cur.tell()) return count;
    int64_t avail = std::max<int64_t>(cur.source_size() - cur.tell(), 0);
    return count == -1 ? avail : std::min(count, avail);
}

std::string read_image_bytes(Cursor& cur, int64_t count) {
    std::string out(static_cast<size_t>(image_bytes_available(cur, count)), '\0');
    out.resize(cur.read_into(out.data(), out.size()));
    return out;
}

} // namespace vesk
