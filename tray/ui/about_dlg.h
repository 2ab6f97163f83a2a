// CAboutDlg shows the language's logo, the version badge, the program's version and a
// link to the home page, opened through the shell.
#pragma once

#include <QFont>
#include <QString>

#include "diy_dialog.h"
#include "languages.h"

namespace tray {

class CDiyStatic;
class IShellOpen;

inline constexpr int kAboutDlgTemplate = 156;
inline constexpr int kAboutDlgFace = 371;
inline constexpr int kAboutBadge = 375;

// The logo picture of a language: 1 English, 2 traditional Chinese, else simplified.
int AboutLogoForLanguage(int language);

class CAboutDlg : public CDiyDialog, public ILanguageCallBack {
  Q_OBJECT

 public:
  // version: the text after ABOUT_STATIC_ABOUT1 ("" = the program's own version).
  explicit CAboutDlg(IShellOpen* shell, QString version = {}, QWidget* parent = nullptr);
  ~CAboutDlg() override;

  void OnInitDialog();
  void LoadTexts();
  bool TextsLoaded() const { return m_textsLoaded; }
  int exec() override;
  void Minimize() override {}
  void OnLanguageChanged() override { m_textsLoaded = false; update(); }

  // The link's action: opens the home page; false when the shell could not.
  bool OpenHomePage();
  QString HomePageUrl() const;
  int LogoPicture() const { return AboutLogoForLanguage(m_languages->GetLanguage()); }
  CDiyStatic* VersionLabel() const { return m_version; }
  CDiyStatic* AboutLabel() const { return m_about; }
  QWidget* Link() const { return m_link; }
  QString LinkText() const { return m_linkText; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  LanguagesRef m_languages;
  IShellOpen* m_shell;
  QString m_versionText;
  bool m_initialised = false;
  bool m_textsLoaded = false;
  QFont m_staticFont, m_static1Font, m_linkFont;
  QString m_linkText;
  CDiyStatic* m_version = nullptr;  // 1066
  CDiyStatic* m_about = nullptr;    // 1067
  QWidget* m_link = nullptr;        // 1064
};

}  // namespace tray
