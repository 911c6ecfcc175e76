// The interpreter's rules that the core imitates.
//
// The reading rules are written as Python and numpy operations on values
// taken from the file: an offset plus a parameter, a count times a count, a
// row assigned into an array. A file that drives them to an edge must fail as
// the interpreter fails: the same exception kind, the same text. This is the
// one home of that arithmetic and of those texts; format code calls it and
// never spells an interpreter message of its own.
#pragma once

#include <cstdint>
#include <string>

#include "veskread/container/errors.h"

namespace vesk::interp {

// A value as the interpreter holds it. Ints are exact well past any file
// offset (sums and products of a few 64-bit and 32-bit values never wrap);
// text takes part only as an operand that fails or repeats.
struct Value {
    enum Kind { None, Int, Float, Str } kind = None;
    __int128 i = 0;
    double d = 0;

    static Value none() { return {}; }
    static Value integer(__int128 v) { return Value{Int, v, 0}; }
    static Value real(double v) { return Value{Float, 0, v}; }
    static Value text() { return Value{Str, 0, 0}; }

    bool is_number() const { return kind == Int || kind == Float; }
    // type(v).__name__
    const char* type_name() const;
    // float(v) for a number.
    double as_double() const { return kind == Int ? static_cast<double>(i) : d; }
};

// a + b, a - b, a * b (str * int repeats the text, so it stays text).
Value add(const Value& a, const Value& b);
Value sub(const Value& a, const Value& b);
Value mul(const Value& a, const Value& b);
// a > b for two numbers (an int against a float compares exactly).
bool greater(const Value& a, const Value& b);
// a == n: an int or an integral float equal to n; never text or None.
bool equals(const Value& a, int64_t n);

// range(v), np.zeros(v), seek(v): only an int will do; an int beyond 64 bits
// is an OffsetOverflow ("cannot fit 'int' into an offset-sized integer").
int64_t as_index(const Value& v);

// The interpreter's errors, thrown with its texts.
[[noreturn]] void unsupported_operands(const char* op, const Value& a, const Value& b);
[[noreturn]] void not_an_integer(const Value& v);
// f.read(v) with a size that is neither int nor None.
[[noreturn]] void read_size_not_integer(const Value& v);
[[noreturn]] void list_index_out_of_range();
[[noreturn]] void modulo_by_zero();
[[noreturn]] void offset_overflow();

// numpy's errors for the array operations the readers stand in for.
// a[:] = b with b of `got` values where `want` fit.
[[noreturn]] void broadcast_mismatch(int64_t got, int64_t want);
// b.reshape(rows, cols) with b of `size` values.
[[noreturn]] void reshape_mismatch(int64_t size, int64_t rows, int64_t cols);
// a[..., index, ...] past an axis of `size`.
[[noreturn]] void index_out_of_bounds(int64_t index, int axis, int64_t size);
// a[..., 1.0, ...]: a float index.
[[noreturn]] void float_index();

} // namespace vesk::interp
