// Numbers as the exports write them, without Python: each writer puts one
// value's text at `p` (room for kMaxNumberText characters) and returns its
// end. The texts are those Python and numpy give the same values, so that
// an export reads the same whichever formats it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

// The longest text below: the least float64 subnormal written out in full.
inline constexpr std::size_t kMaxNumberText = 400;
// The longest of a csv writer's (float32, repr, integer, bool): -2.2250738585072014e-308.
inline constexpr std::size_t kMaxCsvNumber = 32;

// "%.9g" % v, and ".0" after a whole value below 1e9, which "%.9g" writes
// without a point: a column of them would read back as integers.
char* write_csv_float32(char* p, float v);

// repr(v): the shortest digits that read back as v, in exponent form from
// 1e16 and below 1e-4, else with a point (1.0); "nan" whatever its sign.
char* write_repr(char* p, double v);

// The shortest digits that read back as v (as a float32 for a float32), in
// fixed-point form without a trailing point or zeros: 1e+20 as 100000000000000000000.
char* write_positional(char* p, float v);
char* write_positional(char* p, double v);

char* write_integer(char* p, std::int64_t v);
char* write_integer(char* p, std::uint64_t v);
char* write_bool(char* p, bool v); // True, False

} // namespace vesk
