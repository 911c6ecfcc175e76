// Parameter blocks: runs of keyed records ending with the key END.
//
// A record is a 4-byte key (UTF-8, NULs stripped at both ends), an int16 type
// code, an int16 size in 16-bit words and the value: int32 (type 0), float64
// (type 1) or text of 2*size bytes cut at its first NUL (types 2, 3, 4). Text
// stays undecoded here; the binding decodes it. A repeated key keeps its
// first place and its last value.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "veskread/container/byte_source.h"
#include "veskread/container/interpreter_rules.h"

namespace vesk {

struct ParamText {
    std::string bytes; // cut before the first NUL, not decoded
    bool operator==(const ParamText&) const = default;
};

using ParamValue = std::variant<int32_t, double, ParamText>;

class ParamBlock {
public:
    // Inserts or overwrites; a new key goes last.
    void set(std::string key, ParamValue value);
    // Dictionary update: other's keys overwrite ours, new keys go last.
    void update(const ParamBlock& other);
    void update(const std::vector<std::pair<std::string, ParamValue>>& records);
    void update(std::vector<std::pair<std::string, ParamValue>>&& records);

    const ParamValue* find(const std::string& key) const;
    bool contains(const std::string& key) const { return find(key) != nullptr; }
    // Throws Error(MissingKey) when absent.
    const ParamValue& at(const std::string& key) const;

    const std::vector<std::pair<std::string, ParamValue>>& entries() const { return entries_; }
    size_t size() const { return entries_.size(); }

private:
    // Most blocks hold a few records, which a scan finds sooner than a hash
    // does; the index is built once a block grows past kIndexFrom entries.
    static constexpr size_t kIndexFrom = 16;
    static constexpr size_t kAbsent = ~size_t(0);
    size_t position(const std::string& key) const;

    std::vector<std::pair<std::string, ParamValue>> entries_;
    std::unordered_map<std::string, size_t> index_; // empty until kIndexFrom
};

// The records of one block in file order, repeats included.
using ParamRecords = std::vector<std::pair<std::string, ParamValue>>;

// Reads the block at `offset` from `cur`, leaving the cursor after END's key.
// Errors: ShortRead (file ends first), UnknownParamType, KeyNotUtf8,
// NegativeReadLength (a text size below zero), NegativeSeek, and Value for
// more records than a file of its size may build (output_limit).
ParamBlock read_param_block(Cursor& cur, int64_t offset);
// The same, as the records stand (no lookup structure).
ParamRecords read_param_records(Cursor& cur, int64_t offset);
// With `spent`, the bytes that the records read so far by the same call are
// reckoned to build, to which this block's records are added: the limit is
// on their sum.
ParamRecords read_param_records(Cursor& cur, int64_t offset, size_t& spent);

// Parameter blocks read over a whole listing: each once, however many keys
// name it, and all the records read held to one file's bound, so that keys
// naming runs of one huge block cannot each build it again.
class ParamRecordCache {
public:
    const ParamRecords& records_at(Cursor& cur, int64_t offset);

private:
    std::unordered_map<int64_t, ParamRecords> read_;
    size_t spent_ = 0;
};

// Numeric views of a value, as Python would use an int or float parameter.
// Throw Error(WrongType) for text.
int64_t param_as_int(const ParamValue& v, const std::string& key);
double param_as_double(const ParamValue& v);

// The value as the interpreter would hold it (for arithmetic on parameters).
interp::Value as_value(const ParamValue& v);

} // namespace vesk
