// Choosing a data block and its parameter blocks.
//
// A data block key (type name, "2D"/"3D", derivative) is checked against the
// fixed tables, then one pass over the directory finds, last qualifying entry
// winning, the data block, its parameter block, the underived parameter block
// and the acquisition, instrument, optics, sample, Fourier-transform and
// annotation blocks. The merge reads the parameter blocks in a fixed order,
// later ones overwriting earlier keys.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "veskread/container/directory.h"
#include "veskread/extract/param_block.h"

namespace vesk {

struct BlockRequest {
    int data = 0;       // required dataType
    int sample = -1;    // required sampleType, -1 for any
    int extend = 0;     // 10 for "3D", 0 for "2D"
    int derivative = 0; // required derivType
};

// Key errors, in the order the checks run; nullopt when the key is valid.
// `type`, `dimensions` and `deriv` are already upper-cased.
enum class KeyProblem { None, Dimensions, DataBlockType, Derivative };
KeyProblem check_key(const std::string& type, const std::string& dimensions,
                     const std::string& deriv);
// A key problem's message is prefix + the offending element + suffix.
struct KeyProblemText {
    const char* prefix;
    const char* suffix;
};
KeyProblemText key_problem_text(KeyProblem p);
// The message for a key problem whose elements are text.
std::string key_problem_message(KeyProblem p, const std::string& type,
                                const std::string& dimensions, const std::string& deriv);
// The request for a valid key.
BlockRequest request_for(const std::string& type, const std::string& dimensions,
                         const std::string& deriv);

// -1 marks a block that was not found.
struct BlockOffsets {
    int64_t data = -1;
    int64_t data_words = -1; // the data block's length as its entry gives it
    int64_t params = -1;
    int64_t original_params = -1;
    int64_t acq_params = -1;
    int64_t inst_params = -1;
    int64_t optics_params = -1;
    int64_t sample_params = -1;
    int64_t ft_params = -1;
    int64_t anno = -1;
};

BlockOffsets scan_directory(const std::vector<DirEntry>& directory, const BlockRequest& req);

// The data parameters updated by the acquisition, instrument, optics, sample
// and Fourier-transform blocks that were found, in that order.
ParamBlock merge_parameters(Cursor& cur, const BlockOffsets& offsets);
// The same from the blocks a listing has read (each read once), shared with
// the keys before that merged the same blocks; `cut` and `cut_at` as for
// ParamRecordCache::merge.
std::shared_ptr<const ParamBlock> merge_parameters(Cursor& cur, const BlockOffsets& offsets,
                                                   ParamRecordCache& cache,
                                                   CutParameters cut = CutParameters::Refuse,
                                                   int64_t* cut_at = nullptr);
// The blocks that merge reads, in its order, as their records stand.
std::vector<ParamRecords> read_parameter_blocks(Cursor& cur, const BlockOffsets& offsets);
ParamBlock merge_parameters(const std::vector<ParamRecords>& blocks);

} // namespace vesk
