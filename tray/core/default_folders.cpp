#include "default_folders.h"

#include <QDir>

#include <filesystem>
#include <system_error>

namespace tray {

namespace fs = std::filesystem;

namespace {

fs::path P(const QString& path) { return fs::path(path.toStdString()); }

bool Report(const std::error_code& ec, QString* error) {
  if (!ec) return true;
  if (error) *error = QString::fromStdString(ec.message());
  return false;
}

// True when path is folder or lies inside it (whole components compared).
bool Within(const QString& path, const QString& folder) {
  return path == folder || path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

}  // namespace

QString JoinFolder(const QString& base, const QString& name, QChar sep) {
  if (base.isEmpty() || base.endsWith(sep)) return base + name;
  return base + sep + name;
}

DefShare BuildDefShare(const QString& base, QChar sep, const ILanguages& languages) {
  DefShare share;
  share.def = JoinFolder(base, QLatin1String(kDataFolderName), sep);
  share.pic = JoinFolder(share.def, languages.GetString("DEFAULTSHARE", "SHARE_PICTURE"), sep);
  share.music = JoinFolder(share.def, languages.GetString("DEFAULTSHARE", "SHARE_MUSIC"), sep);
  share.video = JoinFolder(share.def, languages.GetString("DEFAULTSHARE", "SHARE_AUDIO"), sep);
  share.doc = JoinFolder(share.def, languages.GetString("DEFAULTSHARE", "SHARE_DOCUMENT"), sep);
  return share;
}

QString DefaultBase() { return QDir::homePath(); }

QString BaseOfDataFolder(const QString& def, QChar sep) {
  QString path = def;
  while (path.size() > 1 && path.endsWith(sep)) path.chop(1);
  int cut = path.lastIndexOf(sep);
  if (cut < 0) return QString();
  if (cut == 0) return QString(sep);
  // "C:\Tirvan" gives "C:\", a root keeps its separator.
  if (cut == 2 && path[1] == QLatin1Char(':')) return path.left(3);
  return path.left(cut);
}

bool RealFileOps::Exists(const QString& path) const {
  std::error_code ec;
  return fs::exists(fs::symlink_status(P(path), ec));
}

bool RealFileOps::IsDir(const QString& path) const {
  std::error_code ec;
  return fs::is_directory(P(path), ec);
}

bool RealFileOps::IsEmptyDir(const QString& path) const {
  std::error_code ec;
  const fs::path p = P(path);
  return fs::is_directory(fs::symlink_status(p, ec)) && fs::is_empty(p, ec) && !ec;
}

QString RealFileOps::Canonical(const QString& path) const {
  std::error_code ec;
  fs::path c = fs::weakly_canonical(P(path), ec);
  return ec ? path : QString::fromStdString(c.string());
}

bool RealFileOps::MakePath(const QString& path, QString* error) {
  std::error_code ec;
  fs::create_directories(P(path), ec);
  return Report(ec, error);
}

bool RealFileOps::Rename(const QString& from, const QString& to, QString* error) {
  std::error_code ec;
  fs::rename(P(from), P(to), ec);
  return Report(ec, error);
}

bool RealFileOps::CopyTree(const QString& from, const QString& to, QString* error) {
  std::error_code ec;
  fs::copy(P(from), P(to), fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (!Report(ec, error)) return false;
  for (auto it = fs::recursive_directory_iterator(P(from), ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    fs::path target = P(to) / fs::relative(it->path(), P(from));
    std::error_code e1, e2;
    if (fs::file_size(it->path(), e1) != fs::file_size(target, e2) || e1 || e2) {
      if (error) *error = QStringLiteral("%1 did not arrive whole").arg(QString::fromStdString(target.string()));
      return false;
    }
  }
  return Report(ec, error);
}

bool RealFileOps::RemoveTree(const QString& path, QString* error) {
  std::error_code ec;
  fs::remove_all(P(path), ec);
  return Report(ec, error);
}

MoveResult MoveRootFolder(const QString& oldBase, const QString& newBase, QChar sep, IFileOps& files) {
  const QString name = QLatin1String(kDataFolderName);
  const QString from = JoinFolder(oldBase, name, sep);
  const QString to = JoinFolder(newBase, name, sep);
  if (oldBase.isEmpty() || !files.IsDir(from)) return {MoveOutcome::kNothingToMove, {}};
  const QString fromReal = files.Canonical(from);
  const QString newReal = files.Canonical(newBase);
  if (files.Canonical(oldBase) == newReal) return {MoveOutcome::kSameBase, {}};
  if (Within(newReal, fromReal)) return {MoveOutcome::kTargetInside, {}};
  if (files.Exists(to)) return {MoveOutcome::kTargetExists, {}};

  QString error;
  if (!files.IsDir(newBase) && !files.MakePath(newBase, &error)) return {MoveOutcome::kFailed, error};
  if (files.Rename(from, to, &error)) return {MoveOutcome::kMoved, {}};
  // Another file system: copy, verify, and only then remove the old folder.
  if (!files.CopyTree(from, to, &error)) {
    QString ignored;
    files.RemoveTree(to, &ignored);
    return {MoveOutcome::kFailed, error};
  }
  if (!files.RemoveTree(from, &error)) {
    // The copy is whole; what is left of the old folder stays for the user to remove.
    qWarning("moved the data folder to %s but could not remove %s: %s", qUtf8Printable(to),
             qUtf8Printable(from), qUtf8Printable(error));
  }
  return {MoveOutcome::kMoved, {}};
}

QStringList CreateDefShareFolders(const DefShare& share, IFileOps& files) {
  QStringList failed;
  for (const QString* path : {&share.video, &share.doc, &share.music, &share.pic}) {
    if (files.IsDir(*path)) continue;
    QString error;
    if (!files.MakePath(*path, &error)) failed << QStringLiteral("%1 (%2)").arg(*path, error);
  }
  return failed;
}

}  // namespace tray
