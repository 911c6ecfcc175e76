#include "veskread/container/listing.h"

#include <array>
#include <optional>

#include "veskread/container/interpreter_rules.h"

namespace vesk {

namespace {

constexpr std::array<const char*, 20> kDataTypes = {
    nullptr, "SC",   "IFG",  "PH",    "AB",  "TR",    "KM",  "TRC", nullptr, nullptr,
    "RAM",   "EMIS", "REFL", nullptr, "POW", "LREFL", "ATR", "PAS", "TRARI", "ABARI"};
constexpr std::array<const char*, 4> kDerivatives = {"NONE", "1DER", "2DER", "NDER"};

std::optional<DataBlockName> translate_block(const BlockType& db, int prefix) {
    static constexpr const char* kPrefixes[] = {"", "S", "R"};
    if (db.param_type != 0) return std::nullopt;
    int dtype = db.data_type;
    bool second = dtype > kSecondChannel;
    if (second) dtype -= kSecondChannel;
    if (dtype >= static_cast<int>(kDataTypes.size()))
        interp::list_index_out_of_range(); // the name table indexed past its end
    const char* name = kDataTypes[static_cast<size_t>(dtype)];
    if (!name) return std::nullopt;
    return DataBlockName{kPrefixes[prefix],
                         name,
                         second ? "-CH2" : "",
                         db.extend_type == kExtend3D ? "3D" : "2D",
                         kDerivatives[static_cast<size_t>(db.deriv_type)],
                         (prefix * 20 + dtype) * 2 + (second ? 1 : 0),
                         db.extend_type == kExtend3D ? 1 : 0,
                         db.deriv_type};
}

} // namespace

std::vector<DataBlockName> list_content_names(const std::vector<DirEntry>& directory) {
    std::vector<DataBlockName> out;
    out.reserve(directory.size()); // trace blocks may add a few more
    auto pass = [&](auto&& keep, int prefix) {
        for (const auto& e : directory)
            if (keep(e.type))
                if (auto k = translate_block(e.type, prefix)) out.push_back(*k);
    };
    pass([](const BlockType& t) { return t.sample_type == 3; }, 0);
    pass([](const BlockType& t) { return t.sample_type == 1; }, 1);
    pass([](const BlockType& t) { return t.sample_type == 2; }, 2);
    pass([](const BlockType& t) { return t.data_type == kTraceDataType; }, 0);
    return out;
}

std::vector<DataBlockKey> list_contents(const std::vector<DirEntry>& directory) {
    std::vector<DataBlockKey> out;
    for (const auto& n : list_content_names(directory))
        out.push_back({std::string(n.prefix) + n.name + n.suffix, n.dimensions, n.derivative});
    return out;
}

} // namespace vesk
