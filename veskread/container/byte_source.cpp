#include "veskread/container/byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <limits>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vesk {

namespace {
constexpr size_t kWindow = 64 * 1024;
constexpr size_t kFirstWindow = 512;
constexpr size_t kMaxChunk = size_t(1) << 30; // bounded pread calls
// The kept start of a file holds the header, the directory and, when they
// follow, parameter blocks and tables; bulk data beyond it is read apart.
constexpr size_t kHeadLimit = 64 * 1024;
} // namespace

size_t FdSource::read_at(int64_t offset, void* dst, size_t n) const {
    auto* out = static_cast<unsigned char*>(dst);
    if (offset < 0) return pread_fully(offset, out, n);
    auto at = static_cast<uint64_t>(offset);
    // A read that starts in the kept head or right after it, and ends within
    // its limit, grows the head by what it asks for.
    if (at <= head_len_ && n <= kHeadLimit - at) keep_head_to(static_cast<size_t>(at + n));
    if (at >= head_len_) return pread_fully(offset, out, n);
    size_t k = std::min(n, head_len_ - static_cast<size_t>(at));
    std::memcpy(out, head_.get() + at, k);
    if (k == n || head_whole_) return k;
    return k + pread_fully(offset + static_cast<int64_t>(k), out + k, n - k);
}

void FdSource::keep_head_to(size_t end) const {
    if (head_whole_ || end <= head_len_) return;
    end = std::max(end, kFirstWindow);
    if (end > head_cap_) {
        size_t cap = std::max(head_cap_, kFirstWindow);
        while (cap < end) cap *= 2;
        std::unique_ptr<unsigned char[]> grown(new unsigned char[cap]); // no zero fill
        if (head_len_) std::memcpy(grown.get(), head_.get(), head_len_);
        head_ = std::move(grown);
        head_cap_ = cap;
    }
    size_t want = end - head_len_;
    size_t got = pread_fully(static_cast<int64_t>(head_len_), head_.get() + head_len_, want);
    head_len_ += got;
    head_whole_ = got < want; // the read stopped at the end of the file
}

bool FdSource::ends_at(int64_t position) const {
    take_stat();
    return regular_ && position >= size_;
}

size_t FdSource::pread_fully(int64_t offset, unsigned char* out, size_t n) const {
    size_t done = 0;
    while (done < n) {
        if (offset > std::numeric_limits<off_t>::max() - static_cast<int64_t>(done)) break;
        size_t chunk = std::min(n - done, kMaxChunk);
        ssize_t r = ::pread(fd_, out + done, chunk, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == EINVAL && done == 0) return 0; // beyond what the file system addresses
            int err = errno;
            throw Error(ErrorKind::Io, "read failed at offset " + std::to_string(offset + done),
                        offset + static_cast<int64_t>(done), err);
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
        // A short read at the end the file has (asked once per call) needs
        // no second read to confirm it; short before it, the file may have
        // shrunk, and the next read tells.
        if (static_cast<size_t>(r) < chunk && ends_at(offset + static_cast<int64_t>(done))) break;
    }
    return done;
}

size_t ByteSource::read_scattered(int64_t offset, const ScatterPart* parts, size_t n) const {
    size_t total = 0;
    for (size_t k = 0; k < n; ++k) {
        size_t got = read_at(offset + static_cast<int64_t>(total), parts[k].dst, parts[k].len);
        total += got;
        if (got != parts[k].len) break;
    }
    return total;
}

static_assert(sizeof(ScatterPart) == sizeof(iovec) &&
              offsetof(ScatterPart, dst) == offsetof(iovec, iov_base) &&
              offsetof(ScatterPart, len) == offsetof(iovec, iov_len));

size_t FdSource::read_scattered(int64_t offset, const ScatterPart* parts, size_t n) const {
    constexpr size_t kMaxParts = 1024; // IOV_MAX on Linux
    iovec iov[kMaxParts];
    size_t total = 0;
    size_t k = 0;    // first part not yet complete
    size_t done = 0; // bytes of part k already read
    while (k < n) {
        size_t m = std::min(n - k, kMaxParts);
        const iovec* list;
        size_t asked = 0;
        if (done == 0) {
            // A part is laid out as an iovec: hand the parts over as they are.
            list = reinterpret_cast<const iovec*>(parts + k);
            for (size_t j = 0; j < m; ++j) asked += parts[k + j].len;
        } else {
            for (size_t j = 0; j < m; ++j) {
                size_t skip = j == 0 ? done : 0;
                iov[j].iov_base = static_cast<unsigned char*>(parts[k + j].dst) + skip;
                iov[j].iov_len = parts[k + j].len - skip;
                asked += iov[j].iov_len;
            }
            list = iov;
        }
        int64_t at = offset + static_cast<int64_t>(total);
        ssize_t r = ::preadv(fd_, list, static_cast<int>(m), static_cast<off_t>(at));
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == EINVAL && total == 0) return 0;
            int err = errno;
            throw Error(ErrorKind::Io, "read failed at offset " + std::to_string(at), at, err);
        }
        if (r == 0) break;
        total += static_cast<size_t>(r);
        // Advance past the parts this call filled.
        auto left = static_cast<size_t>(r);
        while (k < n && left >= parts[k].len - done) {
            left -= parts[k].len - done;
            done = 0;
            ++k;
        }
        done += left;
        if (static_cast<size_t>(r) < asked && ends_at(offset + static_cast<int64_t>(total))) break;
    }
    return total;
}

void FdSource::take_stat() const {
    if (size_ >= 0) return;
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        int err = errno;
        throw Error(ErrorKind::Io, "fstat failed", -1, err);
    }
    size_ = static_cast<int64_t>(st.st_size);
    regular_ = S_ISREG(st.st_mode);
}

int64_t FdSource::size() const {
    take_stat();
    return size_;
}

bool FdSource::is_regular_file() const {
    take_stat();
    return regular_;
}

bool FdSource::is_stream() const {
    if (is_regular_file()) return false;
    return ::lseek(fd_, 0, SEEK_CUR) < 0 && errno == ESPIPE;
}

size_t MemorySource::read_at(int64_t offset, void* dst, size_t n) const {
    if (offset < 0 || static_cast<uint64_t>(offset) >= size_) return 0;
    size_t avail = size_ - static_cast<size_t>(offset);
    size_t k = n < avail ? n : avail;
    if (k) std::memcpy(dst, data_ + offset, k);
    return k;
}

void throw_position_overflow(int64_t a, int64_t b) {
    throw Error(ErrorKind::OffsetOverflow, "file position out of range", a, b);
}

void Cursor::seek(int64_t position) {
    if (position < 0) throw Error(ErrorKind::NegativeSeek, "seek to negative position", position);
    pos_ = position;
}

size_t Cursor::read_buffered(unsigned char* dst, size_t n) {
    if (n >= kWindow) return read_into(dst, n);
    bool inside =
        pos_ >= window_start_ && static_cast<uint64_t>(pos_ - window_start_) + n <= window_len_;
    if (!inside) {
        // Parsing that runs on from the last window reads ahead twice as far
        // each time; a jump starts small again, so that a small record beside
        // bulk data (read apart, straight into its place) is not read twice.
        bool runs_on = window_read_ && pos_ >= window_start_ &&
                       static_cast<uint64_t>(pos_ - window_start_) <= window_len_;
        size_t want = runs_on ? std::min(window_read_ * 2, kWindow) : kFirstWindow;
        // A jump near the start of the file reads from the start: the readers
        // that each begin there then ask for the same bytes, which a file
        // source keeps.
        int64_t start = runs_on || pos_ >= static_cast<int64_t>(kFirstWindow) ? pos_ : 0;
        auto skip = static_cast<size_t>(pos_ - start);
        while (want < skip + n) want *= 2;
        load_window(start, want);
    }
    size_t off = static_cast<size_t>(pos_ - window_start_);
    size_t avail = off < window_len_ ? window_len_ - off : 0;
    size_t k = n < avail ? n : avail;
    if (k) std::memcpy(dst, window_.get() + off, k);
    pos_ += static_cast<int64_t>(k);
    return k;
}

size_t Cursor::read_into(void* dst, size_t n) {
    size_t got = src_.read_at(pos_, dst, n);
    pos_ += static_cast<int64_t>(got);
    return got;
}

void Cursor::read_ahead(int64_t at, size_t n) {
    if (at >= 0 && n > 0 && n <= kWindow) load_window(at, n);
}

void Cursor::load_window(int64_t at, size_t n) {
    if (n > window_cap_) {
        window_.reset(new unsigned char[n]); // no zero fill: it is overwritten
        window_cap_ = n;
    }
    window_read_ = n;
    window_start_ = at;
    window_len_ = src_.read_at(at, window_.get(), n);
}

void Cursor::fill_exact(unsigned char* dst, size_t n) {
    int64_t start = pos_;
    size_t got = read_buffered(dst, n);
    if (got != n) throw_short_read(start, static_cast<int64_t>(n), static_cast<int64_t>(got));
}

std::string Cursor::read_upto(int64_t n) {
    if (n < 0)
        throw Error(ErrorKind::NegativeReadLength, "read length must be non-negative or -1", pos_,
                    n);
    std::string out;
    int64_t want = n;
    if (n > static_cast<int64_t>(kWindow)) {
        // Never size a buffer from a declared count beyond what the file holds.
        int64_t size = src_.size();
        int64_t avail = size > pos_ ? size - pos_ : 0;
        want = n < avail ? n : avail;
    }
    out.resize(static_cast<size_t>(want));
    size_t got = read_buffered(reinterpret_cast<unsigned char*>(out.data()), out.size());
    out.resize(got);
    return out;
}

int32_t Cursor::read_i32_be() {
    unsigned char raw[4];
    fill_exact(raw, 4);
    return static_cast<int32_t>((uint32_t(raw[0]) << 24) | (uint32_t(raw[1]) << 16) |
                                (uint32_t(raw[2]) << 8) | uint32_t(raw[3]));
}

} // namespace vesk
