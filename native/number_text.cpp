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

// 10^-32 .. 10^55, each the double nearest it: a float32's nine digits
// are its value times one of them.
constexpr double kTens[] = {
    1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20,
    1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,  1e-8,  1e-7,
    1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,
    1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,
    1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,  1e28,  1e29,  1e30,  1e31,  1e32,
    1e33,  1e34,  1e35,  1e36,  1e37,  1e38,  1e39,  1e40,  1e41,  1e42,  1e43,  1e44,  1e45,
    1e46,  1e47,  1e48,  1e49,  1e50,  1e51,  1e52,  1e53,  1e54,  1e55};
constexpr int kLeastTen = -32;

// The nine digits "%.9g" writes of a nonzero finite float32 as its text
// (digits, count without trailing zeros, power of ten of the first); false
// where a product in doubles cannot tell how they round, which to_chars
// then finds. The product is within 3e-16 of its true value, 3e-7 of a unit
// of the last digit: a fraction further than 1e-5 from one half rounds as
// the true one does.
bool nine_digits(double a, char (&digits)[9], int& count, int& first) {
    std::uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    int two = static_cast<int>(bits >> 52) - 1023; // every float32 is a normal double
    int e = (two * 78913) >> 18; // floor(two log10 2): the first's power or one less
    double scaled = a * kTens[8 - e - kLeastTen];
    if (scaled >= 1e9) scaled = a * kTens[8 - ++e - kLeastTen];
    if (scaled < 1e8 || scaled >= 1e9) return false;
    auto whole = static_cast<std::uint32_t>(scaled);
    double fraction = scaled - whole;
    if (std::fabs(fraction - 0.5) < 1e-5) return false;
    whole += fraction > 0.5;
    if (whole == 1000000000) { // 9.999999996e8 rounds up to a new power of ten
        whole = 100000000;
        ++e;
    }
    for (int k = 8; k >= 0; --k, whole /= 10) digits[k] = static_cast<char>('0' + whole % 10);
    for (count = 9; count > 1 && digits[count - 1] == '0';) --count;
    first = e;
    return true;
}

// "%.9g" of a nonzero finite float32, as printf and Python write it.
char* write_g9(char* p, float v) {
    double d = v;
    char digits[9];
    int n, e;
    if (!nine_digits(std::fabs(d), digits, n, e))
        return std::to_chars(p, p + kMaxNumberText, d, std::chars_format::general, 9).ptr;
    if (d < 0) *p++ = '-';
    if (e < -4 || e >= 9) { // d.dddde+XX
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, static_cast<std::size_t>(n - 1));
            p += n - 1;
        }
        *p++ = 'e';
        *p++ = e < 0 ? '-' : '+';
        int x = e < 0 ? -e : e;
        *p++ = static_cast<char>('0' + x / 10);
        *p++ = static_cast<char>('0' + x % 10);
        return p;
    }
    if (e < 0) {
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', static_cast<std::size_t>(-e - 1));
        p += -e - 1;
        std::memcpy(p, digits, static_cast<std::size_t>(n));
        return p + n;
    }
    std::memcpy(p, digits, static_cast<std::size_t>(e + 1)); // no more than nine: e < 9
    p += e + 1;
    if (n <= e + 1) return p;
    *p++ = '.';
    std::memcpy(p, digits + e + 1, static_cast<std::size_t>(n - e - 1));
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
    if (v == 0) return copy(p, std::signbit(v) ? "-0.0" : "0.0");
    double d = v;
    p = write_g9(p, v);
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
