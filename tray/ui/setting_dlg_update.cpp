// The settings dialog's start-up steps and the update checker's news: the release notes
// once after an update, the first-run wizard once per user, and the checker's reports,
// each handed from the checker's thread to the dialog's.
#include <QCoreApplication>

#include "folder_picker.h"
#include "login_dlg.h"
#include "message_box.h"
#include "process.h"
#include "setting_dlg.h"
#include "settings_store.h"
#include "update_dlg.h"
#include "wizard_dlg.h"

namespace tray {

// The wizard's choices, carried out as the settings page carries out its own: the data
// folder through the same move, folders and desktop steps, then the shares.
class SettingWizardTarget final : public IWizardTarget {
 public:
  explicit SettingWizardTarget(CSettingDlg& dlg) : m_dlg(dlg) {}

  void SetDefShare(const QString& base) override {
    // A fresh profile knows no data folder yet, while the service may have one full of
    // files: its own word on the folder comes first, so that those files move along.
    std::string def;
    if (m_dlg.m_ui->GetDefShare(&def) == kDefShareSet) {
      m_dlg.m_dataBase = BaseOfDataFolder(QString::fromStdString(def), QLatin1Char('/'));
      qInfo("wizard: the service's data folder is %s", def.c_str());
    }
    qInfo("wizard: the data folder goes to %s", qUtf8Printable(base));
    m_dlg.SetDataBase(base);
  }
  QStringList SharedFolders() override {
    QStringList folders;
    m_dlg.m_shareCapture = &folders;
    if (m_dlg.m_ui->GetShare() != 0) qWarning("wizard: the service's shares could not be read");
    m_dlg.m_shareCapture = nullptr;
    return folders;
  }
  void SetShare(const std::vector<std::string>& added) override {
    // The service keeps the whole list: it is read first, so the folders shared already
    // stay shared.
    if (m_dlg.m_ui->GetShare() != 0) qWarning("wizard: the service's shares could not be read");
    if (m_dlg.m_ui->SetShare(&added, nullptr) != 0) {
      qWarning("wizard: the service did not take the %zu added folders", added.size());
    } else {
      for (const std::string& path : added) qInfo("wizard: shared %s", path.c_str());
    }
  }

 private:
  CSettingDlg& m_dlg;
};

void CSettingDlg::ShowUpdateFinishOnce() {
  // UpdateFinish goes 0 -> 1 when an update was downloaded and 1 -> 0 here; any other value
  // is left alone. Nothing here answers an update question.
  ISettingsStore& store = SettingsStore();
  if (store.GetDword(QLatin1String(kUpdateFinishValue)).value_or(0) != 1) return;
  store.SetDword(QLatin1String(kUpdateFinishValue), 0);
  CUpdateDlg notes;
  notes.exec();
}

void CSettingDlg::RunSetupWizardOnce() {
  if (m_exiting) return;  // the program ends: the wizard waits for the next start
  ISettingsStore& store = SettingsStore();
  if (!FirstRunWizardDue(store)) return;  // done, or not installed for this user
  hide();
  HideLoginWindow();
  SetBusy(true);
  {
    SettingWizardTarget target(*this);
    CWizardDlg wizard(&target, m_shell, m_picker);
    wizard.setWindowIcon(windowIcon());
    m_wizardDlg = &wizard;
    wizard.exec();
    m_wizardDlg = nullptr;
  }
  m_bBusy = false;  // what the checker said waits for the release notes (start-up step)
  // Once, however the wizard ended.
  if (!store.SetDword(QLatin1String(kSetupWizardValue), 1)) qWarning("cannot note that the wizard ran");
}

void CSettingDlg::StartInstallerAtExit() {
  if (!m_runInstaller) return;
  std::unique_ptr<IProcessLauncher> own;
  if (!m_launcher) {
    own = std::make_unique<QtProcessLauncher>();
    m_launcher = own.get();
  }
  // Only while the installer is the file whose digest was checked.
  if (!m_updater.StartInstaller(*m_launcher)) qWarning("the downloaded installer did not start");
  m_launcher = m_options.launcher;
}

void CSettingDlg::SetBusy(bool busy) {
  m_bBusy = busy;
  ShowHeldUpdates();
}

void CSettingDlg::WhenUpdatesShow(std::function<void()> show) {
  if (UpdatesHeld()) {
    m_heldUpdates.push_back(std::move(show));
    return;
  }
  show();
}

void CSettingDlg::ShowHeldUpdates() {
  if (UpdatesHeld() || m_exiting || m_heldUpdates.empty()) return;
  // Each once, in their order, from the loop: none opens inside the caller's own window.
  std::vector<std::function<void()>> held;
  held.swap(m_heldUpdates);
  for (auto& show : held) {
    QTimer::singleShot(0, this, [this, show = std::move(show)] {
      if (!m_exiting) WhenUpdatesShow(show);
    });
  }
}

void CSettingDlg::NotifyInstall() {
  QMetaObject::invokeMethod(this, [this] {
    WhenUpdatesShow([this] {
      m_runInstaller = true;
      OnExit();
    });
  }, Qt::QueuedConnection);
}

void CSettingDlg::NotifyNoUpdate() {
  QMetaObject::invokeMethod(this, [this] {
    WhenUpdatesShow([this] {
      ShowDiyMessageBox(m_languages.get(), m_languages->GetString("MESSAGEBOX", "MSGBOX_NOUPDATE"),
                        m_languages->GetString("MESSAGEBOX", "MSGBOX_UPDATETITLE"), 0);
    });
  }, Qt::QueuedConnection);
}

void CSettingDlg::NotifyCheckFailed() {
  QMetaObject::invokeMethod(this, [this] {
    WhenUpdatesShow([this] {
      ShowDiyMessageBox(m_languages.get(), m_languages->GetString("MESSAGEBOX", "MSGBOX_UPDATEFAIL"),
                        m_languages->GetString("MESSAGEBOX", "MSGBOX_UPDATETITLE"), 0);
    });
  }, Qt::QueuedConnection);
}

void CSettingDlg::AskNotice() {
  // The checker waits for the answer however long the wizard takes.
  QMetaObject::invokeMethod(this, [this] { WhenUpdatesShow([this] { m_updater.ShowNotice(); }); },
                            Qt::QueuedConnection);
}

void CSettingDlg::NotifyDownloaded() {
  QMetaObject::invokeMethod(this, [this] {
    // The release notes show once at the next start; without the key the update still
    // installs, without notes.
    SettingsStore().SetDword(QLatin1String(kUpdateFinishValue), 1);
    m_updater.DownloadedHandled();
  }, Qt::QueuedConnection);
}

}  // namespace tray
