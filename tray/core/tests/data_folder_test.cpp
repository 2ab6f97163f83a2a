#include "data_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace {

struct RecordingService final : tray::IUIData {
  std::vector<tray::DefaultFolders> sent;
  int AddRef() override { return 1; }
  int Release() override { return 1; }
  void SetCallback(tray::IUIDataCallBack*) override {}
  void ClearCallback() override {}
  int LogOn(tray::LoginInfo*, int) override { return 0; }
  int LogOut() override { return 0; }
  int GetLogOnInfo(tray::LoginInfo*) override { return 0; }
  int GetDefShare(std::string*) override { return tray::kDefShareEmpty; }
  int SetDefShare(const tray::DefaultFolders& f) override {
    sent.push_back(f);
    return 0;
  }
  int GetShare() override { return 0; }
  int SetShare(const std::vector<std::string>*, const std::vector<std::string>*) override { return 0; }
  int GetLogOnStatus() override { return 0; }
  int GetMobileState() override { return 0; }
  int SetHost(const std::string&) override { return 0; }
  int GetTransLog() override { return 0; }
  int GetPath(const std::string&) override { return 0; }
  int GetSysType() override { return 2; }
  int ReplyDeviceLogin(const tray::ConnectResult*) override { return 0; }
};

struct RecordingShell final : tray::IShellIntegration {
  QStringList setups, forgotten;
  void Setup(const QString& f, int, const QString&) override { setups << f; }
  void Forget(const QString& f) override { forgotten << f; }
};

class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QFile f(m_dir.filePath(QStringLiteral("English.qzl")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[DEFAULTSHARE]\nSHARE_PICTURE=Pictures\nSHARE_MUSIC=Music\nSHARE_AUDIO=Videos\nSHARE_DOCUMENT=Documents\n");
    f.close();
    tray::SetLanguageFolder(m_dir.path());
    tray::SetSystemLocaleOverride("en_US");
    store = std::make_unique<tray::LanguagesRef>();
  }
  void TearDown() override {
    store.reset();
    tray::SetLanguageFolder(QString());
    tray::SetSystemLocaleOverride(std::nullopt);
  }
  tray::DataFolderResult Set(const QString& current, const QString& next, const char* host = "127.0.0.1") {
    tray::DataFolderContext c{service, *store->get(), files, shell, QString::fromLatin1(host)};
    return tray::SetDataFolderBase(c, current, next);
  }
  QString Path(const char* rel) const { return m_dir.filePath(QString::fromUtf8(rel)); }

  QTemporaryDir m_dir;
  std::unique_ptr<tray::LanguagesRef> store;
  RecordingService service;
  RecordingShell shell;
  tray::RealFileOps files;
};

TEST_F(DataFolderTest, MovesCreatesSetsUpAndThenTellsTheService) {
  QDir().mkpath(Path("old/Tirvan/Pictures"));
  QFile photo(Path("old/Tirvan/Pictures/p.jpg"));
  ASSERT_TRUE(photo.open(QIODevice::WriteOnly));
  photo.write("x");
  photo.close();
  tray::DataFolderResult r = Set(Path("old"), Path("new"));
  EXPECT_TRUE(r.sent);
  EXPECT_EQ(r.move, tray::MoveOutcome::kMoved);
  EXPECT_TRUE(QFileInfo::exists(Path("new/Tirvan/Pictures/p.jpg")));
  EXPECT_TRUE(QFileInfo(Path("new/Tirvan/Videos")).isDir());
  ASSERT_EQ(service.sent.size(), 1u);
  EXPECT_EQ(service.sent[0].root, Path("new/Tirvan").toStdString());
  EXPECT_EQ(service.sent[0].video, Path("new/Tirvan/Videos").toStdString());
  EXPECT_EQ(shell.forgotten, QStringList{Path("old/Tirvan")});
  EXPECT_EQ(shell.setups, QStringList{Path("new/Tirvan")});
}

TEST_F(DataFolderTest, ARefusedMoveTellsTheUserAndNotTheService) {
  QDir().mkpath(Path("old/Tirvan"));
  QDir().mkpath(Path("taken/Tirvan"));
  tray::DataFolderResult r = Set(Path("old"), Path("taken"));
  EXPECT_FALSE(r.sent);
  EXPECT_EQ(r.messageKey, QStringLiteral("MSGBOX_MOVEEXISTS"));
  EXPECT_TRUE(service.sent.empty());
  EXPECT_TRUE(shell.setups.isEmpty());
  EXPECT_EQ(Set(Path("old"), Path("old/Tirvan/deeper")).messageKey, QStringLiteral("MSGBOX_MOVEINSIDE"));
  EXPECT_TRUE(service.sent.empty());
}

TEST_F(DataFolderTest, AnotherHostGetsNoMoveAndNoShellSteps) {
  QDir().mkpath(Path("old/Tirvan"));
  tray::DataFolderResult r = Set(Path("old"), Path("new"), "localhost");
  EXPECT_TRUE(r.sent);
  EXPECT_TRUE(QFileInfo(Path("old/Tirvan")).isDir());  // not moved
  EXPECT_TRUE(QFileInfo(Path("new/Tirvan/Music")).isDir());  // but created
  EXPECT_TRUE(shell.setups.isEmpty());
}

}  // namespace
