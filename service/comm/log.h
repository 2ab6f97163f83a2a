// The service's one text log. Every function logs through g_Log: one line per call
// with the time, module tag, function, source line, thread id and level.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// Priorities: a smaller number is more severe.
enum : unsigned {
  LOG_ERROR = 300,
  LOG_WARNING = 400,
  LOG_INFO = 600,
  LOG_DEBUG = 700,
};

// Module tags.
inline constexpr const char* MOD_COMMLIB = "CommLib";
inline constexpr const char* MOD_CLIENT = "TirvanClient";
inline constexpr const char* MOD_SHOW = "Show";
inline constexpr const char* MOD_INTRANET = "Intranet tran";
inline constexpr const char* MOD_USER = "USER";

class CLog {
 public:
  static constexpr uint64_t kDefaultSizeLimit = 5242880;
  static constexpr unsigned kDefaultThreshold = 600;

  CLog();
  virtual ~CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  // Gives the logger its file: sets the path, threshold and console flag and opens
  // the path for appending. Returns false when the file cannot be opened (nothing
  // is logged then). Called by the service's start-up before other threads log.
  bool Open(const std::string& path, unsigned threshold, bool console);
  // Closes the file; later lines are dropped until Open is called again.
  void Close();
  void SetSizeLimit(uint64_t bytes) { m_sizeLimit = bytes; }
  unsigned Threshold() const { return m_threshold; }
  std::string Path() const;

  void Print(const char* module, unsigned priority, const char* func, int line, const char* fmt,
             ...) __attribute__((format(printf, 6, 7)));

 private:
  mutable std::mutex m_mutex;
  std::atomic<bool> m_console{false};
  std::atomic<bool> m_opened{false};  // a path has been given and not closed
  std::atomic<unsigned> m_threshold{kDefaultThreshold};
  std::atomic<uint64_t> m_sizeLimit{kDefaultSizeLimit};
  FILE* m_file = nullptr;  // guarded by m_mutex; null after a failed reopen
  std::string m_path;      // guarded by m_mutex
};

extern CLog g_Log;

// Logs with the calling function's name and source line.
#define TLOG(module, priority, ...) g_Log.Print((module), (priority), __func__, __LINE__, __VA_ARGS__)

const char* PriorityName(unsigned priority);

// The current local time as "%Y-%m-%d %H:%M:%S".
std::string GetCurTimeStr();
// Every occurrence of what replaced by with, left to right, inserted text not rescanned.
std::string ReplaceAll(const std::string& text, const std::string& what, const std::string& with);
// Renames from to to, never replacing an existing to. 0, or -1 when from is missing,
// to exists or the rename failed.
int RenameFile(const std::string& from, const std::string& to);
// printf-style formatting of any length.
std::string FormatString(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));
