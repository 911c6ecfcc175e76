// Naming the data blocks of a directory.
//
// Every data block (paramType 0) is named by (type name, "2D"/"3D",
// derivative) from its fields. Blocks are gathered in four passes (spectrum,
// sample, reference, then trace blocks), so a trace block with a listable
// sample type is named twice; blocks whose code names nothing are skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "veskread/container/directory.h"

namespace vesk {

struct DataBlockKey {
    std::string type;
    std::string dimensions;
    std::string derivative;
    bool operator==(const DataBlockKey&) const = default;
};

// A key by its parts, all static text; `type_id` tells type names apart
// (equal ids, equal type text), so that callers can share one copy of each.
struct DataBlockName {
    const char* prefix; // "", "S" or "R"
    const char* name;
    const char* suffix; // "" or "-CH2"
    const char* dimensions;
    const char* derivative;
    int type_id;       // 0 .. kTypeIds - 1
    int dimensions_id; // 0 "2D", 1 "3D"
    int derivative_id; // 0 .. 3
};
constexpr int kTypeIds = 3 * 20 * 2;

// Every key has a slot, (type_id * 2 + dimensions_id) * 4 + derivative_id,
// so that a caller can keep one copy of each key it has made.
constexpr int kContentKeySlots = kTypeIds * 2 * 4;
DataBlockName content_key_name(int slot);

// Throws Error(IndexOutOfRange) for a listable block whose code has no name
// (the name table indexed past its end).
std::vector<uint16_t> list_content_slots(const std::vector<DirEntry>& directory);
std::vector<DataBlockName> list_content_names(const std::vector<DirEntry>& directory);
std::vector<DataBlockKey> list_contents(const std::vector<DirEntry>& directory);

} // namespace vesk
