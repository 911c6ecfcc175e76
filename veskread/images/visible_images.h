// The visible-image block: its image directory and the image sub-blocks.
//
// The first directory entry with extendType 20 holds all pictures. Image
// directory parameter blocks (found by the "BID" record within 16 bytes of
// where the scan stands) give NRP, the image count, and per image key kk the
// sub-block offset Fkk (from the block start) and size Zkk; the scan jumps
// from the end of the last image known so far to the next directory block.
// Each sub-block is a parameter block (attributes, SIZ, T00, F00) followed by
// a data area holding the image bytes.
//
// Offsets and sizes come from parameter values, which may be floats or text;
// arithmetic on them follows the interpreter's rules (interpreter_rules.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "veskread/container/byte_source.h"
#include "veskread/container/directory.h"
#include "veskread/container/output_budget.h"
#include "veskread/extract/param_block.h"

namespace vesk {

struct VisibleImageBlock {
    int64_t offset;        // byteOffset of the entry
    int64_t size_in_words; // as stored; the block is 4 * size_in_words bytes
};

// The first entry with extendType 20, if any.
std::optional<VisibleImageBlock> find_visible_image_block(const std::vector<DirEntry>& directory);

// An offset in the arithmetic of the parameters it is built from: an int
// (exact, wider than a file offset) or a float.
using Number = interp::Value;

// a + b; text is a TypeError ("unsupported operand type(s) for +: ...").
Number add(const Number& a, const ParamValue& b);
// Number as a file position: a float is a TypeError, a value beyond 64 bits
// an OffsetOverflow (negative positions are refused by the cursor).
int64_t seek_position(const Number& n);

// The union of the image directory blocks (later values win). Ends quietly
// when no "BID" is found, or when the chain comes back to a state it has
// already been in (it would otherwise repeat without end).
ParamBlock read_image_directory(Cursor& cur, const VisibleImageBlock& block);

// NRP as the end of the image range.
int64_t image_count(const ParamBlock& directory);

struct ImageSubBlock {
    Number start;      // block offset + Fkk
    ParamBlock params; // attributes and layout keys
};

// Reads the parameter block of the image with key `key`.
ImageSubBlock read_image_params(Cursor& cur, const VisibleImageBlock& block,
                                const ParamBlock& directory, const std::string& key);

// Sub-blocks parsed once per position: keys that name the same sub-block
// share its parameters. What is parsed is charged to `budget`, so that
// overlapping sub-blocks cannot make the same bytes count without end.
class SubBlockCache {
public:
    explicit SubBlockCache(OutputBudget& budget) : budget_(budget) {}
    const ImageSubBlock& get(Cursor& cur, const VisibleImageBlock& block,
                             const ParamBlock& directory, const std::string& key);

private:
    OutputBudget& budget_;
    std::unordered_map<int64_t, ImageSubBlock> by_start_;
};

// Seeks to the data area (SIZ); when T00 is 9, on to the image bytes (F00)
// and returns true.
bool seek_image_bytes(Cursor& cur, const ImageSubBlock& sub);

// Images of type 258 carry a header of this many bytes before the picture.
constexpr int64_t kImageType258 = 258;
constexpr size_t kType258Header = 14;

// How many of `count` bytes the file holds from the cursor on; -1 means to
// the end, below -1 is a NegativeReadLength. `size_seen`, a size the file
// had earlier in the call (-1: none), spares asking again for a count that
// fits in it; should the file have shrunk since, the read comes up short.
int64_t image_bytes_available(const Cursor& cur, int64_t count, int64_t size_seen = -1);
// Those bytes, read from the cursor.
std::string read_image_bytes(Cursor& cur, int64_t count);

} // namespace vesk
