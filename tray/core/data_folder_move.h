// The move of the data folder oldBase/Tirvan to newBase/Tirvan. On one file system it is
// a rename. Across file systems the tree is copied to a temporary folder beside the
// target (every file and folder flushed to disk, times kept), verified, and renamed into
// place; the old folder stays until the service has taken the new one, and what arrived
// in it meanwhile is copied over before it goes. A note beside the target names the old
// folder while such a copy is unfinished, so that the next move recognises a copy left by
// a killed program and removes it (the service still uses the old folder) or finishes it
// (the service took the new one).
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>

#include "file_ops.h"

namespace tray {

inline constexpr const char* kMoveNoteName = ".Tirvan.move";     // beside the target
inline constexpr const char* kMoveTempName = ".Tirvan.moving";   // the copy until it is whole
inline constexpr const char* kMoveAsideName = ".Tirvan.removing";  // the old folder, going

enum class MoveOutcome {
  kMoved,          // the data folder now lies in the new base
  kNothingToMove,  // no data folder in the old base (a first choice)
  kSameBase,       // the new base is the old one
  kTargetExists,   // the new base already holds a folder "Tirvan"
  kTargetInside,   // the new base lies inside the data folder
  kFailed,         // the move failed; the old folder stays as it was
  kNoSpace,        // the target's disk is too small; nothing is left there
  kCancelled,      // the user stopped the copy; the old folder stays as it was
};

struct MoveResult {
  MoveOutcome outcome;
  QString error;  // for kFailed and kNoSpace
};

// What the copy has done so far, read by the progress dialog on another thread; cancel
// stops the copy (not the final steps after the service took the new folder).
struct MoveCounters {
  enum Stage { kChecking, kCopying, kFinishing };
  std::atomic<int> stage{kChecking};
  std::atomic<int64_t> filesDone{0}, filesTotal{0}, bytesDone{0}, bytesTotal{0};
  std::atomic<bool> cancel{false};
};

struct MoveTimings {
  // The old folder must have been unchanged this long before it is removed (uploads that
  // were still writing into it finish first) ...
  int quietMs = 2000;
  // ... waiting at most this long; past it the old folder stays.
  int settleMs = 600000;
  // TIRVAN_MOVE_QUIET_MS and TIRVAN_MOVE_SETTLE_MS, else the defaults.
  static MoveTimings FromEnvironment();
};

class RootFolderMove {
 public:
  RootFolderMove(QString oldBase, QString newBase, QChar sep, IFileOps& files);

  // Clears up after an unfinished earlier move, checks the target, and puts the data folder
  // in place: renamed, or copied with the old folder left standing (Copied()).
  MoveResult Place(MoveCounters& counters);
  bool Renamed() const { return m_renamed; }
  bool Copied() const { return m_copied; }
  const QString& From() const { return m_from; }
  const QString& To() const { return m_to; }

  // The service did not take the new folder: a rename goes back, a copy is removed.
  void Undo();
  // The service took the new folder: once the old folder has been quiet, what arrived
  // there is copied over and the old folder removed. False (the old folder stays, its
  // files copied) when it did not settle in time or could not be removed.
  bool Finish(MoveCounters& counters, const MoveTimings& timings, QString* error);

 private:
  MoveResult Copy(MoveCounters& counters);
  void ResolvePending(const QString& base, const QString& serviceFolder);

  QString m_oldBase, m_newBase;
  QChar m_sep;
  IFileOps& m_files;
  QString m_from, m_to, m_temp, m_note;
  bool m_renamed = false;
  bool m_copied = false;
};

// Copies into dst what src holds and dst lacks or holds older (each file through a
// temporary name, so a file in dst is never half written), keeping times; flushed to disk.
// counters (may be null) count the files and bytes copied.
bool SyncTreeInto(const QString& src, const QString& dst, IFileOps& files, MoveCounters* counters, FileError* error);

// Moves oldBase/Tirvan to newBase/Tirvan with nobody between the steps: Place, then Finish
// without waiting.
MoveResult MoveRootFolder(const QString& oldBase, const QString& newBase, QChar sep, IFileOps& files);

}  // namespace tray
