#include "default_folders.h"

#include <QDir>

namespace tray {

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
