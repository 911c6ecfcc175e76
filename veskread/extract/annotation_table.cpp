#include "veskread/extract/annotation_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>

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

void read_table(Cursor& cur, int64_t file_size, int64_t sub_offset, const ParamBlock& p,
                const std::vector<std::string>& wanted, AnnotationTable& table,
                const UnknownCellType& on_unknown, OutputBudget& budget, TableEffect& effect) {
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
    int64_t start = interp::as_index(first_row);
    int64_t step = interp::as_index(rowlen);

    // A declared row count is believed only as far as the file can hold the
    // rows; a huge count would otherwise run a loop (and fill lists) long
    // after the data has ended.
    if (rows > kRowSlack) {
        if (step <= 0)
            throw Error(ErrorKind::BadShape,
                        "annotation table at offset " + std::to_string(sub_offset) + " declares " +
                            std::to_string(rows) + " rows of " + std::to_string(step) + " bytes",
                        sub_offset, rows);
        int64_t per_row = step;
        if (strlen.kind == Value::Int) {
            int64_t consumed = 0;
            for (const auto& c : cols)
                consumed += c.kind == CellKind::Int || c.kind == CellKind::Float ? 4
                            : c.kind == CellKind::Text
                                ? std::max<int64_t>(static_cast<int64_t>(strlen.i), 0)
                                : 0;
            per_row = std::max(per_row, consumed);
        }
        int64_t room = std::max<int64_t>(file_size - start, 0);
        if (start < 0 || rows > room / per_row)
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
    constexpr int64_t kRowsPerPoll = 16;
    for (int64_t r = 0; r < rows; ++r) {
        if (r % kRowsPerPoll == 0)
            poll_interrupt(kRowsPerPoll * 8 * static_cast<int64_t>(cols.size()));
        cur.seek(checked_add(start, checked_mul(r, step)));
        for (auto& c : cols) {
            switch (c.kind) {
            case CellKind::Int: {
                int32_t v = cur.read_i32();
                if (c.cells) {
                    spend_cells(budget, sub_offset, rows, kKeptCellCost);
                    c.cells->emplace_back(v);
                }
                break;
            }
            case CellKind::Float: {
                double v = cur.read_f32();
                if (c.cells) {
                    spend_cells(budget, sub_offset, rows, kKeptCellCost);
                    c.cells->emplace_back(v);
                }
                break;
            }
            case CellKind::Text: {
                if (strlen.kind != Value::Int) interp::read_size_not_integer(strlen);
                std::string v =
                    read_text(cur, static_cast<int64_t>(strlen.i), file_size, c.cells != nullptr);
                if (c.cells) {
                    spend_cells(budget, sub_offset, rows,
                                kKeptCellCost + static_cast<int64_t>(v.size()));
                    poll_interrupt(static_cast<int64_t>(v.size()));
                    c.cells->emplace_back(CellText{&table.texts.emplace_back(std::move(v))});
                }
                break;
            }
            case CellKind::Unknown:
                spend_cells(budget, sub_offset, rows, kWarningCost);
                on_unknown(c.type_code);
                // Nothing was read for the cell; None keeps the column in step.
                if (c.cells) c.cells->emplace_back(std::monostate{});
                break;
            }
        }
    }
}

} // namespace

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
    OutputBudget budget(file_size);
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
                    spend_cells(budget, sub_offset, effect.rows, kWarningCost);
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
        read_table(cur, file_size, sub_offset, p, wanted, table, on_unknown, budget, effect);
        done.emplace(sub_offset, std::move(effect));
    }
    return table;
}

} // namespace vesk
