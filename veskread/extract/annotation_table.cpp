#include "veskread/extract/annotation_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>

#include "veskread/container/interrupt.h"
#include "veskread/container/output_budget.h"

namespace vesk {

namespace {

using interp::Value;

bool is_text_type(const Value& t) {
    if (t.kind == Value::Int) return t.i >= 1000 && t.i <= 1099;
    if (t.kind == Value::Float) return t.d >= 1000 && t.d <= 1099 && t.d == std::floor(t.d);
    return false;
}

std::string two_digits(const char* prefix, int64_t n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%02lld", prefix, static_cast<long long>(n));
    return buf;
}

enum class CellKind { Int, Float, Text, Unknown };

// What reading one table did to the result, kept to do it again.
struct TableEffect {
    std::vector<std::pair<std::string, std::shared_ptr<AnnoColumn>>> columns;
    std::vector<ParamValue> unknown_types; // per row, in column order
    int64_t rows = 0;
};

// Charges for what the cells of a call hold, and for the warnings they cost.
constexpr int64_t kKeptCellCost = 16;
constexpr int64_t kWarningCost = 64;

// What a call's tables may hold, and apart from it the warnings they may
// raise: a large honest table of unknown-type columns is no overlap.
struct CallBudgets {
    OutputBudget cells;
    OutputBudget warnings;
};

[[noreturn, gnu::cold, gnu::noinline]] void refuse_cells(const OutputBudget& budget,
                                                         int64_t sub_offset, int64_t rows) {
    budget.refuse("annotation table at offset " + std::to_string(sub_offset) + " declares " +
                  std::to_string(rows) + " rows whose cells overlap");
}

// Runs once per cell: the message is built only when it is needed.
inline void spend_cells(OutputBudget& budget, int64_t sub_offset, int64_t rows, int64_t bytes) {
    if (!budget.try_spend(bytes)) [[unlikely]]
        refuse_cells(budget, sub_offset, rows);
}

[[noreturn, gnu::cold, gnu::noinline]] void refuse_warnings(const OutputBudget& budget,
                                                            int64_t sub_offset, int64_t rows) {
    budget.refuse("annotation table at offset " + std::to_string(sub_offset) + " declares " +
                  std::to_string(rows) + " rows of cells of unknown type, a warning each");
}

inline void spend_warning(OutputBudget& budget, int64_t sub_offset, int64_t rows) {
    if (!budget.try_spend(kWarningCost)) [[unlikely]]
        refuse_warnings(budget, sub_offset, rows);
}

struct Column {
    std::string name; // raw text; empty `key` when the name is not text
    bool kept = false;
    CellKind kind = CellKind::Unknown;
    ParamValue type_code;
    AnnoColumn* cells = nullptr; // borrowed from the table when kept
};

// Reads `n` bytes (-1: to the end) the way a Python read does, keeping only
// what comes before the first NUL when `keep` is set.
std::string read_text(Cursor& cur, int64_t n, int64_t file_size, bool keep) {
    int64_t pos = cur.tell();
    int64_t avail = std::max<int64_t>(file_size - pos, 0);
    int64_t len = n == -1 ? avail : std::min(n, avail);
    std::string out;
    if (keep) {
        int64_t done = 0;
        while (done < len) {
            std::string chunk = cur.read_upto(std::min<int64_t>(len - done, 4096));
            if (chunk.empty()) break;
            auto nul = chunk.find('\0');
            if (nul != std::string::npos) {
                out.append(chunk, 0, nul);
                break;
            }
            out += chunk;
            done += static_cast<int64_t>(chunk.size());
        }
    }
    cur.seek(pos + len);
    return out;
}

// The rows of one table, cell after cell. Rows that lie in the file in full
// are fetched a chunk at a time and decoded from memory; the others, and
// tables whose rows cannot be sized, go through the cursor, which finds
// every short read where a Python read would.
class TableRows {
public:
    TableRows(Cursor& cur, int64_t file_size, int64_t sub_offset, int64_t rows, int64_t start,
              int64_t step, const Value& strlen, std::vector<Column>& cols, AnnotationTable& table,
              const UnknownCellType& on_unknown, CallBudgets& budgets)
        : cur_(cur), file_size_(file_size), sub_offset_(sub_offset), rows_(rows), start_(start),
          step_(step), strlen_(strlen), cols_(cols), table_(table), on_unknown_(on_unknown),
          budget_(budgets.cells), warnings_(budgets.warnings) {}

    void read() {
        int64_t row_bytes = decoded_row_bytes();
        int64_t r = 0;
        if (row_bytes >= 0) r = read_chunks(row_bytes);
        for (; r < rows_; ++r) {
            poll(r);
            cur_.seek(checked_add(start_, checked_mul(r, step_)));
            read_row();
        }
    }

private:
    static constexpr int64_t kRowsPerPoll = 16;
    // On the stack: a heap buffer would be fresh pages to fault in on every call.
    static constexpr int64_t kChunkBytes = 16 * 1024;

    void poll(int64_t r) const {
        if (r % kRowsPerPoll == 0)
            poll_interrupt(kRowsPerPoll * 8 * static_cast<int64_t>(cols_.size()));
    }

    // Bytes the cells of one row take, or -1 when rows are not decoded from
    // memory (rows out of order or far apart, text cells of no fixed length).
    int64_t decoded_row_bytes() const {
        if (step_ <= 0 || step_ > kChunkBytes || start_ < 0 || start_ > file_size_) return -1;
        int64_t bytes = 0;
        for (const auto& c : cols_) {
            if (c.kind == CellKind::Int || c.kind == CellKind::Float) bytes += 4;
            if (c.kind != CellKind::Text) continue;
            if (strlen_.kind != Value::Int || strlen_.i < 0 || strlen_.i > kChunkBytes) return -1;
            bytes += static_cast<int64_t>(strlen_.i);
            if (bytes > kChunkBytes) return -1;
        }
        return bytes;
    }

    // Reads the leading rows that the file holds in full; returns how many.
    int64_t read_chunks(int64_t row_bytes) {
        // Only numbers: nothing but the budget stands between two cells, so
        // a chunk of rows is charged at once and decoded column by column.
        bool numbers_only = true;
        int64_t row_cost = 0;
        std::vector<NumberColumn> kept;
        int64_t at = 0;
        for (const auto& c : cols_) {
            numbers_only = numbers_only && (c.kind == CellKind::Int || c.kind == CellKind::Float);
            if (c.cells) {
                row_cost += kKeptCellCost;
                // Columns of one name share a list, filled row by row.
                for (const auto& k : kept) numbers_only = numbers_only && k.cells != c.cells;
                kept.push_back({at, c.kind == CellKind::Int, c.cells});
            }
            at += c.kind == CellKind::Int || c.kind == CellKind::Float ? 4 : 0;
        }
        unsigned char buffer[kChunkBytes]; // not cleared: only bytes the file gave are decoded
        int64_t r = 0;
        while (r < rows_) {
            // start_ <= file_size_ and each chunk ends within the file, so
            // positions stay far from overflow.
            int64_t from = start_ + r * step_;
            int64_t room = file_size_ - from - row_bytes;
            if (room < 0) break;
            int64_t count = std::min({rows_ - r, room / step_ + 1,
                                      std::max<int64_t>((kChunkBytes - row_bytes) / step_ + 1, 1)});
            auto len = static_cast<size_t>((count - 1) * step_ + row_bytes);
            cur_.seek(from);
            size_t got = cur_.read_into(buffer, len);
            // The file ended early (it changed under the read): the cursor
            // takes over from the first row it did not hold.
            if (got < len)
                count =
                    got < static_cast<size_t>(row_bytes)
                        ? 0
                        : static_cast<int64_t>(got - static_cast<size_t>(row_bytes)) / step_ + 1;
            if (numbers_only && count > 0) {
                poll_interrupt(saturating_mul(count, 8 * static_cast<int64_t>(cols_.size())));
                spend_cells(budget_, sub_offset_, rows_, saturating_mul(row_cost, count));
                for (const auto& c : kept) decode_column(c, buffer, count);
                r += count;
            } else {
                for (int64_t k = 0; k < count; ++k, ++r) {
                    poll(r);
                    decode_row(buffer + k * step_);
                }
            }
            if (got < len) break;
        }
        return r;
    }

    struct NumberColumn {
        int64_t at; // within the row
        bool is_int;
        AnnoColumn* cells;
    };

    void decode_column(const NumberColumn& c, const unsigned char* rows, int64_t count) const {
        if (c.is_int)
            c.cells->push_ints(rows + c.at, step_, count);
        else
            c.cells->push_floats(rows + c.at, step_, count);
    }

    // Where the cells of a row come from: bytes already read, or the cursor,
    // which raises what a Python read would on a short file.
    struct MemoryCells {
        const unsigned char* p;
        const Value& strlen; // an int here: decoded_row_bytes sized the rows
        int32_t i32() { return take<int32_t>(); }
        float f32() { return take<float>(); }
        std::string text(bool keep) {
            auto len = static_cast<size_t>(strlen.i);
            std::string v;
            if (keep) v = cut_at_nul(std::string_view(reinterpret_cast<const char*>(p), len));
            p += len;
            return v;
        }
        template <typename T> T take() {
            T v = load<T>(p);
            p += sizeof v;
            return v;
        }
    };
    struct CursorCells {
        Cursor& cur;
        int64_t file_size;
        const Value& strlen;
        int32_t i32() { return cur.read_i32(); }
        float f32() { return cur.read_f32(); }
        std::string text(bool keep) {
            if (strlen.kind != Value::Int) interp::read_size_not_integer(strlen);
            return read_text(cur, static_cast<int64_t>(strlen.i), file_size, keep);
        }
    };

    void decode_row(const unsigned char* p) {
        MemoryCells cells{p, strlen_};
        take_row(cells);
    }
    void read_row() {
        CursorCells cells{cur_, file_size_, strlen_};
        take_row(cells);
    }

    template <typename Cells> void take_row(Cells& in) {
        for (auto& c : cols_) {
            switch (c.kind) {
            case CellKind::Int: {
                int32_t v = in.i32();
                if (c.cells) keep(c, v);
                break;
            }
            case CellKind::Float: {
                float v = in.f32();
                if (c.cells) keep(c, v);
                break;
            }
            case CellKind::Text: {
                std::string v = in.text(c.cells != nullptr);
                if (c.cells) keep_text(c, std::move(v));
                break;
            }
            case CellKind::Unknown:
                unknown(c);
                break;
            }
        }
    }

    template <typename T> static T load(const unsigned char* p) {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    void keep(Column& c, int32_t v) {
        spend_cells(budget_, sub_offset_, rows_, kKeptCellCost);
        c.cells->push_int(v);
    }
    void keep(Column& c, float v) {
        spend_cells(budget_, sub_offset_, rows_, kKeptCellCost);
        c.cells->push_float(v);
    }
    void keep_text(Column& c, std::string v) {
        spend_cells(budget_, sub_offset_, rows_, kKeptCellCost + static_cast<int64_t>(v.size()));
        poll_interrupt(static_cast<int64_t>(v.size()));
        c.cells->push_text(&table_.texts.emplace_back(std::move(v)));
    }
    void unknown(Column& c) {
        spend_warning(warnings_, sub_offset_, rows_);
        on_unknown_(c.type_code);
        // Nothing was read for the cell; None keeps the column in step.
        if (c.cells) c.cells->push_none();
    }

    Cursor& cur_;
    int64_t file_size_;
    int64_t sub_offset_;
    int64_t rows_;
    int64_t start_;
    int64_t step_;
    const Value& strlen_;
    std::vector<Column>& cols_;
    AnnotationTable& table_;
    const UnknownCellType& on_unknown_;
    OutputBudget& budget_;
    OutputBudget& warnings_;
};

void read_table(Cursor& cur, int64_t file_size, int64_t sub_offset, const ParamBlock& p,
                const std::vector<std::string>& wanted, AnnotationTable& table,
                const UnknownCellType& on_unknown, CallBudgets& budgets, TableEffect& effect) {
    Value first_row = interp::add(Value::integer(sub_offset), as_value(p.at("SIZ")));
    Value rowlen = as_value(p.at("SRC"));
    Value strlen = Value::integer(-1);
    int64_t ncols = interp::as_index(as_value(p.at("NCO")));

    std::vector<Column> cols;
    for (int64_t i = 0; i < ncols; ++i) {
        const ParamValue& name = p.at(two_digits("S", i));
        Value col_f = as_value(p.at(two_digits("F", i)));
        const ParamValue& type_value = p.at(two_digits("T", i));
        Value type = as_value(type_value);

        Column c;
        c.type_code = type_value;
        if (interp::equals(type, 4))
            c.kind = CellKind::Int;
        else if (interp::equals(type, 5))
            c.kind = CellKind::Float;
        else if (is_text_type(type))
            c.kind = CellKind::Text;
        if (auto* text = std::get_if<ParamText>(&name)) {
            c.name = text->bytes;
            c.kept = std::find(wanted.begin(), wanted.end(), c.name) != wanted.end();
            // A name met again replaces its column; within one table both
            // columns then feed the same list.
            if (c.kept) table.columns[c.name] = std::make_shared<AnnoColumn>();
        }
        cols.push_back(std::move(c));
        if (cols.back().kind == CellKind::Text) {
            Value span = interp::sub(rowlen, col_f);
            if (interp::greater(span, strlen)) strlen = span;
        }
    }
    for (auto& c : cols) {
        if (!c.kept) continue;
        const auto& column = table.columns[c.name];
        c.cells = column.get();
        bool known = false;
        for (const auto& e : effect.columns) known = known || e.first == c.name;
        if (!known) effect.columns.emplace_back(c.name, column);
    }
    for (const auto& c : cols)
        if (c.kind == CellKind::Unknown) effect.unknown_types.push_back(c.type_code);

    int64_t rows = interp::as_index(as_value(p.at("NLN")));
    if (rows <= 0) return;
    effect.rows = rows;
    // Row i starts at first_row + i * SRC; the first row's start fails as
    // that sum fails (a text SRC repeats to text, which no offset adds).
    (void)interp::add(first_row, interp::mul(Value::integer(0), rowlen));
    int64_t start = interp::as_index(first_row);
    int64_t step = interp::as_index(rowlen);

    // A declared row count is believed only as far as the file can hold the
    // rows; a huge count would otherwise run a loop (and fill lists) long
    // after the data has ended. Rows with a number cell, each read past the
    // last one's, need no check: the first row past the file's end fails to
    // read it, as a Python read would, after the rows it does hold. (A short
    // text read fails nothing: it gives fewer bytes.)
    if (rows > kRowSlack) {
        if (step <= 0)
            throw Error(ErrorKind::BadShape,
                        "annotation table at offset " + std::to_string(sub_offset) + " declares " +
                            std::to_string(rows) + " rows of " + std::to_string(step) + " bytes",
                        sub_offset, rows);
        int64_t consumed = 0;
        bool reads_number = false, reads_text = false;
        for (const auto& c : cols) {
            if (c.kind == CellKind::Int || c.kind == CellKind::Float) {
                consumed += 4;
                reads_number = true;
            }
            if (c.kind != CellKind::Text) continue;
            reads_text = true;
            if (strlen.kind == Value::Int)
                consumed += std::max<int64_t>(static_cast<int64_t>(strlen.i), 0);
        }
        const bool rows_meet_the_end = reads_number && consumed <= step && start >= 0;
        // A text size that is no int fails at the first text cell.
        const bool fails_at_once = reads_text && strlen.kind != Value::Int;
        int64_t per_row = std::max(step, consumed);
        int64_t room = std::max<int64_t>(file_size - start, 0);
        if (!rows_meet_the_end && !fails_at_once && (start < 0 || rows > room / per_row))
            throw Error(ErrorKind::BadCount,
                        "annotation table at offset " + std::to_string(sub_offset) + " declares " +
                            std::to_string(rows) + " rows of " + std::to_string(per_row) +
                            " bytes; the file holds " + std::to_string(room) + " bytes after them",
                        start, rows);
    }

    // Room for the rows ahead (capped: a count past the slack is only checked
    // against the file's bytes, not yet against the budget).
    for (auto& c : cols)
        if (c.cells)
            c.cells->reserve(c.cells->size() + static_cast<size_t>(std::min(rows, kRowSlack)));
    TableRows table_rows{cur,    file_size, sub_offset, rows,       start,  step,
                         strlen, cols,      table,      on_unknown, budgets};
    table_rows.read();
}
} // namespace

void AnnoColumn::reserve(size_t n) {
    reserve_ = n;
    if (kind_ == Kind::Int) ints_.reserve(n);
    if (kind_ == Kind::Float) floats_.reserve(n);
    if (kind_ == Kind::Text) texts_.reserve(n);
    if (kind_ == Kind::Mixed) mixed_.reserve(n);
}

bool AnnoColumn::takes(Kind kind) {
    if (kind_ == kind) return true;
    if (kind_ == Kind::Empty) {
        kind_ = kind;
        reserve(reserve_);
        return true;
    }
    if (kind_ != Kind::Mixed) {
        std::vector<AnnoCell> cells;
        cells.reserve(std::max(size_ + 1, reserve_));
        for (size_t r = 0; r < size_; ++r) cells.push_back((*this)[r]);
        mixed_ = std::move(cells);
        ints_ = {};
        floats_ = {};
        texts_ = {};
        kind_ = Kind::Mixed;
    }
    return false;
}

void AnnoColumn::push_int(int32_t v) {
    if (takes(Kind::Int))
        ints_.push_back(v);
    else
        mixed_.emplace_back(v);
    ++size_;
}

void AnnoColumn::push_float(float v) {
    if (takes(Kind::Float))
        floats_.push_back(v);
    else
        mixed_.emplace_back(static_cast<double>(v));
    ++size_;
}

void AnnoColumn::push_text(const std::string* v) {
    if (takes(Kind::Text))
        texts_.push_back(v);
    else
        mixed_.emplace_back(CellText{v});
    ++size_;
}

void AnnoColumn::push_none() {
    if (!takes(Kind::None)) mixed_.emplace_back(std::monostate{});
    ++size_;
}

template <typename T> void AnnoColumn::push_strided(std::vector<T>& plain, Kind kind,
                                                    const unsigned char* p, int64_t stride,
                                                    int64_t count) {
    if (takes(kind)) {
        size_t first = plain.size();
        plain.resize(first + static_cast<size_t>(count));
        T* out = plain.data() + first;
        for (int64_t k = 0; k < count; ++k, p += stride) std::memcpy(out + k, p, sizeof(T));
    } else {
        // A float cell holds the float32 widened.
        using Held = std::conditional_t<std::is_same_v<T, float>, double, T>;
        for (int64_t k = 0; k < count; ++k, p += stride) {
            T v;
            std::memcpy(&v, p, sizeof(T));
            mixed_.emplace_back(static_cast<Held>(v));
        }
    }
    size_ += static_cast<size_t>(count);
}

void AnnoColumn::push_ints(const unsigned char* p, int64_t stride, int64_t count) {
    push_strided(ints_, Kind::Int, p, stride, count);
}

void AnnoColumn::push_floats(const unsigned char* p, int64_t stride, int64_t count) {
    push_strided(floats_, Kind::Float, p, stride, count);
}

interp::Value as_value(const AnnoCell& cell) {
    if (auto* i = std::get_if<int32_t>(&cell)) return Value::integer(*i);
    if (auto* d = std::get_if<double>(&cell)) return Value::real(*d);
    if (std::holds_alternative<CellText>(cell)) return Value::text();
    return Value::none();
}

const AnnoColumn* AnnotationTable::column(const std::string& name) const {
    auto it = columns.find(name);
    return it == columns.end() ? nullptr : it->second.get();
}

AnnotationTable read_annotation_table(Cursor& cur, int64_t offset,
                                      const std::vector<std::string>& wanted,
                                      const UnknownCellType& on_unknown) {
    AnnotationTable table;
    int64_t file_size = cur.source_size();
    CallBudgets budgets{OutputBudget(file_size), OutputBudget(file_size)};
    ParamBlock dir = read_param_block(cur, checked_add(offset, 12));
    int64_t count = interp::as_index(as_value(dir.at("NRP")));
    // Tables by offset; a sub-block without SRC is kept as no effect.
    std::unordered_map<int64_t, std::optional<TableEffect>> done;
    for (int64_t img = 0; img < count; ++img) {
        poll_interrupt();
        Value rel = as_value(dir.at(two_digits("F", img)));
        int64_t sub_offset = interp::as_index(interp::add(Value::integer(offset), rel));
        auto seen = done.find(sub_offset);
        if (seen != done.end()) {
            if (!seen->second) continue;
            const TableEffect& effect = *seen->second;
            for (const auto& [name, column] : effect.columns) table.columns[name] = column;
            for (int64_t r = 0; r < effect.rows; ++r)
                for (const auto& type : effect.unknown_types) {
                    spend_warning(budgets.warnings, sub_offset, effect.rows);
                    on_unknown(type);
                }
            continue;
        }
        ParamBlock p = read_param_block(cur, sub_offset);
        if (!p.contains("SRC")) {
            done.emplace(sub_offset, std::nullopt);
            continue;
        }
        TableEffect effect;
        read_table(cur, file_size, sub_offset, p, wanted, table, on_unknown, budgets, effect);
        done.emplace(sub_offset, std::move(effect));
    }
    return table;
}

} // namespace vesk
