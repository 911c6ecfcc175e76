#include "veskread/images/image_sniff.h"

namespace vesk {

namespace {

// h[from:to] == want, with Python's clamping of slices that run off the end.
bool slice_equals(std::string_view h, size_t from, size_t to, std::string_view want) {
    if (from >= h.size()) return want.empty();
    return h.substr(from, to - from) == want;
}

} // namespace

const char* sniff_image_type(std::string_view h) {
    using namespace std::string_view_literals;
    if (slice_equals(h, 6, 10, "JFIF"sv) || slice_equals(h, 6, 10, "Exif"sv)) return "jpeg";
    if (slice_equals(h, 0, 4, "\xFF\xD8\xFF\xDB"sv)) return "jpeg";
    if (h.starts_with("\x89PNG\r\n\x1A\n"sv)) return "png";
    if (slice_equals(h, 0, 6, "GIF87a"sv) || slice_equals(h, 0, 6, "GIF89a"sv)) return "gif";
    if (h.starts_with("BM"sv)) return "bmp";
    return nullptr;
}

} // namespace vesk
