// vesk-info: what a VESK file holds, from the command line.
//
//   vesk-info FILE                     list the data blocks
//   vesk-info FILE TYPE DIM DERIV      print a block's merged parameters and,
//                                      for a 2D block, its x/y values
//
// Links only the Python-free core, so it doubles as a smoke test of it.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "veskread/container/listing.h"
#include "veskread/extract/float_values.h"
#include "veskread/extract/selection.h"

namespace {

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Printable form of a text parameter: ASCII as is, other bytes escaped.
std::string printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

int list_blocks(const vesk::ByteSource& src) {
    for (const auto& k : vesk::list_contents(vesk::read_directory(src)))
        std::printf("%s\t%s\t%s\n", k.type.c_str(), k.dimensions.c_str(), k.derivative.c_str());
    return 0;
}

int show_block(const vesk::ByteSource& src, const std::string& type, const std::string& dims,
               const std::string& deriv) {
    auto problem = vesk::check_key(type, dims, deriv);
    if (problem != vesk::KeyProblem::None) {
        std::fprintf(stderr, "%s\n", vesk::key_problem_message(problem, type, dims, deriv).c_str());
        return 2;
    }
    auto offsets =
        vesk::scan_directory(vesk::read_directory(src), vesk::request_for(type, dims, deriv));
    if (offsets.data == -1 || offsets.params == -1) {
        std::fprintf(stderr, "No data block exists in the file for: %s %s %s\n", type.c_str(),
                     dims.c_str(), deriv.c_str());
        return 1;
    }
    vesk::Cursor cur(src);
    vesk::ParamBlock params = vesk::merge_parameters(cur, offsets);
    for (const auto& [key, value] : params.entries()) {
        if (auto* i = std::get_if<int32_t>(&value))
            std::printf("%s = %d\n", key.c_str(), *i);
        else if (auto* d = std::get_if<double>(&value))
            std::printf("%s = %.17g\n", key.c_str(), *d);
        else
            std::printf("%s = '%s'\n", key.c_str(),
                        printable(std::get<vesk::ParamText>(value).bytes).c_str());
    }
    if (dims != "2D") return 0;
    int64_t npt = vesk::param_as_int(params.at("NPT"), "NPT");
    double fxv = vesk::param_as_double(params.at("FXV"));
    double lxv = vesk::param_as_double(params.at("LXV"));
    if (npt < 0) {
        std::fprintf(stderr, "negative NPT %" PRId64 "\n", npt);
        return 1;
    }
    size_t n = vesk::float32_values_available(src, offsets.data, static_cast<size_t>(npt));
    std::vector<float> y(n);
    n = vesk::read_float32_at(src, offsets.data, y.data(), n);
    for (size_t i = 0; i < n; ++i) {
        double x = npt == 1 ? fxv : fxv + (lxv - fxv) * static_cast<double>(i) / double(npt - 1);
        std::printf("%.10g\t%.9g\n", x, static_cast<double>(y[i]));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5) {
        std::fprintf(stderr, "usage: %s FILE [TYPE DIM DERIV]\n", argv[0]);
        return 2;
    }
    int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    int rc = 1;
    try {
        vesk::FdSource src(fd);
        if (!vesk::has_vesk_magic(src)) {
            std::fprintf(stderr, "Can't process a non-Vesk file\n");
        } else {
            rc = argc == 2 ? list_blocks(src)
                           : show_block(src, upper(argv[2]), upper(argv[3]), upper(argv[4]));
        }
    } catch (const vesk::Error& e) {
        std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
    }
    ::close(fd);
    return rc;
}
