// Every listed data block of a file, outlined without reading its values:
// what a package that describes a file before reading it needs in one pass.
#pragma once

#include <optional>
#include <vector>

#include "veskread/container/byte_source.h"
#include "veskread/container/errors.h"
#include "veskread/container/listing.h"
#include "veskread/extract/block_outline.h"

namespace vesk {

struct ListedBlock {
    DataBlockKey key;
    std::optional<BlockOutline> outline; // set where reading the block would succeed
    std::optional<Error> problem;        // otherwise, the error reading would end with,
    ParamBlock problem_parameters;       // and the parameters, where they could be read
};

struct FileOutline {
    std::vector<ListedBlock> blocks; // in listing order, repeated keys included
    std::optional<Error> failure;    // the file itself cannot be listed
    bool is_vesk = true;
    bool out_of_memory = false;
};

// Never throws: input errors of a block go to its `problem`, those of the file
// (and I/O errors, which no block can be said to cause) to `failure`.
FileOutline outline_file(const ByteSource& src);

} // namespace vesk
