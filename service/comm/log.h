// The service's one text log. Every function logs through g_Log: one line per call
// with the time, module tag, function, source line, thread id and level.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

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

// Environment settings the service's start-up applies to g_Log (for tests and demos):
// the size past which the file rotates, and how many rotated files are kept.
inline constexpr const char* kLogSizeLimitEnv = "TIRVAN_LOG_SIZE_BYTES";
inline constexpr const char* kLogRotatedFilesEnv = "TIRVAN_LOG_ROTATED_FILES";

class CLog {
 public:
  static constexpr uint64_t kDefaultSizeLimit = 5242880;
  static constexpr unsigned kDefaultThreshold = 600;
  // Rotated files kept beside the log; older ones are deleted.
  static constexpr unsigned kDefaultRotatedFiles = 20;
  // The same line (module, function, source line, level and message) written again
  // within this time is counted instead; the count follows as one line.
  static constexpr unsigned kDefaultRepeatWindowMs = 1000;

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
  // At most this many rotated files stay (0 keeps none).
  void SetRotatedFiles(unsigned count) { m_rotatedFiles = count; }
  // 0 writes every line.
  void SetRepeatWindow(unsigned ms) { m_repeatWindowMs = ms; }
  // Takes the size limit and the number of rotated files from the environment where
  // they are set there (whole numbers; a size of 1 or more).
  void ApplyEnvironment();
  unsigned Threshold() const { return m_threshold; }
  std::string Path() const;

  void Print(const char* module, unsigned priority, const char* func, int line, const char* fmt,
             ...) __attribute__((format(printf, 6, 7)));

 private:
  // A line written lately, and how often it came again within the window since.
  struct Recent {
    std::string key;  // module, function, source line, level and message
    std::string module, func, msg;
    int line = 0;
    unsigned priority = 0;
    int64_t writtenMs = 0;
    unsigned repeats = 0;
  };
  // Under m_mutex: the lines to write for the count of repeats of r.
  static std::string RepeatLine(const Recent& r);
  // Under m_mutex: takes the entries whose window has passed (all with force) out of
  // m_recent and appends their count lines to out.
  void FlushRecent(int64_t nowMs, bool force, std::string& out);
  // Under m_mutex: writes text to the file, rotating it first when it has grown past the
  // limit. False when no file could be opened.
  bool WriteLocked(const std::string& text);
  // Under m_mutex: deletes the oldest rotated files beyond m_rotatedFiles.
  void PruneRotated();

  mutable std::mutex m_mutex;
  std::atomic<bool> m_console{false};
  std::atomic<bool> m_opened{false};  // a path has been given and not closed
  std::atomic<unsigned> m_threshold{kDefaultThreshold};
  std::atomic<uint64_t> m_sizeLimit{kDefaultSizeLimit};
  std::atomic<unsigned> m_rotatedFiles{kDefaultRotatedFiles};
  std::atomic<unsigned> m_repeatWindowMs{kDefaultRepeatWindowMs};
  std::vector<Recent> m_recent;  // guarded by m_mutex
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
// The whole log line for a message: time, module, function, source line, thread, level.
std::string FormatLogLine(const char* module, unsigned priority, const char* func, int line,
                          const std::string& msg);
