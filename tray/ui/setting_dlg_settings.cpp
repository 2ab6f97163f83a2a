// The settings dialog's settings page: the autostart box, the language with the renaming
// of the data folder's sub-folders, and the data folder in use.
#include "setting_dlg.h"

#include <QCoreApplication>

#include "message_box.h"
#include "settings_page.h"
#include "share_page.h"
#include "settings_store.h"
#include "skin_buttons.h"

namespace tray {

void CSettingDlg::BuildSettingsPage() {
  IAutostart& autostart = m_options.autostart ? *m_options.autostart : *m_ownAutostart;
  const QString program =
      m_options.programPath.isEmpty() ? QCoreApplication::applicationFilePath() : m_options.programPath;
  m_autoStart = std::make_unique<AutoStartSetting>(autostart, program);
  // OK writes the entry when the box was clicked since the last apply; Cancel forgets it.
  m_applyAutoStart = [this] { ApplyAutoStartIfChanged(); };
  // The page's widgets are made when its tab first opens (Settings()).
}

CSettingsPage& CSettingDlg::Settings() {
  if (m_settingsPage) return *m_settingsPage;
  m_settingsPage = new CSettingsPage(this);
  m_settingsPage->ApplyTexts(*m_languages.get());
  m_settingsPage->SelectLanguage(m_languages->GetLanguage());
  m_settingsPage->setVisible(m_currentPage == kPageSettings);
  m_pageWidgets[kPageSettings] = m_settingsPage;
  connect(m_settingsPage, &CSettingsPage::AutoStartClicked, this, [this](bool checked) {
    m_autoStart->OnBnClickedAutoStart(checked);
    MarkAutoStartChanged();
  });
  connect(m_settingsPage, &CSettingsPage::LanguageChosen, this, [this](int index) { OnCbnSelchangeLanguage(index); });
  connect(m_settingsPage, &CSettingsPage::MoveFolderClicked, this, [this] {
    OnBnClickedMoveDataFolder();
    m_settingsPage->SetDataFolder(DataFolderText());
  });
  return *m_settingsPage;
}

void CSettingDlg::RefreshSettingsPage() {
  // What is there now, not what the page showed last time.
  m_autoStart->Reload();
  CSettingsPage& page = Settings();
  page.SetAutoStart(m_autoStart->Checked());
  page.SelectLanguage(m_languages->GetLanguage());
  page.SetDataFolder(DataFolderText());
}

void CSettingDlg::OnCbnSelchangeLanguage(int index) {
  DataFolderContext context{*m_ui, *m_languages.get(), m_files, *m_shellFolder};
  LanguageChange change = ChangeLanguage(index, m_dataBase, context, *m_languages.get(), SettingsStore());
  for (const FolderRename& r : change.renamed) qInfo("renamed %s to %s", qUtf8Printable(r.from), qUtf8Printable(r.to));
  // The shares page's default folders carry the new language's names.
  if (m_sharePage) m_sharePage->Root().RefillDefaults(QLatin1Char('/'), *m_languages.get());
  update();
  for (const PageNotice& notice : change.notices) {
    QString text = m_languages->GetString("MESSAGEBOX", notice.key.toUtf8().constData());
    if (!notice.detail.isEmpty()) text += QStringLiteral("\n") + notice.detail;
    ShowDiyMessageBox(m_languages.get(), text, m_languages->GetString("UI", "DIALOG_TITLE"), 0);
  }
}

bool CSettingDlg::ApplyAutoStartIfChanged() {
  const bool changed = m_autoStart->Changed();
  if (m_autoStart->ApplyIfChanged()) {
    // The service's start type follows the entry.
    if (changed) m_service.SyncServiceStartType();
    return true;
  }
  ShowDiyMessageBox(m_languages.get(), m_languages->GetString("MESSAGEBOX", "MSGBOX_AUTOSTARTFAIL"),
                    m_languages->GetString("UI", "DIALOG_TITLE"), 0);
  return false;
}

void CSettingDlg::CancelAutoStart() {
  m_autoStart->Cancel();
  if (m_settingsPage) m_settingsPage->SetAutoStart(m_autoStart->Checked());
}

}  // namespace tray
