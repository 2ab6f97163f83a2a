// The settings page's rules with fakes: the autostart box against a recording entry and
// the real XDG entry, the language change on a real data folder in a temporary folder
// (the renames in their order, then the service; a taken name; no data folder yet), and
// the language kept in the settings store for the next start.
#include "settings_page_logic.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fake_autostart.h"
#include "fake_service.h"
#include "no_shell_folder.h"

namespace {

TEST(AutoStartSettingTest, OkWritesOrDeletesTheEntryOnlyForAClickThatCancelDidNotTakeBack) {
  const QString program = QStringLiteral("/opt/") + QString(195, QLatin1Char('p'));
  ASSERT_EQ(program.size(), 200);
  struct Case {
    const char* name;
    bool enabledBefore;
    std::vector<std::string> steps;  // "tick", "untick", "cancel", "ok"
    QStringList calls;
    bool enabledAfter;
  };
  const std::vector<Case> cases = {
      {"tick + OK writes the whole path", false, {"tick", "ok"}, {QStringLiteral("enable ") + program}, true},
      {"untick + OK deletes", true, {"untick", "ok"}, {QStringLiteral("disable")}, false},
      {"tick + Cancel + OK writes nothing", false, {"tick", "cancel", "ok"}, {}, false},
      {"OK without a click writes nothing", true, {"ok"}, {}, true},
      {"one click is applied once", false, {"tick", "ok", "ok"}, {QStringLiteral("enable ") + program}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    traytest::FakeAutostart entry;
    entry.enabled = c.enabledBefore;
    tray::AutoStartSetting box(entry, program);
    box.Reload();
    EXPECT_EQ(box.Checked(), c.enabledBefore);
    for (const std::string& step : c.steps) {
      if (step == "tick") box.OnBnClickedAutoStart(true);
      if (step == "untick") box.OnBnClickedAutoStart(false);
      if (step == "cancel") box.Cancel();
      if (step == "ok") {
        EXPECT_TRUE(box.ApplyIfChanged());
      }
    }
    EXPECT_EQ(entry.calls, c.calls);
    EXPECT_EQ(entry.enabled, c.enabledAfter);
    EXPECT_FALSE(box.Changed());
    box.Reload();
    EXPECT_EQ(box.Checked(), c.enabledAfter);
  }

  traytest::FakeAutostart failing;
  failing.fail = true;
  tray::AutoStartSetting box(failing, program);
  box.OnBnClickedAutoStart(true);
  EXPECT_FALSE(box.ApplyIfChanged());
  box.Reload();
  EXPECT_FALSE(box.Checked());  // the page shows what is really there
}

TEST(AutoStartSettingTest, TheDesktopEntryKeepsALongProgramPathWhole) {
  QTemporaryDir dir;
  tray::XdgAutostart entry(dir.filePath(QStringLiteral("autostart/tirvan.desktop")));
  QString program = dir.path() + QStringLiteral("/a folder with \"quotes\" $and `ticks`/");
  program += QString(200 - program.size(), QLatin1Char('x'));
  ASSERT_EQ(program.size(), 200);
  tray::AutoStartSetting box(entry, program);
  box.Reload();
  EXPECT_FALSE(box.Checked());
  box.OnBnClickedAutoStart(true);
  ASSERT_TRUE(box.ApplyIfChanged());
  EXPECT_EQ(entry.Command(), program);
  box.Reload();
  EXPECT_TRUE(box.Checked());
  box.OnBnClickedAutoStart(false);
  ASSERT_TRUE(box.ApplyIfChanged());
  EXPECT_FALSE(QFile::exists(entry.path()));
}

// The real file system, with every rename logged by the folders' names.
struct LoggingFiles final : tray::RealFileOps {
  std::vector<std::string>* events = nullptr;
  bool Rename(const QString& from, const QString& to, QString* e) override {
    events->push_back("rename " + QDir(from).dirName().toStdString() + " -> " + QDir(to).dirName().toStdString());
    return RealFileOps::Rename(from, to, e);
  }
};

class LanguageChangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* names[3][4] = {{"图片", "音乐", "视频", "文档"},
                               {"Pictures", "Music", "Videos", "Documents"},
                               {"圖片", "音樂", "影片", "文件"}};
    for (int i = 0; i < 3; ++i) {
      QFile f(m_lang.filePath(QString::fromLatin1(tray::LanguageFileName(i))));
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(("[UI]\nDIRVER_NAME=Tirvan\n[DEFAULTSHARE]\nSHARE_PICTURE=" + std::string(names[i][0]) +
               "\nSHARE_MUSIC=" + names[i][1] + "\nSHARE_AUDIO=" + names[i][2] +
               "\nSHARE_DOCUMENT=" + names[i][3] + "\n")
                  .c_str());
    }
    tray::SetLanguageFolder(m_lang.path());
    tray::SetSystemLocaleOverride("zh_CN.UTF-8");
    languages = std::make_unique<tray::LanguagesRef>();
    ASSERT_EQ((*languages)->GetLanguage(), tray::kLanguageChineseSimplified);
    store = std::make_unique<tray::FileSettingsStore>(m_dir.filePath(QStringLiteral("config/settings.ini")));
    ASSERT_TRUE(store->CreateKey());
    // The service client's answers: all taken, no reply to the default folder's question.
    service.AcceptAll();
    service.defShareResult = tray::kDefShareNoReply;
    service.events = &events;
    files.events = &events;
    base = m_dir.filePath(QStringLiteral("home"));
  }
  void TearDown() override {
    languages.reset();
    tray::SetLanguageFolder(QString());
    tray::SetSystemLocaleOverride(std::nullopt);
  }
  tray::LanguageChange Change(int index, const QString& at) {
    tray::DataFolderContext c{service, *languages->get(), files, shell};
    return tray::ChangeLanguage(index, at, c, *languages->get(), *store);
  }
  QString Folder(const char* name) const { return base + QStringLiteral("/Tirvan/") + QString::fromUtf8(name); }
  void Put(const char* folder, const char* file, const char* text) {
    ASSERT_TRUE(QDir().mkpath(Folder(folder)));
    QFile f(Folder(folder) + QLatin1Char('/') + QLatin1String(file));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
  }
  QByteArray Read(const char* folder, const char* file) const {
    QFile f(Folder(folder) + QLatin1Char('/') + QLatin1String(file));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
  }

  QTemporaryDir m_lang, m_dir;
  std::unique_ptr<tray::LanguagesRef> languages;
  std::unique_ptr<tray::FileSettingsStore> store;
  std::vector<std::string> events;
  traytest::FakeService service;
  LoggingFiles files;
  traytest::NoShellFolder shell;
  QString base;
};

TEST_F(LanguageChangeTest, EnglishRenamesDocumentMusicPictureVideoInThisOrderThenTellsTheService) {
  Put("图片", "p.jpg", "picture");
  Put("音乐", "m.mp3", "music");
  Put("视频", "v.mp4", "video");
  Put("文档", "d.txt", "document");
  tray::LanguageChange change = Change(tray::kLanguageEnglish, base);
  EXPECT_EQ(events, (std::vector<std::string>{"rename 文档 -> Documents", "rename 音乐 -> Music",
                                              "rename 图片 -> Pictures", "rename 视频 -> Videos",
                                              "SetDefShare"}));
  EXPECT_EQ(change.language, tray::kLanguageEnglish);
  EXPECT_TRUE(change.stored);
  EXPECT_TRUE(change.failed.empty());
  EXPECT_TRUE(change.notices.empty());
  EXPECT_TRUE(change.service.sent);
  ASSERT_EQ(service.setDefShare.size(), 1u);
  EXPECT_EQ(service.setDefShare[0].root, (base + QStringLiteral("/Tirvan")).toStdString());
  EXPECT_EQ(service.setDefShare[0].video, Folder("Videos").toStdString());  // SHARE_AUDIO names it
  EXPECT_EQ(service.setDefShare[0].document, Folder("Documents").toStdString());
  EXPECT_EQ(Read("Pictures", "p.jpg"), "picture");
  EXPECT_EQ(Read("Videos", "v.mp4"), "video");
  EXPECT_FALSE(QFileInfo::exists(Folder("图片")));

  // And to Traditional Chinese from there.
  events.clear();
  Change(tray::kLanguageChineseTrad, base);
  EXPECT_EQ(events, (std::vector<std::string>{"rename Documents -> 文件", "rename Music -> 音樂",
                                              "rename Pictures -> 圖片", "rename Videos -> 影片",
                                              "SetDefShare"}));
  EXPECT_EQ(Read("音樂", "m.mp3"), "music");
}

TEST_F(LanguageChangeTest, ATakenNameIsReportedAndBothFoldersKeepTheirFilesButAnEmptyFolderGivesWay) {
  Put("音乐", "mine.mp3", "ours");
  Put("Music", "theirs.mp3", "the user's");  // a folder of the new name, already full
  Put("图片", "p.jpg", "picture");
  ASSERT_TRUE(QDir().mkpath(Folder("Pictures")));  // an empty one, which loses nothing
  {
    QFile file(Folder("Documents"));  // and a file where a folder would go
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("a file");
  }
  ASSERT_TRUE(QDir().mkpath(Folder("文档")));

  tray::LanguageChange change = Change(tray::kLanguageEnglish, base);
  ASSERT_EQ(change.failed.size(), 2u);
  EXPECT_EQ(change.failed[0].from, Folder("文档"));
  EXPECT_EQ(change.failed[1].from, Folder("音乐"));
  ASSERT_EQ(change.renamed.size(), 1u);  // the video folder was not there: it is made
  EXPECT_EQ(change.renamed[0].to, Folder("Pictures"));
  EXPECT_EQ(Read("音乐", "mine.mp3"), "ours");
  EXPECT_EQ(Read("Music", "theirs.mp3"), "the user's");
  EXPECT_EQ(Read("Pictures", "p.jpg"), "picture");
  EXPECT_TRUE(QFileInfo(Folder("Videos")).isDir());
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("rename", 0) == 0; }), 1);
  ASSERT_FALSE(change.notices.empty());
  EXPECT_EQ(change.notices[0].key, QStringLiteral("MSGBOX_RENAMEFOLDERFAIL"));
  EXPECT_TRUE(change.notices[0].detail.contains(Folder("音乐")));
  // The document "folder" is a file: the service is still told, and creating it is reported.
  EXPECT_EQ(service.setDefShare.size(), 1u);
  ASSERT_EQ(change.notices.size(), 2u);
  EXPECT_EQ(change.notices[1].key, QStringLiteral("MSGBOX_CREATEFOLDERFAIL"));
}

TEST_F(LanguageChangeTest, WithoutADataFolderOnlyTheLanguageChangesAndAnInvalidChoiceKeepsIt) {
  tray::LanguageChange change = Change(tray::kLanguageChineseTrad, QString());
  EXPECT_EQ(change.language, tray::kLanguageChineseTrad);
  EXPECT_FALSE(change.folderKnown);
  EXPECT_TRUE(events.empty());

  // No valid choice: the language stays; the folders keep their names and are sent again.
  Put("圖片", "p", "x");
  change = Change(-1, base);
  EXPECT_EQ(change.language, tray::kLanguageChineseTrad);
  EXPECT_EQ(events, std::vector<std::string>{"SetDefShare"});
  EXPECT_EQ(Read("圖片", "p"), "x");
  EXPECT_EQ(store->GetDword(QLatin1String(tray::kLanguageValue)), 2u);
}

TEST_F(LanguageChangeTest, TheChosenLanguageIsKeptAndRestoredAtTheNextStart) {
  EXPECT_FALSE(tray::RestoreLanguage(*languages->get(), *store));  // nothing kept yet
  Change(tray::kLanguageEnglish, QString());
  EXPECT_EQ(store->GetDword(QLatin1String(tray::kLanguageValue)), 1u);

  // The next start: a new store in the system's language, then the kept one.
  languages.reset();
  languages = std::make_unique<tray::LanguagesRef>();
  ASSERT_EQ((*languages)->GetLanguage(), tray::kLanguageChineseSimplified);
  EXPECT_TRUE(tray::RestoreLanguage(*languages->get(), *store));
  EXPECT_EQ((*languages)->GetLanguage(), tray::kLanguageEnglish);

  ASSERT_TRUE(store->SetDword(QLatin1String(tray::kLanguageValue), 7));
  EXPECT_FALSE(tray::RestoreLanguage(*languages->get(), *store));
  EXPECT_EQ((*languages)->GetLanguage(), tray::kLanguageEnglish);

  // Without the settings key the language still changes; it is only not kept.
  tray::FileSettingsStore none(m_dir.filePath(QStringLiteral("nowhere/settings.ini")));
  tray::DataFolderContext c{service, *languages->get(), files, shell};
  tray::LanguageChange change = tray::ChangeLanguage(tray::kLanguageChineseTrad, QString(), c, *languages->get(), none);
  EXPECT_FALSE(change.stored);
  EXPECT_EQ(change.language, tray::kLanguageChineseTrad);
}

}  // namespace
