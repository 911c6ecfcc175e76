#include "veskread/container/huge_page_buffer.h"

#include <cstdlib>
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

HugePageBuffer::HugePageBuffer(size_t bytes) {
    if (bytes < kHugeFrom) {
        data_ = std::malloc(bytes == 0 ? 1 : bytes);
    } else {
        size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        data_ = rounded < bytes ? nullptr : std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        // Advice only: where the kernel declines, 4 KiB pages serve.
        if (data_) ::madvise(data_, rounded, MADV_HUGEPAGE);
#endif
    }
    if (!data_) throw std::bad_alloc();
}

HugePageBuffer::~HugePageBuffer() { std::free(data_); }

HugePageBuffer& HugePageBuffer::operator=(HugePageBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    return *this;
}

} // namespace vesk
