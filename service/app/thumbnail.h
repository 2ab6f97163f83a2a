// Thumbnails of pictures for devices: a device names a JPEG or BMP file inside the
// shares and a size; the service scales the picture to exactly that size and sends the
// JPEG back in chunks of at most 1,000 bytes, then a status message. Everything is
// done in memory; nothing is written to disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "comm/dispatch.h"
#include "comm/relay_client.h"

// Bounds of one thumbnail. A picture beyond them is refused before anything big is
// allocated.
struct ThumbLimits {
  static constexpr uint64_t kDefaultMaxPixels = 64'000'000;
  static constexpr size_t kDefaultMaxThumbBytes = 32u << 20;
  // Largest source width × height.
  uint64_t maxPixels = kDefaultMaxPixels;
  // The JPEG library's own memory limit while decoding (progressive pictures keep
  // their coefficients); 0 derives it from maxPixels.
  uint64_t maxDecoderMemory = 0;
  // Largest thumbnail (and converted BMP) in bytes.
  size_t maxThumbBytes = kDefaultMaxThumbBytes;
  // A JPEG file up to this size is read whole and decoded from memory, where the
  // library's fast entropy decoder runs throughout (with the 4 KiB buffer of a stream
  // it falls back to the slow one near every refill); a larger one is decoded as a
  // stream.
  size_t maxBufferedBytes = kDefaultMaxThumbBytes;
};
// The limits ReqDownloadThumbNial applies (tests make them small).
void SetThumbLimits(const ThumbLimits& limits);
ThumbLimits GetThumbLimits();

// Wire sizes.
inline constexpr size_t kThumbRequestSize =
    360;  // u16 width, u16 height, 256-byte path, 100 unused
inline constexpr size_t kThumbPathField = 256;
inline constexpr size_t kThumbChunkSize = 1000;
inline constexpr size_t kThumbDataHeadSize = 16;  // length, 0x3001, seq, total, offset
inline constexpr size_t kThumbStatusSize = 12;    // 12, 0x3002, seq, u16 status, u16 0

// A thumbnail request after its checks: the size asked and the expanded disk path.
struct ThumbRequest {
  uint16_t width = 0;
  uint16_t height = 0;
  std::string path;
};

// Reads the 360-byte record (recordLen bytes are available). 0 usable (the file
// exists); 1 not usable (short record, a path without its NUL in 256 bytes or longer
// than 255 bytes after expansion, a missing file); ERR_DEF_SHARE_EMPTY when the
// expansion of a default-folder macro is empty.
int Parse_ThumbTransStatusHead(const uint8_t* record, size_t recordLen, ThumbRequest* req);

// The thumbnailer: one state per thumbnail, from ThumbOpen* to ThumbClose.
enum class ThumbColor { Gray, Rgb, Cmyk };
struct ThumbState;
struct ThumbInfo {
  int sourceWidth = 0, sourceHeight = 0;
  int targetWidth = 0, targetHeight = 0;
  int decodedWidth = 0, decodedHeight = 0;  // 0 before decoding
  int components = 0;
  ThumbColor color = ThumbColor::Rgb;
};

// Opens a JPEG file and reads its header. Null when it cannot be opened, is no JPEG,
// or its size is beyond the limits.
ThumbState* ThumbOpenFile(const std::string& path, const ThumbLimits& limits = GetThumbLimits());
// The same for an open file (not closed by the thumbnailer) or for bytes in memory
// (which must outlive the state). uri and mtime are what the markers name.
ThumbState* ThumbOpenStream(FILE* file, const std::string& uri, int64_t mtime,
                            const ThumbLimits& limits = GetThumbLimits());
ThumbState* ThumbOpenBuffer(const uint8_t* data, size_t len, const std::string& uri, int64_t mtime,
                            const ThumbLimits& limits = GetThumbLimits());
// The exact target size, each side clamped to [1, source]; ignored after decoding.
void ThumbSetDecodeSize(ThumbState* state, int width, int height);
void ThumbSetQuality(ThumbState* state, int quality);
// Whether the five "Thumb::" APP7 markers are written.
void ThumbEnableComments(ThumbState* state, bool on);
// Where ThumbEncodeFile puts the thumbnail.
void ThumbSetOutput(ThumbState* state, std::vector<uint8_t>* out);
// Decodes (scaled down by the library), scales to the target and encodes. 0 success;
// 1 scaling failed; 2 encoding failed; 3 decoding failed; 4 the library reported an
// error while decoding. The output is left empty on any failure.
int ThumbEncodeFile(ThumbState* state);
ThumbInfo ThumbGetInfo(const ThumbState* state);
void ThumbClose(ThumbState* state);

// An open picture: a regular file at its start, named path, modified at mtime.
struct ThumbSource {
  FILE* file = nullptr;
  std::string path;
  int64_t mtime = 0;
};
// The thumbnail of the picture (note the order: height, then width): JPEG files, and
// BMP (or PPM) content through the converter when the name ends in "bmp" or "BMP".
// True with out holding the JPEG; false with out empty.
bool ThunmbNailIt(const ThumbSource& source, int height, int width, std::vector<uint8_t>& out,
                  const ThumbLimits& limits = GetThumbLimits());
// The same for a file by path (no share check).
bool ThunmbNailIt(const std::string& path, int height, int width, std::vector<uint8_t>& out,
                  const ThumbLimits& limits = GetThumbLimits());

// Where a request's answers go: its UDT socket, the relay connection (each message as a
// RelayReply addressed to target, the id at the start of the relayed body) or the LAN
// connection.
struct ThumbTransport {
  bufferevent* conn = nullptr;
  int32_t udtSock = -1;
  bool relay = false;
  uint8_t target[kRelayIdSize] = {};
};
// Sends the 12-byte status message (0 the whole thumbnail was sent, 1 failure).
// 0, or -1 when it could not be sent.
int SendThumbStatus(const ThumbTransport& transport, uint16_t status, uint32_t seq);

// OP_REQ_DOWNLOAD_THUMB_NIAL (0x3001): sends the chunks and the status itself on the
// transport the request came on; sets no reply.
int ReqDownloadThumbNial(const uint8_t* body, uint32_t bodyLen, const MsgHead* head,
                         bufferevent* conn, uint8_t** reply, int32_t* replyLen, int32_t* udtSock,
                         uint8_t* direct);
