// Image type from the first bytes of an image.
//
// Knows four formats by their signatures, tested in a fixed order: JPEG (JFIF
// or Exif marker at bytes 6-9, or a quantisation-table start), PNG, GIF
// (87a/89a) and BMP. Comparisons are exact; a short input simply fails the
// tests that need more bytes.
#pragma once

#include <string_view>

namespace vesk {

// "jpeg", "png", "gif", "bmp", or nullptr when no signature matches.
const char* sniff_image_type(std::string_view h);

} // namespace vesk
