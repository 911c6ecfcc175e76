#include "veskread/container/listing.h"

#include <array>

#include "veskread/container/interpreter_rules.h"

namespace vesk {

namespace {

constexpr std::array<const char*, 20> kDataTypes = {
    nullptr, "SC",   "IFG",  "PH",    "AB",  "TR",    "KM",  "TRC", nullptr, nullptr,
    "RAM",   "EMIS", "REFL", nullptr, "POW", "LREFL", "ATR", "PAS", "TRARI", "ABARI"};
constexpr std::array<const char*, 4> kDerivatives = {"NONE", "1DER", "2DER", "NDER"};
constexpr const char* kPrefixes[] = {"", "S", "R"};

// The slot of a data block's key under `prefix`; -1 for a parameter block
// or a code that names nothing.
int slot_of(const BlockType& db, int prefix) {
    if (db.param_type != 0) return -1;
    int dtype = db.data_type;
    bool second = dtype > kSecondChannel;
    if (second) dtype -= kSecondChannel;
    if (dtype >= static_cast<int>(kDataTypes.size()))
        interp::list_index_out_of_range(); // the name table indexed past its end
    if (!kDataTypes[static_cast<size_t>(dtype)]) return -1;
    int type_id = (prefix * 20 + dtype) * 2 + (second ? 1 : 0);
    return (type_id * 2 + (db.extend_type == kExtend3D ? 1 : 0)) * 4 + db.deriv_type;
}

} // namespace

DataBlockName content_key_name(int slot) {
    int derivative_id = slot % 4;
    int dimensions_id = slot / 4 % 2;
    int type_id = slot / 8;
    int second = type_id % 2;
    int dtype = type_id / 2 % 20;
    int prefix = type_id / 40;
    return DataBlockName{kPrefixes[prefix],
                         kDataTypes[static_cast<size_t>(dtype)],
                         second ? "-CH2" : "",
                         dimensions_id ? "3D" : "2D",
                         kDerivatives[static_cast<size_t>(derivative_id)],
                         type_id,
                         dimensions_id,
                         derivative_id};
}

std::vector<uint16_t> list_content_slots(const std::vector<DirEntry>& directory) {
    std::vector<uint16_t> out;
    out.reserve(directory.size()); // trace blocks may add a few more
    auto pass = [&](auto&& keep, int prefix) {
        for (const auto& e : directory)
            if (keep(e.type))
                if (int slot = slot_of(e.type, prefix); slot >= 0)
                    out.push_back(static_cast<uint16_t>(slot));
    };
    pass([](const BlockType& t) { return t.sample_type == 3; }, 0);
    pass([](const BlockType& t) { return t.sample_type == 1; }, 1);
    pass([](const BlockType& t) { return t.sample_type == 2; }, 2);
    pass([](const BlockType& t) { return t.data_type == kTraceDataType; }, 0);
    return out;
}

std::vector<DataBlockName> list_content_names(const std::vector<DirEntry>& directory) {
    std::vector<DataBlockName> out;
    for (uint16_t slot : list_content_slots(directory)) out.push_back(content_key_name(slot));
    return out;
}

std::vector<DataBlockKey> list_contents(const std::vector<DirEntry>& directory) {
    std::vector<DataBlockKey> out;
    for (const auto& n : list_content_names(directory))
        out.push_back({std::string(n.prefix) + n.name + n.suffix, n.dimensions, n.derivative});
    return out;
}

} // namespace vesk
