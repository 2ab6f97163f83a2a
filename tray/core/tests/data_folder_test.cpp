#include "data_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

#include "fake_service.h"
#include "no_shell_folder.h"
#include "share_names_language.h"

namespace {

class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The service client's answers: all taken, no default folder yet.
    service.AcceptAll();
    service.defShareResult = tray::kDefShareEmpty;
    traytest::UseShareNamesLanguage(m_dir.path());
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
  traytest::FakeService service;
  traytest::NoShellFolder shell;
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
  ASSERT_EQ(service.setDefShare.size(), 1u);
  EXPECT_EQ(service.setDefShare[0].root, Path("new/Tirvan").toStdString());
  EXPECT_EQ(service.setDefShare[0].video, Path("new/Tirvan/Videos").toStdString());
  EXPECT_EQ(shell.forgotten, QStringList{Path("old/Tirvan")});
  EXPECT_EQ(shell.setups, QStringList{Path("new/Tirvan")});
}

TEST_F(DataFolderTest, ARefusedMoveTellsTheUserAndNotTheService) {
  QDir().mkpath(Path("old/Tirvan"));
  QDir().mkpath(Path("taken/Tirvan"));
  tray::DataFolderResult r = Set(Path("old"), Path("taken"));
  EXPECT_FALSE(r.sent);
  EXPECT_EQ(r.messageKey, QStringLiteral("MSGBOX_MOVEEXISTS"));
  EXPECT_TRUE(service.setDefShare.empty());
  EXPECT_TRUE(shell.setups.isEmpty());
  EXPECT_EQ(Set(Path("old"), Path("old/Tirvan/deeper")).messageKey, QStringLiteral("MSGBOX_MOVEINSIDE"));
  EXPECT_TRUE(service.setDefShare.empty());
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
