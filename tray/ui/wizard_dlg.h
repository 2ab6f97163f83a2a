// CWizardDlg, the first-run wizard: step 1 chooses the data folder's base (the proposal or
// a folder of the user's own), step 2 reviews and extends the shared folders, step 3 says
// goodbye with a link to the phone app. Only the finish button hands the choices on; the
// close button and Escape end it without sending anything. The rules live in
// core/wizard_logic.h; this class shows them.
#pragma once

#include <QFont>
#include <QString>

#include "diy_dialog.h"
#include "languages.h"
#include "wizard_logic.h"

class QAbstractButton;
class QLabel;
class QLineEdit;
class QTreeWidget;

namespace tray {

class CColorButton;
class IFolderPicker;
class IShellOpen;

inline constexpr int kWizardTemplate = 155;
inline constexpr int kWizardFaceStep1 = 358;
inline constexpr int kWizardFace = 357;

// The product picture of step pictures 1142: 359 simplified Chinese (and any unknown
// language), 361 English, 360 traditional Chinese.
int WizardPictureForLanguage(int language);

// A path as a text that a line breaks only after a "/" (word joiners between the other
// characters).
QString PathBreakingAtSlashes(const QString& path);

class CWizardDlg : public CDiyDialog, public ILanguageCallBack {
  Q_OBJECT

 public:
  // target receives the finish's choices (none: nothing is sent); shell opens the closing
  // link; picker answers the browse and add buttons. None of them is owned.
  CWizardDlg(IWizardTarget* target, IShellOpen* shell, IFolderPicker* picker, QWidget* parent = nullptr);
  ~CWizardDlg() override;

  void OnInitDialog();
  // Shows the controls of step (1 to 3) and hides the others.
  void ShowStep(int step);
  // The button and link texts of the current language; the paint calls it after a change.
  void ApplyTexts();
  bool TextsLoaded() const { return m_textsLoaded; }
  int exec() override;
  void Minimize() override {}
  void OnLanguageChanged() override;

  // The handlers, as the controls call them.
  void OnBnClickedNext();
  void OnBnClickedFront();
  void OnBnClickedRadioDef();
  void OnBnClickedRadioUser();
  void OnBnClickedBrowse();
  void OnBnClickedAdd();
  void OnBnClickedDelete();
  void OnBnClickedFinish();
  void OnClickFolderList();

  const wizard::WizardLogic& Logic() const { return m_logic; }
  int StepPicture() const { return WizardPictureForLanguage(m_languages->GetLanguage()); }
  QString LinkTarget() const;
  QTreeWidget* FolderList() const { return m_list; }
  // The message boxes shown (their texts), newest last.
  const QStringList& Messages() const { return m_messages; }

  // Enter never ends the wizard: only the finish button sends.
  void accept() override {}

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void ShowFolderText();
  void PlaceFolderEdit();
  void ShowRows();
  void SetDeleteEnabled(bool enabled);
  void FitClosingTexts();

  LanguagesRef m_languages;
  IWizardTarget* m_target;
  IShellOpen* m_shell;
  IFolderPicker* m_picker;
  wizard::WizardLogic m_logic;
  bool m_initialised = false;
  bool m_textsLoaded = false;
  QFont m_buttonFont, m_titleFont, m_textFont, m_linkFont;
  QStringList m_messages;

  QLabel* m_title = nullptr;          // 1036
  CColorButton* m_radioDef = nullptr;  // 1145
  QLabel* m_folderName = nullptr;     // 1143
  CColorButton* m_radioUser = nullptr; // 1146
  QLineEdit* m_folderEdit = nullptr;  // 1025
  CColorButton* m_browse = nullptr;   // 1028
  QTreeWidget* m_list = nullptr;      // 1033
  CColorButton* m_delete = nullptr;   // 1035
  CColorButton* m_add = nullptr;      // 1034
  QLabel* m_closing = nullptr;        // 1076
  QAbstractButton* m_link = nullptr;  // 1064
  CColorButton* m_back = nullptr;     // 1039
  CColorButton* m_next = nullptr;     // 1029
  CColorButton* m_finish = nullptr;   // 1030
};

}  // namespace tray
