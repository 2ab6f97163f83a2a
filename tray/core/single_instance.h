// One copy of the tray program per user: an exclusive lock on a file in the user's runtime
// folder, held for the life of the process (the system drops it when the process ends,
// also after a crash).
#pragma once

#include <QString>

namespace tray {

inline constexpr const char* kSingleInstanceName = "A22C2F3F-FC01-457D-B2BC-AC39B39435F2_TIRVAN";

// $XDG_RUNTIME_DIR, else a folder of this user's own in the temporary folder.
QString SingleInstanceFolder();

class SingleInstance {
 public:
  enum class Outcome { kFirst, kAnotherRuns, kNoLock };

  // Takes the lock in folder (SingleInstanceFolder() when empty).
  explicit SingleInstance(const QString& folder = QString());
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  Outcome outcome() const { return m_outcome; }
  // Why there is no lock, for kNoLock.
  const QString& error() const { return m_error; }
  QString lockPath() const { return m_path; }

 private:
  int m_fd = -1;
  Outcome m_outcome = Outcome::kNoLock;
  QString m_path;
  QString m_error;
};

}  // namespace tray
