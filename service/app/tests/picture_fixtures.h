// Test pictures made in memory: JPEGs written with libjpeg itself, BMPs and PPMs built
// byte by byte, and a decoder that reports what a JPEG holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fixtures {

using Bytes = std::vector<uint8_t>;
std::string AsString(const Bytes& b);
Bytes AsBytes(const std::string& s);

enum class Kind { Baseline, Progressive, Gray, Cmyk };

// The sample of component c at (x, y).
using Pattern = std::function<uint8_t(int x, int y, int c)>;
// A smooth gradient: component 0 grows with x, 1 with y, the rest stay mid-grey.
uint8_t Gradient(int x, int y, int c, int w, int h);

// A JPEG of the kind (3 components, or 1 for Gray, 4 for Cmyk) at quality 90.
Bytes MakeJpeg(int w, int h, Kind kind, const Pattern& pattern = nullptr);

// What a JPEG decodes to.
struct Decoded {
  bool ok = false;  // decoded without error or warning
  int width = 0, height = 0, components = 0;
  bool progressive = false;
  int densityUnit = 0, xDensity = 0, yDensity = 0;
  std::vector<std::string> app7;  // the APP7 markers' texts, in order
  Bytes pixels;                   // rows of width × components
  int At(int x, int y, int c) const { return pixels[(size_t(y) * width + x) * components + c]; }
};
Decoded DecodeJpeg(const Bytes& jpeg);

// A BMP file. bits 24: pixels are (r, g, b) per pattern. bits 8: pattern component 0
// is the palette index; palette holds (r, g, b) entries. headerSize 12, 40 or 64.
struct BmpSpec {
  int width = 4, height = 4;
  int bits = 24;
  uint32_t headerSize = 40;
  std::vector<uint32_t> palette;  // 0xRRGGBB
  int32_t colorsUsed = 0;         // written as it is (40/64 headers)
  int32_t xPerMetre = 0, yPerMetre = 0;
  uint32_t gapBytes = 0;  // extra bytes between the palette and the pixels
};
Bytes MakeBmp(const BmpSpec& spec, const Pattern& pattern);

// A binary PGM/PPM (P5/P6) with 1- or 2-byte samples, given as values.
Bytes MakePnm(char kind, int w, int h, int maxval, const std::vector<uint32_t>& samples,
              const std::string& headerComment = {});

// The byte offset of the SOF marker's height field, or 0 when there is none.
size_t SofOffset(const Bytes& jpeg);

}  // namespace fixtures
