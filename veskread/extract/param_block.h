// Parameter blocks: runs of keyed records ending with the key END.
//
// A record is a 4-byte key (UTF-8, NULs stripped at both ends), an int16 type
// code, an int16 size in 16-bit words and the value: int32 (type 0), float64
// (type 1) or text of 2*size bytes cut at its first NUL (types 2, 3, 4). Text
// stays undecoded here; the binding decodes it. A repeated key keeps its
// first place and its last value.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "veskread/container/byte_source.h"
#include "veskread/container/errors.h"
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
// on their sum. With `cut`, a block that the end of the file cuts short, or
// that a damaged record ends (ends_records), gives its records before the
// cut (a text cut short is not one of them), and `cut` the error that
// reading it whole ends with.
// With `damage` too, a damaged record's error in words that name its key and
// offset where reading's own do not.
ParamRecords read_param_records(Cursor& cur, int64_t offset, size_t& spent,
                                std::optional<Error>* cut = nullptr, std::string* damage = nullptr);

// Whether an error of reading a parameter block's records ends them there:
// the end of the file, or a record whose type, key or size no record has
// (a damaged byte), past which no record can be found. Where a damaged byte
// is met, the records before it may be misread too: a type or size damaged
// earlier reads on from the wrong place, which a later record shows.
bool ends_records(ErrorKind kind);

// What a merge does with a parameter block that the end of the file cuts
// short or a damaged record ends: refuse it as reading does, or keep the
// records before the cut, and none of a damaged block.
enum class CutParameters { Refuse, KeepRead };

// Parameter blocks read over a whole listing: each once, however many keys
// name it, and all the records read held to one file's bound, so that keys
// naming runs of one huge block cannot each build it again. Keys that merge
// the same blocks share one merge; the merges of different blocks, which the
// listing keeps, are held to a bound of their own, so that keys naming one
// huge block with a small one each cannot each keep a copy of it.
class ParamRecordCache {
public:
    // `block_starts`: where the directory's blocks begin. A block whose
    // records run from before one of them to the end of the file was not
    // cut short but misread (a damaged type or size): it counts as damaged.
    explicit ParamRecordCache(std::vector<int64_t> block_starts = {});
    // Whether an earlier key merged the blocks at `offsets`.
    bool has_merged(const std::vector<int64_t>& offsets) const;
    // The blocks at `offsets` read and merged in order (Value error past the
    // merges' bound). A block the end of the file cuts short throws as
    // reading does, or under KeepRead gives its records before the cut and
    // its offset to `cut_at` (-1 when none is cut); a damaged block gives
    // no records.
    std::shared_ptr<const ParamBlock> merge(Cursor& cur, const std::vector<int64_t>& offsets,
                                            CutParameters cut = CutParameters::Refuse,
                                            int64_t* cut_at = nullptr);
    // Reckons a changed copy of `params` against the merges' bound.
    void spend_copy(const ParamBlock& params, int64_t file_size, int64_t at);
    // Why the block at `at`, which a merge kept cut, is damaged rather than
    // cut short: what is wrong with it; empty for the end of the file.
    std::string damage(int64_t at) const;

private:
    struct Read {
        ParamRecords records;
        size_t bytes;             // as read_param_records reckons them
        std::optional<Error> cut; // the end of the file cuts the block short
        std::string damage;       // or a damaged byte ends it: its records are dropped
    };
    struct Merge {
        std::shared_ptr<const ParamBlock> params;
        int64_t cut_at; // the first block cut short, or -1
    };
    const Read& read_at(Cursor& cur, int64_t offset);
    void spend_merge(size_t bytes, int64_t file_size, int64_t at);

    std::vector<int64_t> block_starts_; // sorted
    std::unordered_map<int64_t, Read> read_;
    std::map<std::vector<int64_t>, Merge> merged_;
    size_t spent_ = 0;
    size_t merges_spent_ = 0;
};

// Numeric views of a value, as Python would use an int or float parameter.
// Throw Error(WrongType) for text.
int64_t param_as_int(const ParamValue& v, const std::string& key);
double param_as_double(const ParamValue& v);

// The value as the interpreter would hold it (for arithmetic on parameters).
interp::Value as_value(const ParamValue& v);

} // namespace vesk
