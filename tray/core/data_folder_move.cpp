#include "data_folder_move.h"

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "default_folders.h"

namespace tray {

namespace {

constexpr const char* kPartSuffix = ".tirvan-part";
// Times on the target may be coarser than on the source (two seconds on some disks).
constexpr int64_t kTimeSlackNs = 2'000'000'000;

QString Under(const QString& root, const QString& rel) {
  return rel.isEmpty() ? root : root + QLatin1Char('/') + rel;
}

// True when path is folder or lies inside it (whole components compared).
bool Within(const QString& path, const QString& folder) {
  return path == folder || path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

MoveResult Failed(const FileError& e) {
  if (e.cancelled) return {MoveOutcome::kCancelled, {}};
  return {e.noSpace ? MoveOutcome::kNoSpace : MoveOutcome::kFailed, e.text};
}

int EnvMs(const char* name, int fallback) {
  bool ok = false;
  const int v = qEnvironmentVariableIntValue(name, &ok);
  return ok && v >= 0 ? v : fallback;
}

}  // namespace

MoveTimings MoveTimings::FromEnvironment() {
  MoveTimings t;
  t.quietMs = EnvMs("TIRVAN_MOVE_QUIET_MS", t.quietMs);
  t.settleMs = EnvMs("TIRVAN_MOVE_SETTLE_MS", t.settleMs);
  return t;
}

bool SyncTreeInto(const QString& src, const QString& dst, IFileOps& files, MoveCounters* counters, FileError* error) {
  std::vector<FsEntry> tree;
  if (!files.ListTree(src, &tree, error)) return false;
  std::set<QString> touched;  // folders of dst whose entries changed
  std::vector<const FsEntry*> made;
  for (const FsEntry& e : tree) {
    if (e.rel.isEmpty() || e.rel.endsWith(QLatin1String(kPartSuffix))) continue;
    const QString from = Under(src, e.rel), to = Under(dst, e.rel);
    const int cut = e.rel.lastIndexOf(QLatin1Char('/'));
    const QString parent = cut < 0 ? QString() : e.rel.left(cut);
    std::optional<FsEntry> there = files.Stat(to);
    // What went from src since it was listed (an upload's part renamed to its name, say) is
    // not copied; what took its place comes with the next sync.
    auto gone = [&] {
      if (files.Stat(from)) return false;
      qInfo("%s went while it was copied", qUtf8Printable(from));
      return true;
    };
    switch (e.kind) {
      case FsEntry::kDir:
        if (!there) {
          if (!files.MakeDir(to, error)) return false;
          made.push_back(&e);
          touched.insert(parent);
        } else if (there->kind != FsEntry::kDir) {
          qWarning("%s is not a folder in %s; its files stay in %s", qUtf8Printable(e.rel), qUtf8Printable(dst),
                   qUtf8Printable(src));
        }
        break;
      case FsEntry::kFile: {
        if (there && (there->kind != FsEntry::kFile || (there->size == e.size && there->mtimeNs >= e.mtimeNs))) break;
        const QString part = to + QLatin1String(kPartSuffix);
        auto count = [counters](int64_t n) {
          if (counters) counters->bytesDone += n;
          return true;
        };
        if (!files.CopyFile(from, part, count, error)) {
          FileError ignored;
          files.RemoveFile(part, &ignored);
          if (gone()) break;
          return false;
        }
        QString why;
        if (!files.Rename(part, to, &why)) {
          if (error) error->text = why;
          return false;
        }
        if (counters) ++counters->filesDone;
        touched.insert(parent);
        break;
      }
      case FsEntry::kLink:
        if (there) break;
        if (!files.CopyLink(from, to, error)) {
          if (gone()) break;
          return false;
        }
        touched.insert(parent);
        break;
      case FsEntry::kOther:
        break;
    }
  }
  // Folders made here get their source's time once their entries are in; every folder
  // whose entries changed is flushed.
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    if (!files.SetTime(Under(dst, (*it)->rel), (*it)->mtimeNs, error)) return false;
    touched.insert((*it)->rel);
  }
  for (auto it = touched.rbegin(); it != touched.rend(); ++it) {
    if (!files.SyncDir(Under(dst, *it), error)) return false;
  }
  return true;
}

RootFolderMove::RootFolderMove(QString oldBase, QString newBase, QChar sep, IFileOps& files)
    : m_oldBase(std::move(oldBase)), m_newBase(std::move(newBase)), m_sep(sep), m_files(files) {
  const QString name = QLatin1String(kDataFolderName);
  m_from = JoinFolder(m_oldBase, name, sep);
  m_to = JoinFolder(m_newBase, name, sep);
  m_temp = JoinFolder(m_newBase, QLatin1String(kMoveTempName), sep);
  m_note = JoinFolder(m_newBase, QLatin1String(kMoveNoteName), sep);
}

void RootFolderMove::ResolvePending(const QString& base, const QString& serviceFolder) {
  const QString note = JoinFolder(base, QLatin1String(kMoveNoteName), m_sep);
  std::optional<QString> source = m_files.ReadNote(note);
  if (!source) return;
  const QString temp = JoinFolder(base, QLatin1String(kMoveTempName), m_sep);
  const QString target = JoinFolder(base, QLatin1String(kDataFolderName), m_sep);
  QString why;
  FileError error;
  const bool sourceThere = !source->isEmpty() && *source != target && m_files.IsDir(*source);
  if (m_files.Canonical(target) == m_files.Canonical(serviceFolder)) {
    // The service took the copy: the old folder's late arrivals follow, then it goes.
    const QString aside = JoinFolder(BaseOfDataFolder(*source, m_sep), QLatin1String(kMoveAsideName), m_sep);
    if (!source->isEmpty() && m_files.IsDir(aside)) {
      if (!SyncTreeInto(aside, target, m_files, nullptr, &error)) {
        qWarning("cannot finish the earlier move from %s: %s", qUtf8Printable(aside), qUtf8Printable(error.text));
        return;
      }
      if (!m_files.RemoveTree(aside, &why)) qWarning("cannot remove %s: %s", qUtf8Printable(aside), qUtf8Printable(why));
    }
    if (sourceThere) {
      if (!SyncTreeInto(*source, target, m_files, nullptr, &error)) {
        qWarning("cannot finish the earlier move from %s: %s", qUtf8Printable(*source), qUtf8Printable(error.text));
        return;  // the note stays for the next try
      }
      if (!m_files.RemoveTree(*source, &why)) qWarning("cannot remove %s: %s", qUtf8Printable(*source), qUtf8Printable(why));
      qInfo("finished the earlier move of %s to %s", qUtf8Printable(*source), qUtf8Printable(target));
    }
  } else {
    // The service still uses the old folder: the copy was not in use and goes.
    if (m_files.Exists(target) && sourceThere) {
      if (!m_files.RemoveTree(target, &why)) qWarning("cannot remove %s: %s", qUtf8Printable(target), qUtf8Printable(why));
    }
    qInfo("removed the unfinished copy of %s in %s", qUtf8Printable(*source), qUtf8Printable(base));
  }
  if (m_files.Exists(temp) && !m_files.RemoveTree(temp, &why)) {
    qWarning("cannot remove %s: %s", qUtf8Printable(temp), qUtf8Printable(why));
  }
  if (!m_files.RemoveFile(note, &error)) qWarning("cannot remove %s: %s", qUtf8Printable(note), qUtf8Printable(error.text));
}

MoveResult RootFolderMove::Place(MoveCounters& counters) {
  counters.stage = MoveCounters::kChecking;
  if (m_oldBase.isEmpty()) return {MoveOutcome::kNothingToMove, {}};
  // The service uses m_from: a note beside it is of a copy the service took.
  ResolvePending(m_oldBase, m_from);
  if (!m_files.IsDir(m_from)) return {MoveOutcome::kNothingToMove, {}};
  const QString fromReal = m_files.Canonical(m_from);
  const QString newReal = m_files.Canonical(m_newBase);
  if (m_files.Canonical(m_oldBase) == newReal) return {MoveOutcome::kSameBase, {}};
  if (Within(newReal, fromReal)) return {MoveOutcome::kTargetInside, {}};
  ResolvePending(m_newBase, m_from);
  if (m_files.Exists(m_to)) return {MoveOutcome::kTargetExists, {}};

  QString error;
  const bool madeBase = !m_files.IsDir(m_newBase);
  if (madeBase && !m_files.MakePath(m_newBase, &error)) return {MoveOutcome::kFailed, error};
  if (m_files.Rename(m_from, m_to, &error)) {
    m_renamed = true;
    return {MoveOutcome::kMoved, {}};
  }
  MoveResult copied = Copy(counters);
  if (copied.outcome != MoveOutcome::kMoved) {
    QString ignored;
    FileError alsoIgnored;
    m_files.RemoveTree(m_temp, &ignored);
    m_files.RemoveFile(m_note, &alsoIgnored);
    if (madeBase && m_files.IsEmptyDir(m_newBase)) m_files.RemoveTree(m_newBase, &ignored);
  } else {
    m_copied = true;
  }
  return copied;
}

MoveResult RootFolderMove::Copy(MoveCounters& counters) {
  FileError error;
  std::vector<FsEntry> tree;
  if (!m_files.ListTree(m_from, &tree, &error)) return Failed(error);
  int64_t files = 0, bytes = 0, need = 0;
  for (const FsEntry& e : tree) {
    if (e.kind == FsEntry::kFile) bytes += e.size;
    if (e.kind == FsEntry::kFile || e.kind == FsEntry::kLink) ++files;
    need += (e.size + 4095) / 4096 * 4096 + (e.kind == FsEntry::kDir ? 4096 : 0);
  }
  counters.filesTotal = files;
  counters.bytesTotal = bytes;
  if (std::optional<int64_t> free = m_files.FreeBytes(m_newBase); free && *free < need) {
    return {MoveOutcome::kNoSpace, QStringLiteral("%1 bytes needed, %2 free").arg(need).arg(*free)};
  }
  counters.stage = MoveCounters::kCopying;
  if (!m_files.WriteNote(m_note, m_from, &error)) return Failed(error);

  // What was copied, as it was copied: a file that grows while it is read (an upload) is
  // checked by the bytes written and brought up to date after the switch.
  std::vector<FsEntry> want;
  std::set<QString> grew;
  for (const FsEntry& e : tree) {
    if (counters.cancel) return {MoveOutcome::kCancelled, {}};
    const QString from = Under(m_from, e.rel), to = Under(m_temp, e.rel);
    int64_t written = 0;
    auto wrote = [&counters, &written](int64_t n) {
      written += n;
      counters.bytesDone += n;
      return !counters.cancel.load();
    };
    bool ok = true;
    switch (e.kind) {
      case FsEntry::kDir: ok = m_files.MakeDir(to, &error); break;
      case FsEntry::kFile: ok = m_files.CopyFile(from, to, wrote, &error); break;
      case FsEntry::kLink: ok = m_files.CopyLink(from, to, &error); break;
      case FsEntry::kOther: qWarning("%s is no file or folder; not copied", qUtf8Printable(from)); continue;
    }
    if (!ok) {
      if (error.cancelled) return {MoveOutcome::kCancelled, {}};
      if (!e.rel.isEmpty() && !m_files.Stat(from)) {
        // Removed from the old folder while the copy ran: not copied.
        qInfo("%s went while the data folder was copied", qUtf8Printable(from));
        FileError ignored;
        if (e.kind != FsEntry::kDir) m_files.RemoveFile(to, &ignored);
        continue;
      }
      return Failed(error);
    }
    FsEntry done = e;
    if (e.kind == FsEntry::kFile && written != e.size) {
      done.size = written;
      grew.insert(e.rel);
    }
    want.push_back(done);
    if (e.kind == FsEntry::kFile || e.kind == FsEntry::kLink) ++counters.filesDone;
  }
  // Each folder's time once its entries are in, deepest first; then each is flushed.
  for (auto it = want.rbegin(); it != want.rend(); ++it) {
    if (it->kind != FsEntry::kDir) continue;
    const QString dir = Under(m_temp, it->rel);
    if (!m_files.SetTime(dir, it->mtimeNs, &error) || !m_files.SyncDir(dir, &error)) return Failed(error);
  }
  // Verified: the copy holds what was copied, with the sizes written and the times kept.
  std::vector<FsEntry> copy;
  if (!m_files.ListTree(m_temp, &copy, &error)) return Failed(error);
  auto key = [](const FsEntry& a, const FsEntry& b) { return a.rel < b.rel; };
  std::sort(want.begin(), want.end(), key);
  std::sort(copy.begin(), copy.end(), key);
  if (want.size() != copy.size()) return {MoveOutcome::kFailed, QStringLiteral("the copy in %1 is not whole").arg(m_temp)};
  for (size_t i = 0; i < want.size(); ++i) {
    const FsEntry& a = want[i];
    const FsEntry& b = copy[i];
    const bool timeOk = a.kind == FsEntry::kLink || grew.count(a.rel) || std::llabs(a.mtimeNs - b.mtimeNs) <= kTimeSlackNs;
    if (a.rel != b.rel || a.kind != b.kind || a.size != b.size || !timeOk) {
      return {MoveOutcome::kFailed, QStringLiteral("%1 did not arrive whole").arg(Under(m_to, a.rel))};
    }
  }
  QString why;
  if (!m_files.Rename(m_temp, m_to, &why)) return {MoveOutcome::kFailed, why};
  if (!m_files.SyncDir(m_newBase, &error)) return Failed(error);
  // What arrived while the copy ran, so that the service finds it in the new folder.
  if (!SyncTreeInto(m_from, m_to, m_files, &counters, &error)) {
    QString ignored;
    m_files.RemoveTree(m_to, &ignored);
    return Failed(error);
  }
  return {MoveOutcome::kMoved, {}};
}

void RootFolderMove::Undo() {
  QString why;
  FileError error;
  if (m_renamed) {
    if (!m_files.Rename(m_to, m_from, &why)) {
      qWarning("cannot move %s back to %s: %s", qUtf8Printable(m_to), qUtf8Printable(m_from), qUtf8Printable(why));
    }
  } else if (m_copied) {
    if (!m_files.RemoveTree(m_to, &why)) qWarning("cannot remove the copy %s: %s", qUtf8Printable(m_to), qUtf8Printable(why));
    m_files.RemoveFile(m_note, &error);
  }
  m_renamed = m_copied = false;
}

bool RootFolderMove::Finish(MoveCounters& counters, const MoveTimings& timings, QString* error) {
  if (!m_copied) return true;
  counters.stage = MoveCounters::kFinishing;
  FileError fe;
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto quietSince = start;
  std::vector<FsEntry> last, now;
  if (!m_files.ListTree(m_from, &last, &fe)) last.clear();
  bool settled = timings.quietMs == 0;
  while (!settled) {
    if (counters.cancel) {
      // The program ends: the note stays, and the next move copies what is left and
      // removes the old folder.
      if (error) *error = m_from;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timings.quietMs, 100)));
    if (!m_files.ListTree(m_from, &now, &fe)) now.clear();
    const auto t = Clock::now();
    if (now != last) {
      last.swap(now);
      quietSince = t;
    }
    if (t - quietSince >= std::chrono::milliseconds(timings.quietMs)) settled = true;
    if (!settled && t - start >= std::chrono::milliseconds(timings.settleMs)) break;
  }
  if (!SyncTreeInto(m_from, m_to, m_files, &counters, &fe)) {
    if (error) *error = fe.text;
    qWarning("cannot copy what arrived in %s: %s; it stays", qUtf8Printable(m_from), qUtf8Printable(fe.text));
    return false;  // the note stays: the next move finishes it
  }
  bool done = settled;
  if (settled) {
    // Out of the way first, so that nothing lands in it unseen between the last copy and
    // the removal; what did land meanwhile is copied from there.
    const QString aside = JoinFolder(m_oldBase, QLatin1String(kMoveAsideName), m_sep);
    QString why;
    const bool moved = m_files.Rename(m_from, aside, &why);
    const QString old = moved ? aside : m_from;
    if (moved && !SyncTreeInto(aside, m_to, m_files, &counters, &fe)) {
      if (error) *error = fe.text;
      qWarning("cannot copy what arrived in %s: %s; it stays", qUtf8Printable(aside), qUtf8Printable(fe.text));
      return false;
    }
    if (!m_files.RemoveTree(old, &why)) {
      if (error) *error = QStringLiteral("%1: %2").arg(old, why);
      done = false;
    } else if (!m_files.SyncDir(m_oldBase, &fe)) {
      qWarning("cannot flush %s: %s", qUtf8Printable(m_oldBase), qUtf8Printable(fe.text));
    }
  } else if (error) {
    *error = m_from;
    qWarning("%s is still in use; it stays", qUtf8Printable(m_from));
  }
  if (!m_files.RemoveFile(m_note, &fe) || !m_files.SyncDir(m_newBase, &fe)) {
    qWarning("cannot remove %s: %s", qUtf8Printable(m_note), qUtf8Printable(fe.text));
  }
  m_copied = false;
  return done;
}

MoveResult MoveRootFolder(const QString& oldBase, const QString& newBase, QChar sep, IFileOps& files) {
  MoveCounters counters;
  RootFolderMove move(oldBase, newBase, sep, files);
  MoveResult r = move.Place(counters);
  if (r.outcome == MoveOutcome::kMoved && move.Copied()) {
    QString error;
    if (!move.Finish(counters, MoveTimings{0, 0}, &error)) {
      qWarning("moved the data folder to %s but could not remove %s: %s", qUtf8Printable(move.To()),
               qUtf8Printable(move.From()), qUtf8Printable(error));
    }
  }
  return r;
}

}  // namespace tray
