#include "app/thumbnail.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <memory>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <event2/bufferevent.h>
#include <udt/udt.h>

#include "app/bmp_to_jpeg.h"
#include "comm/errors.h"
#include "comm/log.h"
#include "comm/off_thread_reply.h"
#include "comm/opcodes.h"
#include "comm/share_paths.h"
#include "comm/utils.h"
#include "platform/charset.h"

struct ThumbState {
  ThumbLimits limits;
  std::string uri;
  int64_t mtime = 0;
  FILE* file = nullptr;  // a stream source
  bool ownsFile = false;
  const uint8_t* mem = nullptr;  // a memory source
  size_t memLen = 0;

  int sourceWidth = 0, sourceHeight = 0;
  ThumbColor color = ThumbColor::Rgb;
  int targetWidth = 0, targetHeight = 0;
  int quality = 75;
  bool comments = false;
  std::vector<uint8_t>* out = nullptr;
  std::string markers[5];

  // Decoded pixels: decodedHeight rows of decodedWidth × components bytes.
  uint8_t* pixels = nullptr;
  JSAMPROW* rows = nullptr;
  int decodedWidth = 0, decodedHeight = 0, components = 0;
  bool decoded = false, scaled = false, error = false;

  JpegErrorJump err{};
  jpeg_decompress_struct dinfo{};
  jpeg_compress_struct cinfo{};
  bool dinfoCreated = false, cinfoCreated = false;
  JpegMemDest dest{};
};

namespace {

std::mutex g_limitsMutex;
ThumbLimits g_limits;  // guarded by g_limitsMutex

uint64_t DecoderMemory(const ThumbLimits& limits) {
  if (limits.maxDecoderMemory != 0) return limits.maxDecoderMemory;
  // Room for the coefficients of a progressive CMYK picture at full size.
  return limits.maxPixels * 8 + (16u << 20);
}

J_COLOR_SPACE SpaceOf(ThumbColor color) {
  switch (color) {
    case ThumbColor::Gray:
      return JCS_GRAYSCALE;
    case ThumbColor::Cmyk:
      return JCS_CMYK;
    case ThumbColor::Rgb:
      break;
  }
  return JCS_RGB;
}

// The steps that call the JPEG library. Each sets its own return point; only plain
// data lives in their frames, and everything they allocate hangs off the state, which
// ThumbClose frees whatever happened.

bool ThumbOpenHeader(ThumbState* s) {
  s->dinfo.err = InitJpegErrorJump(&s->err);
  if (setjmp(s->err.jump) != 0) return false;
  jpeg_create_decompress(&s->dinfo);
  s->dinfoCreated = true;
  std::fputs("jpeg_create_decompress sucess!!!\n", stdout);
  s->dinfo.mem->max_memory_to_use = static_cast<long>(DecoderMemory(s->limits));
  if (s->file != nullptr) {
    jpeg_stdio_src(&s->dinfo, s->file);
  } else {
    jpeg_mem_src(&s->dinfo, s->mem, static_cast<unsigned long>(s->memLen));
  }
  if (jpeg_read_header(&s->dinfo, TRUE) != JPEG_HEADER_OK) return false;
  uint64_t w = s->dinfo.image_width, h = s->dinfo.image_height;
  if (w == 0 || h == 0 || w * h > s->limits.maxPixels) return false;
  s->sourceWidth = static_cast<int>(w);
  s->sourceHeight = static_cast<int>(h);
  s->targetWidth = s->sourceWidth;
  s->targetHeight = s->sourceHeight;
  if (s->dinfo.out_color_space == JCS_GRAYSCALE) {
    s->color = ThumbColor::Gray;
  } else if (s->dinfo.out_color_space == JCS_CMYK) {
    s->color = ThumbColor::Cmyk;
  } else {
    s->color = ThumbColor::Rgb;
  }
  return true;
}

// 0, 3 (decoding failed) or 4 (library error).
int ThumbDecode(ThumbState* s) {
  if (setjmp(s->err.jump) != 0) {
    s->error = true;
    return 4;
  }
  int scale = std::min(s->sourceWidth / s->targetWidth, s->sourceHeight / s->targetHeight);
  scale = std::clamp(scale, 1, 8);
  // The library picks the largest reduction not beyond 1/scale, so the decoded picture
  // is never smaller than the target.
  s->dinfo.scale_num = 1;
  s->dinfo.scale_denom = static_cast<unsigned>(scale);
  s->dinfo.do_fancy_upsampling = FALSE;
  s->dinfo.do_block_smoothing = FALSE;
  s->dinfo.dct_method = JDCT_IFAST;
  s->dinfo.out_color_space = SpaceOf(s->color);
  jpeg_calc_output_dimensions(&s->dinfo);
  uint64_t w = s->dinfo.output_width, h = s->dinfo.output_height;
  uint64_t comps = static_cast<uint64_t>(s->dinfo.output_components);
  if (w < static_cast<uint64_t>(s->targetWidth) || h < static_cast<uint64_t>(s->targetHeight) ||
      comps < 1 || comps > 4 || w * h > s->limits.maxPixels) {
    return 3;
  }
  s->pixels = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w * h * comps)));
  s->rows = static_cast<JSAMPROW*>(std::malloc(static_cast<size_t>(h) * sizeof(JSAMPROW)));
  if (s->pixels == nullptr || s->rows == nullptr) return 3;
  for (uint64_t y = 0; y < h; ++y) s->rows[y] = s->pixels + static_cast<size_t>(y * w * comps);
  s->decodedWidth = static_cast<int>(w);
  s->decodedHeight = static_cast<int>(h);
  s->components = static_cast<int>(comps);

  if (!jpeg_start_decompress(&s->dinfo)) return 3;
  if (s->dinfo.output_width != w || s->dinfo.output_height != h ||
      static_cast<uint64_t>(s->dinfo.output_components) != comps) {
    return 3;
  }
  while (s->dinfo.output_scanline < s->dinfo.output_height) {
    JDIMENSION done = s->dinfo.output_scanline;
    if (jpeg_read_scanlines(&s->dinfo, s->rows + done, s->dinfo.output_height - done) == 0) {
      return 3;
    }
  }
  jpeg_finish_decompress(&s->dinfo);
  s->decoded = true;
  return 0;
}

// Nearest neighbour, in place: target row y ends up at the start of decoded row y's
// place, and every row and column is read before it can be overwritten.
bool ThumbScale(ThumbState* s) {
  if (!s->decoded) return false;
  if (s->targetWidth == s->decodedWidth && s->targetHeight == s->decodedHeight) {
    s->scaled = true;
    return true;
  }
  const size_t comps = static_cast<size_t>(s->components);
  const uint64_t dw = static_cast<uint64_t>(s->decodedWidth);
  const uint64_t dh = static_cast<uint64_t>(s->decodedHeight);
  const uint64_t tw = static_cast<uint64_t>(s->targetWidth);
  const uint64_t th = static_cast<uint64_t>(s->targetHeight);
  for (uint64_t y = 0; y < th; ++y) {
    const uint8_t* src = s->rows[y * dh / th];
    uint8_t* dst = s->rows[y];
    for (uint64_t x = 0; x < tw; ++x) {
      std::memmove(dst + x * comps, src + (x * dw / tw) * comps, comps);
    }
  }
  s->scaled = true;
  return true;
}

bool ThumbEncode(ThumbState* s) {
  if (s->targetWidth < 1 || s->targetHeight < 1 || s->out == nullptr || s->cinfoCreated)
    return false;
  s->cinfo.err = &s->err.pub;
  if (setjmp(s->err.jump) != 0) {
    s->error = true;
    return false;
  }
  jpeg_create_compress(&s->cinfo);
  s->cinfoCreated = true;
  AttachJpegMemDest(&s->cinfo, &s->dest, s->limits.maxThumbBytes);
  s->cinfo.image_width = static_cast<JDIMENSION>(s->targetWidth);
  s->cinfo.image_height = static_cast<JDIMENSION>(s->targetHeight);
  s->cinfo.input_components = s->components;
  s->cinfo.in_color_space = SpaceOf(s->color);
  jpeg_set_defaults(&s->cinfo);
  s->cinfo.dct_method = JDCT_IFAST;
  jpeg_set_quality(&s->cinfo, s->quality, TRUE);
  jpeg_start_compress(&s->cinfo, TRUE);
  if (s->comments) {
    for (const std::string& text : s->markers) {
      jpeg_write_marker(&s->cinfo, JPEG_APP0 + 7, reinterpret_cast<const JOCTET*>(text.data()),
                        static_cast<unsigned>(text.size()));
    }
  }
  for (int y = 0; y < s->targetHeight; ++y) {
    JSAMPROW row = s->rows[y];
    jpeg_write_scanlines(&s->cinfo, &row, 1);
  }
  jpeg_finish_compress(&s->cinfo);
  return true;
}

ThumbState* OpenState(ThumbState* s) {
  if (s == nullptr) return nullptr;
  if (!ThumbOpenHeader(s)) {
    ThumbClose(s);
    return nullptr;
  }
  return s;
}

ThumbState* NewState(const std::string& uri, int64_t mtime, const ThumbLimits& limits) {
  auto* s = new (std::nothrow) ThumbState;
  if (s == nullptr) return nullptr;
  s->limits = limits;
  s->uri = uri;
  s->mtime = mtime;
  return s;
}

bool IsBmpName(const std::string& path) {
  size_t dot = path.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  return ext == "bmp" || ext == "BMP";
}

// Opens a picture for reading: a regular file only (a pipe or device would block the
// transport's thread), optionally only when the file itself, symlinks resolved, lies
// inside the shares. 0, or 1 with the reason logged.
int OpenPicture(const std::string& path, bool checkShare, ThumbSource* src) {
  // Nothing outside the shares is even opened; what was opened is checked again below.
  if (checkShare && CheckPathInShare(path) != ERR_OK) {
    TLOG(MOD_INTRANET, LOG_ERROR, "File %s not in share list.", path.c_str());
    return 1;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Open file %s error.", path.c_str());
    return 1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    TLOG(MOD_INTRANET, LOG_ERROR, "File %s is not a regular file.", path.c_str());
    ::close(fd);
    return 1;
  }
  if (checkShare) {
    // The path of what was opened, so that a link swapped meanwhile cannot lead outside
    // the shares.
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char real[4096];
    ssize_t n = ::readlink(link, real, sizeof real - 1);
    std::string opened = n > 0 ? std::string(real, static_cast<size_t>(n)) : path;
    if (n <= 0 || opened[0] != '/' || CheckPathInShare(opened) != ERR_OK) {
      TLOG(MOD_INTRANET, LOG_ERROR, "File %s not in share list.", path.c_str());
      ::close(fd);
      return 1;
    }
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return 1;
  }
  FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return 1;
  }
  src->file = file;
  src->path = path;
  src->mtime = static_cast<int64_t>(st.st_mtime);
  return 0;
}

// Sends one message (head included) on the request's transport.
int SendFrame(const ThumbTransport& t, const uint8_t* msg, size_t len) {
  if (t.udtSock >= 0) {
    // In order, so that the status can never overtake the last chunk.
    int sent = UDT::sendmsg(t.udtSock, reinterpret_cast<const char*>(msg), static_cast<int>(len),
                            -1, true);
    return sent == static_cast<int>(len) ? 0 : -1;
  }
  if (t.conn == nullptr) return -1;
  if (t.relay) return OS_SendRelayMessage(t.conn, t.target, msg, len) == 0 ? 0 : -1;
  return bufferevent_write(t.conn, msg, len) == 0 ? 0 : -1;
}

// The whole answer to a thumbnail request: the data messages and the status, or only
// the failure status.
std::string ThumbAnswer(const ThumbSource& src, const ThumbRequest& req, uint32_t seq) {
  uint8_t status[kThumbStatusSize] = {};
  MsgHead{static_cast<uint16_t>(kThumbStatusSize), OP_THUMB_STATUS, seq}.Encode(status);
  std::vector<uint8_t> thumb;
  bool made = ThunmbNailIt(src, req.height, req.width, thumb);
  if (!made || thumb.size() > UINT32_MAX) {
    wire::PutU16(status + 8, 1);
    return std::string(reinterpret_cast<const char*>(status), sizeof status);
  }
  const auto total = static_cast<uint32_t>(thumb.size());
  const size_t chunks = (thumb.size() + kThumbChunkSize - 1) / kThumbChunkSize;
  std::string out;
  out.reserve(thumb.size() + chunks * kThumbDataHeadSize + kThumbStatusSize);
  uint8_t head[kThumbDataHeadSize];
  for (size_t offset = 0; offset < thumb.size();) {
    size_t n = std::min(kThumbChunkSize, thumb.size() - offset);
    MsgHead{static_cast<uint16_t>(kThumbDataHeadSize + n), OP_REQ_DOWNLOAD_THUMB_NIAL, seq}.Encode(
        head);
    wire::PutU32(head + 8, total);
    wire::PutU32(head + 12, static_cast<uint32_t>(offset));
    out.append(reinterpret_cast<const char*>(head), sizeof head);
    out.append(reinterpret_cast<const char*>(thumb.data() + offset), n);
    offset += n;
  }
  out.append(reinterpret_cast<const char*>(status), sizeof status);
  return out;
}

}  // namespace

void SetThumbLimits(const ThumbLimits& limits) {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  g_limits = limits;
}

ThumbLimits GetThumbLimits() {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  return g_limits;
}

int Parse_ThumbTransStatusHead(const uint8_t* record, size_t recordLen, ThumbRequest* req) {
  if (record == nullptr || recordLen < kThumbRequestSize) {
    TLOG(MOD_INTRANET, LOG_ERROR, "thumbnail refused: a request record of %zu bytes, %zu needed.",
         record == nullptr ? static_cast<size_t>(0) : recordLen, kThumbRequestSize);
    return 1;
  }
  req->width = wire::GetU16(record);
  req->height = wire::GetU16(record + 2);
  const char* field = reinterpret_cast<const char*>(record + 4);
  size_t len = ::strnlen(field, kThumbPathField);
  if (len == kThumbPathField) {
    TLOG(MOD_INTRANET, LOG_ERROR, "thumbnail refused: the picture's path has no end.");
    return 1;
  }
  std::string path =
      platform::ConvertCharset(std::string(field, len), "UTF-8", platform::kNarrowCharset);
  path = ExpandDefaultDirMacro(path);
  if (path.empty()) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "%s.", "def share dir is empty.");
    return ERR_DEF_SHARE_EMPTY;
  }
  if (path.size() > kThumbPathField - 1) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Path of %zu bytes is too long.", path.size());
    return 1;
  }
  req->path = path;
  if (FileExists(path) != 0) {
    TLOG(MOD_INTRANET, LOG_ERROR, "File %s not exits.", path.c_str());
    return 1;
  }
  return 0;
}

ThumbState* ThumbOpenFile(const std::string& path, const ThumbLimits& limits) {
  ThumbSource src;
  if (OpenPicture(path, false, &src) != 0) return nullptr;
  ThumbState* s = NewState(path, src.mtime, limits);
  if (s == nullptr) {
    std::fclose(src.file);
    return nullptr;
  }
  s->file = src.file;
  s->ownsFile = true;
  return OpenState(s);
}

ThumbState* ThumbOpenStream(FILE* file, const std::string& uri, int64_t mtime,
                            const ThumbLimits& limits) {
  if (file == nullptr) return nullptr;
  ThumbState* s = NewState(uri, mtime, limits);
  if (s != nullptr) s->file = file;
  return OpenState(s);
}

ThumbState* ThumbOpenBuffer(const uint8_t* data, size_t len, const std::string& uri, int64_t mtime,
                            const ThumbLimits& limits) {
  if (data == nullptr || len == 0) return nullptr;
  ThumbState* s = NewState(uri, mtime, limits);
  if (s != nullptr) {
    s->mem = data;
    s->memLen = len;
  }
  return OpenState(s);
}

void ThumbSetDecodeSize(ThumbState* s, int width, int height) {
  if (s == nullptr || s->decoded) return;
  s->targetWidth = std::clamp(width, 1, s->sourceWidth);
  s->targetHeight = std::clamp(height, 1, s->sourceHeight);
}

void ThumbSetQuality(ThumbState* s, int quality) {
  if (s != nullptr) s->quality = std::clamp(quality, 1, 100);
}

void ThumbEnableComments(ThumbState* s, bool on) {
  if (s == nullptr) return;
  s->comments = on;
}

void ThumbSetOutput(ThumbState* s, std::vector<uint8_t>* out) {
  if (s != nullptr) s->out = out;
}

int ThumbEncodeFile(ThumbState* s) {
  if (s == nullptr) return 3;
  if (s->out != nullptr) s->out->clear();
  // The markers are made here, before any library call can jump.
  s->markers[0] = "Thumb::URI\nfile://" + s->uri;
  s->markers[1] = "Thumb::MTime\n" + std::to_string(static_cast<unsigned long long>(s->mtime));
  s->markers[2] = "Thumb::Image::Width\n" + std::to_string(s->sourceWidth);
  s->markers[3] = "Thumb::Image::Height\n" + std::to_string(s->sourceHeight);
  s->markers[4] = "Thumb::Mimetype\nimage/jpeg";
  if (int r = ThumbDecode(s); r != 0) return r;
  if (!ThumbScale(s)) return 1;
  if (!ThumbEncode(s)) return 2;
  try {
    s->out->assign(s->dest.data, s->dest.data + s->dest.size);
  } catch (const std::bad_alloc&) {
    return 2;
  }
  return 0;
}

ThumbInfo ThumbGetInfo(const ThumbState* s) {
  ThumbInfo info;
  if (s == nullptr) return info;
  info.sourceWidth = s->sourceWidth;
  info.sourceHeight = s->sourceHeight;
  info.targetWidth = s->targetWidth;
  info.targetHeight = s->targetHeight;
  info.decodedWidth = s->decodedWidth;
  info.decodedHeight = s->decodedHeight;
  info.components = s->components;
  info.color = s->color;
  return info;
}

void ThumbClose(ThumbState* s) {
  if (s == nullptr) return;
  if (s->dinfoCreated) jpeg_destroy_decompress(&s->dinfo);
  if (s->cinfoCreated) jpeg_destroy_compress(&s->cinfo);
  FreeJpegMemDest(&s->dest);
  std::free(s->pixels);
  std::free(s->rows);
  if (s->ownsFile && s->file != nullptr) std::fclose(s->file);
  delete s;
}

namespace {

// Reads the rest of a stream into out when it holds at most limit bytes. Otherwise (or
// when it cannot be read) false, with the stream back where it was.
bool ReadWholeStream(FILE* file, size_t limit, std::vector<uint8_t>& out) {
  const long start = std::ftell(file);
  struct stat st {};
  if (start < 0 || ::fstat(::fileno(file), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size < start || static_cast<uint64_t>(st.st_size - start) > limit) {
    return false;
  }
  // One more byte than the size, so that a file grown meanwhile is seen whole or refused.
  out.resize(static_cast<size_t>(st.st_size - start) + 1);
  size_t got = std::fread(out.data(), 1, out.size(), file);
  if (got > 0 && got < out.size() && !std::ferror(file)) {
    out.resize(got);
    return true;
  }
  out.clear();
  std::clearerr(file);
  std::fseek(file, start, SEEK_SET);
  return false;
}

}  // namespace

bool ThunmbNailIt(const ThumbSource& source, int height, int width, std::vector<uint8_t>& out,
                  const ThumbLimits& limits) {
  out.clear();
  if (source.file == nullptr) return false;
  // The converted picture and the thumbnail never share a buffer.
  std::vector<uint8_t> converted;
  ThumbState* s = nullptr;
  if (IsBmpName(source.path)) {
    ConvertLimits convertLimits;
    convertLimits.maxPixels = limits.maxPixels;
    if (ConvertBmpToJpegStream(source.file, converted, convertLimits) != 1) {
      TLOG(MOD_INTRANET, LOG_DEBUG, "convert bmp %s error", source.path.c_str());
      return false;
    }
    s = ThumbOpenBuffer(converted.data(), converted.size(), source.path, source.mtime, limits);
  } else if (ReadWholeStream(source.file, limits.maxBufferedBytes, converted)) {
    s = ThumbOpenBuffer(converted.data(), converted.size(), source.path, source.mtime, limits);
  } else {
    s = ThumbOpenStream(source.file, source.path, source.mtime, limits);
  }
  if (s == nullptr) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "open jpeg %s error", source.path.c_str());
    return false;
  }
  std::vector<uint8_t> thumb;
  ThumbSetDecodeSize(s, width, height);
  ThumbSetQuality(s, 75);
  ThumbEnableComments(s, true);
  ThumbSetOutput(s, &thumb);
  int result = ThumbEncodeFile(s);
  ThumbClose(s);
  if (result != 0 || thumb.empty()) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "thumbnail of %s failed: %d", source.path.c_str(), result);
    return false;
  }
  out.swap(thumb);
  return true;
}

bool ThunmbNailIt(const std::string& path, int height, int width, std::vector<uint8_t>& out,
                  const ThumbLimits& limits) {
  out.clear();
  ThumbSource src;
  if (OpenPicture(path, false, &src) != 0) return false;
  bool ok = ThunmbNailIt(src, height, width, out, limits);
  std::fclose(src.file);
  return ok;
}

int SendThumbStatus(const ThumbTransport& transport, uint16_t status, uint32_t seq) {
  uint8_t msg[kThumbStatusSize] = {};
  MsgHead{static_cast<uint16_t>(kThumbStatusSize), OP_THUMB_STATUS, seq}.Encode(msg);
  wire::PutU16(msg + 8, status);
  return SendFrame(transport, msg, sizeof msg);
}

int ReqDownloadThumbNial(const uint8_t* body, uint32_t bodyLen, const MsgHead* head,
                         bufferevent* conn, uint8_t** /*reply*/, int32_t* /*replyLen*/,
                         int32_t* udtSock, uint8_t* direct) {
  if (body == nullptr || bodyLen == 0 || head == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Input msg buffer pointer is null.");
    return ERR_NULL_MSG;
  }
  ThumbTransport t;
  t.conn = conn;
  t.udtSock = udtSock != nullptr ? *udtSock : -1;
  t.relay = t.udtSock < 0 && direct != nullptr && *direct == 0;
  size_t recordAt = 0;
  if (t.relay) {
    // Without the device's id nothing can be addressed to it.
    if (bodyLen < kRelayIdSize) {
      TLOG(MOD_INTRANET, LOG_ERROR, "Relayed request of %u bytes has no device id.", bodyLen);
      return ERR_NULL_MSG;
    }
    std::memcpy(t.target, body, kRelayIdSize);
    recordAt = kRelayPrefixSize;
  }
  const uint32_t seq = head->seq;

  ThumbRequest req;
  int parsed = Parse_ThumbTransStatusHead(bodyLen >= recordAt ? body + recordAt : nullptr,
                                          bodyLen >= recordAt ? bodyLen - recordAt : 0, &req);
  if (parsed != 0) return SendThumbStatus(t, 1, seq);

  ThumbSource src;
  if (OpenPicture(req.path, true, &src) != 0) return SendThumbStatus(t, 1, seq);
  std::shared_ptr<FILE> file(src.file, std::fclose);
  src.file = nullptr;
  auto answer = [file, src, req, seq] {
    ThumbSource source = src;
    source.file = file.get();
    return ThumbAnswer(source, req, seq);
  };
  // On the LAN the picture is made off the event thread, so that other connections are
  // served meanwhile; the answer still goes out in this connection's order.
  if (t.udtSock < 0 && !t.relay && OS_ReplyOffThread(conn, answer)) return 0;

  const std::string frames = answer();
  for (size_t at = 0; at + MsgHead::kSize <= frames.size();) {
    const auto* frame = reinterpret_cast<const uint8_t*>(frames.data() + at);
    size_t len = wire::GetU16(frame);
    bool last = at + len >= frames.size();
    if (SendFrame(t, frame, len) != 0) {
      if (!last) SendThumbStatus(t, 1, seq);
      TLOG(MOD_COMMLIB, LOG_ERROR, "Write return message error.");
      return -1;
    }
    at += len;
  }
  return 0;
}
