// The block-type word of a directory entry and its six bit fields.
//
// Fields are extracted with an arithmetic shift and a mask, so a negative word
// (read from a signed field) gives the fields of its two's-complement bits.
#pragma once

#include <array>
#include <cstdint>

namespace vesk {

struct BlockType {
    int complex_type = 0; // bits 0-1, not acted on
    int sample_type = 0;  // bits 2-3: 1 sample, 2 reference, 3 spectrum
    int param_type = 0;   // bits 4-9: 0 data, 1 its parameters, 2/3/4/6/10 others
    int data_type = 0;    // bits 10-16: kind of data, +32 for the second channel
    int deriv_type = 0;   // bits 17-18
    int extend_type = 0;  // bits 19-25: 10 3D, 11 annotation, 20 images, 64 ext. dir

    std::array<int, 6> fields() const {
        return {complex_type, sample_type, param_type, data_type, deriv_type, extend_type};
    }
};

inline BlockType decode_block_type(int64_t word) {
    return BlockType{static_cast<int>((word >> 0) & 3),  static_cast<int>((word >> 2) & 3),
                     static_cast<int>((word >> 4) & 63), static_cast<int>((word >> 10) & 127),
                     static_cast<int>((word >> 17) & 3), static_cast<int>((word >> 19) & 127)};
}

constexpr int kExtend3D = 10;
constexpr int kExtendAnnotation = 11;
constexpr int kExtendVisibleImages = 20;
constexpr int kExtendExtendedDirectory = 64;
constexpr int kSecondChannel = 32;
constexpr int kTraceDataType = 7;

} // namespace vesk
