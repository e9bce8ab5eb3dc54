#include "image/Images.h"

namespace quillet {

std::array<uint8_t, kProgramImageSize> ProgramImage{};
std::array<uint8_t, kDataImageSize> DataImage{};

}  // namespace quillet
