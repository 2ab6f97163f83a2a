#include "default_folders.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include "shell_folder.h"

namespace {

using tray::MoveOutcome;

class DefaultFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.isValid());
    Write(m_dir.filePath(QStringLiteral("lang/English.qzl")),
          "[DEFAULTSHARE]\nSHARE_PICTURE=Pictures\nSHARE_MUSIC=Music\nSHARE_AUDIO=Videos\n"
          "SHARE_DOCUMENT=Documents\n");
    Write(m_dir.filePath(QStringLiteral("lang/ChineseSimplified.qzl")),
          "[DEFAULTSHARE]\nSHARE_PICTURE=图片\nSHARE_MUSIC=音乐\nSHARE_AUDIO=视频\nSHARE_DOCUMENT=文档\n");
    tray::SetLanguageFolder(m_dir.filePath(QStringLiteral("lang")));
    tray::SetSystemLocaleOverride("en_US.UTF-8");
  }
  void TearDown() override {
    tray::SetLanguageFolder(QString());
    tray::SetSystemLocaleOverride(std::nullopt);
  }
  static void Write(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
  }
  static QByteArray Read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
  }
  QString Path(const char* rel) const { return m_dir.filePath(QString::fromUtf8(rel)); }

  QTemporaryDir m_dir;
};

TEST_F(DefaultFoldersTest, RecordFollowsBaseSeparatorAndLanguage) {
  tray::LanguagesRef store;
  tray::DefShare s = tray::BuildDefShare(QStringLiteral("/data"), QLatin1Char('/'), *store.get());
  EXPECT_EQ(s.def, QStringLiteral("/data/Tirvan"));
  EXPECT_EQ(s.pic, QStringLiteral("/data/Tirvan/Pictures"));
  EXPECT_EQ(s.music, QStringLiteral("/data/Tirvan/Music"));
  EXPECT_EQ(s.video, QStringLiteral("/data/Tirvan/Videos"));  // from SHARE_AUDIO
  EXPECT_EQ(s.doc, QStringLiteral("/data/Tirvan/Documents"));
  EXPECT_EQ(tray::BuildDefShare(QStringLiteral("/"), QLatin1Char('/'), *store.get()).def, QStringLiteral("/Tirvan"));
  EXPECT_EQ(tray::BuildDefShare(QStringLiteral("E:\\"), QLatin1Char('\\'), *store.get()).pic,
            QStringLiteral("E:\\Tirvan\\Pictures"));
  store->SetLanguage(tray::kLanguageChineseSimplified);
  EXPECT_EQ(tray::BuildDefShare(QStringLiteral("/data"), QLatin1Char('/'), *store.get()).pic,
            QStringLiteral("/data/Tirvan/图片"));

  struct Case {
    const char* def;
    const char* base;
  };
  const Case cases[] = {{"/home/u/Tirvan", "/home/u"}, {"/home/u/Tirvan/", "/home/u"},
                        {"/Tirvan", "/"},              {"", ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(tray::BaseOfDataFolder(QString::fromUtf8(c.def), QLatin1Char('/')), QString::fromUtf8(c.base)) << c.def;
  }
  EXPECT_EQ(tray::BaseOfDataFolder(QStringLiteral("E:\\Tirvan"), QLatin1Char('\\')), QStringLiteral("E:\\"));
}

TEST_F(DefaultFoldersTest, MoveRenamesAndRefusesWhatWouldMergeOrNest) {
  tray::RealFileOps files;
  const QChar sep = QLatin1Char('/');
  Write(Path("a/Tirvan/Pictures/p.jpg"), "photo");
  EXPECT_EQ(tray::MoveRootFolder(QString(), Path("b"), sep, files).outcome, MoveOutcome::kNothingToMove);
  EXPECT_EQ(tray::MoveRootFolder(Path("none"), Path("b"), sep, files).outcome, MoveOutcome::kNothingToMove);
  EXPECT_EQ(tray::MoveRootFolder(Path("a"), Path("a"), sep, files).outcome, MoveOutcome::kSameBase);
  EXPECT_EQ(tray::MoveRootFolder(Path("a"), Path("a/Tirvan/Pictures"), sep, files).outcome,
            MoveOutcome::kTargetInside);
  Write(Path("c/Tirvan/mine.txt"), "user's");
  EXPECT_EQ(tray::MoveRootFolder(Path("a"), Path("c"), sep, files).outcome, MoveOutcome::kTargetExists);
  EXPECT_EQ(Read(Path("c/Tirvan/mine.txt")), "user's");
  EXPECT_EQ(Read(Path("a/Tirvan/Pictures/p.jpg")), "photo");

  EXPECT_EQ(tray::MoveRootFolder(Path("a"), Path("b/new"), sep, files).outcome, MoveOutcome::kMoved);
  EXPECT_EQ(Read(Path("b/new/Tirvan/Pictures/p.jpg")), "photo");
  EXPECT_FALSE(QFileInfo::exists(Path("a/Tirvan")));
}

// A file system on which renames cross devices, so the move copies.
struct CopyingFileOps final : tray::RealFileOps {
  bool failCopy = false;
  bool Rename(const QString& from, const QString& to, QString* e) override {
    if (QFileInfo(from).fileName() == QStringLiteral("Tirvan") && QFileInfo(to).fileName() == QStringLiteral("Tirvan")) {
      *e = QStringLiteral("Invalid cross-device link");
      return false;
    }
    return RealFileOps::Rename(from, to, e);
  }
  bool CopyFile(const QString& from, const QString& to, const std::function<bool(int64_t)>& wrote,
                tray::FileError* e) override {
    if (!RealFileOps::CopyFile(from, to, wrote, e)) return false;
    if (failCopy) e->text = QStringLiteral("No space left on device");
    return !failCopy;
  }
};

TEST_F(DefaultFoldersTest, MoveAcrossFileSystemsCopiesVerifiesAndKeepsTheOldOnFailure) {
  CopyingFileOps files;
  Write(Path("a/Tirvan/Music/m.mp3"), "song");
  files.failCopy = true;
  tray::MoveResult failed = tray::MoveRootFolder(Path("a"), Path("b"), QLatin1Char('/'), files);
  EXPECT_EQ(failed.outcome, MoveOutcome::kFailed);
  EXPECT_FALSE(failed.error.isEmpty());
  EXPECT_EQ(Read(Path("a/Tirvan/Music/m.mp3")), "song");
  EXPECT_FALSE(QFileInfo::exists(Path("b/Tirvan")));  // the partial copy went

  files.failCopy = false;
  EXPECT_EQ(tray::MoveRootFolder(Path("a"), Path("b"), QLatin1Char('/'), files).outcome, MoveOutcome::kMoved);
  EXPECT_EQ(Read(Path("b/Tirvan/Music/m.mp3")), "song");
  EXPECT_FALSE(QFileInfo::exists(Path("a/Tirvan")));
}

TEST_F(DefaultFoldersTest, FolderCreationFailuresAreReported) {
  tray::RealFileOps files;
  tray::LanguagesRef store;
  tray::DefShare ok = tray::BuildDefShare(Path("base"), QLatin1Char('/'), *store.get());
  EXPECT_TRUE(tray::CreateDefShareFolders(ok, files).isEmpty());
  EXPECT_TRUE(QFileInfo(ok.video).isDir() && QFileInfo(ok.pic).isDir());
  Write(Path("blocked/Tirvan"), "a file where the folder should be");
  tray::DefShare bad = tray::BuildDefShare(Path("blocked"), QLatin1Char('/'), *store.get());
  EXPECT_EQ(tray::CreateDefShareFolders(bad, files).size(), 4);
}

TEST_F(DefaultFoldersTest, ShellFolderKeepsUsersFilesAndFollowsMoves) {
  Write(Path("program/Instructions for Tirvan.pdf"), "%PDF english");
  Write(Path("program/Tirvan帮助说明.pdf"), "%PDF simplified");
  Write(Path("program/Tirvan幫助說明.pdf"), "%PDF traditional");
  tray::DesktopShellFolder shell(Path("program/tirvan.png"), Path("program"), Path("config/bookmarks"));
  Write(Path("config/bookmarks"), "file:///home/u/Music\n");

  const QString data = Path("one/Tirvan");
  QDir().mkpath(data);
  Write(data + QStringLiteral("/Tirvan帮助说明.pdf"), "%PDF simplified");          // ours: replaced
  Write(data + QStringLiteral("/Tirvan幫助說明.pdf"), "the user's own notes");      // not ours: kept
  shell.Setup(data, tray::kLanguageEnglish, QStringLiteral("Tirvan Cloud"));
  EXPECT_EQ(Read(data + QStringLiteral("/Instructions for Tirvan.pdf")), "%PDF english");
  EXPECT_FALSE(QFileInfo::exists(data + QStringLiteral("/Tirvan帮助说明.pdf")));
  EXPECT_EQ(Read(data + QStringLiteral("/Tirvan幫助說明.pdf")), "the user's own notes");
  EXPECT_TRUE(Read(data + QStringLiteral("/.directory")).contains("Icon=" + Path("program/tirvan.png").toUtf8()));

  const QByteArray oneUrl = QUrl::fromLocalFile(data).toEncoded();
  EXPECT_EQ(Read(Path("config/bookmarks")), "file:///home/u/Music\n" + oneUrl + " Tirvan Cloud\n");
  shell.Setup(data, tray::kLanguageEnglish, QStringLiteral("Tirvan Cloud"));  // no second line
  EXPECT_EQ(Read(Path("config/bookmarks")).count(oneUrl), 1);

  const QString moved = Path("two/Tirvan");
  shell.Forget(data);
  shell.Setup(moved, tray::kLanguageEnglish, QStringLiteral("Tirvan Cloud"));
  QByteArray bookmarks = Read(Path("config/bookmarks"));
  EXPECT_FALSE(bookmarks.contains(oneUrl));
  EXPECT_TRUE(bookmarks.contains(QUrl::fromLocalFile(moved).toEncoded()));
  EXPECT_TRUE(bookmarks.startsWith("file:///home/u/Music\n"));
}

}  // namespace
