#include "veskread/container/output_budget.h"

#include <algorithm>
#include <limits>

#include "veskread/container/errors.h"

namespace vesk {

namespace {
// Half of the 64 MiB + 8 x file size that a call may use in all, so that the
// interpreter's own objects around the arrays still fit.
constexpr int64_t kAllowance = int64_t(32) << 20;
constexpr int64_t kPerFileByte = 4;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
} // namespace

int64_t saturating_mul(int64_t a, int64_t b) {
    if (a <= 0 || b <= 0) return 0;
    int64_t r;
    return __builtin_mul_overflow(a, b, &r) ? kMax : r;
}

int64_t saturating_add(int64_t a, int64_t b) {
    int64_t r;
    return __builtin_add_overflow(a, b, &r) ? kMax : r;
}

int64_t output_limit(int64_t file_size) {
    int64_t scaled = saturating_mul(std::max<int64_t>(file_size, 0), kPerFileByte);
    return scaled > kMax - kAllowance ? kMax : scaled + kAllowance;
}

OutputBudget::OutputBudget(int64_t file_size)
    : file_size_(file_size), left_(output_limit(file_size)) {}

void OutputBudget::spend(int64_t bytes, const std::string& declared) {
    if (!try_spend(bytes)) refuse(declared);
}

void OutputBudget::refuse(const std::string& declared) const {
    throw Error(ErrorKind::Value,
                declared + "; a file of " + std::to_string(file_size_) + " bytes cannot hold that",
                -1, file_size_);
}

bool declared_count_fits(int64_t count, int64_t file_size) {
    return count <= 0 || count <= output_limit(file_size) / 8;
}

void refuse_declared_count(const std::string& key, const std::string& count, int64_t file_size) {
    throw Error(ErrorKind::Value, key + " declares " + count + " values of 8 bytes; a file of " +
                                      std::to_string(file_size) + " bytes cannot hold them");
}

} // namespace vesk
