// How much a single call may build from one file.
//
// Whatever counts, sizes and offsets a file declares, a call builds at most
// a fixed allowance plus a small multiple of the file's size. A well-formed
// file, or a truncated recording, never comes near it: every value it yields
// comes from bytes of its own. Only declarations that make the same bytes
// count many times over (overlapping blocks, regions or cells) can reach it,
// and those are refused before the memory or the time is spent.
#pragma once

#include <cstdint>
#include <string>

namespace vesk {

// Bytes a call may produce from a file of `file_size` bytes.
int64_t output_limit(int64_t file_size);

class OutputBudget {
public:
    explicit OutputBudget(int64_t file_size);

    // Takes `bytes` (saturating) from the budget; false, taking nothing,
    // when they are not left.
    bool try_spend(int64_t bytes) {
        if (bytes <= 0) return true;
        if (bytes > left_) return false;
        left_ -= bytes;
        return true;
    }
    // As try_spend, but refuses with a ValueError that names what was
    // declared (`declared`) and what the file holds.
    void spend(int64_t bytes, const std::string& declared);
    [[noreturn]] void refuse(const std::string& declared) const;

    int64_t file_size() const { return file_size_; }

private:
    int64_t file_size_;
    int64_t left_;
};

// "n bytes" products without overflow: a * b, saturating at INT64_MAX.
int64_t saturating_mul(int64_t a, int64_t b);

} // namespace vesk
