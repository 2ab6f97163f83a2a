// The BMP and PPM/PGM readers of the converter: fuzzed bytes as the picture, converted in
// memory. What the converter makes must be a JPEG the thumbnailer reads at the size the
// header gave.
#include <vector>

#include "app/bmp_to_jpeg.h"
#include "app/thumbnail.h"
#include "fuzz_support.h"
#include "picture_fuzzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::LogToNull();
  FILE* in = fuzz::OpenBytes(data, size);
  if (in == nullptr) return 0;
  ConvertLimits limits;
  limits.maxPixels = fuzz::kPictureMaxPixels;
  std::vector<uint8_t> jpeg;
  int ok = ConvertBmpToJpegStream(in, jpeg, limits);
  std::fclose(in);
  if (ok != 1) {
    if (!jpeg.empty()) fuzz::Fail("a failed conversion left output");
    return 0;
  }
  ThumbLimits thumbLimits;
  thumbLimits.maxPixels = fuzz::kPictureMaxPixels;
  ThumbState* s = ThumbOpenBuffer(jpeg.data(), jpeg.size(), "fuzz.bmp", 0, thumbLimits);
  if (s == nullptr) fuzz::Fail("the converter made a JPEG the thumbnailer cannot open");
  ThumbInfo info = ThumbGetInfo(s);
  if (info.sourceWidth < 1 || info.sourceHeight < 1) fuzz::Fail("converted picture is empty");
  ThumbClose(s);
  return 0;
}
