#include "veskread/container/huge_page_buffer.h"

#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vesk {

namespace {
constexpr size_t kHugePage = size_t(2) << 20;
// Below this, 4 KiB pages cost little and alignment would waste most of a page.
constexpr size_t kHugeFrom = size_t(4) << 20;
} // namespace

// Through operator new, so that whatever counts allocations counts these.
HugePageBuffer::HugePageBuffer(size_t bytes) {
    if (bytes < kHugeFrom) {
        data_ = ::operator new(bytes);
        return;
    }
    data_ = ::operator new(bytes, std::align_val_t(kHugePage));
    aligned_ = true;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only, and only for the buffer's whole huge pages (the tail
    // takes small ones, so the buffer holds no more than it was asked for):
    // where the kernel declines, 4 KiB pages serve.
    ::madvise(data_, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
}

HugePageBuffer::~HugePageBuffer() {
    if (aligned_)
        ::operator delete(data_, std::align_val_t(kHugePage));
    else
        ::operator delete(data_);
}

HugePageBuffer& HugePageBuffer::operator=(HugePageBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(aligned_, other.aligned_);
    return *this;
}

} // namespace vesk
