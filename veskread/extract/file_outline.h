// Every listed data block of a file, outlined without reading its values:
// what a package that describes a file before reading it needs in one pass.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "veskread/container/byte_source.h"
#include "veskread/container/errors.h"
#include "veskread/container/listing.h"
#include "veskread/extract/block_outline.h"

namespace vesk {

struct ListedBlock {
    DataBlockKey key;
    // Set where reading the block would succeed, or where only a parameter
    // block that the end of the file cuts short stops it (parameters_cut_at);
    // its parameters are moved to `parameters`.
    std::optional<BlockOutline> outline;
    std::optional<Error> problem; // otherwise, the error reading would end with
    // The merged parameters, or for a problem those that could be read (none
    // when they are the problem). Blocks with equal parameters share them:
    // a file may name one large parameter block from every key it lists.
    std::shared_ptr<const ParamBlock> parameters;
    // A problem's parameters that stop at a parameter block the end of the
    // file cuts short, or a damaged record ends: its offset, or -1; and for a
    // damaged record, its error.
    int64_t parameters_cut_at = -1;
    std::string parameters_damage;
};

struct FileOutline {
    std::vector<ListedBlock> blocks; // each key once, in the order first listed
    std::optional<Error> failure;    // the file itself cannot be listed
    bool is_vesk = true;
    bool out_of_memory = false;
};

// Never throws: input errors of a block go to its `problem`, those of the file
// (and I/O errors, which no block can be said to cause) to `failure`.
FileOutline outline_file(const ByteSource& src);

} // namespace vesk
