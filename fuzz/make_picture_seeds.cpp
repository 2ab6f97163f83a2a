// Writes the picture seeds of the thumbnail_decoder and bmp_ppm targets into the folder
// given (fuzz/corpus): small JPEGs of every kind, BMPs of every header and PPM/PGMs.
// Built on demand: cmake --build BUILD --target fuzz_make_picture_seeds.
#include <cstdio>
#include <fstream>
#include <string>

#include "picture_fixtures.h"

namespace {

using fixtures::Bytes;

void Write(const std::string& dir, const std::string& target, const std::string& name,
           const Bytes& data) {
  std::string path = dir + "/" + target + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) std::fprintf(stderr, "cannot write %s\n", path.c_str());
}

// The thumbnail_decoder input: mode, target width and height, the picture.
Bytes Thumb(uint8_t mode, int w, int h, const Bytes& picture) {
  Bytes b = {mode, static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w),
             static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h)};
  b.insert(b.end(), picture.begin(), picture.end());
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  using fixtures::Kind;
  Bytes baseline = fixtures::MakeJpeg(16, 12, Kind::Baseline);
  Bytes progressive = fixtures::MakeJpeg(24, 16, Kind::Progressive);
  Bytes gray = fixtures::MakeJpeg(9, 7, Kind::Gray);
  Bytes cmyk = fixtures::MakeJpeg(8, 8, Kind::Cmyk);

  fixtures::BmpSpec bmp24;
  bmp24.width = 5;
  bmp24.height = 3;
  fixtures::BmpSpec bmp8 = bmp24;
  bmp8.bits = 8;
  bmp8.palette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
  bmp8.colorsUsed = 4;
  fixtures::BmpSpec os2 = bmp24;
  os2.headerSize = 12;
  fixtures::BmpSpec v64 = bmp8;
  v64.headerSize = 64;
  v64.xPerMetre = v64.yPerMetre = 2835;
  v64.gapBytes = 6;
  auto index = [](int x, int y, int) { return static_cast<uint8_t>((x + y) % 4); };
  auto rgb = [](int x, int y, int c) { return static_cast<uint8_t>(x * 40 + y * 20 + c * 60); };
  Bytes b24 = fixtures::MakeBmp(bmp24, rgb);
  Bytes b8 = fixtures::MakeBmp(bmp8, index);
  Bytes bos2 = fixtures::MakeBmp(os2, rgb);
  Bytes b64 = fixtures::MakeBmp(v64, index);
  Bytes p6 = fixtures::MakePnm('6', 3, 2, 255, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                                16, 17, 18});
  Bytes p5 = fixtures::MakePnm('5', 3, 2, 1000, {0, 100, 200, 500, 999, 1000}, "a comment");
  Bytes p3 = fixtures::AsBytes("P3\n# text\n2 2\n15\n0 1 2 3 4 5\n6 7 8 9 10 11\n");
  Bytes p2 = fixtures::AsBytes("P2 3 1 255 0 128 255\n");

  Write(dir, "bmp_ppm", "bmp24", b24);
  Write(dir, "bmp_ppm", "bmp8", b8);
  Write(dir, "bmp_ppm", "bmp_os2", bos2);
  Write(dir, "bmp_ppm", "bmp_v64_density", b64);
  Write(dir, "bmp_ppm", "ppm_p6", p6);
  Write(dir, "bmp_ppm", "pgm_p5_16bit", p5);
  Write(dir, "bmp_ppm", "ppm_p3_text", p3);
  Write(dir, "bmp_ppm", "pgm_p2_text", p2);

  Write(dir, "thumbnail_decoder", "buffer_baseline", Thumb(0x00, 8, 6, baseline));
  Write(dir, "thumbnail_decoder", "buffer_progressive_comments", Thumb(0x02, 5, 16, progressive));
  Write(dir, "thumbnail_decoder", "buffer_gray_quality", Thumb(0x40, 9, 2, gray));
  Write(dir, "thumbnail_decoder", "buffer_cmyk", Thumb(0x00, 3, 3, cmyk));
  Write(dir, "thumbnail_decoder", "buffer_upscale_asked", Thumb(0x00, 400, 300, baseline));
  Write(dir, "thumbnail_decoder", "file_jpeg", Thumb(0x01, 4, 4, progressive));
  Write(dir, "thumbnail_decoder", "file_bmp24", Thumb(0x03, 2, 2, b24));
  Write(dir, "thumbnail_decoder", "file_bmp8", Thumb(0x03, 4, 1, b8));
  Write(dir, "thumbnail_decoder", "file_ppm_as_bmp", Thumb(0x03, 1, 1, p6));
  return 0;
}
