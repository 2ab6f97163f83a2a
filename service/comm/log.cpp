#include "comm/log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/env_setting.h"
#include "platform/thread.h"

CLog g_Log;

CLog::CLog() = default;

CLog::~CLog() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string out;
  FlushRecent(0, true, out);
  if (m_file != nullptr && !out.empty()) std::fwrite(out.data(), 1, out.size(), m_file);
  if (m_file != nullptr) std::fclose(m_file);
  m_file = nullptr;
}

bool CLog::Open(const std::string& path, unsigned threshold, bool console) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_file != nullptr) std::fclose(m_file);
  m_recent.clear();
  m_path = path;
  m_threshold = threshold;
  m_console = console;
  m_file = std::fopen(path.c_str(), "a");
  m_opened = m_file != nullptr;
  return m_file != nullptr;
}

void CLog::Close() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string out;
  FlushRecent(0, true, out);
  if (m_file != nullptr && !out.empty()) std::fwrite(out.data(), 1, out.size(), m_file);
  if (m_file != nullptr) std::fclose(m_file);
  m_file = nullptr;
  m_opened = false;
}

std::string CLog::Path() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_path;
}

namespace {

constexpr size_t kMaxRecentLines = 16;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A rotated file's name: the log's own name, a dot and the 14-digit time.
bool IsRotatedName(const std::string& name, const std::string& base) {
  if (name.size() != base.size() + 15 || name.compare(0, base.size(), base) != 0 ||
      name[base.size()] != '.') {
    return false;
  }
  return std::all_of(name.begin() + static_cast<ptrdiff_t>(base.size()) + 1, name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

void CLog::ApplyEnvironment() {
  if (auto v = EnvInteger(kLogSizeLimitEnv, 1, INT64_MAX)) SetSizeLimit(static_cast<uint64_t>(*v));
  if (auto v = EnvInteger(kLogRotatedFilesEnv, 0, 100000)) SetRotatedFiles(static_cast<unsigned>(*v));
}

std::string FormatLogLine(const char* module, unsigned priority, const char* func, int line,
                          const std::string& msg) {
  std::string text;
  text.reserve(msg.size() + 96);
  text += '[';
  text += GetCurTimeStr();
  text += "][";
  text += module;
  text += ' ';
  text += func;
  text += ' ';
  text += std::to_string(line);
  text += "][";
  text += std::to_string(platform::CurrentThreadId());
  text += "][";
  text += PriorityName(priority);
  text += "] ";
  text += msg;
  text += '\n';
  return text;
}

std::string CLog::RepeatLine(const Recent& r) {
  return FormatLogLine(r.module.c_str(), r.priority, r.func.c_str(), r.line,
                       r.msg + " (" + std::to_string(r.repeats) + " more times)");
}

void CLog::FlushRecent(int64_t nowMs, bool force, std::string& out) {
  const int64_t window = m_repeatWindowMs.load();
  for (auto it = m_recent.begin(); it != m_recent.end();) {
    if (force || nowMs - it->writtenMs >= window) {
      if (it->repeats > 0) out += RepeatLine(*it);
      it = m_recent.erase(it);
    } else {
      ++it;
    }
  }
}

void CLog::PruneRotated() {
  const unsigned keep = m_rotatedFiles.load();
  const size_t slash = m_path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : m_path.substr(0, slash);
  const std::string base = slash == std::string::npos ? m_path : m_path.substr(slash + 1);
  std::vector<std::string> rotated;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (IsRotatedName(name, base)) rotated.push_back(name);
  }
  if (rotated.size() <= keep) return;
  // The 14 digits run from the year to the second: the name's order is the files' age.
  std::sort(rotated.begin(), rotated.end());
  for (size_t i = 0; i + keep < rotated.size(); ++i) ::unlink((dir + "/" + rotated[i]).c_str());
}

bool CLog::WriteLocked(const std::string& text) {
  if (m_file == nullptr) {
    // An earlier reopen after rotation failed: try again rather than stay silent.
    m_file = std::fopen(m_path.c_str(), "a");
    if (m_file == nullptr) return false;
  }
  std::fseek(m_file, 0, SEEK_END);
  long pos = std::ftell(m_file);
  if (pos > 0 && static_cast<uint64_t>(pos) > m_sizeLimit) {
    std::fclose(m_file);
    std::string stamp = ReplaceAll(ReplaceAll(ReplaceAll(GetCurTimeStr(), "-", ""), ":", ""), " ", "");
    // Fails while the same second's rotated file exists; the file then grows on
    // and the next line tries again, so no rotated file is ever overwritten.
    if (RenameFile(m_path, m_path + "." + stamp) == 0) PruneRotated();
    m_file = std::fopen(m_path.c_str(), "a");
    if (m_file == nullptr) return false;
  }
  std::fwrite(text.data(), 1, text.size(), m_file);
  std::fflush(m_file);
  return true;
}

void CLog::Print(const char* module, unsigned priority, const char* func, int line, const char* fmt,
                 ...) {
  if (priority > m_threshold) return;
  if (fmt == nullptr || module == nullptr || func == nullptr || !m_opened) return;

  va_list args;
  va_start(args, fmt);
  std::string msg = FormatString(fmt, args);
  va_end(args);

  std::string text = FormatLogLine(module, priority, func, line, msg);
  std::string key;
  key.reserve(msg.size() + 64);
  key += module;
  key += '\0';
  key += func;
  key += '\0';
  key += std::to_string(line);
  key += '\0';
  key += std::to_string(priority);
  key += '\0';
  key += msg;

  std::string out;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_opened) return;
    const int64_t now = SteadyMs();
    FlushRecent(now, false, out);
    bool counted = false;
    if (m_repeatWindowMs.load() > 0) {
      auto it = std::find_if(m_recent.begin(), m_recent.end(),
                             [&](const Recent& r) { return r.key == key; });
      if (it != m_recent.end()) {
        // Written within the window: only counted. The count goes out once the window
        // has passed, before a later line.
        ++it->repeats;
        counted = true;
      } else {
        if (m_recent.size() >= kMaxRecentLines) {
          if (m_recent.front().repeats > 0) out += RepeatLine(m_recent.front());
          m_recent.erase(m_recent.begin());
        }
        m_recent.push_back(Recent{std::move(key), module, func, msg, line, priority, now, 0});
      }
    }
    if (!counted) out += text;
    if (out.empty() || !WriteLocked(out)) return;
  }
  if (m_console) std::fwrite(out.data(), 1, out.size(), stdout);
}

const char* PriorityName(unsigned priority) {
  switch (priority) {
    case LOG_ERROR: return "ERROR";
    case LOG_WARNING: return "WARNING";
    case LOG_INFO: return "INFO";
    case LOG_DEBUG: return "DEBUG";
    default: return "OTHER";
  }
}

std::string GetCurTimeStr() {
  time_t now = std::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return buf;
}

std::string ReplaceAll(const std::string& text, const std::string& what, const std::string& with) {
  if (text.empty() || what.empty()) return text;
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(what, pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    out += with;
    pos = hit + what.size();
  }
  out.append(text, pos, std::string::npos);
  return out;
}

int RenameFile(const std::string& from, const std::string& to) {
  struct stat st {};
  if (::stat(from.c_str(), &st) != 0) return -1;
  // renameat2 with RENAME_NOREPLACE refuses an existing target atomically; plain
  // rename() would silently replace it.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // The file system does not support the flag: link, then unlink, which also
  // refuses an existing target.
  if (::link(from.c_str(), to.c_str()) != 0) return -1;
  ::unlink(from.c_str());
  return 0;
}

std::string FormatString(const char* fmt, va_list args) {
  size_t size = 1024;
  for (;;) {
    std::string buf(size, '\0');
    va_list copy;
    va_copy(copy, args);  // each attempt needs its own copy of the arguments
    int n = std::vsnprintf(buf.data(), size, fmt, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < size) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    size = n < 0 ? size * 2 : static_cast<size_t>(n) + 1;
    if (size > (64u << 20)) return std::string();
  }
}
