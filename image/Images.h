// The two memory images: byte address = index.
#pragma once

#include <array>
#include <cstdint>

namespace quillet {

constexpr uint32_t kProgramImageSize = 262144;
constexpr uint32_t kDataImageSize = 65536;

extern std::array<uint8_t, kProgramImageSize> ProgramImage;
extern std::array<uint8_t, kDataImageSize> DataImage;

}  // namespace quillet
