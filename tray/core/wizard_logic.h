// The first-run wizard's rules, apart from its widgets: the proposed data folder, the
// radios, the steps, the list of shared folders with the folders the user added, and what
// the finish hands to the service. The dialog (ui/wizard_dlg.h) shows this state.
#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace tray {

// What the wizard's finish sends: the data folder's base, then the folders to share.
class IWizardTarget {
 public:
  virtual ~IWizardTarget() = default;
  virtual void SetDefShare(const QString& base) = 0;
  virtual void SetShare(const std::vector<std::string>& added) = 0;
  // The folders the service shares already, which step 2 lists beside the data folder.
  virtual QStringList SharedFolders() { return {}; }
};

namespace wizard {

// The proposed base of the data folder: the user's home folder, always absolute.
QString ProposedBase();
// base + "/" (unless it ends with one) + "Tirvan": the folder the service will create.
QString ProductFolder(const QString& base);

// Whether path lies in one of the system's folders (/usr, /etc, /boot, /proc, /sys, /dev,
// /var/lib, /run) or in programPrefix ("" for none), compared as whole path components.
bool IsSystemFolder(const QString& path, const QString& programPrefix);
// The list's name of a folder: its last component; "/" for the root.
QString FolderDisplayName(const QString& path);

// The results of Add.
enum AddResult : int {
  kAdded = 1,
  kAlreadyListed = -1,  // the path is in the list already (compared exactly)
  kSystemFolder = -2,   // refused silently
};

struct Row {
  QString name;
  QString path;
};

class WizardLogic {
 public:
  // proposal: the proposed base; programPrefix: the program's own folder tree, which is
  // never shared.
  explicit WizardLogic(QString proposal, QString programPrefix = {});

  int Step() const { return m_step; }
  // Next from steps 1 and 2, Back from steps 2 and 3; elsewhere they do nothing. Next
  // takes the folder text as the chosen folder and, arriving at step 2, fills the list.
  void Next();
  void Back();

  // The default radio: the proposal back in the folder text, browsing off.
  void ChooseDefault(const QString& proposal);
  // The own-choice radio: browsing on; the folder text stays until a folder is picked.
  void ChooseOwn();
  bool OwnChoice() const { return m_own; }
  bool BrowseEnabled() const { return m_own; }
  // A folder picked through browsing (only while browsing is on).
  void Browsed(const QString& path);

  QString FolderText() const { return m_folderText; }
  QString DefaultFolder() const { return m_default; }
  QString ChosenFolder() const { return m_chosen; }

  // The folders the service shares already: listed in step 2, whatever folder they are,
  // and left alone by the delete button (the shares page removes them).
  void SetSharedFolders(const QStringList& folders) { m_shared = folders; }
  // The list of step 2: the data folder's row first, then the folders shared already, then
  // the added folders, which stay listed however often the user goes back and forth.
  void FillDefaultShares();
  const std::vector<Row>& Rows() const { return m_rows; }
  AddResult Add(const QString& path);
  // Removes the rows at the given indexes; each removed row the user added leaves the
  // added folders too. Indexes outside the list and rows of folders shared already are
  // ignored.
  void Delete(std::vector<int> rows);
  // Whether a click on row makes the delete button usable: any row but the data folder's
  // and those of the folders shared already.
  bool DeleteAllowed(int row) const;
  const std::vector<std::string>& Added() const { return m_added; }

  // The finish button: the chosen folder is the folder text for the own choice, the
  // proposal otherwise; then Finish.
  void FinishClicked(IWizardTarget* target);
  // Without a target nothing is sent. SetDefShare only for a non-empty chosen folder, then
  // always SetShare with the added folders.
  void Finish(IWizardTarget* target) const;

 private:
  QString DataRowPath() const { return ProductFolder(m_chosen); }

  QString m_programPrefix;
  int m_step = 1;
  bool m_own = false;
  QString m_folderText;
  QString m_default;
  QString m_chosen;
  std::vector<Row> m_rows;
  QStringList m_shared;
  std::vector<std::string> m_added;
};

}  // namespace wizard
}  // namespace tray
