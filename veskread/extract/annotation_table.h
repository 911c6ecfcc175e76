// The annotation block of a multiregion measurement.
//
// At +12 a parameter block lists NRP sub-blocks (F00, F01, ... offsets from
// the block's start). A sub-block with SRC describes a table: NLN rows of SRC
// bytes from its SIZ, NCO columns named S<nn> with type T<nn> (4 int32, 5
// float32, 1000..1099 text) and offset F<nn>. Cells are read one after another
// from each row's start; every text cell is as long as the distance from the
// earliest text column to the row's end. The result maps each column name to
// its cells; a later table's column replaces an earlier one of the same name.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "veskread/container/byte_source.h"
#include "veskread/extract/param_block.h"

namespace vesk {

// The text of a cell, cut before its first NUL and not decoded. The bytes
// live in the table's pool, so that a cell is small however long its text:
// a table has thousands of cells, nearly all numbers.
struct CellText {
    const std::string* bytes;
};

// A cell: None (unknown type), int, float (widened from float32) or text.
using AnnoCell = std::variant<std::monostate, int32_t, double, CellText>;

// The cells of one column. A column's cells nearly always share a type (the
// column's), so they are kept as plain values of it: 4 bytes a number, a
// pointer a text. A column that mixes types (two columns of one name in a
// table) keeps whole cells from then on.
class AnnoColumn {
public:
    size_t size() const { return size_; }
    AnnoCell operator[](size_t r) const {
        switch (kind_) {
        case Kind::Int:
            return ints_[r];
        case Kind::Float:
            return static_cast<double>(floats_[r]);
        case Kind::Text:
            return CellText{texts_[r]};
        case Kind::Mixed:
            return mixed_[r];
        default:
            return std::monostate{};
        }
    }
    // Every cell, when every cell is an int (a float); null otherwise.
    const int32_t* ints() const { return kind_ == Kind::Int ? ints_.data() : nullptr; }
    const float* floats() const { return kind_ == Kind::Float ? floats_.data() : nullptr; }

    // Room for `n` cells in all.
    void reserve(size_t n);
    void push_int(int32_t v);
    void push_float(float v);
    void push_text(const std::string* v);
    void push_none();
    // `count` little-endian cells `stride` bytes apart from `p`.
    void push_ints(const unsigned char* p, int64_t stride, int64_t count);
    void push_floats(const unsigned char* p, int64_t stride, int64_t count);

    class Iterator {
    public:
        AnnoCell operator*() const { return (*column_)[r_]; }
        Iterator& operator++() {
            ++r_;
            return *this;
        }
        bool operator!=(const Iterator& o) const { return r_ != o.r_; }

    private:
        friend class AnnoColumn;
        Iterator(const AnnoColumn* column, size_t r) : column_(column), r_(r) {}
        const AnnoColumn* column_;
        size_t r_;
    };
    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, size_}; }

private:
    enum class Kind : uint8_t { Empty, None, Int, Float, Text, Mixed };
    // Whether a cell of `kind` can be kept as a plain value.
    bool takes(Kind kind);
    template <typename T> void push_strided(std::vector<T>& plain, Kind kind,
                                            const unsigned char* p, int64_t stride, int64_t count);

    Kind kind_ = Kind::Empty;
    size_t size_ = 0;
    size_t reserve_ = 0; // applied when the first cell sets the type
    std::vector<int32_t> ints_;
    std::vector<float> floats_;
    std::vector<const std::string*> texts_;
    std::vector<AnnoCell> mixed_;
};

// The cell as the interpreter would hold it (for arithmetic on cells).
interp::Value as_value(const AnnoCell& cell);

struct AnnotationTable {
    // Columns whose names were asked for; names are the raw text of S<nn>.
    // Shared, so that a table named again takes its place without a copy.
    std::unordered_map<std::string, std::shared_ptr<AnnoColumn>> columns;
    // What the text cells point to; a deque, so that its strings never move.
    std::deque<std::string> texts;

    AnnotationTable() = default;
    AnnotationTable(AnnotationTable&&) = default;
    AnnotationTable& operator=(AnnotationTable&&) = default;
    // A copy's cells would point into the original's pool.
    AnnotationTable(const AnnotationTable&) = delete;
    AnnotationTable& operator=(const AnnotationTable&) = delete;
    // nullptr when no table had the column.
    const AnnoColumn* column(const std::string& name) const;
};

// Called once for every cell of an unknown type, with the column's type
// code; it may throw to stop the reading.
using UnknownCellType = std::function<void(const ParamValue& type_code)>;

// Rows declared beyond this count must fit the file.
constexpr int64_t kRowSlack = 4096;

// Reads every table of the block at `offset`. Cells of columns not named in
// `wanted` are read (for their errors and warnings) but not kept. A table
// that several directory entries name is read once: naming it again puts its
// columns back in place and repeats its warnings. What the cells hold counts
// against the call's budget (overlapping text cells are refused).
AnnotationTable read_annotation_table(Cursor& cur, int64_t offset,
                                      const std::vector<std::string>& wanted,
                                      const UnknownCellType& on_unknown);

} // namespace vesk
