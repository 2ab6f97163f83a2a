// What the tray program and tirvan-fetch say to each other.
//
// The tray starts tirvan-fetch for one transfer with the options below and the address
// last (after "--"). The body of a page arrives on the helper's standard output; a file
// goes to the path of --output and standard output stays empty. Messages for people go to
// standard error. The result is one line on the descriptor named by --result-fd
// (standard error without it), written once the body is complete, and nothing follows it:
//
//   tirvan-fetch-result ok=0|1 status=N too-large=0|1 refused=0|1 error=TEXT\n
//
// N is the HTTP status, 0 to 999 (0 without an answer); refused=1: libcurl refused an
// option, so the transfer never started; TEXT is why it failed ("" when ok=1), the rest
// of the line, printable characters only, at most kMaxFetchErrorBytes. The helper exits
// 0 with ok=1, 1 with ok=0, and 2 for bad arguments (with no result line).
#pragma once

#include <curl/curl.h>

#include <cctype>
#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>

namespace tray::fetchwire {

inline constexpr const char* kOutput = "--output";              // PATH: a file, not a page
inline constexpr const char* kTimeoutMs = "--timeout-ms";       // N, 0: none
inline constexpr const char* kConnectTimeoutMs = "--connect-timeout-ms";  // N, 0: libcurl's
inline constexpr const char* kLowSpeedBytes = "--low-speed-bytes";        // N bytes/s ...
inline constexpr const char* kLowSpeedSeconds = "--low-speed-seconds";    // ... for N s
inline constexpr const char* kHttpsOnly = "--https-only";       // no value
inline constexpr const char* kCaFile = "--ca-file";             // PATH
inline constexpr const char* kMaxBytes = "--max-bytes";         // N: a page's limit
inline constexpr const char* kMaxFileBytes = "--max-file-bytes";  // N, 0: none (files)
inline constexpr const char* kResultFd = "--result-fd";         // N: where the result goes
// For tests: act as if libcurl refused option N (repeatable).
inline constexpr const char* kRefuseOption = "--refuse-option";

// The largest --max-bytes and --max-file-bytes taken.
inline constexpr long long kMaxPageLimit = 1LL << 40;
inline constexpr long long kMaxFileLimit = 1LL << 50;

inline constexpr const char* kResultTag = "tirvan-fetch-result";
inline constexpr size_t kMaxFetchErrorBytes = 1000;
inline constexpr size_t kMaxResultLine = 1200;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Every option the helper sets that a test may have refused.
inline constexpr CURLoption kCheckedOptions[] = {
    CURLOPT_URL, CURLOPT_ERRORBUFFER, CURLOPT_NOSIGNAL, CURLOPT_FOLLOWLOCATION,
    CURLOPT_MAXREDIRS, CURLOPT_PROTOCOLS_STR, CURLOPT_REDIR_PROTOCOLS_STR,
    CURLOPT_SSL_VERIFYPEER, CURLOPT_SSL_VERIFYHOST, CURLOPT_CAINFO, CURLOPT_TIMEOUT_MS,
    CURLOPT_CONNECTTIMEOUT_MS, CURLOPT_LOW_SPEED_LIMIT, CURLOPT_LOW_SPEED_TIME,
    CURLOPT_MAXFILESIZE_LARGE, CURLOPT_NOPROGRESS, CURLOPT_XFERINFOFUNCTION,
    CURLOPT_XFERINFODATA, CURLOPT_WRITEFUNCTION, CURLOPT_WRITEDATA,
};

struct Result {
  bool ok = false;
  long status = 0;
  bool tooLarge = false;
  bool refused = false;
  std::string error;
};

// The result line, newline included; the error made printable and cut to its limit.
inline std::string FormatResult(const Result& r) {
  std::string error = r.error.substr(0, kMaxFetchErrorBytes);
  for (char& c : error)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  const long status = r.status >= 0 && r.status <= 999 ? r.status : 0;
  return std::string(kResultTag) + " ok=" + (r.ok ? "1" : "0") + " status=" + std::to_string(status) +
         " too-large=" + (r.tooLarge ? "1" : "0") + " refused=" + (r.refused ? "1" : "0") +
         " error=" + error + "\n";
}

// Whether url starts with https:// (the scheme in any case); both sides refuse any
// other address of an https-only transfer before it starts.
inline bool IsHttps(std::string_view url) {
  static constexpr char kScheme[] = "https://";
  if (url.size() <= 8) return false;
  for (size_t i = 0; i < 8; ++i)
    if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) return false;
  return true;
}

// Reads exactly one result line as FormatResult writes it; false for anything else.
inline bool ParseResult(std::string_view text, Result* out) {
  if (text.size() > kMaxResultLine || text.empty() || text.back() != '\n') return false;
  text.remove_suffix(1);
  if (text.find('\n') != std::string_view::npos) return false;
  auto take = [&](std::string_view word) {
    if (text.substr(0, word.size()) != word) return false;
    text.remove_prefix(word.size());
    return true;
  };
  auto flag = [&](std::string_view key, bool* value) {
    if (!take(key)) return false;
    if (take("1")) {
      *value = true;
    } else if (take("0")) {
      *value = false;
    } else {
      return false;
    }
    return take(" ");
  };
  Result r;
  if (!take(kResultTag) || !take(" ") || !flag("ok=", &r.ok) || !take("status=")) return false;
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 3 || (digits > 1 && text[0] == '0')) return false;
  std::from_chars(text.data(), text.data() + digits, r.status);
  text.remove_prefix(digits);
  if (!take(" ") || !flag("too-large=", &r.tooLarge) || !flag("refused=", &r.refused) || !take("error="))
    return false;
  if (text.size() > kMaxFetchErrorBytes) return false;
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  r.error.assign(text);
  if (r.ok && !r.error.empty()) return false;
  *out = std::move(r);
  return true;
}

}  // namespace tray::fetchwire
