// Makes the data folder easy to reach from the desktop: the program's icon on the folder
// (a .directory file, which file managers read), the help file of the current language
// inside it, and a bookmark in the file manager's side bar (the GTK bookmarks file) that
// follows the folder when it moves.
#pragma once

#include <QString>

namespace tray {

// The help file of a language index (0 to 2), or "" for another index.
QString HelpFileName(int language);

class IShellIntegration {
 public:
  virtual ~IShellIntegration() = default;
  // dataFolder gets its icon, help file and bookmark, named displayName.
  virtual void Setup(const QString& dataFolder, int language, const QString& displayName) = 0;
  // The bookmark of a data folder that moved away goes.
  virtual void Forget(const QString& oldDataFolder) = 0;
};

class DesktopShellFolder final : public IShellIntegration {
 public:
  // iconPath: the program's icon as a file; helpFolder: where the three help files lie
  // (the program's folder); bookmarks: the GTK bookmarks file (DefaultBookmarksPath()
  // when empty).
  DesktopShellFolder(QString iconPath, QString helpFolder, QString bookmarks = QString());
  static QString DefaultBookmarksPath();

  void Setup(const QString& dataFolder, int language, const QString& displayName) override;
  void Forget(const QString& oldDataFolder) override;

  bool WriteDirectoryFile(const QString& dataFolder) const;
  // Removes the help files of other languages that are ours (the same bytes as the
  // program's own), never a user's file of the same name, then copies the current one in.
  bool CopyHelpPdf(const QString& dataFolder, int language) const;
  bool SetBookmark(const QString& dataFolder, const QString& displayName, const QString& replaced) const;

 private:
  QString m_icon;
  QString m_helpFolder;
  QString m_bookmarks;
};

}  // namespace tray
