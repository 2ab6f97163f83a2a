// The settings page's rules without its widgets: the autostart box and the autostart entry
// it stands for, the choice of language with the renaming of the data folder's four
// sub-folders, the language kept for the next start, and the flags that say which texts
// are to be applied again after a change of language.
#pragma once

#include <QString>

#include <vector>

#include "autostart.h"
#include "data_folder.h"
#include "default_folders.h"
#include "languages.h"
#include "settings_store.h"

namespace tray {

// The settings-store value that keeps the language the user chose (0 to 2).
inline constexpr const char* kLanguageValue = "Language";

// The autostart box: its state, and whether it was clicked since the last apply.
class AutoStartSetting {
 public:
  // program: the full path of the program the entry starts.
  AutoStartSetting(IAutostart& autostart, QString program);

  // The page is shown: the box follows whether the entry exists, and any click not yet
  // applied is dropped.
  void Reload();
  void OnBnClickedAutoStart(bool checked);
  // Writes the entry with the program's whole path, or deletes it, as the box says; false
  // when the entry could not be changed.
  bool ApplyAutoStart();
  // What OK does: ApplyAutoStart when the box was clicked since the last apply, then the
  // flag is cleared. False only for an apply that failed.
  bool ApplyIfChanged();
  // Cancel: the click is forgotten and the box shows the entry again.
  void Cancel();

  bool Checked() const { return m_checked; }
  bool Changed() const { return m_changed; }
  const QString& Program() const { return m_program; }

 private:
  IAutostart& m_autostart;
  QString m_program;
  bool m_checked = false;
  bool m_changed = false;
};

struct FolderRename {
  QString from, to;
  QString error;  // why it was not renamed; empty for a rename done
};

// What the user is shown: a MESSAGEBOX key and what went wrong in detail.
struct PageNotice {
  QString key;
  QString detail;
};

struct LanguageChange {
  int language = -1;     // the language in force afterwards
  bool stored = false;   // kept for the next start
  bool folderKnown = false;  // a data folder was there to rename and send
  std::vector<FolderRename> renamed;
  std::vector<FolderRename> failed;  // both folders stay as they were, nothing is lost
  DataFolderResult service;          // what telling the service did
  std::vector<PageNotice> notices;
};

// Renames each sub-folder of `from` to its path in `to`, in the order document, music,
// picture, video. A folder that is missing, or whose name does not change, is left alone;
// an empty folder of the new name is replaced; one whose new name is taken by a file or a
// folder with something in it, or whose rename fails, keeps its name and goes to `failed`.
void RenameDefaultFolders(const DefShare& from, const DefShare& to, IFileOps& files,
                          std::vector<FolderRename>& renamed, std::vector<FolderRename>& failed);

// The language combo's choice: sets language `index` (an index outside 0 to 2 keeps the
// language in force), keeps it in the store for the next start, and where a data folder
// is known (base not empty) renames its sub-folders to the language's names and tells
// the service the new folders.
LanguageChange ChangeLanguage(int index, const QString& base, DataFolderContext& context,
                              ILanguages& languages, ISettingsStore& store);

// Sets the language kept by an earlier ChangeLanguage; false, and nothing changed, when the
// store keeps none (or a value outside 0 to 2).
bool RestoreLanguage(ILanguages& languages, const ISettingsStore& store);

// Which texts are applied: the dialog's, the tray menus', and the right-click check of the
// shares list. A change of language clears all three.
struct TextFlags {
  bool textsApplied = false;
  bool menuTextsApplied = false;
  bool rClickChecked = false;
  void OnLanguageChanged() { *this = TextFlags{}; }
};

}  // namespace tray
