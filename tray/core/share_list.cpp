#include "share_list.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace tray {

void ShareRows::InsertRow(int row, const QString& name, const QString& path) {
  row = std::clamp(row, 0, RowCount());
  m_rows.insert(m_rows.begin() + row, Row{name, path});
}

void ShareRows::RemoveRow(int row) {
  if (row >= 0 && row < RowCount()) m_rows.erase(m_rows.begin() + row);
}

QStringList ShareRows::Paths() const {
  QStringList out;
  for (const Row& r : m_rows) out << r.path;
  return out;
}

SystemFolders SystemFolders::Default() {
  SystemFolders f;
  f.system = {QStringLiteral("/usr"),   QStringLiteral("/opt"),     QStringLiteral("/bin"),
              QStringLiteral("/sbin"),  QStringLiteral("/lib"),     QStringLiteral("/lib32"),
              QStringLiteral("/lib64"), QStringLiteral("/libx32"),  QStringLiteral("/etc"),
              QStringLiteral("/boot"),  QStringLiteral("/proc"),    QStringLiteral("/sys"),
              QStringLiteral("/dev"),   QStringLiteral("/var/lib"), QStringLiteral("/run")};
  if (QCoreApplication::instance() != nullptr) {
    f.program = QDir::cleanPath(QDir(QCoreApplication::applicationDirPath()).absolutePath());
    if (f.program == QStringLiteral("/")) f.program.clear();  // never the whole disk
  }
  return f;
}

namespace {

// path is prefix or lies below it, whole components compared.
bool AtOrBelow(const QString& path, const QString& prefix) {
  if (prefix.isEmpty() || prefix == QStringLiteral("/")) return false;
  return path == prefix || path.startsWith(prefix + QLatin1Char('/'));
}

bool Refused(const QString& path, const SystemFolders& folders) {
  if (AtOrBelow(path, folders.program)) return true;
  for (const QString& sys : folders.system) {
    if (AtOrBelow(path, sys) || AtOrBelow(sys, path) || path == QStringLiteral("/")) return true;
  }
  return false;
}

}  // namespace

bool IsAllowedShareFolder(const QString& path, const SystemFolders& folders) {
  if (path.isEmpty()) return false;
  if (Refused(QDir::cleanPath(path), folders)) return false;
  // A link to a system folder is that folder.
  QString real = QFileInfo(path).canonicalFilePath();
  return real.isEmpty() || !Refused(real, folders);
}

QString GetFolderDisplayName(const QString& path) {
  auto isSep = [](QChar c) { return c == QLatin1Char('/') || c == QLatin1Char('\\'); };
  qsizetype end = path.size();
  while (end > 0 && isSep(path[end - 1])) --end;
  if (end == 0) return path;
  qsizetype start = end;
  while (start > 0 && !isSep(path[start - 1])) --start;
  return path.mid(start, end - start);
}

int FindShareListItem(const QString& path, const IShareList& list) {
  for (int i = 0; i < list.RowCount(); ++i) {
    if (list.RowPath(i) == path) return i;
  }
  return -1;
}

int AddShareListItem(const QString& path, int position, IShareList& list, const SystemFolders& folders) {
  if (FindShareListItem(path, list) >= 0) return -1;
  if (!IsAllowedShareFolder(path, folders)) return -2;
  if (position < 0 || position > list.RowCount()) position = list.RowCount();
  list.InsertRow(position, GetFolderDisplayName(path), path);
  return 1;
}

int ShowShareListItem(const QString& path, int position, IShareList& list) {
  if (FindShareListItem(path, list) >= 0) return -1;
  if (position < 0 || position > list.RowCount()) position = list.RowCount();
  list.InsertRow(position, GetFolderDisplayName(path), path);
  return 1;
}

int DeleteShareListItem(IShareList& list, const QString& path) {
  int row = FindShareListItem(path, list);
  if (row < 0) return -1;
  list.RemoveRow(row);
  return 1;
}

void AddUniquePath(const std::string& path, std::vector<std::string>& list) {
  if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
}

void RemovePath(std::vector<std::string>& list, const std::string& path) {
  auto it = std::find(list.begin(), list.end(), path);
  if (it != list.end()) list.erase(it);
}

ShareDelta ReduceShareChanges(const std::vector<ShareChange>& changes) {
  ShareDelta d;
  for (const ShareChange& c : changes) {
    if (c.op == ShareChange::kAdd) {
      AddUniquePath(c.path, d.added);
      RemovePath(d.removed, c.path);
    } else if (c.op == ShareChange::kRemove) {
      AddUniquePath(c.path, d.removed);
      RemovePath(d.added, c.path);
    }
  }
  return d;
}

}  // namespace tray
