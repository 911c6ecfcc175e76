// The number writers of `vesk`'s CSV and JCAMP-DX exports. Large maps have
// millions of values, and Python's own formatting of each was most of an
// export's time: here the texts are made a chunk at a time with the
// interpreter lock released, then handed over as one str or a list. The
// rules of each style live in number_text.h; this file only walks numpy
// buffers and assembles cells, rows and table lines.
#include "py_number_texts.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "number_text.h"
#include "py_list.h"

namespace vesk::py {

namespace {

// How an export writes a number: csv as Python's % formats what tolist()
// gives (float32 "%.9g" with its ".0", others repr()), jcamp in fixed-point
// form with the shortest digits of its own type.
enum class Style { Csv, Jcamp };

bool style_of(PyObject* arg, Style& style) {
    const char* name = PyUnicode_AsUTF8(arg);
    if (!name) return false;
    if (std::strcmp(name, "csv") == 0 || std::strcmp(name, "jcamp") == 0) {
        style = name[0] == 'c' ? Style::Csv : Style::Jcamp;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "no style %R", arg);
    return false;
}

enum class Number { Float32, Float64, Signed, Unsigned, Bool };

// A 1-D or 2-D array of numbers of the machine's byte order, through its buffer.
struct Numbers {
    BufferGuard buffer;
    Number kind = Number::Float64;
    const char* base = nullptr;
    int ndim = 1;
    Py_ssize_t size = 0, rows = 0, cols = 1, row_step = 0, col_step = 0;

    // False with a Python error set where `obj` is no such array, or one
    // that `style` does not write.
    bool take(PyObject* obj, Style style) {
        if (!buffer.acquire(obj, PyBUF_RECORDS_RO)) return false;
        const Py_buffer& v = buffer.view();
        const char* f = v.format ? v.format : "B";
        if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little))
            ++f;
        size = v.itemsize;
        bool known = f[0] != '\0' && f[1] == '\0';
        if (known && *f == 'f' && size == 4)
            kind = Number::Float32;
        else if (known && *f == 'd' && size == 8)
            kind = Number::Float64;
        else if (known && *f == '?' && size == 1)
            kind = Number::Bool;
        else if (known && std::strchr("bhilqn", *f) && size <= 8)
            kind = Number::Signed;
        else if (known && std::strchr("BHILQN", *f) && size <= 8)
            kind = Number::Unsigned;
        else
            known = false;
        if (!known ||
            (style == Style::Jcamp && kind != Number::Float32 && kind != Number::Float64)) {
            PyErr_Format(PyExc_TypeError, "no numbers of format '%s' to write",
                         v.format ? v.format : "B");
            return false;
        }
        if (v.ndim < 1 || v.ndim > 2) {
            PyErr_SetString(PyExc_ValueError, "a row or a table of numbers is wanted");
            return false;
        }
        base = static_cast<const char*>(v.buf);
        ndim = v.ndim;
        rows = v.shape[0];
        row_step = v.strides[0];
        if (v.ndim == 2) {
            cols = v.shape[1];
            col_step = v.strides[1];
        }
        return true;
    }

    const char* at(Py_ssize_t r, Py_ssize_t c = 0) const {
        return base + r * row_step + c * col_step;
    }

    template <class T> T read(const char* p) const {
        T t;
        std::memcpy(&t, p, sizeof t);
        return t;
    }

    int64_t as_signed(const char* p) const {
        switch (size) {
        case 1:
            return read<int8_t>(p);
        case 2:
            return read<int16_t>(p);
        case 4:
            return read<int32_t>(p);
        default:
            return read<int64_t>(p);
        }
    }

    uint64_t as_unsigned(const char* p) const {
        switch (size) {
        case 1:
            return read<uint8_t>(p);
        case 2:
            return read<uint16_t>(p);
        case 4:
            return read<uint32_t>(p);
        default:
            return read<uint64_t>(p);
        }
    }

    // Whether the value at `p` is finite (every integer is).
    bool finite(const char* p) const {
        if (kind == Number::Float32) return std::isfinite(read<float>(p));
        return kind != Number::Float64 || std::isfinite(read<double>(p));
    }

    char* write(char* out, const char* p, Style style) const {
        switch (kind) {
        case Number::Float32:
            return style == Style::Csv ? write_csv_float32(out, read<float>(p))
                                       : write_positional(out, read<float>(p));
        case Number::Float64:
            return style == Style::Csv ? write_repr(out, read<double>(p))
                                       : write_positional(out, read<double>(p));
        case Number::Signed:
            return write_integer(out, as_signed(p));
        case Number::Unsigned:
            return write_integer(out, as_unsigned(p));
        case Number::Bool:
            return write_bool(out, read<bool>(p));
        }
        return out;
    }
};

// Text made with the interpreter lock released, handed over as one str.
class TextOut {
public:
    // Room for `n` more characters at the end.
    char* room(size_t n) {
        if (used_ + n > data_.size()) data_.resize(std::max(2 * data_.size(), used_ + n));
        return data_.data() + used_;
    }
    void done(char* end) { used_ = static_cast<size_t>(end - data_.data()); }
    void add(std::string_view text) {
        std::memcpy(room(text.size()), text.data(), text.size());
        used_ += text.size();
    }
    void back_up() { --used_; }
    size_t size() const { return used_; }
    const char* data() const { return data_.data(); }
    PyObject* str() const {
        return PyUnicode_DecodeUTF8(data_.data(), static_cast<Py_ssize_t>(used_), nullptr);
    }

private:
    std::vector<char> data_;
    size_t used_ = 0;
};

// Runs `work` with the lock released where it is long enough to pay for it;
// false with a Python error set where memory ran out.
template <class Work> bool format_unlocked(Py_ssize_t values, Work work) {
    try {
        if (values < 4096) {
            work();
        } else {
            GilRelease unlocked; // formatting only: no Python object is touched
            work();
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// A column of texts, one per row: texts[index[r]] for row r (texts[r]
// without an index).
struct TextColumn {
    Ref held; // a tuple of the texts, kept for the views below
    std::vector<std::string_view> texts;
    size_t longest = 0;
    Numbers index;
    bool indexed = false;

    // False with a Python error set.
    bool take(PyObject* pair, Py_ssize_t rows) {
        PyObject *list, *at;
        if (!PyArg_ParseTuple(pair, "OO", &list, &at)) return false;
        held = Ref::steal(PySequence_Tuple(list));
        if (!held) return false;
        Py_ssize_t n = PyTuple_GET_SIZE(held.get());
        texts.resize(static_cast<size_t>(n));
        for (Py_ssize_t k = 0; k < n; ++k) {
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(held.get(), k), &size);
            if (!utf8) return false;
            texts[static_cast<size_t>(k)] = std::string_view(utf8, static_cast<size_t>(size));
            longest = std::max(longest, static_cast<size_t>(size));
        }
        indexed = at != Py_None;
        if (indexed && !index.take(at, Style::Csv)) return false;
        if (indexed &&
            (index.kind == Number::Float32 || index.kind == Number::Float64 || index.ndim != 1)) {
            PyErr_SetString(PyExc_TypeError, "an index is a row of integers");
            return false;
        }
        if ((indexed ? index.rows : n) < rows) {
            PyErr_SetString(PyExc_IndexError, "a column holds fewer cells than the rows");
            return false;
        }
        for (Py_ssize_t r = 0; indexed && r < rows; ++r) {
            const char* p = index.at(r);
            bool negative = index.kind == Number::Signed && index.as_signed(p) < 0;
            if (negative || index.as_unsigned(p) >= static_cast<uint64_t>(n)) {
                PyErr_SetString(PyExc_IndexError, "a cell's index is out of range");
                return false;
            }
        }
        return true;
    }

    std::string_view operator[](Py_ssize_t r) const {
        return texts[static_cast<size_t>(indexed ? index.as_unsigned(index.at(r)) : r)];
    }
};

} // namespace

PyObject* number_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Style style;
    Numbers values;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "number_texts() takes 2 arguments");
        return nullptr;
    }
    if (!style_of(args[1], style) || !values.take(args[0], style)) return nullptr;
    Py_ssize_t n = values.rows * values.cols;
    TextOut text;
    std::vector<size_t> ends(static_cast<size_t>(n));
    if (!format_unlocked(n, [&] {
            for (Py_ssize_t r = 0, k = 0; r < values.rows; ++r)
                for (Py_ssize_t c = 0; c < values.cols; ++c, ++k) {
                    text.done(values.write(text.room(kMaxNumberText), values.at(r, c), style));
                    ends[static_cast<size_t>(k)] = text.size();
                }
        }))
        return nullptr;
    return new_list(static_cast<size_t>(n), [&](size_t k) -> PyObject* {
        size_t from = k ? ends[k - 1] : 0;
        PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(ends[k] - from), 127);
        if (s) std::memcpy(PyUnicode_1BYTE_DATA(s), text.data() + from, ends[k] - from);
        return s;
    });
}

PyObject* csv_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "csv_rows() takes 2 arguments");
        return nullptr;
    }
    Ref columns_arg = Ref::steal(PySequence_Tuple(args[0]));
    Ref values_arg = columns_arg ? Ref::steal(PySequence_Tuple(args[1])) : Ref();
    if (!values_arg) return nullptr;
    std::vector<Numbers> values(static_cast<size_t>(PyTuple_GET_SIZE(values_arg.get())));
    if (values.empty()) {
        PyErr_SetString(PyExc_ValueError, "no values to write");
        return nullptr;
    }
    Py_ssize_t cells = 0;
    for (size_t k = 0; k < values.size(); ++k) {
        PyObject* array = PyTuple_GET_ITEM(values_arg.get(), static_cast<Py_ssize_t>(k));
        if (!values[k].take(array, Style::Csv)) return nullptr;
        if (values[k].rows != values[0].rows) {
            PyErr_SetString(PyExc_ValueError, "values of unequal rows");
            return nullptr;
        }
        cells += values[k].rows * values[k].cols;
    }
    Py_ssize_t rows = values[0].rows;
    std::vector<TextColumn> columns(static_cast<size_t>(PyTuple_GET_SIZE(columns_arg.get())));
    for (size_t k = 0; k < columns.size(); ++k)
        if (!columns[k].take(PyTuple_GET_ITEM(columns_arg.get(), static_cast<Py_ssize_t>(k)), rows))
            return nullptr;
    // room for a row: each text cell's longest, each number's, their commas and the line end
    size_t room = 1;
    for (const TextColumn& column : columns) room += column.longest + 1;
    for (const Numbers& v : values) room += static_cast<size_t>(v.cols) * (kMaxCsvNumber + 1);
    TextOut text;
    if (!format_unlocked(cells, [&] {
            for (Py_ssize_t r = 0; r < rows; ++r) {
                char* const start = text.room(room);
                char* p = start;
                for (const TextColumn& column : columns) {
                    std::string_view cell = column[r];
                    std::memcpy(p, cell.data(), cell.size());
                    p += cell.size();
                    *p++ = ',';
                }
                for (const Numbers& v : values)
                    for (Py_ssize_t c = 0; c < v.cols; ++c) {
                        p = v.write(p, v.at(r, c), Style::Csv);
                        *p++ = ',';
                    }
                if (p > start) --p; // the last cell's comma
                *p++ = '\n';
                text.done(p);
            }
        }))
        return nullptr;
    return text.str();
}

// Lines of a JCAMP-DX (X++(Y..Y)) table no longer than this, each with one y at least.
constexpr size_t kLine = 80;
// Characters of lines made at a time, at most: a damaged file's huge x, each
// with its own line, would otherwise make hundreds of bytes a value.
constexpr size_t kLinesText = 1 << 20;

PyObject* jcamp_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Numbers x, y;
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "jcamp_lines() takes 4 arguments");
        return nullptr;
    }
    if (!x.take(args[0], Style::Jcamp) || !y.take(args[1], Style::Jcamp)) return nullptr;
    Py_ssize_t start = PyNumber_AsSsize_t(args[2], PyExc_OverflowError);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    Py_ssize_t most = PyNumber_AsSsize_t(args[3], PyExc_OverflowError);
    if (most == -1 && PyErr_Occurred()) return nullptr;
    if (x.cols != 1 || y.cols != 1 || start < 0 || most < 1 || start > y.rows) {
        PyErr_SetString(PyExc_ValueError, "rows of x and y, a start within y and a count wanted");
        return nullptr;
    }
    TextOut text;
    Py_ssize_t i = start;
    bool short_x = false;
    if (!format_unlocked(std::min(most, y.rows - start), [&] {
            char cell[kMaxNumberText];
            while (i < y.rows && i - start < most && text.size() < kLinesText) {
                if (i >= x.rows) {
                    short_x = true;
                    return;
                }
                char* head = text.room(kMaxNumberText);
                char* end = x.write(head, x.at(i), Style::Jcamp);
                text.done(end);
                size_t length = static_cast<size_t>(end - head);
                for (Py_ssize_t first = i, j = i; j < y.rows; ++j) {
                    const char* p = y.at(j);
                    char* cell_end = y.finite(p) ? y.write(cell, p, Style::Jcamp) : cell + 1;
                    if (!y.finite(p)) cell[0] = '?'; // "nan" would read as compressed digits
                    auto n = static_cast<size_t>(cell_end - cell);
                    if (j > first && length + 1 + n > kLine) break;
                    text.add(" ");
                    text.add(std::string_view(cell, n));
                    length += 1 + n;
                    i = j + 1;
                }
                text.add("\n");
            }
        }))
        return nullptr;
    if (short_x) {
        PyErr_SetString(PyExc_IndexError, "fewer x than y");
        return nullptr;
    }
    Ref lines = Ref::steal(text.str());
    return lines ? Py_BuildValue("(On)", lines.get(), i) : nullptr;
}

} // namespace vesk::py
