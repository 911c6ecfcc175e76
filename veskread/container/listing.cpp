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

std::optional<DataBlockKey> translate_block(const BlockType& db, const char* prefix) {
    if (db.param_type != 0) return std::nullopt;
    int dtype = db.data_type;
    const char* suffix = "";
    if (dtype > kSecondChannel) {
        dtype -= kSecondChannel;
        suffix = "-CH2";
    }
    if (dtype >= static_cast<int>(kDataTypes.size()))
        interp::list_index_out_of_range(); // the name table indexed past its end
    const char* name = kDataTypes[static_cast<size_t>(dtype)];
    if (!name) return std::nullopt;
    return DataBlockKey{std::string(prefix) + name + suffix,
                        db.extend_type == kExtend3D ? "3D" : "2D",
                        kDerivatives[static_cast<size_t>(db.deriv_type)]};
}

} // namespace

std::vector<DataBlockKey> list_contents(const std::vector<DirEntry>& directory) {
    std::vector<DataBlockKey> out;
    auto pass = [&](auto&& keep, const char* prefix) {
        for (const auto& e : directory)
            if (keep(e.type))
                if (auto k = translate_block(e.type, prefix)) out.push_back(std::move(*k));
    };
    pass([](const BlockType& t) { return t.sample_type == 3; }, "");
    pass([](const BlockType& t) { return t.sample_type == 1; }, "S");
    pass([](const BlockType& t) { return t.sample_type == 2; }, "R");
    pass([](const BlockType& t) { return t.data_type == kTraceDataType; }, "");
    return out;
}

} // namespace vesk
