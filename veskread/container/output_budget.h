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

// Arrays from this size on are mapped on their own (glibc's threshold before
// anything raises it), so their untouched pages cost nothing; smaller ones
// come from the heap, which clears them: all their bytes count.
constexpr int64_t kMappedArrayBytes = int64_t(128) << 10;

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
    // Whether try_spend(bytes) would succeed; takes nothing.
    bool can_spend(int64_t bytes) const { return bytes <= 0 || bytes <= left_; }
    // As try_spend, but refuses with a ValueError that names what was
    // declared (`declared`) and what the file holds.
    void spend(int64_t bytes, const std::string& declared);
    [[noreturn]] void refuse(const std::string& declared) const;

    int64_t file_size() const { return file_size_; }

private:
    int64_t file_size_;
    int64_t left_;
};

// Whether an axis of `count` 8-byte values, which a read builds in full
// whatever the file holds, stays within output_limit of a file of
// `file_size` bytes. Values read from the file are bounded by the file
// itself: a recording that ends early reads as fewer. A count of zero or
// less builds nothing and always fits.
bool declared_count_fits(int64_t count, int64_t file_size);

// The ValueError for a count that does not fit: parameter `key` declared
// `count` (its decimal text, which may exceed int64) values.
[[noreturn]] void refuse_declared_count(const std::string& key, const std::string& count,
                                        int64_t file_size);

// "n bytes" products without overflow: a * b, saturating at INT64_MAX.
int64_t saturating_mul(int64_t a, int64_t b);
// a + b for non-negative counts, saturating at INT64_MAX.
int64_t saturating_add(int64_t a, int64_t b);

} // namespace vesk
