// The shares page and the transfer log page in the settings dialog, offscreen, with a
// service that records what it is sent: the folder browser answered by the test, a
// duplicate's message, system folders left out, what OK sends and Cancel takes back, the
// root folder's row, the tabs, the transfer log's rows, and the pages in each language.
#include "hermetic.h"
#include "share_page.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstring>
#include <deque>
#include <functional>

#include "dialog_options.h"
#include "diy_static.h"
#include "fake_autostart.h"
#include "fake_service.h"
#include "login_dlg.h"
#include "message_box.h"
#include "no_shell_folder.h"
#include "pictures.h"
#include "qt_app.h"
#include "queued_picker.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "setting_dlg.h"
#include "skin_buttons.h"
#include "translog_page.h"

namespace {

tray::TransLogRecord Record(uint16_t type, uint32_t size, const char* file) {
  tray::TransLogRecord r{};
  r.type = type;
  r.size = size;
  std::strcpy(r.time, "2026-12-11 04:00:00");
  std::strcpy(r.file, file);
  return r;
}

// Runs act while watching for message boxes; returns the texts of those that came up,
// each closed with its OK button.
QStringList WithBoxes(const std::function<void()>& act) {
  QStringList seen;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<tray::CDiyMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    seen << box->Label()->text();
    box->OkButton()->click();
  });
  poll.start(10);
  act();
  return seen;
}

class SharePagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    ASSERT_TRUE(tmp.isValid());
    // A service that answers what the pages ask and records what they send.
    service.setDefShareResult = 0;
    service.setShareResult = 0;
    service.answersTransLog = true;
    traytest::FillDialogOptions(options, &service, &shell, &trayBackend, &autostart, &shellFolder);
    options.folderPicker = &picker;
    dlg = std::make_unique<tray::CSettingDlg>(options);
    QCoreApplication::processEvents();
    dlg->LoginWindow()->hide();
    // The service's data folder and one shared folder.
    base = tmp.filePath("home");
    root = base + "/Tirvan";
    dlg->ApplyDataFolder(root.toStdString());
    dlg->OnShareFolder(Folder("B").toStdString());
    page = dlg->SharePage();
  }
  void TearDown() override {
    dlg.reset();
    traytest::ForgetLanguages();
  }
  QString Folder(const char* name) {
    QString p = tmp.filePath(QString::fromUtf8(name));
    QDir().mkpath(p);
    return p;
  }
  void Select(const QString& path) {
    QTreeWidget* list = page->List();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      if (list->topLevelItem(i)->text(1) == path) list->setCurrentItem(list->topLevelItem(i));
    }
  }
  void Add(const QString& path) {
    picker.answers.push_back(path);
    page->AddButton()->click();
  }

  QTemporaryDir tmp;
  traytest::FakeService service;
  traytest::QueuedPicker picker;
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::NoAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
  std::unique_ptr<tray::CSettingDlg> dlg;
  tray::CSharePage* page = nullptr;
  QString base, root;
};

TEST_F(SharePagesTest, TheRootFolderAndTheServicesFoldersAreListedWithTheirNames) {
  EXPECT_EQ(page->Paths(), QStringList({root, Folder("B")}));
  EXPECT_EQ(page->List()->topLevelItem(0)->text(0), QStringLiteral("Tirvan"));
  EXPECT_EQ(page->List()->topLevelItem(1)->text(0), QStringLiteral("B"));
  EXPECT_EQ(page->List()->headerItem()->text(0), QStringLiteral("Folder"));
  EXPECT_EQ(page->List()->headerItem()->text(1), QStringLiteral("Path"));
  EXPECT_EQ(page->List()->columnWidth(0), 130);
  EXPECT_EQ(page->List()->columnWidth(1), 218);
  // The root's four default folders are made.
  EXPECT_TRUE(QFileInfo(page->Root().Defaults().pic).isDir());
  EXPECT_TRUE(QFileInfo(page->Root().Defaults().doc).isDir());
  // Reported again: no second row. Whatever folder the service shares is listed, one in a
  // system folder or in the program's own folder too, so that none is shared unseen.
  dlg->OnShareFolder(Folder("B").toStdString());
  const QString program = QCoreApplication::applicationDirPath();
  for (const QString& f : {QStringLiteral("/usr/share"), program}) dlg->OnShareFolder(f.toStdString());
  EXPECT_EQ(page->Paths(), QStringList({root, Folder("B"), QStringLiteral("/usr/share"), program}));
  // A double click opens the folder.
  emit page->List()->itemDoubleClicked(page->List()->topLevelItem(1), 0);
  EXPECT_EQ(shell.folders, QStringList({Folder("B")}));
}

TEST_F(SharePagesTest, ADuplicateShowsTheMessageAndASystemFolderIsLeftOutSilently) {
  Add(Folder("A"));
  EXPECT_EQ(picker.titles, QStringList({QStringLiteral("Choose a folder to share")}));
  QStringList boxes = WithBoxes([&] { Add(Folder("A")); });
  EXPECT_EQ(boxes, QStringList({QStringLiteral("This folder is already shared.")}));
  // A case variant is another folder.
  Add(Folder("a"));
  boxes = WithBoxes([&] {
    Add(QStringLiteral("/etc"));
    Add(QStringLiteral("/usr/share/doc"));
    picker.answers.push_back(std::nullopt);  // the browser cancelled
    page->AddButton()->click();
  });
  EXPECT_TRUE(boxes.isEmpty());
  EXPECT_EQ(page->Paths(), QStringList({root, Folder("B"), Folder("A"), Folder("a")}));
  EXPECT_EQ(page->Pending().Changes().size(), 2u);
}

TEST_F(SharePagesTest, AddThenDeleteThenOkSendsARemovalOnly) {
  dlg->ShowSettings();
  Add(Folder("A"));
  Select(Folder("A"));
  ASSERT_TRUE(page->DeleteButton()->isEnabled());
  page->DeleteButton()->click();
  EXPECT_EQ(page->Paths(), QStringList({root, Folder("B")}));
  dlg->OkButton()->click();
  ASSERT_EQ(service.setShare.size(), 1u);
  EXPECT_TRUE(service.setShare[0].first.empty());
  EXPECT_EQ(service.setShare[0].second, (std::vector<std::string>{Folder("A").toStdString()}));
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_TRUE(page->Pending().Changes().empty());
  // The hidden apply button sends like OK.
  Add(Folder("D"));
  dlg->findChild<QAbstractButton*>(QStringLiteral("1018"))->click();
  ASSERT_EQ(service.setShare.size(), 2u);
  EXPECT_EQ(service.setShare[1].first, (std::vector<std::string>{Folder("D").toStdString()}));
  // Nothing pending: OK sends nothing.
  dlg->OkButton()->click();
  EXPECT_EQ(service.setShare.size(), 2u);
  EXPECT_TRUE(service.setDefShare.empty());
}

TEST_F(SharePagesTest, CancelRestoresTheRowsAndDropsTheMoveAndTheAutostartChange) {
  Select(Folder("B"));
  page->DeleteButton()->click();
  Add(Folder("C"));
  picker.answers.push_back(Folder("elsewhere"));
  dlg->OnBnClickedMoveDataFolder();
  EXPECT_EQ(dlg->DataFolderText(), Folder("elsewhere"));
  dlg->MarkAutoStartChanged();
  dlg->ShowSettings();
  dlg->CancelButton()->click();
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(page->Paths(), QStringList({root, Folder("B")}));  // B back at the end, C gone
  EXPECT_EQ(dlg->DataFolderText(), base);
  EXPECT_FALSE(page->Pending().AutoStartChanged());
  // The OK after it carries out nothing of what was cancelled.
  dlg->OkButton()->click();
  EXPECT_TRUE(service.setShare.empty());
  EXPECT_TRUE(service.setDefShare.empty());
  EXPECT_EQ(dlg->DataFolderText(), base);
}

TEST_F(SharePagesTest, TheRootRowCannotBeDeleted) {
  Select(Folder("B"));
  EXPECT_TRUE(page->DeleteButton()->isEnabled());
  Select(root);
  EXPECT_FALSE(page->DeleteButton()->isEnabled());
  page->OnBnClickedDeleteShare();  // pressed anyway
  EXPECT_EQ(page->Paths(), QStringList({root, Folder("B")}));
  EXPECT_TRUE(page->Pending().Changes().empty());
  page->List()->clearSelection();
  EXPECT_FALSE(page->DeleteButton()->isEnabled());
}

TEST_F(SharePagesTest, AMoveChosenOnTheSettingsPageIsAppliedByOkAndTheRootFollows) {
  // The data folder exists with a file in it.
  QDir().mkpath(root);
  const QString target = Folder("big");
  picker.answers = {std::nullopt, root + "/Music", target};
  dlg->OnBnClickedMoveDataFolder();  // cancelled
  dlg->OnBnClickedMoveDataFolder();  // inside the data folder
  dlg->OkButton()->click();
  EXPECT_TRUE(service.setDefShare.empty());
  dlg->OnBnClickedMoveDataFolder();
  dlg->OkButton()->click();
  ASSERT_EQ(service.setDefShare.size(), 1u);
  EXPECT_EQ(service.setDefShare[0].root, (target + "/Tirvan").toStdString());
  EXPECT_EQ(service.setDefShare[0].picture, (target + "/Tirvan/Pictures").toStdString());
  EXPECT_EQ(page->Paths(), QStringList({Folder("B"), target + "/Tirvan"}));
  EXPECT_EQ(page->Root().Defaults().doc, target + "/Tirvan/Documents");  // refilled at once
  EXPECT_EQ(dlg->DataBase(), target);
  EXPECT_TRUE(QFileInfo(target + "/Tirvan/Pictures").isDir());
  EXPECT_FALSE(QFileInfo::exists(root));
}

TEST_F(SharePagesTest, TheSharesPageMadeAfterTheButtonsStaysUnderTheOkAndCancelRow) {
  for (tray::CColorButton* button : {dlg->OkButton(), dlg->CancelButton()}) {
    EXPECT_EQ(dlg->childAt(button->geometry().center()), button) << button->objectName().toStdString();
  }
}

TEST_F(SharePagesTest, TabsSwitchPagesAndTheTransferLogIsFetchedEachTimeItsPageOpens) {
  EXPECT_EQ(dlg->CurrentPage(), tray::CSettingDlg::kPageShares);
  EXPECT_TRUE(page->isVisibleTo(dlg.get()));
  service.log = {Record(0, 500, "/home/anna/Tirvan/Pictures/A.jpg"), Record(1, 1572864, "D:\\Tirvan\\B.mp3"),
                 Record(1, 3, ""), Record(0, 4096, "/x/C")};
  auto* tabs = dlg->findChild<QAbstractButton*>(QStringLiteral("1133"));
  ASSERT_TRUE(tabs);
  tabs->click();
  tray::CTransLogPage* log = dlg->TransLogPage();
  EXPECT_TRUE(log->isVisibleTo(dlg.get()));
  EXPECT_FALSE(page->isVisibleTo(dlg.get()));
  QTreeWidget* list = log->List();
  ASSERT_EQ(list->topLevelItemCount(), 3);
  EXPECT_EQ(list->topLevelItem(0)->text(0), QStringLiteral("C"));
  EXPECT_EQ(list->topLevelItem(1)->text(0), QStringLiteral("B"));
  EXPECT_EQ(list->topLevelItem(1)->text(1), QStringLiteral("1.50MB"));
  EXPECT_EQ(list->topLevelItem(2)->text(0), QStringLiteral("A"));
  EXPECT_EQ(list->topLevelItem(2)->text(1), QStringLiteral("1KB"));
  EXPECT_EQ(list->topLevelItem(2)->text(2), QStringLiteral("2026-12-11 04:00:00"));
  EXPECT_EQ(list->topLevelItem(0)->data(0, Qt::UserRole).toInt(), 1);  // uploaded to the PC
  EXPECT_EQ(list->topLevelItem(1)->data(0, Qt::UserRole).toInt(), 0);
  EXPECT_FALSE(list->topLevelItem(0)->icon(0).isNull());
  EXPECT_EQ(list->headerItem()->text(2), QStringLiteral("Time"));
  // The selected tab again: neither emptied nor fetched again.
  tabs->click();
  EXPECT_EQ(service.transLogFetches, 1);
  EXPECT_EQ(list->topLevelItemCount(), 3);

  dlg->findChild<QAbstractButton*>(QStringLiteral("1138"))->click();
  EXPECT_FALSE(log->isVisibleTo(dlg.get()));
  EXPECT_TRUE(dlg->findChild<QWidget*>(QStringLiteral("1135"))->isVisibleTo(dlg.get()));
  dlg->findChild<QAbstractButton*>(QStringLiteral("1133"))->click();
  EXPECT_EQ(service.transLogFetches, 2);
  EXPECT_EQ(list->topLevelItemCount(), 3);  // emptied, then filled again
  // The settings command of the tray menu brings the shares page.
  dlg->OnMenuCommand(tray::CSettingDlg::kCmdShareManage);
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_EQ(dlg->CurrentPage(), tray::CSettingDlg::kPageShares);
  EXPECT_FALSE(dlg->findChild<QWidget*>(QStringLiteral("1135"))->isVisibleTo(dlg.get()));

  // Another account's fetch starts from empty lists; the root row stays.
  Add(Folder("A"));
  dlg->ClearFetchedRows();
  EXPECT_EQ(list->topLevelItemCount(), 0);
  EXPECT_EQ(page->Paths(), QStringList({root}));
  EXPECT_TRUE(page->Pending().Changes().empty());
}

TEST_F(SharePagesTest, ThePagesInEachLanguage) {
  service.log = {Record(0, 2048, "/home/anna/Tirvan/Pictures/IMG_0001.JPG"),
                 Record(1, 5 * 1048576, "/home/anna/Tirvan/Music/song.mp3")};
  Add(Folder("Photos"));
  const QString dir = traytest::ShotDir();
  const char* names[] = {"zh_CN", "en", "zh_TW"};
  for (int lang = 0; lang < 3; ++lang) {
    tray::LanguagesRef languages;
    languages->SetLanguage(lang);
    dlg->ShowSettingsPage(tray::CSettingDlg::kPageShares);
    dlg->repaint();
    QCoreApplication::processEvents();
    EXPECT_FALSE(dlg->OkButton()->ButtonText().isEmpty());
    EXPECT_FALSE(page->List()->headerItem()->text(0).isEmpty());
    EXPECT_TRUE(dlg->grab().save(dir + QStringLiteral("/settings_shares_%1.png").arg(names[lang])));
    dlg->SelectPage(tray::CSettingDlg::kPageTransLog);
    dlg->repaint();
    EXPECT_EQ(dlg->TransLogPage()->List()->topLevelItemCount(), 2);
    EXPECT_TRUE(dlg->grab().save(dir + QStringLiteral("/settings_translog_%1.png").arg(names[lang])));
  }
  tray::LanguagesRef languages;
  languages->SetLanguage(tray::kLanguageEnglish);
}

}  // namespace
