// The dialogs of the update. CUpdateDlg shows the release notes once at the first start
// after an update; CUpdateNoticeDlg asks whether to install a newer version, with the
// banner strip and a box that makes later updates install without asking.
#pragma once

#include <QFont>
#include <QString>

#include "diy_dialog.h"
#include "languages.h"

class QLabel;
class QPlainTextEdit;

namespace tray {

class CColorButton;
class CDiyStatic;
class CHtmlDlg;
class ISettingsStore;

inline constexpr int kUpdateDlgTemplate = 270;
inline constexpr int kUpdateDlgFace = 272;
inline constexpr int kUpdateNoticeTemplate = 158;
inline constexpr int kUpdateNoticeFace = 234;

class CUpdateDlg : public CDiyDialog {
  Q_OBJECT

 public:
  explicit CUpdateDlg(QWidget* parent = nullptr, long notesTimeoutMs = 5000);

  // Labels the controls and fetches the notes of the store's language; false when the
  // notes cannot be had, and the dialog then does not open.
  bool OnInitDialog();
  // Runs OnInitDialog, then the dialog modally; Rejected at once without the notes.
  int exec() override;
  void Minimize() override {}

  QString Notes() const { return m_notes; }
  QPlainTextEdit* NotesEdit() const { return m_notesEdit; }
  CColorButton* OkButton() const { return m_ok; }

 private:
  LanguagesRef m_languages;
  const long m_notesTimeoutMs;
  QFont m_labelFont, m_noteFont, m_buttonFont;
  CColorButton* m_ok = nullptr;        // 1115
  QLabel* m_title = nullptr;           // 1114
  QPlainTextEdit* m_notesEdit = nullptr;  // 1101
  CDiyStatic* m_note1 = nullptr;       // 1117
  CDiyStatic* m_note2 = nullptr;       // 1118
  QString m_notes;
};

class CUpdateNoticeDlg : public CDiyDialog, public ILanguageCallBack {
  Q_OBJECT

 public:
  // store: where the box is kept (SettingsStore() when none).
  explicit CUpdateNoticeDlg(const QString& version, ISettingsStore* store = nullptr,
                            QWidget* parent = nullptr);
  ~CUpdateNoticeDlg() override;

  void OnInitDialog();
  // Enter does nothing; Escape and the close button mean Later, as its button does.
  void accept() override {}
  void reject() override { OnBnClickedCancel(); }
  int exec() override;

  void OnLanguageChanged() override;
  // Puts the language's texts on the controls (the first paint does it).
  void ApplyTexts();
  bool TextsApplied() const { return m_textsApplied; }
  void OnBnClickedUpdate();
  void OnBnClickedCancel();

  QString Version() const { return m_version; }
  QLabel* Question() const { return m_question; }
  CColorButton* UpdateButton() const { return m_update; }
  CColorButton* CancelButton() const { return m_cancel; }
  CColorButton* NeverShowBox() const { return m_neverShow; }
  CHtmlDlg* Banner() const { return m_banner; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ShowBanner();
  void NavigateBanner();

  bool m_textsApplied = false;
  LanguagesRef m_languages;
  ISettingsStore* m_store;
  QString m_version;
  CColorButton* m_update = nullptr;     // 1046
  CColorButton* m_cancel = nullptr;     // 1047
  CColorButton* m_neverShow = nullptr;  // 1043
  QLabel* m_question = nullptr;         // 1045
  QFont m_labelFont, m_buttonFont;
  CHtmlDlg* m_banner = nullptr;
  bool m_initialised = false;
};

// The question of the update checker, for CUpdater::SetAskFunction: the notice dialog run
// modally on the calling (GUI) thread.
int AskUpdateNotice(const QString& version);

}  // namespace tray
