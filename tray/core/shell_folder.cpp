#include "shell_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

namespace tray {

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteAtomically(const QString& path, const QByteArray& data) {
  if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  file.write(data);
  return file.commit();
}

QByteArray BookmarkUrl(const QString& folder) { return QUrl::fromLocalFile(folder).toEncoded(); }

}  // namespace

QString HelpFileName(int language) {
  switch (language) {
    case 0:
      return QStringLiteral("Tirvan帮助说明.pdf");
    case 1:
      return QStringLiteral("Instructions for Tirvan.pdf");
    case 2:
      return QStringLiteral("Tirvan幫助說明.pdf");
    default:
      return {};
  }
}

DesktopShellFolder::DesktopShellFolder(QString iconPath, QString helpFolder, QString bookmarks)
    : m_icon(std::move(iconPath)),
      m_helpFolder(std::move(helpFolder)),
      m_bookmarks(bookmarks.isEmpty() ? DefaultBookmarksPath() : std::move(bookmarks)) {}

QString DesktopShellFolder::DefaultBookmarksPath() {
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (config.isEmpty()) config = QDir::homePath() + QStringLiteral("/.config");
  return config + QStringLiteral("/gtk-3.0/bookmarks");
}

void DesktopShellFolder::Setup(const QString& dataFolder, int language, const QString& displayName) {
  if (!WriteDirectoryFile(dataFolder)) qWarning("cannot give %s its icon", qUtf8Printable(dataFolder));
  if (!CopyHelpPdf(dataFolder, language)) qWarning("cannot copy the help file into %s", qUtf8Printable(dataFolder));
  if (!SetBookmark(dataFolder, displayName, QString()))
    qWarning("cannot write the bookmark %s", qUtf8Printable(m_bookmarks));
}

void DesktopShellFolder::Forget(const QString& oldDataFolder) {
  if (!SetBookmark(QString(), QString(), oldDataFolder))
    qWarning("cannot write the bookmark %s", qUtf8Printable(m_bookmarks));
}

bool DesktopShellFolder::WriteDirectoryFile(const QString& dataFolder) const {
  QByteArray text = "[Desktop Entry]\nIcon=" + m_icon.toUtf8() + "\n";
  return WriteAtomically(QDir(dataFolder).filePath(QStringLiteral(".directory")), text);
}

bool DesktopShellFolder::CopyHelpPdf(const QString& dataFolder, int language) const {
  QDir dest(dataFolder);
  QList<QByteArray> ours;
  for (int i = 0; i < 3; ++i) ours << ReadAll(QDir(m_helpFolder).filePath(HelpFileName(i)));
  for (int i = 0; i < 3; ++i) {
    QString path = dest.filePath(HelpFileName(i));
    if (!QFileInfo::exists(path)) continue;
    QByteArray existing = ReadAll(path);
    if (!existing.isEmpty() && ours.contains(existing)) QFile::remove(path);
  }
  QString name = HelpFileName(language);
  QString source = QDir(m_helpFolder).filePath(name);
  if (name.isEmpty() || !QFileInfo::exists(source)) return true;  // no help file to give
  if (QFileInfo::exists(dest.filePath(name))) return true;         // a user's file stays
  return QFile::copy(source, dest.filePath(name));
}

bool DesktopShellFolder::SetBookmark(const QString& dataFolder, const QString& displayName,
                                     const QString& replaced) const {
  QByteArray add = dataFolder.isEmpty() ? QByteArray() : BookmarkUrl(dataFolder);
  QByteArray drop = replaced.isEmpty() ? QByteArray() : BookmarkUrl(replaced);
  QList<QByteArray> lines;
  bool changed = false;
  for (const QByteArray& line : ReadAll(m_bookmarks).split('\n')) {
    if (line.isEmpty()) continue;
    QByteArray url = line.left(line.indexOf(' ') < 0 ? line.size() : line.indexOf(' '));
    if (url == add || url == drop) {
      changed = true;
      continue;
    }
    lines << line;
  }
  if (!add.isEmpty()) {
    lines << (displayName.isEmpty() ? add : add + ' ' + displayName.toUtf8());
    changed = true;
  }
  if (!changed) return true;
  return WriteAtomically(m_bookmarks, lines.join('\n') + '\n');
}

}  // namespace tray
