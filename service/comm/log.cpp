#include "comm/log.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/thread.h"

CLog g_Log;

CLog::CLog() = default;

CLog::~CLog() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_file != nullptr) std::fclose(m_file);
  m_file = nullptr;
}

bool CLog::Open(const std::string& path, unsigned threshold, bool console) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_file != nullptr) std::fclose(m_file);
  m_path = path;
  m_threshold = threshold;
  m_console = console;
  m_file = std::fopen(path.c_str(), "a");
  m_opened = m_file != nullptr;
  return m_file != nullptr;
}

void CLog::Close() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_file != nullptr) std::fclose(m_file);
  m_file = nullptr;
  m_opened = false;
}

std::string CLog::Path() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_path;
}

void CLog::Print(const char* module, unsigned priority, const char* func, int line, const char* fmt,
                 ...) {
  if (priority > m_threshold) return;
  if (fmt == nullptr || module == nullptr || func == nullptr || !m_opened) return;

  va_list args;
  va_start(args, fmt);
  std::string msg = FormatString(fmt, args);
  va_end(args);

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

  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_opened) return;
    if (m_file == nullptr) {
      // An earlier reopen after rotation failed: try again rather than stay silent.
      m_file = std::fopen(m_path.c_str(), "a");
      if (m_file == nullptr) return;
    }
    std::fseek(m_file, 0, SEEK_END);
    long pos = std::ftell(m_file);
    if (pos > 0 && static_cast<uint64_t>(pos) > m_sizeLimit) {
      std::fclose(m_file);
      std::string stamp = ReplaceAll(ReplaceAll(ReplaceAll(GetCurTimeStr(), "-", ""), ":", ""), " ", "");
      // Fails while the same second's rotated file exists; the file then grows on
      // and the next line tries again, so no rotated file is ever overwritten.
      RenameFile(m_path, m_path + "." + stamp);
      m_file = std::fopen(m_path.c_str(), "a");
      if (m_file == nullptr) return;
    }
    std::fwrite(text.data(), 1, text.size(), m_file);
    std::fflush(m_file);
  }
  if (m_console) std::fwrite(text.data(), 1, text.size(), stdout);
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
