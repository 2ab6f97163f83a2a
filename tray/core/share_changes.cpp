#include "share_changes.h"

#include <QDir>

namespace tray {

SharePending::Pick SharePending::PickDataFolder(const std::optional<QString>& picked, const QString& currentBase,
                                                const SystemFolders& folders) {
  if (!picked || picked->isEmpty() || !QDir::isAbsolutePath(*picked)) return Pick::kRefused;
  const QString target = QDir::cleanPath(*picked);
  if (!currentBase.isEmpty()) {
    const QString base = QDir::cleanPath(currentBase);
    if (target == base) {
      m_moveTo.reset();
      return Pick::kCleared;
    }
    const QString root = JoinFolder(base, QLatin1String(kDataFolderName), QLatin1Char('/'));
    if (target == root || target.startsWith(root + QLatin1Char('/'))) return Pick::kRefused;
  }
  if (!IsAllowedShareFolder(JoinFolder(target, QLatin1String(kDataFolderName), QLatin1Char('/')), folders)) {
    return Pick::kRefused;
  }
  m_moveTo = target;
  return Pick::kFlagged;
}

SharePending::Applied SharePending::Take() {
  Applied a{ReduceShareChanges(m_changes), m_moveTo, m_autoStartChanged};
  Clear();
  return a;
}

void SharePending::Cancel(IShareList& list) {
  for (auto it = m_changes.rbegin(); it != m_changes.rend(); ++it) {
    const QString path = QString::fromStdString(it->path);
    if (it->op == ShareChange::kAdd) {
      DeleteShareListItem(list, path);
    } else {
      ShowShareListItem(path, -1, list);  // a row the list showed before
    }
  }
  Clear();
}

void SharePending::Clear() {
  m_changes.clear();
  m_moveTo.reset();
  m_autoStartChanged = false;
}

void RootFolder::Place(IShareList& list, const QString& root) {
  if (!m_root.isEmpty()) DeleteShareListItem(list, m_root);
  m_root = root;
  ShowShareListItem(m_root, -1, list);
}

void RootFolder::ApplyDefShare(IShareList& list, const QString& root, QChar sep, const ILanguages& languages,
                               IFileOps& files) {
  Place(list, root);
  m_base = BaseOfDataFolder(root, sep);
  RefillDefaults(sep, languages);
  if (m_base.isEmpty()) return;
  const QStringList failed = CreateDefShareFolders(m_defaults, files);
  if (!failed.isEmpty()) qWarning("cannot create the default folders: %s", qUtf8Printable(failed.join(QStringLiteral(", "))));
}

void RootFolder::ShowRootFolder(IShareList& list, const QString& newBase, QChar sep, const ILanguages& languages) {
  Place(list, JoinFolder(newBase, QLatin1String(kDataFolderName), sep));
  m_base = newBase;
  RefillDefaults(sep, languages);
}

void RootFolder::RefillDefaults(QChar sep, const ILanguages& languages) {
  if (m_base.isEmpty()) return;
  m_defaults = BuildDefShare(m_base, sep, languages);
}

}  // namespace tray
