// Holds every fuzz input to the rule each public call keeps: extra memory at
// most 64 MiB + 8 x the input size, and work (reads from the input and bytes
// copied out of it) in proportion to the input. Crossing a limit is a finding:
// the target prints what was spent against what was allowed and aborts, so the
// fuzzer reports amplifications (a small file declaring a huge amount of work
// or memory) as well as crashes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "veskread/container/byte_source.h"
#include "veskread/container/errors.h"

namespace vesk::fuzz {

// Accounts one emulated public call. While a Budget is alive, every operator
// new (the core's containers, and the result arrays the targets allocate the
// way the binding would) counts towards the memory limit, and every read of a
// CountingSource towards the work limit. One Budget at a time.
class Budget {
public:
    explicit Budget(size_t input_size);
    ~Budget();
    Budget(const Budget&) = delete;
    Budget& operator=(const Budget&) = delete;

    // Memory the target holds outside operator new (resident pages of a
    // zero-filled result, for instance), checked against the same limit.
    static void charge_resident(size_t bytes);
    // Called by CountingSource for each read.
    static void charge_read(size_t bytes);
};

// The fuzz input as a file: reads are served from memory and charged to the
// active Budget (if any).
class CountingSource final : public ByteSource {
public:
    CountingSource(const uint8_t* data, size_t size) : mem_(data, size) {}
    size_t read_at(int64_t offset, void* dst, size_t n) const override;
    int64_t size() const override { return mem_.size(); }

private:
    MemorySource mem_;
};

// Zero-filled memory taken straight from the kernel, untouched until written,
// as a large calloc (numpy's zeros) gives it. Empty when the request cannot
// be mapped, where numpy would raise MemoryError. Like numpy's, a mapping of
// 4 MiB or more counts as backed by 2 MiB huge pages: one write commits the
// huge page around it.
class ZeroPages {
public:
    explicit ZeroPages(size_t bytes);
    ~ZeroPages();
    ZeroPages(const ZeroPages&) = delete;
    ZeroPages& operator=(const ZeroPages&) = delete;
    void* data() const { return data_; }
    bool ok() const { return data_ != nullptr || bytes_ == 0; }
    // Memory the writes so far commit, in bytes.
    size_t resident() const;

private:
    void* data_ = nullptr;
    size_t bytes_ = 0;
};

// The frame of a target for one parser: the input after its first byte is
// the file, that byte (0 to 15) where the block starts, so records also start
// mid-input; the call runs under one Budget, and the core's refusals are
// expected outcomes. `parse(cursor, start)` checks what it got.
template <typename Parse>
int parse_from_picked_offset(const uint8_t* data, size_t size, Parse&& parse) {
    if (size == 0) return 0;
    CountingSource src(data + 1, size - 1);
    Budget budget(size);
    Cursor cur(src);
    try {
        parse(cur, static_cast<int64_t>(data[0] & 15));
    } catch (const Error&) {
    }
    return 0;
}

} // namespace vesk::fuzz
