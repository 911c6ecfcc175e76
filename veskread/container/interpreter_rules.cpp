#include "veskread/container/interpreter_rules.h"

#include <cmath>
#include <limits>

namespace vesk::interp {

namespace {

[[noreturn]] void type_error(const std::string& message) {
    throw Error(ErrorKind::WrongType, message);
}

// An int compared with a float, exactly (no rounding of the int).
int compare(__int128 i, double d) {
    if (std::isnan(d)) return 2; // unordered
    // Every float beyond +-2^127 lies beyond every int the core holds.
    if (d >= 1.7e38) return -1;
    if (d <= -1.7e38) return 1;
    double t = std::trunc(d);
    auto ti = static_cast<__int128>(t);
    if (i != ti) return i < ti ? -1 : 1;
    return d == t ? 0 : (d > t ? -1 : 1);
}

Value arith(char op, const Value& a, const Value& b) {
    if (a.kind == Value::Int && b.kind == Value::Int) {
        __int128 r = op == '+' ? a.i + b.i : op == '-' ? a.i - b.i : a.i * b.i;
        return Value::integer(r);
    }
    double x = a.as_double(), y = b.as_double();
    return Value::real(op == '+' ? x + y : op == '-' ? x - y : x * y);
}

} // namespace

const char* Value::type_name() const {
    switch (kind) {
    case Int:
        return "int";
    case Float:
        return "float";
    case Str:
        return "str";
    default:
        return "NoneType";
    }
}

Value add(const Value& a, const Value& b) {
    if (a.kind == Value::Str) {
        if (b.kind == Value::Str) return Value::text();
        type_error(std::string("can only concatenate str (not \"") + b.type_name() + "\") to str");
    }
    if (!a.is_number() || !b.is_number()) unsupported_operands("+", a, b);
    return arith('+', a, b);
}

Value sub(const Value& a, const Value& b) {
    if (!a.is_number() || !b.is_number()) unsupported_operands("-", a, b);
    return arith('-', a, b);
}

Value mul(const Value& a, const Value& b) {
    if (a.kind == Value::Str || b.kind == Value::Str) {
        const Value& count = a.kind == Value::Str ? b : a;
        if (count.kind != Value::Int)
            type_error(std::string("can't multiply sequence by non-int of type '") +
                       count.type_name() + "'");
        return Value::text();
    }
    if (!a.is_number() || !b.is_number()) unsupported_operands("*", a, b);
    return arith('*', a, b);
}

bool greater(const Value& a, const Value& b) {
    if (a.kind == Value::Int && b.kind == Value::Int) return a.i > b.i;
    if (a.kind == Value::Float && b.kind == Value::Float) return a.d > b.d;
    if (a.kind == Value::Int) return compare(a.i, b.d) == 1;
    return compare(b.i, a.d) == -1;
}

bool equals(const Value& a, int64_t n) {
    if (a.kind == Value::Int) return a.i == n;
    if (a.kind == Value::Float) return compare(n, a.d) == 0;
    return false;
}

int64_t as_index(const Value& v) {
    if (v.kind != Value::Int) not_an_integer(v);
    if (v.i < std::numeric_limits<int64_t>::min() || v.i > std::numeric_limits<int64_t>::max())
        offset_overflow();
    return static_cast<int64_t>(v.i);
}

void unsupported_operands(const char* op, const Value& a, const Value& b) {
    type_error(std::string("unsupported operand type(s) for ") + op + ": '" + a.type_name() +
               "' and '" + b.type_name() + "'");
}

void not_an_integer(const Value& v) {
    type_error(std::string("'") + v.type_name() + "' object cannot be interpreted as an integer");
}

void read_size_not_integer(const Value& v) {
    type_error(std::string("argument should be integer or None, not '") + v.type_name() + "'");
}

void list_index_out_of_range() {
    throw Error(ErrorKind::IndexOutOfRange, "list index out of range");
}

void modulo_by_zero() { throw Error(ErrorKind::DivisionByZero, "integer modulo by zero"); }

void offset_overflow() {
    throw Error(ErrorKind::OffsetOverflow, "cannot fit 'int' into an offset-sized integer");
}

void broadcast_mismatch(int64_t got, int64_t want) {
    throw_value("could not broadcast input array from shape (" + std::to_string(got) +
                ",) into shape (" + std::to_string(want) + ",)");
}

void reshape_mismatch(int64_t size, int64_t rows, int64_t cols) {
    throw_value("cannot reshape array of size " + std::to_string(size) + " into shape (" +
                std::to_string(rows) + "," + std::to_string(cols) + ")");
}

void index_out_of_bounds(int64_t index, int axis, int64_t size) {
    throw Error(ErrorKind::IndexOutOfRange,
                "index " + std::to_string(index) + " is out of bounds for axis " +
                    std::to_string(axis) + " with size " + std::to_string(size));
}

void float_index() {
    throw Error(ErrorKind::IndexOutOfRange,
                "only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) and "
                "integer or boolean arrays are valid indices");
}

} // namespace vesk::interp
