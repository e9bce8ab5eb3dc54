// Decoding a JPEG file to 8-bit RGB with libjpeg. A damaged file is a false result, never
// an exit of the process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // width * height * 3 bytes, rows top to bottom
};

bool DecodeJpegFile(const std::string& path, RgbImage& image);

}  // namespace quillet
