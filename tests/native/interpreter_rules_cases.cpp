// Prints what the core's imitation of the interpreter gives for a grid of
// operations, one line per case: the Python expression it stands for, a tab,
// then "ok <type> <value>" or "error <kind> <message>". The test suite
// evaluates each expression in the real interpreter and compares.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "veskread/container/interpreter_rules.h"

using vesk::ErrorKind;
using vesk::interp::Value;
namespace interp = vesk::interp;

namespace {

struct Named {
    Value value;
    const char* source;
};

const char* kind_name(ErrorKind k) {
    switch (k) {
    case ErrorKind::WrongType:
        return "WrongType";
    case ErrorKind::IndexOutOfRange:
        return "IndexOutOfRange";
    case ErrorKind::DivisionByZero:
        return "DivisionByZero";
    case ErrorKind::OffsetOverflow:
        return "OffsetOverflow";
    case ErrorKind::Value:
        return "Value";
    default:
        return "other";
    }
}

std::string show(const Value& v) {
    char buf[64];
    switch (v.kind) {
    case Value::Int: {
        unsigned __int128 m = v.i < 0 ? -static_cast<unsigned __int128>(v.i) : v.i;
        std::string digits;
        do {
            digits.insert(digits.begin(), char('0' + int(m % 10)));
            m /= 10;
        } while (m);
        return std::string("int ") + (v.i < 0 ? "-" : "") + digits;
    }
    case Value::Float:
        std::snprintf(buf, sizeof buf, "float %.17g", v.d);
        return buf;
    case Value::Str:
        return "str";
    default:
        return "NoneType";
    }
}

void run(const std::string& expression, const std::function<std::string()>& body) {
    std::string outcome;
    try {
        outcome = "ok " + body();
    } catch (const vesk::Error& e) {
        outcome = std::string("error ") + kind_name(e.kind()) + " " + e.what();
    }
    std::printf("%s\t%s\n", expression.c_str(), outcome.c_str());
}

} // namespace

int main() {
    const std::vector<Named> values = {
        {Value::none(), "None"},
        {Value::integer(0), "0"},
        {Value::integer(7), "7"},
        {Value::integer(-3), "-3"},
        {Value::integer(int64_t(1) << 40), "1099511627776"},
        {Value::real(2.5), "2.5"},
        {Value::real(-0.0), "-0.0"},
        {Value::real(7.0), "7.0"},
        {Value::real(1e300), "1e300"},
        {Value::text(), "'s'"},
    };
    using Op = Value (*)(const Value&, const Value&);
    const std::pair<const char*, Op> ops[] = {
        {"+", interp::add}, {"-", interp::sub}, {"*", interp::mul}};
    for (const auto& a : values)
        for (const auto& b : values) {
            for (const auto& [symbol, op] : ops)
                run(std::string(a.source) + " " + symbol + " " + b.source,
                    [&, op = op] { return show(op(a.value, b.value)); });
            if (a.value.is_number() && b.value.is_number())
                run(std::string(a.source) + " > " + b.source,
                    [&] { return std::string("bool ") + (greater(a.value, b.value) ? "1" : "0"); });
        }
    for (const auto& a : values) {
        for (int64_t n : {0, 7, -3})
            run(std::string(a.source) + " == " + std::to_string(n),
                [&] { return std::string("bool ") + (interp::equals(a.value, n) ? "1" : "0"); });
        // Negative positions are the cursor's to refuse, not this rule's.
        if (a.value.kind == Value::Int && a.value.i < 0) continue;
        run(std::string("SEEK(") + a.source + ")",
            [&] { return "int " + std::to_string(interp::as_index(a.value)); });
    }
    run("SEEK(2**70)", [] {
        return "int " + std::to_string(interp::as_index(Value::integer(__int128(1) << 70)));
    });
    run("READ(2.5)", []() -> std::string { interp::read_size_not_integer(Value::real(2.5)); });
    run("[][0]", []() -> std::string { interp::list_index_out_of_range(); });
    run("7 % 0", []() -> std::string { interp::modulo_by_zero(); });
    run("np.zeros(3).__setitem__(slice(None), np.zeros(2))",
        []() -> std::string { interp::broadcast_mismatch(2, 3); });
    run("np.zeros(5).reshape(2, 3)", []() -> std::string { interp::reshape_mismatch(5, 2, 3); });
    run("np.zeros((2, 3))[:, 5]", []() -> std::string { interp::index_out_of_bounds(5, 1, 3); });
    run("np.zeros((2, 3))[:, 1.0]", []() -> std::string { interp::float_index(); });
    return 0;
}
