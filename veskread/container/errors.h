// Typed errors of the reading core.
//
// The core never sees Python. Every failure is one `vesk::Error` carrying a
// kind (what went wrong), the file position where it happened and the numbers
// that explain it. Most kinds say what is wrong with the file; the binding
// alone decides which exception and text each becomes (module/py_errors.cpp).
// A few kinds stand for an interpreter operation the core imitates; their
// texts come from the one place that imitates them (interpreter_rules.h).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vesk {

enum class ErrorKind {
    // What is wrong with the file ------------------------------------------
    // A fixed-width value runs past the end of the file. `value` is the
    // width of the value being read.
    ShortRead,
    // A position below zero (a seek there fails as the OS fails it).
    NegativeSeek,
    // A position that does not fit a 64-bit file offset.
    OffsetOverflow,
    // The operating system failed a read; `value` holds errno.
    Io,
    // A stored block yields fewer values than it did a moment before: the
    // file was cut or rewritten while it was read. `position` is the block.
    FileChanged,
    // A negative byte count for a plain read (not the "read all" -1).
    NegativeReadLength,
    // A parameter record whose type code is not 0..4; `value` is the code.
    UnknownParamType,
    // A parameter key that is not valid UTF-8; `detail` holds its raw bytes.
    KeyNotUtf8,
    // A key missing from a parameter dictionary or table; `detail` is the key.
    MissingKey,
    // A declared count the file cannot hold: data that is not there.
    BadCount,
    // A declared shape that cannot be, whatever the file holds.
    BadShape,
    // A chain of blocks that would run for ever.
    Loop,
    // Interpreter operations the core imitates (interpreter_rules.h) --------
    // TypeError: a value of the wrong type for the operation.
    WrongType,
    // IndexError: an index past the end of a list or an array axis.
    IndexOutOfRange,
    // ZeroDivisionError: integer division or modulo by zero.
    DivisionByZero,
    // ValueError with the operation's own text (numpy shape mismatches, ...).
    Value,
};

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, std::string what, int64_t position = -1, int64_t value = 0,
          std::string detail = {})
        : std::runtime_error(std::move(what)), kind_(kind), position_(position), value_(value),
          detail_(std::move(detail)) {}

    ErrorKind kind() const noexcept { return kind_; }
    // File position at which the failing read, seek or block started, or -1.
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
[[noreturn]] void throw_file_changed(int64_t block_offset);
// A format error that becomes a ValueError with `message`.
[[noreturn]] void throw_value(const std::string& message);

} // namespace vesk
