// Naming the data blocks of a directory.
//
// Every data block (paramType 0) is named by (type name, "2D"/"3D",
// derivative) from its fields. Blocks are gathered in four passes (spectrum,
// sample, reference, then trace blocks), so a trace block with a listable
// sample type is named twice; blocks whose code names nothing are skipped.
#pragma once

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

// Throws Error(IndexOutOfRange) for a listable block whose code has no name
// (the name table indexed past its end).
std::vector<DataBlockKey> list_contents(const std::vector<DirEntry>& directory);

} // namespace vesk
