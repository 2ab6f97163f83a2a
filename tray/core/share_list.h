// The list of shared folders as the settings dialog and the first-run wizard show it: one
// row per folder (its display name and its full path), rows told apart by their path
// compared exactly, and the folders of the system that are never offered to the devices.
// Also the pending changes of the list and how they reduce to what the service is sent.
#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace tray {

// The rows of a list of folders; the widgets implement it over their list control.
class IShareList {
 public:
  virtual ~IShareList() = default;
  virtual int RowCount() const = 0;
  virtual QString RowPath(int row) const = 0;
  virtual void InsertRow(int row, const QString& name, const QString& path) = 0;
  virtual void RemoveRow(int row) = 0;
};

// Rows in memory, for the logic's own tests and for lists kept beside a widget.
class ShareRows final : public IShareList {
 public:
  struct Row {
    QString name, path;
  };
  int RowCount() const override { return static_cast<int>(m_rows.size()); }
  QString RowPath(int row) const override { return m_rows.at(static_cast<size_t>(row)).path; }
  void InsertRow(int row, const QString& name, const QString& path) override;
  void RemoveRow(int row) override;
  const std::vector<Row>& Rows() const { return m_rows; }
  QStringList Paths() const;

 private:
  std::vector<Row> m_rows;
};

// The folders of the system and of the program itself: no folder at or below one of them
// is added by the user, nor a folder that holds one of the system folders (sharing "/" or
// "/var" would hand them out too).
struct SystemFolders {
  QStringList system;   // "/usr", "/opt", "/etc", ...: the system's programs and its own files
  QString program;      // the program's own folder ("" for none)

  // The fixed list and the folder the running program lies in (ROOT/bin of an install
  // root, whose other folders may be shared).
  static SystemFolders Default();
};

// True when path may be shared. Whole path components are compared, case-sensitively, on
// the path as written (cleaned of "." and "//") and where it exists also with its links
// resolved.
bool IsAllowedShareFolder(const QString& path, const SystemFolders& folders = SystemFolders::Default());

// The last component of path ("Photos" for "/data/Photos", "a" for "/x/a/", "D:" for
// "D:\"); a path that is only separators is shown whole ("/").
QString GetFolderDisplayName(const QString& path);

// The index of the first row whose path equals path exactly, -1 when none.
int FindShareListItem(const QString& path, const IShareList& list);
// A folder the user adds: 1 added (at position, -1 for the end), -1 a row with this path
// is there, -2 a folder that is not shared.
int AddShareListItem(const QString& path, int position, IShareList& list,
                     const SystemFolders& folders = SystemFolders::Default());
// A folder the service shares already (its list, its data folder): listed whatever
// folder it is, so that none is shared unseen. 1 added, -1 a row with this path is there.
int ShowShareListItem(const QString& path, int position, IShareList& list);
// 1 the row with this path was deleted, -1 there was none.
int DeleteShareListItem(IShareList& list, const QString& path);

// Appends path unless an equal text is in list.
void AddUniquePath(const std::string& path, std::vector<std::string>& list);
// Removes the first text equal to path, if any.
void RemovePath(std::vector<std::string>& list, const std::string& path);

// One change of the list not yet sent to the service.
struct ShareChange {
  enum Op : int { kAdd = 1, kRemove = 2 };
  int op;
  std::string path;  // UTF-8
  bool operator==(const ShareChange&) const = default;
};

// What the changes, in their order, ask of the service: the last change of a path wins.
struct ShareDelta {
  std::vector<std::string> added, removed;
  bool Empty() const { return added.empty() && removed.empty(); }
};
ShareDelta ReduceShareChanges(const std::vector<ShareChange>& changes);

}  // namespace tray
