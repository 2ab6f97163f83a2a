// The platform's narrow charset and strict conversions between charsets.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The charset of database texts, file names and the log on this platform. Every
// conversion between the wire (UTF-8) and storage goes through this name.
inline constexpr const char* kNarrowCharset = "UTF-8";

// text converted from charset from to charset to with iconv. A sequence that is invalid
// in from, or a character that to lacks, is skipped and the rest is converted. *ok (when
// given) is true when nothing was skipped; it is false, and the result "", when iconv does
// not know the conversion. A "//..." suffix of a name (such as "//IGNORE") is dropped:
// skipping is always done here, never by iconv.
std::string ConvertCharset(const std::string& text, const char* from, const char* to,
                           bool* ok = nullptr);

// The length of the longest prefix of text that holds at most maxBytes bytes and ends on a
// character boundary of charset (UTF-8 and the GB2312/GBK/GB18030 family; any other
// charset is cut by bytes). Invalid bytes count as one-byte characters.
size_t CharBoundaryPrefix(const std::string& text, size_t maxBytes, const char* charset);
// text cut to that prefix.
std::string CutToCharBoundary(const std::string& text, size_t maxBytes, const char* charset);

}  // namespace platform
