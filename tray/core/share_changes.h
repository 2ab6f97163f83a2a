// What the shares page holds besides its rows: the changes not yet sent to the service, a
// chosen move of the data folder and the autostart change of the settings page, all
// applied by OK and all dropped by Cancel; and the root folder (the folder "Tirvan" in the
// data folder's base) with its four default folders, which follow every report of the
// service and every move.
#pragma once

#include <QString>

#include <optional>
#include <vector>

#include "default_folders.h"
#include "languages.h"
#include "share_list.h"

namespace tray {

class SharePending {
 public:
  void Added(const QString& path) { m_changes.push_back({ShareChange::kAdd, path.toStdString()}); }
  void Removed(const QString& path) { m_changes.push_back({ShareChange::kRemove, path.toStdString()}); }

  enum class Pick {
    kFlagged,  // a move to the picked folder waits for OK
    kCleared,  // the current base was picked again: no move waits
    kRefused,  // nothing picked, or a folder no move may go to; nothing changed
  };
  // A folder picked as the new base of the data folder (none when the picker was
  // cancelled). Only an absolute folder that is not the current base, does not lie in the
  // current data folder and is no system folder is taken.
  Pick PickDataFolder(const std::optional<QString>& picked, const QString& currentBase,
                      const SystemFolders& folders = SystemFolders::Default());
  void MarkAutoStartChanged() { m_autoStartChanged = true; }

  struct Applied {
    ShareDelta shares;
    std::optional<QString> moveTo;  // the new base
    bool autoStart = false;
  };
  // What OK carries out; everything pending is dropped.
  Applied Take();
  // Takes every pending change back out of list (the latest first, so a folder added and
  // deleted again stays away and a deleted folder comes back at the end), then drops
  // everything pending, the move and the autostart change included.
  void Cancel(IShareList& list);
  void Clear();

  const std::vector<ShareChange>& Changes() const { return m_changes; }
  bool DataFolderChanged() const { return m_moveTo.has_value(); }
  std::optional<QString> MoveTarget() const { return m_moveTo; }
  bool AutoStartChanged() const { return m_autoStartChanged; }

 private:
  std::vector<ShareChange> m_changes;
  std::optional<QString> m_moveTo;
  bool m_autoStartChanged = false;
};

class RootFolder {
 public:
  // base/Tirvan, "" until the service reported it.
  const QString& Root() const { return m_root; }
  // The data folder's base ("" while no root is known).
  QString Base() const { return m_base; }
  const DefShare& Defaults() const { return m_defaults; }

  // The root the service reports: its row replaces the earlier root's (at the end of the
  // list, shown wherever it lies), and its four default folders are made where they are
  // missing.
  void ApplyDefShare(IShareList& list, const QString& root, QChar sep, const ILanguages& languages,
                     IFileOps& files);
  // The data folder now lies in newBase: the root's row and the default folders follow.
  void ShowRootFolder(IShareList& list, const QString& newBase, QChar sep, const ILanguages& languages);
  // The default folders named in the language now in force (after a language change).
  void RefillDefaults(QChar sep, const ILanguages& languages);

 private:
  void Place(IShareList& list, const QString& root);
  QString m_root, m_base;
  DefShare m_defaults;
};

}  // namespace tray
