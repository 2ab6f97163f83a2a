// The settings dialog's pages: the tabs that switch them, the shares page and the
// transfer log page with what the service reports to them, the OK and Cancel buttons, and
// the data folder's root folder that follows the service's reports and every move.
#include "setting_dlg.h"

#include <QPushButton>

#include "diy_static.h"
#include "language_font.h"
#include "login_dlg.h"
#include "share_page.h"
#include "skin_buttons.h"
#include "translog_page.h"

namespace tray {

namespace {

constexpr int kTabSelected = 338;
// Where the pages stand: below the tab row, above the row of the OK and Cancel buttons.
const QRect kPageRect(0, 187, 484, 230);

}  // namespace

void CSettingDlg::BuildPages() {
  // The shares and transfer-log pages are made when first needed (Shares(), TransLog()):
  // their lists were the dearest part of the start, the first to load the fonts.

  QFont f = font();
  SetLanguageFont(f, "FONT_LOGIN_LOGIN", false, logicalDpiY());
  m_ok = new CColorButton(this);
  m_ok->setObjectName(QStringLiteral("1020"));
  m_cancel = new CColorButton(this);
  m_cancel->setObjectName(QStringLiteral("1019"));
  for (CColorButton* b : {m_ok, m_cancel}) {
    b->SetPictures(340, 341, 341, 340);
    b->SetTextColor(0xFF434343);
    b->SetButtonFont(f);
  }
  m_ok->setGeometry(276, 388, 89, 30);
  m_cancel->setGeometry(375, 388, 89, 30);
  connect(m_ok, &QAbstractButton::clicked, this, [this] { OnBnClickedOk(); });
  connect(m_cancel, &QAbstractButton::clicked, this, [this] { OnBnClickedCancel(); });
  // The apply button: never shown, it applies like OK without hiding the window.
  auto* apply = new QPushButton(this);
  apply->setObjectName(QStringLiteral("1018"));
  apply->hide();
  connect(apply, &QAbstractButton::clicked, this, [this] { ApplyChanges(); });
}

void CSettingDlg::PlacePage(QWidget* page, int index) {
  m_pageWidgets[index] = page;
  page->setGeometry(kPageRect);
  if (m_ok) page->stackUnder(m_ok);  // the page's area reaches under the OK and Cancel row
  page->setVisible(m_currentPage == index);
}

CSharePage& CSettingDlg::Shares() {
  if (m_sharePage) return *m_sharePage;
  m_sharePage = new CSharePage(m_languages.get(), m_picker, m_shell, this);
  m_sharePage->LoadTexts();
  PlacePage(m_sharePage, kPageShares);
  return *m_sharePage;
}

CTransLogPage& CSettingDlg::TransLog() {
  if (m_transLogPage) return *m_transLogPage;
  m_transLogPage = new CTransLogPage(m_languages.get(), this);
  m_transLogPage->LoadTexts();
  PlacePage(m_transLogPage, kPageTransLog);
  return *m_transLogPage;
}

void CSettingDlg::LoadPageTexts() {
  if (m_sharePage) m_sharePage->LoadTexts();
  if (m_transLogPage) m_transLogPage->LoadTexts();
  m_ok->SetButtonText(m_languages->GetString("UI", "SETTING_BUTTON_OK"));
  m_cancel->SetButtonText(m_languages->GetString("UI", "SETTING_BUTTON_CANCEL"));
}

void CSettingDlg::SelectPage(int page) {
  if (page < kPageAccount || page > kPageSettings || page == m_currentPage) return;
  m_currentPage = page;
  if (page == kPageTransLog) TransLog();
  if (page == kPageSettings) Settings();
  for (int i = 0; i < 4; ++i) m_tabs[i]->SetBackgroundPicture(i == page ? kTabSelected : m_tabPictures[i]);
  for (QWidget* w : std::initializer_list<QWidget*>{m_accountText, m_changePassword, m_switchAccount}) {
    w->setVisible(page == kPageAccount);
  }
  for (int i = 0; i < 4; ++i) {
    if (m_pageWidgets[i]) m_pageWidgets[i]->setVisible(i == page);
  }
  // The face frames the data-folder field on the settings page only.
  SetPage(page == kPageSettings ? 1 : 0);
  if (page == kPageSettings) RefreshSettingsPage();
  if (page == kPageTransLog) {
    TransLog().Clear();
    m_ui->GetTransLog();  // OnTransLog per record before it returns
  }
  update();
}

void CSettingDlg::ShowSettingsPage(int page) {
  SelectPage(page);
  ShowSettings();
}

void CSettingDlg::OnBnClickedOk() {
  ApplyChanges();
  hide();
}

void CSettingDlg::OnBnClickedCancel() {
  if (m_sharePage) m_sharePage->CancelChanges();
  CancelAutoStart();
  hide();
}

void CSettingDlg::ApplyChanges() {
  if (!m_sharePage) return;  // nothing was changed
  SharePending::Applied applied = m_sharePage->Pending().Take();
  if (!applied.shares.Empty() && m_ui->SetShare(&applied.shares.added, &applied.shares.removed) != 0) {
    qWarning("the service did not take the changed shares");
  }
  if (applied.moveTo) SetDataBase(*applied.moveTo);
  if (applied.autoStart && m_applyAutoStart) m_applyAutoStart();
}

void CSettingDlg::OnBnClickedMoveDataFolder() {
  std::optional<QString> picked = m_picker->PickFolder(this, m_languages->GetString("OTHER", "OTHER_SELECTFLODER"));
  if (Shares().Pending().PickDataFolder(picked, m_dataBase) == SharePending::Pick::kRefused && picked) {
    qInfo("the data folder cannot move to %s", qUtf8Printable(*picked));
  }
}

QString CSettingDlg::DataFolderText() const {
  if (!m_sharePage) return m_dataBase;
  return m_sharePage->Pending().MoveTarget().value_or(m_dataBase);
}

void CSettingDlg::MarkAutoStartChanged() { Shares().Pending().MarkAutoStartChanged(); }

void CSettingDlg::OnShareFolder(const std::string& path) {
  qInfo("shared: %s", path.c_str());
  if (m_shareCapture) {  // read for the wizard
    m_shareCapture->append(QString::fromStdString(path));
    return;
  }
  Shares().OnShareFolder(QString::fromStdString(path));
}

void CSettingDlg::OnTransLog(const TransLogRecord& record) { TransLog().OnTransLog(record); }

void CSettingDlg::ClearFetchedRows() {
  if (m_sharePage) m_sharePage->ClearRows();
  if (m_transLogPage) m_transLogPage->Clear();
}

void CSettingDlg::ApplyDataFolder(const std::string& def) {
  // Paths on this platform use "/", whatever system type the service names to the phones.
  const QString root = QString::fromStdString(def);
  m_dataBase = BaseOfDataFolder(root, QLatin1Char('/'));
  CSharePage& shares = Shares();
  shares.Root().ApplyDefShare(shares.Rows(), root, QLatin1Char('/'), *m_languages.get(), m_files);
  qInfo("the data folder is %s", def.c_str());
}

void CSettingDlg::ShowRootFolder(const QString& base) {
  CSharePage& shares = Shares();
  shares.Root().ShowRootFolder(shares.Rows(), base, QLatin1Char('/'), *m_languages.get());
}

}  // namespace tray
