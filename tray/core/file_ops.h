// What the data folder's layout and its move need of the file system: POSIX calls for
// real, a fake in tests. The move's steps are single calls here, so that a fake can stop
// the move between any two of them.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace tray {

// One entry of a tree as ListTree gives it.
struct FsEntry {
  enum Kind { kFile, kDir, kLink, kOther };
  QString rel;  // relative to the listed root, "/"-separated, "" for the root itself
  Kind kind = kOther;
  int64_t size = 0;     // files only
  int64_t mtimeNs = 0;  // modification time, nanoseconds since the epoch
  bool operator==(const FsEntry&) const = default;
};

// Why a step failed.
struct FileError {
  QString text;
  bool noSpace = false;    // the target's file system is full (or its quota spent)
  bool cancelled = false;  // the caller's progress callback asked to stop
};

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
  virtual bool RemoveTree(const QString& path, QString* error) = 0;

  // Every entry below root (links not followed), each folder before what it holds; the
  // root itself first with rel "".
  virtual bool ListTree(const QString& root, std::vector<FsEntry>* out, FileError* error) const = 0;
  // What lies at path (a link itself, not its target); nullopt for nothing.
  virtual std::optional<FsEntry> Stat(const QString& path) const = 0;
  // Copies a regular file to `to` (made anew), with its modification time, and flushes it
  // to disk. wrote(n) is told each n bytes written and stops the copy when it answers false.
  virtual bool CopyFile(const QString& from, const QString& to, const std::function<bool(int64_t)>& wrote,
                        FileError* error) = 0;
  // A symbolic link of the same target at `to`, with the link's own time.
  virtual bool CopyLink(const QString& from, const QString& to, FileError* error) = 0;
  // One folder (its parent must exist).
  virtual bool MakeDir(const QString& path, FileError* error) = 0;
  // The modification time of a folder or link (not followed).
  virtual bool SetTime(const QString& path, int64_t mtimeNs, FileError* error) = 0;
  // Flushes a folder's entries to disk.
  virtual bool SyncDir(const QString& path, FileError* error) = 0;
  // A small text file written whole and flushed, with its folder.
  virtual bool WriteNote(const QString& path, const QString& text, FileError* error) = 0;
  virtual std::optional<QString> ReadNote(const QString& path) const = 0;
  virtual bool RemoveFile(const QString& path, FileError* error) = 0;
  // Bytes free to this user on the file system of path; nullopt where it cannot be told.
  virtual std::optional<int64_t> FreeBytes(const QString& path) const = 0;
};

// Whether path and the nearest existing folder on the way to other lie on one file system
// (a rename between them works); true where that cannot be told.
bool OnSameFileSystem(const QString& path, const QString& other);

class RealFileOps : public IFileOps {
 public:
  bool Exists(const QString& path) const override;
  bool IsDir(const QString& path) const override;
  bool IsEmptyDir(const QString& path) const override;
  QString Canonical(const QString& path) const override;
  bool MakePath(const QString& path, QString* error) override;
  bool Rename(const QString& from, const QString& to, QString* error) override;
  bool RemoveTree(const QString& path, QString* error) override;
  bool ListTree(const QString& root, std::vector<FsEntry>* out, FileError* error) const override;
  std::optional<FsEntry> Stat(const QString& path) const override;
  bool CopyFile(const QString& from, const QString& to, const std::function<bool(int64_t)>& wrote,
                FileError* error) override;
  bool CopyLink(const QString& from, const QString& to, FileError* error) override;
  bool MakeDir(const QString& path, FileError* error) override;
  bool SetTime(const QString& path, int64_t mtimeNs, FileError* error) override;
  bool SyncDir(const QString& path, FileError* error) override;
  bool WriteNote(const QString& path, const QString& text, FileError* error) override;
  std::optional<QString> ReadNote(const QString& path) const override;
  bool RemoveFile(const QString& path, FileError* error) override;
  std::optional<int64_t> FreeBytes(const QString& path) const override;
};

}  // namespace tray
