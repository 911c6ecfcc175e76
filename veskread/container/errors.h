// Typed errors of the reading core.
//
// The core never sees Python. Every failure is one `vesk::Error` carrying a
// kind (what went wrong), the file position where it happened and the numbers
// that explain it. The binding maps each kind to the one exception and message
// that callers rely on (see module/py_errors.cpp); nothing else translates.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vesk {

enum class ErrorKind {
    // A fixed-width value ran past the end of the file. `needed` is the width
    // of the value being read; reported like a failed struct unpack.
    ShortRead,
    // A seek to a negative position (the OS refuses it with EINVAL).
    NegativeSeek,
    // A position that does not fit a 64-bit file offset.
    OffsetOverflow,
    // The operating system failed a read; `value` holds errno.
    Io,
    // A negative byte count for a plain read (not the "read all" -1).
    NegativeReadLength,
    // A parameter record whose type code is not 0..4; `value` is the code.
    UnknownParamType,
    // A parameter key that is not valid UTF-8; `detail` holds its raw bytes.
    KeyNotUtf8,
    // A key missing from a parameter dictionary or table; `detail` is the key.
    MissingKey,
    // An index past the end of a table (IndexError); `detail` explains.
    IndexOutOfRange,
    // A value of the wrong type where an integer or text was required.
    WrongType,
    // An integer outside the range its use allows (OverflowError).
    Overflow,
    // Integer division or modulo by zero.
    DivisionByZero,
    // Anything else that is a ValueError with a message of its own.
    Value,
    // The file declares far more than its size can hold; data not there.
    Implausible,
};

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, std::string what, int64_t position = -1, int64_t value = 0,
          std::string detail = {})
        : std::runtime_error(std::move(what)), kind_(kind), position_(position), value_(value),
          detail_(std::move(detail)) {}

    ErrorKind kind() const noexcept { return kind_; }
    // File position at which the failing read or seek started, or -1.
    int64_t position() const noexcept { return position_; }
    // Kind-specific number: bytes needed, errno, type code, ...
    int64_t value() const noexcept { return value_; }
    // Kind-specific text: the missing key, the raw key bytes, ...
    const std::string& detail() const noexcept { return detail_; }

private:
    ErrorKind kind_;
    int64_t position_;
    int64_t value_;
    std::string detail_;
};

[[noreturn]] void throw_short_read(int64_t position, int64_t needed, int64_t got);
[[noreturn]] void throw_missing_key(const std::string& key);
[[noreturn]] void throw_value(const std::string& message);

} // namespace vesk
