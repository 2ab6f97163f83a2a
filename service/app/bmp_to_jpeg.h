// The BMP-to-JPEG converter: turns an 8- or 24-bit BMP (or a PPM/PGM picture) into a
// JPEG at quality 75, so that the thumbnailer, which reads only JPEG, can use it. The
// reader is chosen by the first byte of the content, not by the file's name.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <jpeglib.h>

// Bounds a conversion keeps to, so that a crafted header can never make it allocate
// more than the picture could hold.
struct ConvertLimits {
  static constexpr uint64_t kDefaultMaxPixels = 64'000'000;
  // Largest width × height accepted (and never more than 65,500 on either side).
  uint64_t maxPixels = kDefaultMaxPixels;
};

// Writes the JPEG of the picture at inPath to outPath. 1 when it was written without
// any warning of the JPEG library, 0 otherwise; a failed conversion leaves no output
// file behind. The open failures are reported on standard error and in the log.
int ConvertBmpToJpeg(const std::string& inPath, const std::string& outPath,
                     const ConvertLimits& limits = ConvertLimits{});

// The same conversion of an open picture (read from its current position to its end)
// into memory. 1 with out holding the JPEG, 0 with out empty. The file stays open.
int ConvertBmpToJpegStream(FILE* in, std::vector<uint8_t>& out,
                           const ConvertLimits& limits = ConvertLimits{});

// Option matching of the converter's switches: true when arg, without its leading "-"
// (or "--"), is a case-insensitive prefix of keyword at least minChars long.
bool MatchSwitchKeyword(const char* arg, const char* keyword, int minChars);

// The converter's option step over args (switches first, then file names). The only
// switch is "-outfile NAME" (at least "-outf"), which sets *outfile. With forReal set it
// also applies the fixed settings to cinfo (quality 75). Returns the index of the first
// argument that is not a switch, or -1 for an unknown switch or a missing name.
int ParseConvertSwitches(jpeg_compress_struct* cinfo, const std::vector<std::string>& args,
                         bool forReal, std::string* outfile);

// Helpers shared with the thumbnailer. Code that calls the JPEG library under a
// JpegErrorJump keeps no object with a destructor alive between its setjmp and those
// calls: a library error returns there by longjmp.

// An error manager whose error exit logs the library's message and jumps back to jump.
// Library warnings and notes go to the log, not to standard error.
struct JpegErrorJump {
  jpeg_error_mgr pub;
  jmp_buf jump;
};
jpeg_error_mgr* InitJpegErrorJump(JpegErrorJump* err);

// A destination that grows one malloc'ed buffer up to limit bytes; a JPEG that would
// grow past it is a library error (out of memory). The owner frees data with
// FreeJpegMemDest on every path, also after an error.
struct JpegMemDest {
  jpeg_destination_mgr pub;
  uint8_t* data;
  size_t capacity;
  size_t size;  // bytes written, valid after jpeg_finish_compress
  size_t limit;
};
void AttachJpegMemDest(jpeg_compress_struct* cinfo, JpegMemDest* dest, size_t limit);
void FreeJpegMemDest(JpegMemDest* dest);
