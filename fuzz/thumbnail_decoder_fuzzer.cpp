// The thumbnailer on fuzzed bytes. The first byte chooses the way in: bit 0 clear, the
// bytes in memory (ThumbOpenBuffer and the steps one by one); set, an open file through
// ThunmbNailIt, named .bmp when bit 1 is set (the converter first). Then the target size
// (width, height: 16 bits each, big-endian), then the picture.
#include <vector>

#include "app/thumbnail.h"
#include "fuzz_support.h"
#include "picture_fuzzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::LogToNull();
  if (size < 5) return 0;
  uint8_t mode = data[0];
  int width = (data[1] << 8) | data[2];
  int height = (data[3] << 8) | data[4];
  data += 5;
  size -= 5;
  ThumbLimits limits;
  limits.maxPixels = fuzz::kPictureMaxPixels;
  limits.maxThumbBytes = 4u << 20;

  std::vector<uint8_t> thumb;
  if ((mode & 1) == 0) {
    ThumbState* s = ThumbOpenBuffer(data, size, "fuzz.jpg", 1700000000, limits);
    if (s == nullptr) return 0;
    ThumbSetDecodeSize(s, width, height);
    ThumbSetQuality(s, (mode >> 2) % 101);
    ThumbEnableComments(s, (mode & 2) != 0);
    ThumbSetOutput(s, &thumb);
    int r = ThumbEncodeFile(s);
    ThumbInfo info = ThumbGetInfo(s);
    ThumbClose(s);
    if (r != 0) {
      if (!thumb.empty()) fuzz::Fail("a failed thumbnail left output");
      return 0;
    }
    if (thumb.empty()) fuzz::Fail("a thumbnail without bytes");
    if (info.targetWidth < 1 || info.targetWidth > info.sourceWidth || info.targetHeight < 1 ||
        info.targetHeight > info.sourceHeight) {
      fuzz::Fail("target size outside [1, source]");
    }
    return 0;
  }

  FILE* in = fuzz::OpenBytes(data, size);
  if (in == nullptr) return 0;
  ThumbSource src;
  src.file = in;
  src.path = (mode & 2) != 0 ? "fuzz.bmp" : "fuzz.jpg";
  src.mtime = 1700000000;
  bool ok = ThunmbNailIt(src, height, width, thumb, limits);
  std::fclose(in);
  if (ok == thumb.empty()) fuzz::Fail("ThunmbNailIt result and output disagree");
  return 0;
}
