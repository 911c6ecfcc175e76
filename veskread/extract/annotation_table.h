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
// live in the table's pool, so that a cell takes 16 bytes however long its
// text: a table has thousands of cells, nearly all numbers.
struct CellText {
    const std::string* bytes;
};

// A cell: None (unknown type), int, float (widened from float32) or text.
using AnnoCell = std::variant<std::monostate, int32_t, double, CellText>;
using AnnoColumn = std::vector<AnnoCell>;

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
