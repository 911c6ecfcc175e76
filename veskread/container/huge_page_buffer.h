// Scratch memory for a large intermediate result.
//
// A buffer of many megabytes filled once and read once costs more in page
// faults than in copying when the kernel backs it with 4 KiB pages, and the
// allocator hands it back after every call, so each call faults it in
// again. Large buffers are aligned to and advised for 2 MiB pages, as numpy
// does for its large arrays; the contents start undefined.
#pragma once

#include <cstddef>
#include <utility>

namespace vesk {

class HugePageBuffer {
public:
    HugePageBuffer() = default;
    // Throws std::bad_alloc when the memory is not there.
    explicit HugePageBuffer(size_t bytes);
    ~HugePageBuffer();
    HugePageBuffer(HugePageBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), aligned_(other.aligned_) {}
    HugePageBuffer& operator=(HugePageBuffer&& other) noexcept;
    HugePageBuffer(const HugePageBuffer&) = delete;
    HugePageBuffer& operator=(const HugePageBuffer&) = delete;

    void* data() const { return data_; }

private:
    void* data_ = nullptr;
    bool aligned_ = false; // allocated with the huge page's alignment
};

} // namespace vesk
