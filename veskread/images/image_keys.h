// The keys that number the visible images inside parameter keys.
//
// Image i is "00".."99" for i < 100, then one run of capital letters:
// "AA".."AZ", "BA".."ZZ", "AAA", ... (i >= 100 is letter_index(i - 74)).
// Negative numbers keep their sign ("-1"), as a zero-padded decimal would.
#pragma once

#include <cstdint>
#include <string>

namespace vesk {

// 0 -> "A", 25 -> "Z", 26 -> "AA", 701 -> "ZZ", 702 -> "AAA". number >= 0.
std::string letter_index(int64_t number);

std::string image_key(int64_t number);

} // namespace vesk
