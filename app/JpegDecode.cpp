#include "app/JpegDecode.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace quillet {
namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

// libjpeg's default handler exits the process; return to the decoder instead.
[[noreturn]] void OnError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void OnMessage(j_common_ptr) {}  // warnings of a damaged file are not ours to print

// Kept free of C++ objects with destructors, so the jump back skips nothing.
bool Decode(std::FILE* file, RgbImage* image) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnError;
  errors.base.output_message = OnMessage;
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  if (info.output_components != 3 || info.output_width == 0 || info.output_height == 0 ||
      info.output_width > 8192 || info.output_height > 8192) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  image->width = static_cast<int>(info.output_width);
  image->height = static_cast<int>(info.output_height);
  image->pixels.assign(static_cast<size_t>(image->width) * image->height * 3, 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image->pixels.data() + static_cast<size_t>(info.output_scanline) * image->width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

bool DecodeJpegFile(const std::string& path, RgbImage& image) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  RgbImage decoded;
  const bool ok = Decode(file, &decoded);
  std::fclose(file);
  if (ok) image = std::move(decoded);
  return ok;
}

}  // namespace quillet
