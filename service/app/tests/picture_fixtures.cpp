#include "picture_fixtures.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace fixtures {

namespace {

struct Err {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void ErrExit(j_common_ptr cinfo) { longjmp(reinterpret_cast<Err*>(cinfo->err)->jump, 1); }
void Quiet(j_common_ptr) {}

void PutLe16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Encodes rows (w × comps each) into out; plain C so that the jump is safe.
bool Encode(int w, int h, int comps, J_COLOR_SPACE space, bool progressive, const uint8_t* pixels,
            unsigned char** out, unsigned long* outLen) {
  jpeg_compress_struct cinfo;
  Err err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrExit;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, out, outLen);
  cinfo.image_width = static_cast<JDIMENSION>(w);
  cinfo.image_height = static_cast<JDIMENSION>(h);
  cinfo.input_components = comps;
  cinfo.in_color_space = space;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  if (progressive) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    auto* row = const_cast<JSAMPROW>(pixels + size_t(cinfo.next_scanline) * w * comps);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

bool Decode(const Bytes* jpeg, Decoded* d) {
  jpeg_decompress_struct dinfo;
  Err err;
  dinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrExit;
  err.pub.output_message = Quiet;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_decompress(&dinfo);
    return false;
  }
  jpeg_create_decompress(&dinfo);
  jpeg_mem_src(&dinfo, jpeg->data(), static_cast<unsigned long>(jpeg->size()));
  jpeg_save_markers(&dinfo, JPEG_APP0 + 7, 0xFFFF);
  jpeg_read_header(&dinfo, TRUE);
  for (jpeg_saved_marker_ptr m = dinfo.marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 + 7) {
      d->app7.emplace_back(reinterpret_cast<const char*>(m->data), m->data_length);
    }
  }
  d->progressive = dinfo.progressive_mode != 0;
  d->densityUnit = dinfo.density_unit;
  d->xDensity = dinfo.X_density;
  d->yDensity = dinfo.Y_density;
  jpeg_start_decompress(&dinfo);
  d->width = static_cast<int>(dinfo.output_width);
  d->height = static_cast<int>(dinfo.output_height);
  d->components = dinfo.output_components;
  d->pixels.resize(size_t(d->width) * d->height * d->components);
  while (dinfo.output_scanline < dinfo.output_height) {
    JSAMPROW row = d->pixels.data() + size_t(dinfo.output_scanline) * d->width * d->components;
    jpeg_read_scanlines(&dinfo, &row, 1);
  }
  jpeg_finish_decompress(&dinfo);
  bool clean = err.pub.num_warnings == 0;
  jpeg_destroy_decompress(&dinfo);
  return clean;
}

}  // namespace

std::string AsString(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes AsBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

uint8_t Gradient(int x, int y, int c, int w, int h) {
  if (c == 0) return static_cast<uint8_t>(w > 1 ? x * 255 / (w - 1) : 0);
  if (c == 1) return static_cast<uint8_t>(h > 1 ? y * 255 / (h - 1) : 0);
  return 128;
}

Bytes MakeJpeg(int w, int h, Kind kind, const Pattern& pattern) {
  int comps = kind == Kind::Gray ? 1 : kind == Kind::Cmyk ? 4 : 3;
  J_COLOR_SPACE space = kind == Kind::Gray   ? JCS_GRAYSCALE
                        : kind == Kind::Cmyk ? JCS_CMYK
                                             : JCS_RGB;
  Bytes pixels(size_t(w) * h * comps);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < comps; ++c) {
        pixels[(size_t(y) * w + x) * comps + c] =
            pattern ? pattern(x, y, c) : Gradient(x, y, c, w, h);
      }
    }
  }
  unsigned char* out = nullptr;
  unsigned long len = 0;
  if (!Encode(w, h, comps, space, kind == Kind::Progressive, pixels.data(), &out, &len)) {
    std::free(out);
    return {};
  }
  Bytes result(out, out + len);
  std::free(out);
  return result;
}

Decoded DecodeJpeg(const Bytes& jpeg) {
  Decoded d;
  if (jpeg.empty()) return d;
  d.ok = Decode(&jpeg, &d);
  return d;
}

Bytes MakeBmp(const BmpSpec& s, const Pattern& pattern) {
  size_t entry = s.headerSize == 12 ? 3 : 4;
  size_t paletteBytes = s.bits == 8 ? s.palette.size() * entry : 0;
  size_t rowSize = ((size_t(s.width) * (s.bits / 8)) + 3) & ~size_t(3);
  size_t dataOffset = 14 + s.headerSize + paletteBytes + s.gapBytes;
  Bytes b(dataOffset + rowSize * s.height, 0);
  b[0] = 'B';
  b[1] = 'M';
  PutLe32(b, 2, static_cast<uint32_t>(b.size()));
  PutLe32(b, 10, static_cast<uint32_t>(dataOffset));
  PutLe32(b, 14, s.headerSize);
  if (s.headerSize == 12) {
    PutLe16(b, 18, static_cast<uint32_t>(s.width));
    PutLe16(b, 20, static_cast<uint32_t>(s.height));
    PutLe16(b, 22, 1);
    PutLe16(b, 24, static_cast<uint32_t>(s.bits));
  } else {
    PutLe32(b, 18, static_cast<uint32_t>(s.width));
    PutLe32(b, 22, static_cast<uint32_t>(s.height));
    PutLe16(b, 26, 1);
    PutLe16(b, 28, static_cast<uint32_t>(s.bits));
    PutLe32(b, 30, 0);
    PutLe32(b, 38, static_cast<uint32_t>(s.xPerMetre));
    PutLe32(b, 42, static_cast<uint32_t>(s.yPerMetre));
    PutLe32(b, 46, static_cast<uint32_t>(s.colorsUsed));
  }
  size_t at = 14 + s.headerSize;
  if (s.bits == 8) {
    for (uint32_t rgb : s.palette) {
      b[at] = static_cast<uint8_t>(rgb);            // blue
      b[at + 1] = static_cast<uint8_t>(rgb >> 8);   // green
      b[at + 2] = static_cast<uint8_t>(rgb >> 16);  // red
      at += entry;
    }
  }
  for (int y = 0; y < s.height; ++y) {
    // Bottom row first.
    size_t row = dataOffset + size_t(s.height - 1 - y) * rowSize;
    for (int x = 0; x < s.width; ++x) {
      if (s.bits == 8) {
        b[row + x] = pattern(x, y, 0);
      } else {
        b[row + 3 * x] = pattern(x, y, 2);
        b[row + 3 * x + 1] = pattern(x, y, 1);
        b[row + 3 * x + 2] = pattern(x, y, 0);
      }
    }
  }
  return b;
}

Bytes MakePnm(char kind, int w, int h, int maxval, const std::vector<uint32_t>& samples,
              const std::string& headerComment) {
  std::string head = std::string("P") + kind + "\n" + headerComment + std::to_string(w) + " " +
                     std::to_string(h) + "\n" + std::to_string(maxval) + "\n";
  Bytes b(head.begin(), head.end());
  for (uint32_t v : samples) {
    if (maxval > 255) b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
  }
  return b;
}

size_t SofOffset(const Bytes& j) {
  for (size_t i = 2; i + 9 < j.size();) {
    if (j[i] != 0xFF) return 0;
    uint8_t m = j[i + 1];
    size_t len = (size_t(j[i + 2]) << 8) | j[i + 3];
    if (m == 0xC0 || m == 0xC1 || m == 0xC2) return i + 5;
    i += 2 + len;
  }
  return 0;
}

}  // namespace fixtures
