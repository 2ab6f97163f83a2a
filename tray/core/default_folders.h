// The data folder the service shares with the phones: a folder "Tirvan" in a base folder
// the user chooses, with its picture, music, video and document folders named in the
// current language. Laying out the five paths and creating the folders; the move of an
// earlier data folder to a new base is data_folder_move.h.
#pragma once

#include <QString>
#include <QStringList>

#include "data_folder_move.h"
#include "file_ops.h"
#include "languages.h"

namespace tray {

inline constexpr const char* kDataFolderName = "Tirvan";

// The five paths of the default-folder record, in its order.
struct DefShare {
  QString def;    // the data folder F
  QString pic;    // F/<SHARE_PICTURE>
  QString music;  // F/<SHARE_MUSIC>
  QString video;  // F/<SHARE_AUDIO>, the only key the language files have for it
  QString doc;    // F/<SHARE_DOCUMENT>
};

// base + separator (unless base ends with one) + name.
QString JoinFolder(const QString& base, const QString& name, QChar sep);
DefShare BuildDefShare(const QString& base, QChar sep, const ILanguages& languages);
// The base a new data folder is proposed in: the user's home folder.
QString DefaultBase();
// The base of a data folder the service reports (its parent folder), so that a later move
// moves that folder. "" for "".
QString BaseOfDataFolder(const QString& def, QChar sep);

// Creates the video, document, music and picture folders (and so the data folder) where
// they are missing; the paths that could not be made, with why.
QStringList CreateDefShareFolders(const DefShare& share, IFileOps& files);

}  // namespace tray
