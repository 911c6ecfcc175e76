#include "number_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace vesk {

namespace {

char* copy(char* p, const char* text) {
    std::size_t n = std::strlen(text);
    std::memcpy(p, text, n);
    return p + n;
}

// NaN and the infinities as Python spells them; null for a finite value.
template <class F> char* write_special(char* p, F v) {
    if (std::isnan(v)) return copy(p, "nan");
    if (std::isinf(v)) return copy(p, v < 0 ? "-inf" : "inf");
    return nullptr;
}

// The shortest digits that read back as v, and the power of ten of the first.
struct Shortest {
    char text[48];   // to_chars' scientific form: -d.ddde+XX
    const char* end; // of text
    bool negative;
    char digits[24];
    int count;
    int exponent;
};

template <class F> void shortest(F v, Shortest& s) {
    s.end = std::to_chars(s.text, s.text + sizeof s.text, v, std::chars_format::scientific).ptr;
    const char* q = s.text;
    s.negative = *q == '-';
    q += s.negative;
    s.count = 0;
    for (; *q != 'e'; ++q)
        if (*q != '.') s.digits[s.count++] = *q;
    bool below = q[1] == '-';
    int e = 0;
    for (q += 2; q < s.end; ++q) e = e * 10 + (*q - '0');
    s.exponent = below ? -e : e;
}

// The digits in fixed-point form; `point_zero` writes a whole value as "1.0".
char* fixed(char* p, const Shortest& s, bool point_zero) {
    if (s.negative) *p++ = '-';
    int n = s.count, e = s.exponent;
    if (e < 0) {
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', static_cast<std::size_t>(-e - 1));
        p += -e - 1;
        std::memcpy(p, s.digits, static_cast<std::size_t>(n));
        return p + n;
    }
    if (n <= e + 1) {
        std::memcpy(p, s.digits, static_cast<std::size_t>(n));
        p += n;
        std::memset(p, '0', static_cast<std::size_t>(e + 1 - n));
        p += e + 1 - n;
        return point_zero ? copy(p, ".0") : p;
    }
    std::memcpy(p, s.digits, static_cast<std::size_t>(e + 1));
    p += e + 1;
    *p++ = '.';
    std::memcpy(p, s.digits + e + 1, static_cast<std::size_t>(n - e - 1));
    return p + n - e - 1;
}

template <class F> char* positional(char* p, F v) {
    if (char* end = write_special(p, v)) return end;
    Shortest s;
    shortest(v, s);
    return fixed(p, s, false);
}

} // namespace

char* write_csv_float32(char* p, float v) {
    if (char* end = write_special(p, v)) return end;
    double d = v;
    p = std::to_chars(p, p + kMaxNumberText, d, std::chars_format::general, 9).ptr;
    return d == std::trunc(d) && std::fabs(d) < 1e9 ? copy(p, ".0") : p;
}

char* write_repr(char* p, double v) {
    if (char* end = write_special(p, v)) return end;
    Shortest s;
    shortest(v, s);
    if (s.exponent < -4 || s.exponent >= 16) { // to_chars' exponent form is repr's
        std::size_t n = static_cast<std::size_t>(s.end - s.text);
        std::memcpy(p, s.text, n);
        return p + n;
    }
    return fixed(p, s, true);
}

char* write_positional(char* p, float v) { return positional(p, v); }
char* write_positional(char* p, double v) { return positional(p, v); }

char* write_integer(char* p, std::int64_t v) { return std::to_chars(p, p + 24, v).ptr; }
char* write_integer(char* p, std::uint64_t v) { return std::to_chars(p, p + 24, v).ptr; }
char* write_bool(char* p, bool v) { return copy(p, v ? "True" : "False"); }

} // namespace vesk
