// The public calls as the binding makes them, over the core alone: the same
// core steps in the same order, and the result arrays the binding would
// allocate (as plain vectors, or zero pages where it uses numpy's zeros).
// Where the binding would raise an exception the call just stops. Used by
// the whole-file targets so that the budget sees what a real call costs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "veskread/container/directory.h"
#include "veskread/extract/param_block.h"
#include "veskread/extract/selection.h"

namespace vesk::fuzz {

// Whether VESK_FUZZ_OPEN (a comma-separated list) names `name`: a class of
// amplification known to be open in the core, which the calls then stop
// short of instead of reporting, so that fuzzing can look for others.
bool open_class(const char* name);

// Every valid data block key: 20 types and their second channels, 2D and 3D,
// four derivatives.
struct Key {
    std::string type, dims, deriv;
};
const std::vector<Key>& all_keys();

// The directory, or nullopt where reading it fails.
std::optional<std::vector<DirEntry>> directory_of(const ByteSource& src);

// Block selection and parameter merge for `key`; nullopt when the block is
// missing or the merge fails.
struct Selected {
    BlockOffsets offsets;
    ParamBlock params;
};
std::optional<Selected> select(const ByteSource& src, const std::vector<DirEntry>& dir,
                               const Key& key);

// A parameter as a count the way the binding takes one (an int; a float or
// text refuses).
std::optional<int64_t> count_param(const ParamBlock& params, const char* key);

// getVeskData for a 2D key: x axis and values.
void read_2d(const ByteSource& src, const Selected& s);

// getVeskData for a 3D key: the store table, then an image map, a
// multiregion map or a time-resolved series, whichever the block is; blocks
// of a kind not in `kinds` stop after the store table.
enum KindMask { kImageMaps = 1, kMultiRegions = 2, kTimeResolved = 4, kAllKinds = 7 };
void read_3d(const ByteSource& src, const Selected& s, const Key& key, int kinds = kAllKinds);

// One getVeskData call, each under its own Budget, for every distinct block
// that the keys of `dims` ("2D" or "3D") select: keys that pick the same
// blocks and read them the same way run once.
void for_each_selected(const ByteSource& src, const std::vector<DirEntry>& dir, const char* dims,
                       const std::function<void(const Selected&, const Key&)>& read);

// The directory under a Budget of its own, as every whole-file call starts.
std::optional<std::vector<DirEntry>> budgeted_directory(const ByteSource& src);

// getVisImages.
void read_visible_images(const ByteSource& src, const std::vector<DirEntry>& dir);

} // namespace vesk::fuzz
