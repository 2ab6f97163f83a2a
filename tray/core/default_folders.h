// The data folder the service shares with the phones: a folder "Tirvan" in a base folder
// the user chooses, with its picture, music, video and document folders named in the
// current language. Laying out the five paths, creating the folders, and moving an
// earlier data folder to a new base, which never merges into or overwrites what is there.
#pragma once

#include <QString>
#include <QStringList>

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

// What a move of the data folder needs of the file system (std::filesystem for real, a
// fake in tests).
class IFileOps {
 public:
  virtual ~IFileOps() = default;
  virtual bool Exists(const QString& path) const = 0;
  virtual bool IsDir(const QString& path) const = 0;
  // A folder with nothing in it (false where that cannot be told).
  virtual bool IsEmptyDir(const QString&) const { return false; }
  // The path with links and ".." resolved, as far as it exists.
  virtual QString Canonical(const QString& path) const = 0;
  virtual bool MakePath(const QString& path, QString* error) = 0;
  // A rename; false (and nothing changed) where the two lie on different file systems.
  virtual bool Rename(const QString& from, const QString& to, QString* error) = 0;
  // A copy of the whole tree, then a check that every file arrived with its size.
  virtual bool CopyTree(const QString& from, const QString& to, QString* error) = 0;
  virtual bool RemoveTree(const QString& path, QString* error) = 0;
};

class RealFileOps final : public IFileOps {
 public:
  bool Exists(const QString& path) const override;
  bool IsDir(const QString& path) const override;
  bool IsEmptyDir(const QString& path) const override;
  QString Canonical(const QString& path) const override;
  bool MakePath(const QString& path, QString* error) override;
  bool Rename(const QString& from, const QString& to, QString* error) override;
  bool CopyTree(const QString& from, const QString& to, QString* error) override;
  bool RemoveTree(const QString& path, QString* error) override;
};

enum class MoveOutcome {
  kMoved,          // the data folder now lies in the new base
  kNothingToMove,  // no data folder in the old base (a first choice)
  kSameBase,       // the new base is the old one
  kTargetExists,   // the new base already holds a folder "Tirvan"
  kTargetInside,   // the new base lies inside the data folder
  kFailed,         // the move failed; the old folder stays as it was
};

struct MoveResult {
  MoveOutcome outcome;
  QString error;  // for kFailed
};

// Moves oldBase/Tirvan to newBase/Tirvan: a rename where it can, else a copy that is
// verified before the old folder goes.
MoveResult MoveRootFolder(const QString& oldBase, const QString& newBase, QChar sep, IFileOps& files);

// Creates the video, document, music and picture folders (and so the data folder) where
// they are missing; the paths that could not be made, with why.
QStringList CreateDefShareFolders(const DefShare& share, IFileOps& files);

}  // namespace tray
