// Byte sources and the cursor that decodes values from them.
//
// A `ByteSource` answers positioned reads (`read_at`) and nothing else: the
// file variant uses pread on a descriptor it does not own (no mmap, so a file
// truncated under us gives a short read, never SIGBUS); the memory variant
// serves fuzzers and tests. A `Cursor` keeps a file position with the
// semantics of a Python binary file (seek, relative seek, short reads at the
// end) and decodes little-endian values through a small read-ahead window, so
// that field-by-field parsing costs no system call per field.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "veskread/container/errors.h"

namespace vesk {

// One destination of a scattered read.
struct ScatterPart {
    void* dst;
    size_t len;
};

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Copies up to `n` bytes at `offset` into `dst`; returns how many were
    // there (fewer only at the end of the source). Throws Error(Io) on failure.
    virtual size_t read_at(int64_t offset, void* dst, size_t n) const = 0;
    // Reads consecutive bytes from `offset` into the parts in turn; returns
    // how many bytes were there in all. The file variant makes one system
    // call per batch of parts.
    virtual size_t read_scattered(int64_t offset, const ScatterPart* parts, size_t n) const;
    // Size in bytes (used only to bound what a file may declare).
    virtual int64_t size() const = 0;
};

// One call's view of an open file. Its size is asked once, at the first
// question about it or the first short read, and kept: it only bounds what
// the file declares (a file that grows meanwhile is read as it was), and it
// tells a short read at the end from one that needs another read. The first
// bytes of the file (header, directory and often the parameter blocks), as
// far as reads have asked for them, are kept, so that the readers that each
// start a cursor there do not read them again. Not for use by two threads at
// once.
class FdSource final : public ByteSource {
public:
    explicit FdSource(int fd) : fd_(fd) {} // borrowed: the caller closes it
    size_t read_at(int64_t offset, void* dst, size_t n) const override;
    size_t read_scattered(int64_t offset, const ScatterPart* parts, size_t n) const override;
    int64_t size() const override;
    // False for devices, pipes and the like, whose size bounds nothing.
    bool is_regular_file() const;
    // True for a pipe, socket or terminal: read in order only, no pread.
    bool is_stream() const;

private:
    void take_stat() const;
    size_t pread_fully(int64_t offset, unsigned char* dst, size_t n) const;
    // Reads the file's start up to `end` into the kept head, unless held.
    void keep_head_to(size_t end) const;
    // True when `position` is at or past the end of a regular file.
    bool ends_at(int64_t position) const;

    int fd_;
    mutable int64_t size_ = -1; // -1 until stat'ed
    mutable bool regular_ = false;
    mutable std::unique_ptr<unsigned char[]> head_;
    mutable size_t head_cap_ = 0;
    mutable size_t head_len_ = 0;
    mutable bool head_whole_ = false; // the head ends where the file ended
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const void* data, size_t size)
        : data_(static_cast<const unsigned char*>(data)), size_(size) {} // borrowed
    size_t read_at(int64_t offset, void* dst, size_t n) const override;
    int64_t size() const override { return static_cast<int64_t>(size_); }

private:
    const unsigned char* data_;
    size_t size_;
};

// a + b as a file position; a result beyond int64 is an OffsetOverflow, as
// Python refuses to seek there.
// Inline: they guard every block offset in per-block loops.
[[noreturn]] void throw_position_overflow(int64_t a, int64_t b);
inline int64_t checked_add(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) [[unlikely]]
        throw_position_overflow(a, b);
    return r;
}
inline int64_t checked_mul(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) [[unlikely]]
        throw_position_overflow(a, b);
    return r;
}

// Values lie little-endian on disk and are copied as they lie; the build
// refuses big-endian hosts, and this stops a build that skipped that check.
static_assert(std::endian::native == std::endian::little, "little-endian hosts only");

class Cursor {
public:
    explicit Cursor(const ByteSource& src) : src_(src) {}

    int64_t tell() const noexcept { return pos_; }
    int64_t source_size() const { return src_.size(); }
    void seek(int64_t position);
    void seek_relative(int64_t delta) { seek(checked_add(pos_, delta)); }

    // Up to n bytes (fewer at the end of the file); n must be >= 0, a negative
    // count is refused as a Python read would refuse it.
    std::string read_upto(int64_t n);
    // Bulk read straight into dst, bypassing the window; returns bytes read.
    size_t read_into(void* dst, size_t n);
    // Loads n bytes from `at` into the window for the reads that will want
    // them, when they fit one window (else nothing); the position stays.
    void read_ahead(int64_t at, size_t n);

    int16_t read_i16() { return read_le<int16_t>(); }
    int32_t read_i32() { return read_le<int32_t>(); }
    int64_t read_i64() { return read_le<int64_t>(); }
    float read_f32() { return std::bit_cast<float>(read_le<uint32_t>()); }
    double read_f64() { return std::bit_cast<double>(read_le<uint64_t>()); }
    int32_t read_i32_be();

private:
    template <typename T> T read_le() {
        T v;
        // Tables read field after field: most fields lie in the window.
        if (pos_ >= window_start_ &&
            static_cast<uint64_t>(pos_ - window_start_) + sizeof(T) <= window_len_) {
            std::memcpy(&v, window_.get() + (pos_ - window_start_), sizeof(T));
            pos_ += static_cast<int64_t>(sizeof(T));
            return v;
        }
        unsigned char raw[sizeof(T)];
        fill_exact(raw, sizeof(T));
        std::memcpy(&v, raw, sizeof(T));
        return v;
    }
    // Reads exactly n bytes or throws ShortRead (position moves past what was there).
    void fill_exact(unsigned char* dst, size_t n);
    size_t read_buffered(unsigned char* dst, size_t n);
    void load_window(int64_t at, size_t n);

    const ByteSource& src_;
    int64_t pos_ = 0;
    // Read-ahead window: starts small (a magic-number test needs 4 bytes) and
    // doubles on each refill that continues the last one, up to its cap, so
    // sequential parsing stays cheap.
    std::unique_ptr<unsigned char[]> window_;
    size_t window_cap_ = 0;  // allocated
    size_t window_read_ = 0; // asked for by the last refill
    int64_t window_start_ = 0;
    size_t window_len_ = 0;
};

// Text fields end at their first NUL byte.
inline std::string_view cut_at_nul(std::string_view s) {
    auto p = s.find('\0');
    return p == std::string_view::npos ? s : s.substr(0, p);
}

} // namespace vesk
