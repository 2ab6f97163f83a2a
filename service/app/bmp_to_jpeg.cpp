#include "app/bmp_to_jpeg.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

#include <jerror.h>

#include "comm/log.h"

namespace {

// The largest side the JPEG format (and so the library) takes.
constexpr uint64_t kMaxSide = 65500;
constexpr size_t kInitialDestSize = 64 * 1024;

void ErrorExit(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX] = {};
  (*cinfo->err->format_message)(cinfo, text);
  TLOG(MOD_INTRANET, LOG_DEBUG, "jpeg library error: %s", text);
  longjmp(reinterpret_cast<JpegErrorJump*>(cinfo->err)->jump, 1);
}

void OutputMessage(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX] = {};
  (*cinfo->err->format_message)(cinfo, text);
  TLOG(MOD_INTRANET, LOG_DEBUG, "jpeg library: %s", text);
}

void InitMemDest(j_compress_ptr /*cinfo*/) {}

boolean EmptyMemDest(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<JpegMemDest*>(cinfo->dest);
  // The library only calls this with the whole buffer full.
  size_t next = dest->capacity * 2;
  if (next > dest->limit) next = dest->limit;
  if (next <= dest->capacity) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
  auto* grown = static_cast<uint8_t*>(std::realloc(dest->data, next));
  if (grown == nullptr) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 2);
  dest->pub.next_output_byte = grown + dest->capacity;
  dest->pub.free_in_buffer = next - dest->capacity;
  dest->data = grown;
  dest->capacity = next;
  return TRUE;
}

void TermMemDest(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<JpegMemDest*>(cinfo->dest);
  dest->size = dest->capacity - dest->pub.free_in_buffer;
}

// The converter's open failures: on standard error and in the log, since a service has
// no console.
void ReportOpenFailure(bool input, const std::string& path) {
  if (input) {
    std::fprintf(stderr, " can't open infile %s\n", path.c_str());
    TLOG(MOD_INTRANET, LOG_DEBUG, " can't open infile %s", path.c_str());
  } else {
    std::fprintf(stderr, "can't open outfile %s\n", path.c_str());
    TLOG(MOD_INTRANET, LOG_DEBUG, "can't open outfile %s", path.c_str());
  }
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
int32_t Le32s(const uint8_t* p) { return static_cast<int32_t>(Le32(p)); }

// One input format. Start reads the header and describes the image to the compressor;
// GetRow hands out the next row, top row first. Both only set fields of cinfo and
// never call the library, so they may use C++ freely; failures are returned, with the
// reason logged.
class InputReader {
 public:
  InputReader(FILE* in, const ConvertLimits& limits) : m_in(in), m_limits(limits) {}
  virtual ~InputReader() = default;
  InputReader(const InputReader&) = delete;
  InputReader& operator=(const InputReader&) = delete;

  bool Start(jpeg_compress_struct* cinfo) {
    try {
      return StartImpl(cinfo);
    } catch (const std::bad_alloc&) {
      return Fail("out of memory");
    }
  }
  bool GetRow(JSAMPROW* row) {
    try {
      return GetRowImpl(row);
    } catch (const std::bad_alloc&) {
      return Fail("out of memory");
    }
  }

 protected:
  virtual bool StartImpl(jpeg_compress_struct* cinfo) = 0;
  virtual bool GetRowImpl(JSAMPROW* row) = 0;

  bool Fail(const char* why) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "convert picture: %s", why);
    return false;
  }
  bool ReadExact(void* out, size_t n) { return std::fread(out, 1, n, m_in) == n; }
  // The file's bytes from the current position to its end; false when the input is not
  // a regular file, whose size cannot be known.
  bool Remaining(uint64_t* bytes) {
    struct stat st {};
    off_t pos = ftello(m_in);
    if (pos < 0 || fstat(fileno(m_in), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *bytes = st.st_size > pos ? static_cast<uint64_t>(st.st_size - pos) : 0;
    return true;
  }
  bool CheckPixels(uint64_t width, uint64_t height) {
    if (width < 1 || height < 1) return Fail("empty image");
    if (width > kMaxSide || height > kMaxSide) return Fail("image too large for JPEG");
    if (width * height > m_limits.maxPixels) return Fail("image has too many pixels");
    return true;
  }

  FILE* m_in;
  ConvertLimits m_limits;
};

// Windows and OS/2 bitmaps with 8-bit (palette) or 24-bit pixels, stored bottom-up.
class BmpReader : public InputReader {
 public:
  using InputReader::InputReader;

 protected:
  bool StartImpl(jpeg_compress_struct* cinfo) override {
    off_t base = ftello(m_in);
    uint64_t total = 0;
    if (base < 0 || !Remaining(&total)) return Fail("input is not a regular file");

    uint8_t fileHeader[14];
    if (!ReadExact(fileHeader, sizeof fileHeader)) return Fail("premature end of file");
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') return Fail("not a BMP file");
    uint64_t dataOffset = Le32(fileHeader + 10);

    uint8_t info[64] = {};
    if (!ReadExact(info, 4)) return Fail("premature end of file");
    uint32_t headerSize = Le32(info);
    if (headerSize < 12 || headerSize > 64) return Fail("unsupported BMP header size");
    if (!ReadExact(info + 4, headerSize - 4)) return Fail("premature end of file");

    int64_t width = 0, height = 0;
    unsigned planes = 0, bits = 0;
    uint32_t compression = 0;
    int32_t xPerMetre = 0, yPerMetre = 0, colorsUsed = 0;
    size_t entrySize = 0;
    if (headerSize == 12) {
      width = Le16(info + 4);
      height = Le16(info + 6);
      planes = Le16(info + 8);
      bits = Le16(info + 10);
      entrySize = 3;
    } else if (headerSize == 40 || headerSize == 64) {
      width = Le32s(info + 4);
      height = Le32s(info + 8);
      planes = Le16(info + 12);
      bits = Le16(info + 14);
      compression = Le32(info + 16);
      xPerMetre = Le32s(info + 24);
      yPerMetre = Le32s(info + 28);
      colorsUsed = Le32s(info + 32);
      entrySize = 4;
    } else {
      return Fail("unsupported BMP header size");
    }
    if (planes != 1) return Fail("BMP planes must be 1");
    if (bits != 8 && bits != 24) return Fail("only 8- and 24-bit BMP files are supported");
    if (compression != 0) return Fail("compressed BMP files are not supported");
    if (height < 0) return Fail("top-down BMP files are not supported");
    if (!CheckPixels(width < 0 ? 0 : static_cast<uint64_t>(width), static_cast<uint64_t>(height))) {
      return false;
    }
    if (xPerMetre > 0 && yPerMetre > 0) {
      int32_t x = xPerMetre / 100, y = yPerMetre / 100;
      // A density the JFIF fields cannot hold is left at the library's default.
      if (x >= 1 && x <= 65535 && y >= 1 && y <= 65535) {
        cinfo->density_unit = 2;  // dots per centimetre
        cinfo->X_density = static_cast<UINT16>(x);
        cinfo->Y_density = static_cast<UINT16>(y);
      }
    }

    int64_t gap = static_cast<int64_t>(dataOffset) - static_cast<int64_t>(headerSize + 14);
    if (bits == 8) {
      int64_t entries = colorsUsed <= 0 ? 256 : colorsUsed;
      if (entries > 256) return Fail("BMP color map has more than 256 entries");
      uint8_t map[256 * 4];
      size_t mapBytes = static_cast<size_t>(entries) * entrySize;
      if (!ReadExact(map, mapBytes)) return Fail("premature end of file");
      // Entries the map does not have stay black.
      for (size_t i = 0; i < static_cast<size_t>(entries); ++i) {
        m_blue[i] = map[i * entrySize];
        m_green[i] = map[i * entrySize + 1];
        m_red[i] = map[i * entrySize + 2];
      }
      gap -= static_cast<int64_t>(mapBytes);
    }
    if (gap < 0) return Fail("BMP pixel data offset lies inside its header");

    m_bits = bits;
    m_width = static_cast<size_t>(width);
    m_height = static_cast<size_t>(height);
    uint64_t rowBytes = static_cast<uint64_t>(width) * (bits / 8);
    m_rowSize = static_cast<size_t>((rowBytes + 3) & ~static_cast<uint64_t>(3));
    // The pixel data must be in the file before any of it is stored.
    if (dataOffset + static_cast<uint64_t>(m_height) * m_rowSize > total) {
      return Fail("premature end of file");
    }
    if (fseeko(m_in, base + static_cast<off_t>(dataOffset), SEEK_SET) != 0) {
      return Fail("cannot seek to the pixel data");
    }
    m_row.resize(m_width * 3);

    cinfo->image_width = static_cast<JDIMENSION>(width);
    cinfo->image_height = static_cast<JDIMENSION>(height);
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_RGB;
    cinfo->data_precision = 8;
    return true;
  }

  bool GetRowImpl(JSAMPROW* row) override {
    if (m_store.empty()) {
      // The rows are stored bottom-up, so the whole image is read before the first
      // (top) row can go out.
      m_store.resize(m_height * m_rowSize);
      if (!ReadExact(m_store.data(), m_store.size())) return Fail("premature end of file");
    }
    if (m_next >= m_height) return Fail("more rows asked than the image has");
    const uint8_t* src = m_store.data() + (m_height - 1 - m_next) * m_rowSize;
    uint8_t* out = m_row.data();
    if (m_bits == 8) {
      for (size_t x = 0; x < m_width; ++x) {
        uint8_t v = src[x];
        out[3 * x] = m_red[v];
        out[3 * x + 1] = m_green[v];
        out[3 * x + 2] = m_blue[v];
      }
    } else {
      for (size_t x = 0; x < m_width; ++x) {
        out[3 * x] = src[3 * x + 2];
        out[3 * x + 1] = src[3 * x + 1];
        out[3 * x + 2] = src[3 * x];
      }
    }
    ++m_next;
    *row = out;
    return true;
  }

 private:
  unsigned m_bits = 0;
  size_t m_width = 0, m_height = 0, m_rowSize = 0, m_next = 0;
  uint8_t m_red[256] = {}, m_green[256] = {}, m_blue[256] = {};
  std::vector<uint8_t> m_store;
  std::vector<uint8_t> m_row;
};

// Netpbm gray (P2 text, P5 binary) and color (P3 text, P6 binary) pictures.
class PpmReader : public InputReader {
 public:
  using InputReader::InputReader;

 protected:
  bool StartImpl(jpeg_compress_struct* cinfo) override {
    if (std::getc(m_in) != 'P') return Fail("not a PPM/PGM file");
    int kind = std::getc(m_in);
    if (kind != '2' && kind != '3' && kind != '5' && kind != '6') {
      return Fail("not a PPM/PGM file");
    }
    m_binary = kind == '5' || kind == '6';
    m_components = kind == '2' || kind == '5' ? 1 : 3;

    uint32_t width = 0, height = 0, maxval = 0;
    if (!ReadHeaderNumber(&width, kMaxSide) || !ReadHeaderNumber(&height, kMaxSide) ||
        !ReadHeaderNumber(&maxval, 65535)) {
      return Fail("bad PPM/PGM header");
    }
    if (maxval == 0) return Fail("PPM/PGM maximum value is 0");
    if (!CheckPixels(width, height)) return false;
    m_width = width;
    m_maxval = maxval;
    m_bytesPerSample = maxval > 255 ? 2 : 1;

    uint64_t samples = static_cast<uint64_t>(width) * height * m_components;
    uint64_t total = 0;
    if (!Remaining(&total)) return Fail("input is not a regular file");
    // Binary samples take a fixed size; text samples at least a digit and a separator.
    uint64_t least = m_binary ? samples * m_bytesPerSample : samples * 2 - 1;
    if (least > total) return Fail("premature end of file");

    m_identity = m_binary && maxval == 255;
    if (!m_identity) {
      m_table.resize(static_cast<size_t>(maxval) + 1);
      for (uint32_t v = 0; v <= maxval; ++v) {
        m_table[v] = static_cast<JSAMPLE>((v * 255u + maxval / 2) / maxval);
      }
    }
    m_row.resize(m_width * m_components);
    m_raw.resize(m_binary ? m_row.size() * m_bytesPerSample : 0);

    cinfo->image_width = width;
    cinfo->image_height = height;
    cinfo->input_components = static_cast<int>(m_components);
    cinfo->in_color_space = m_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    cinfo->data_precision = 8;
    return true;
  }

  bool GetRowImpl(JSAMPROW* row) override {
    uint8_t* out = m_row.data();
    size_t n = m_row.size();
    if (m_binary) {
      if (!ReadExact(m_raw.data(), m_raw.size())) return Fail("premature end of file");
      for (size_t i = 0; i < n; ++i) {
        uint32_t v = m_bytesPerSample == 2
                         ? (static_cast<uint32_t>(m_raw[2 * i]) << 8) | m_raw[2 * i + 1]
                         : m_raw[i];
        out[i] = Translate(v);
      }
    } else {
      for (size_t i = 0; i < n; ++i) {
        uint32_t v = 0;
        if (!ReadNumber(&v, 65535)) return Fail("bad sample in PPM/PGM text");
        out[i] = Translate(v);
      }
    }
    *row = out;
    return true;
  }

 private:
  // A sample above the maximum is taken as the maximum.
  JSAMPLE Translate(uint32_t v) const {
    if (v > m_maxval) v = m_maxval;
    return m_identity ? static_cast<JSAMPLE>(v) : m_table[v];
  }

  bool ReadHeaderNumber(uint32_t* out, uint32_t limit) {
    return ReadNumber(out, limit) && *out != 0;
  }

  // A decimal number after white space and "#" comments; the character after it is
  // consumed. False for a non-digit, the end of the file or a value above limit.
  bool ReadNumber(uint32_t* out, uint32_t limit) {
    int ch = std::getc(m_in);
    for (;;) {
      if (ch == '#') {
        while (ch != '\n' && ch != EOF) ch = std::getc(m_in);
      }
      if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r') {
        ch = std::getc(m_in);
        continue;
      }
      break;
    }
    if (ch < '0' || ch > '9') return false;
    uint32_t value = 0;
    while (ch >= '0' && ch <= '9') {
      value = value * 10 + static_cast<uint32_t>(ch - '0');
      if (value > limit) return false;
      ch = std::getc(m_in);
    }
    *out = value;
    return true;
  }

  bool m_binary = false;
  bool m_identity = false;
  size_t m_components = 0, m_width = 0, m_bytesPerSample = 1;
  uint32_t m_maxval = 0;
  std::vector<JSAMPLE> m_table;
  std::vector<uint8_t> m_row, m_raw;
};

// Chooses the reader by the first byte of the content, which is put back.
std::unique_ptr<InputReader> SelectInputReader(FILE* in, const ConvertLimits& limits) {
  int c = std::getc(in);
  if (c == EOF) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "convert picture: %s", "empty input file");
    return nullptr;
  }
  if (std::ungetc(c, in) == EOF) return nullptr;
  switch (c) {
    case 'B':
      return std::make_unique<BmpReader>(in, limits);
    case 'P':
      return std::make_unique<PpmReader>(in, limits);
    case 'G':
      std::fputs("GIF input is unsupported for legal reasons.  Sorry.\n", stderr);
      TLOG(MOD_INTRANET, LOG_DEBUG, "GIF input is unsupported for legal reasons.  Sorry.");
      return nullptr;
    default:
      TLOG(MOD_INTRANET, LOG_DEBUG, "convert picture: %s", "unrecognized input file format");
      return nullptr;
  }
}

const std::vector<std::string>& NoSwitches() {
  static const std::vector<std::string> none;
  return none;
}

// One compression from reader to the destination (outFile, or dest when it is null).
// 1 without library warnings, 0 otherwise. Only plain data lives in this frame, since
// a library error comes back to the setjmp below.
int Compress(jpeg_compress_struct* cinfo, JpegErrorJump* err, InputReader* reader, FILE* outFile,
             JpegMemDest* dest, size_t destLimit) {
  cinfo->err = InitJpegErrorJump(err);
  if (setjmp(err->jump) != 0) {
    jpeg_destroy_compress(cinfo);
    return 0;
  }
  jpeg_create_compress(cinfo);
  cinfo->in_color_space = JCS_RGB;
  jpeg_set_defaults(cinfo);
  if (!reader->Start(cinfo)) {
    jpeg_destroy_compress(cinfo);
    return 0;
  }
  jpeg_default_colorspace(cinfo);
  ParseConvertSwitches(cinfo, NoSwitches(), true, nullptr);
  if (outFile != nullptr) {
    jpeg_stdio_dest(cinfo, outFile);
  } else {
    AttachJpegMemDest(cinfo, dest, destLimit);
  }
  jpeg_start_compress(cinfo, TRUE);
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row = nullptr;
    if (!reader->GetRow(&row)) {
      jpeg_destroy_compress(cinfo);
      return 0;
    }
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  long warnings = err->pub.num_warnings;
  jpeg_destroy_compress(cinfo);
  return warnings == 0 ? 1 : 0;
}

}  // namespace

jpeg_error_mgr* InitJpegErrorJump(JpegErrorJump* err) {
  jpeg_error_mgr* pub = jpeg_std_error(&err->pub);
  pub->error_exit = ErrorExit;
  pub->output_message = OutputMessage;
  return pub;
}

void AttachJpegMemDest(jpeg_compress_struct* cinfo, JpegMemDest* dest, size_t limit) {
  dest->limit = limit;
  dest->size = 0;
  if (dest->data == nullptr) {
    dest->capacity = limit < kInitialDestSize ? limit : kInitialDestSize;
    dest->data = static_cast<uint8_t*>(std::malloc(dest->capacity == 0 ? 1 : dest->capacity));
    if (dest->data == nullptr) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 3);
  }
  dest->pub.init_destination = InitMemDest;
  dest->pub.empty_output_buffer = EmptyMemDest;
  dest->pub.term_destination = TermMemDest;
  dest->pub.next_output_byte = dest->data;
  dest->pub.free_in_buffer = dest->capacity;
  cinfo->dest = &dest->pub;
}

void FreeJpegMemDest(JpegMemDest* dest) {
  std::free(dest->data);
  dest->data = nullptr;
  dest->capacity = dest->size = 0;
}

bool MatchSwitchKeyword(const char* arg, const char* keyword, int minChars) {
  if (arg == nullptr || keyword == nullptr) return false;
  if (*arg == '-') ++arg;
  if (*arg == '-') ++arg;
  int matched = 0;
  for (; *arg != '\0'; ++arg, ++keyword, ++matched) {
    if (*keyword == '\0') return false;
    if (std::tolower(static_cast<unsigned char>(*arg)) != *keyword) return false;
  }
  return matched >= minChars;
}

int ParseConvertSwitches(jpeg_compress_struct* cinfo, const std::vector<std::string>& args,
                         bool forReal, std::string* outfile) {
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.empty() || arg[0] != '-') break;
    if (!MatchSwitchKeyword(arg.c_str(), "outfile", 4)) return -1;
    if (++i >= args.size()) return -1;
    if (outfile != nullptr) *outfile = args[i];
  }
  if (forReal && cinfo != nullptr) jpeg_set_quality(cinfo, 75, FALSE);
  return static_cast<int>(i);
}

int ConvertBmpToJpegStream(FILE* in, std::vector<uint8_t>& out, const ConvertLimits& limits) {
  out.clear();
  if (in == nullptr) return 0;
  std::unique_ptr<InputReader> reader = SelectInputReader(in, limits);
  if (reader == nullptr) return 0;
  jpeg_compress_struct cinfo{};
  JpegErrorJump err{};
  JpegMemDest dest{};
  // A converted picture never outgrows twice its raw size and a little more.
  size_t limit = static_cast<size_t>(limits.maxPixels) * 3 * 2 + (1u << 20);
  int ok = Compress(&cinfo, &err, reader.get(), nullptr, &dest, limit);
  if (ok == 1) {
    try {
      out.assign(dest.data, dest.data + dest.size);
    } catch (const std::bad_alloc&) {
      ok = 0;
    }
  }
  FreeJpegMemDest(&dest);
  return ok;
}

int ConvertBmpToJpeg(const std::string& inPath, const std::string& outPath,
                     const ConvertLimits& limits) {
  std::string outfile;
  const std::vector<std::string> args = {"-outfile", outPath};
  if (ParseConvertSwitches(nullptr, args, false, &outfile) < 0) return 0;

  FILE* in = std::fopen(inPath.c_str(), "rb");
  if (in == nullptr) {
    ReportOpenFailure(true, inPath);
    return 0;
  }
  FILE* out = std::fopen(outfile.c_str(), "wb");
  if (out == nullptr) {
    ReportOpenFailure(false, outfile);
    std::fclose(in);
    return 0;
  }
  int ok = 0;
  if (std::unique_ptr<InputReader> reader = SelectInputReader(in, limits)) {
    jpeg_compress_struct cinfo{};
    JpegErrorJump err{};
    ok = Compress(&cinfo, &err, reader.get(), out, nullptr, 0);
  }
  std::fclose(in);
  if (std::fclose(out) != 0) ok = 0;
  // A half-written picture is worth nothing to anybody.
  if (ok != 1) ::unlink(outfile.c_str());
  return ok;
}
