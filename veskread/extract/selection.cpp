#include "veskread/extract/selection.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace vesk {

namespace {

struct TypeRow {
    std::string_view name;
    int data;
    int sample;
};

// First-channel types; each has a second-channel twin "<name>-CH2" at data + 32.
constexpr std::array<TypeRow, 20> kTypes = {{
    {"REFL", 12, -1},  {"RAM", 10, -1}, {"SPOW", 14, 1},   {"RPOW", 14, 2}, {"RPH", 3, 2},
    {"SPH", 3, 1},     {"PAS", 17, -1}, {"LREFL", 15, -1}, {"KM", 6, -1},   {"SIFG", 2, 1},
    {"RIFG", 2, 2},    {"TR", 5, -1},   {"EMIS", 11, -1},  {"ATR", 16, -1}, {"TRARI", 18, -1},
    {"ABARI", 19, -1}, {"AB", 4, -1},   {"TRC", 7, -1},    {"SSC", 1, 1},   {"RSC", 1, 2},
}};

constexpr std::array<std::string_view, 4> kDerivs = {"NONE", "1DER", "2DER", "NDER"};

const TypeRow* find_type(std::string_view name, bool& second_channel) {
    second_channel = false;
    constexpr std::string_view kSuffix = "-CH2";
    if (name.size() > kSuffix.size() && name.substr(name.size() - kSuffix.size()) == kSuffix) {
        name.remove_suffix(kSuffix.size());
        second_channel = true;
    }
    for (const auto& row : kTypes)
        if (row.name == name) return &row;
    return nullptr;
}

int find_deriv(std::string_view name) {
    for (size_t i = 0; i < kDerivs.size(); ++i)
        if (kDerivs[i] == name) return static_cast<int>(i);
    return -1;
}

} // namespace

KeyProblem check_key(const std::string& type, const std::string& dimensions,
                     const std::string& deriv) {
    if (dimensions != "2D" && dimensions != "3D") return KeyProblem::Dimensions;
    bool ch2;
    if (!find_type(type, ch2)) return KeyProblem::DataBlockType;
    if (find_deriv(deriv) < 0) return KeyProblem::Derivative;
    return KeyProblem::None;
}

KeyProblemText key_problem_text(KeyProblem p) {
    switch (p) {
    case KeyProblem::Dimensions:
        return {"Incorrect dimensions: ", ". Dimensions need to be either 2D or 3D"};
    case KeyProblem::DataBlockType:
        return {"Invalid data block type: ",
                ". Please enter a valid entry from the following: REFL, RAM, SPOW, RPOW, SPH, RPH, "
                "PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, TRARI, ABARI, AB, TRC, SSC, RSC"};
    case KeyProblem::Derivative:
        return {"Invalid deriv type: ",
                ".  Please select from the following: 1DER, 2DER, NDER or NONE"};
    case KeyProblem::None:
        break;
    }
    return {"", ""};
}

std::string key_problem_message(KeyProblem p, const std::string& type,
                                const std::string& dimensions, const std::string& deriv) {
    if (p == KeyProblem::None) return {};
    const std::string& element = p == KeyProblem::Dimensions      ? dimensions
                                 : p == KeyProblem::DataBlockType ? type
                                                                  : deriv;
    KeyProblemText text = key_problem_text(p);
    return text.prefix + element + text.suffix;
}

BlockRequest request_for(const std::string& type, const std::string& dimensions,
                         const std::string& deriv) {
    bool ch2;
    const TypeRow* row = find_type(type, ch2);
    if (!row) throw_value("unknown data block type " + type);
    BlockRequest r;
    r.data = row->data + (ch2 ? kSecondChannel : 0);
    r.sample = row->sample;
    r.extend = dimensions == "3D" ? kExtend3D : 0;
    r.derivative = find_deriv(deriv);
    return r;
}

BlockOffsets scan_directory(const std::vector<DirEntry>& directory, const BlockRequest& req) {
    BlockOffsets o;
    for (const auto& e : directory) {
        const BlockType& t = e.type;
        const int64_t at = e.byte_offset;
        const bool sample_ok = t.sample_type == req.sample || req.sample == -1;
        // Instrument and optics blocks: a generic block (sampleType 0) serves
        // sample requests and "any" requests, never reference ones.
        const bool aux_sample_ok = t.sample_type == req.sample ||
                                   (t.sample_type == 0 && (req.sample == 1 || req.sample == -1));
        if (t.data_type == req.data && t.deriv_type == req.derivative &&
            t.extend_type == req.extend && sample_ok) {
            if (t.param_type == 0) {
                o.data = at;
                o.data_words = e.size_in_words;
            } else if (t.param_type == 1)
                o.params = at;
        } else if (t.data_type == req.data && t.deriv_type == 0 && t.extend_type == req.extend &&
                   sample_ok) {
            if (t.param_type == 1) o.original_params = at;
        } else if (t.param_type == 3) {
            o.acq_params = at;
        } else if (t.param_type == 2) {
            if (aux_sample_ok) o.inst_params = at;
        } else if (t.param_type == 6) {
            if (aux_sample_ok) o.optics_params = at;
        } else if (t.param_type == 10) {
            o.sample_params = at;
        } else if (t.param_type == 4) {
            o.ft_params = at;
        } else if (t.extend_type == kExtendAnnotation) {
            o.anno = at;
        }
    }
    return o;
}

namespace {

// The data parameters, then the acquisition, instrument, optics, sample and
// Fourier-transform blocks that were found: the order merging follows.
std::vector<int64_t> parameter_offsets(const BlockOffsets& o) {
    std::vector<int64_t> out{o.params};
    for (int64_t at : {o.acq_params, o.inst_params, o.optics_params, o.sample_params, o.ft_params})
        if (at != -1) out.push_back(at);
    return out;
}

// The blocks mostly lie together: one read for all of them rather than a
// few growing ones. The last block's length is not known here; a typical
// block's is assumed, and reading runs on past it as usual.
void read_ahead_parameters(Cursor& cur, const std::vector<int64_t>& offsets) {
    constexpr int64_t kTypicalBlock = 1024;
    int64_t lo = offsets[0], hi = offsets[0];
    for (int64_t at : offsets)
        if (at >= 0) lo = std::min(lo, at), hi = std::max(hi, at);
    if (lo >= 0 && hi > lo && hi - lo < (int64_t(1) << 30))
        cur.read_ahead(lo, static_cast<size_t>(hi - lo + kTypicalBlock));
}

} // namespace

std::vector<ParamRecords> read_parameter_blocks(Cursor& cur, const BlockOffsets& o) {
    std::vector<int64_t> offsets = parameter_offsets(o);
    read_ahead_parameters(cur, offsets);
    // All of them are held at once: the limit on records is on their sum.
    size_t spent = 0;
    std::vector<ParamRecords> blocks;
    for (int64_t at : offsets) blocks.push_back(read_param_records(cur, at, spent));
    return blocks;
}

ParamBlock merge_parameters(const std::vector<ParamRecords>& blocks) {
    ParamBlock params;
    for (const auto& b : blocks) params.update(b);
    return params;
}

ParamBlock merge_parameters(Cursor& cur, const BlockOffsets& o) {
    return merge_parameters(read_parameter_blocks(cur, o));
}

std::shared_ptr<const ParamBlock> merge_parameters(Cursor& cur, const BlockOffsets& o,
                                                   ParamRecordCache& cache, CutParameters cut,
                                                   int64_t* cut_at) {
    std::vector<int64_t> offsets = parameter_offsets(o);
    if (!cache.has_merged(offsets)) read_ahead_parameters(cur, offsets);
    return cache.merge(cur, offsets, cut, cut_at);
}

} // namespace vesk
