// The shares list's rules (rows by exact path, the system folders, display names), the
// pending changes with their reduction, the move and autostart flags that OK applies and
// Cancel drops, the root folder that follows the service and every move, and the rows of
// the transfer log.
#include "share_list.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstring>
#include <memory>

#include "share_changes.h"
#include "trans_log.h"

namespace {

using tray::ShareChange;

tray::SystemFolders Sys() {
  tray::SystemFolders f;
  f.system = {"/usr", "/etc", "/boot", "/proc", "/sys", "/dev", "/var/lib", "/run"};
  f.program = "/opt/tirvan";
  return f;
}

TEST(ShareListTest, SystemFoldersAreWholeComponentsAndTheirParentsToo) {
  const struct {
    const char* path;
    bool allowed;
  } cases[] = {
      {"/home/anna/Photos", true},
      {"/usr", false},
      {"/usr/share/doc", false},
      {"/usrdata", true},          // a prefix of the name only
      {"/home/usr", true},         // the name elsewhere in the path
      {"/USR", true},              // case matters on this file system
      {"/var/lib/x", false},
      {"/var/library", true},
      {"/var", false},             // holds /var/lib
      {"/var/tmp", true},
      {"/", false},                // holds every system folder
      {"/etc/", false},
      {"/home/../etc", false},
      {"//etc//ssh", false},
      {"/opt/tirvan", false},      // the program's own prefix
      {"/opt/tirvan/share", false},
      {"/opt/tirvanfiles", true},
      {"/opt", true},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tray::IsAllowedShareFolder(QString::fromUtf8(c.path), Sys()), c.allowed) << c.path;
  }
  // A link to a system folder is refused like the folder.
  QTemporaryDir dir;
  const QString link = dir.filePath("config");
  ASSERT_TRUE(QFile::link("/etc", link));
  EXPECT_FALSE(tray::IsAllowedShareFolder(link, Sys()));
  EXPECT_TRUE(tray::IsAllowedShareFolder(dir.path(), Sys()));
  // The default list names the program's own folder.
  EXPECT_FALSE(tray::SystemFolders::Default().system.isEmpty());
}

// The install root of the run script: the programs in ROOT/bin, the data folder in
// ROOT/Tirvan, a shared folder ROOT/Shared. Only the program's own folder and the system's
// folders are refused, and only what the user adds; what the service shares is listed.
TEST(ShareListTest, TheRuleRefusesOnlyWhatTheUserAddsAndSparesTheInstallRoot) {
  int argc = 1;
  char name[] = "share_list_test";
  char* argv[] = {name, nullptr};
  std::unique_ptr<QCoreApplication> app;
  if (!QCoreApplication::instance()) app = std::make_unique<QCoreApplication>(argc, argv);
  tray::SystemFolders d = tray::SystemFolders::Default();
  EXPECT_EQ(d.program, QDir::cleanPath(QCoreApplication::applicationDirPath()));
  EXPECT_FALSE(d.program.isEmpty());
  for (const char* sys : {"/usr", "/opt", "/bin", "/lib", "/etc"}) EXPECT_TRUE(d.system.contains(sys)) << sys;

  tray::SystemFolders readme = d;
  readme.program = QStringLiteral("/home/anna/tirvan/bin");
  const struct {
    const char* path;
    bool allowed;
  } cases[] = {
      {"/home/anna/tirvan/Shared", true},
      {"/home/anna/tirvan/Tirvan", true},
      {"/home/anna/tirvan/Tirvan/Pictures", true},
      {"/home/anna/tirvan", true},  // the root itself is the user's to share
      {"/home/anna/tirvan/bin", false},
      {"/home/anna/tirvan/bin/lang", false},
      {"/home/anna/tirvan/binaries", true},
      {"/opt/tirvan/Shared", false},
      {"/usr/local/share", false},
      {"/srv/files", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tray::IsAllowedShareFolder(QString::fromUtf8(c.path), readme), c.allowed) << c.path;
  }
  // Added by the user, a refused folder stays out; shown for the service, every folder is
  // listed once, and a deleted one comes back with Cancel.
  tray::ShareRows rows;
  EXPECT_EQ(tray::AddShareListItem("/opt/tirvan/Shared", -1, rows, readme), -2);
  for (const char* p : {"/home/anna/tirvan/Shared", "/opt/tirvan/Shared", "/home/anna/tirvan/bin"}) {
    EXPECT_EQ(tray::ShowShareListItem(p, -1, rows), 1) << p;
  }
  EXPECT_EQ(tray::ShowShareListItem("/opt/tirvan/Shared", -1, rows), -1);
  EXPECT_EQ(tray::AddShareListItem("/opt/tirvan/Shared", -1, rows, readme), -1);
  tray::SharePending pending;
  ASSERT_EQ(tray::DeleteShareListItem(rows, "/opt/tirvan/Shared"), 1);
  pending.Removed("/opt/tirvan/Shared");
  pending.Cancel(rows);
  EXPECT_EQ(rows.Paths(), QStringList({"/home/anna/tirvan/Shared", "/home/anna/tirvan/bin", "/opt/tirvan/Shared"}));
}

TEST(ShareListTest, DisplayNames) {
  const struct {
    const char* path;
    const char* name;
  } cases[] = {{"/data/Photos", "Photos"}, {"/data/Photos/", "Photos"}, {"/", "/"},
               {"D:\\", "D:"},             {"C:\\Data\\Photos", "Photos"}, {"Photos", "Photos"}};
  for (const auto& c : cases) EXPECT_EQ(tray::GetFolderDisplayName(c.path), QString::fromUtf8(c.name)) << c.path;
}

TEST(ShareListTest, RowsAreFoundByTheirExactPathAndNeverDoubled) {
  tray::ShareRows rows;
  EXPECT_EQ(tray::AddShareListItem("/d/Photos", -1, rows, Sys()), 1);
  EXPECT_EQ(tray::AddShareListItem("/d/Photos", -1, rows, Sys()), -1);
  EXPECT_EQ(tray::AddShareListItem("/d/photos", -1, rows, Sys()), 1);   // another folder
  EXPECT_EQ(tray::AddShareListItem("/d/Photos/", -1, rows, Sys()), 1);  // not normalised
  EXPECT_EQ(tray::AddShareListItem("/etc/ssh", -1, rows, Sys()), -2);
  EXPECT_EQ(tray::AddShareListItem("/d/First", 0, rows, Sys()), 1);
  EXPECT_EQ(rows.Paths(), QStringList({"/d/First", "/d/Photos", "/d/photos", "/d/Photos/"}));
  EXPECT_EQ(rows.Rows()[1].name, QStringLiteral("Photos"));
  EXPECT_EQ(tray::FindShareListItem("/d/photos", rows), 2);
  EXPECT_EQ(tray::FindShareListItem("/d/PHOTOS", rows), -1);
  EXPECT_EQ(tray::DeleteShareListItem(rows, "/d/photos"), 1);
  EXPECT_EQ(tray::DeleteShareListItem(rows, "/d/photos"), -1);
  EXPECT_EQ(rows.Paths(), QStringList({"/d/First", "/d/Photos", "/d/Photos/"}));
}

TEST(ShareListTest, TheLastChangeOfAPathWins) {
  const struct {
    const char* name;
    std::vector<ShareChange> changes;
    std::vector<std::string> added, removed;
  } cases[] = {
      {"none", {}, {}, {}},
      {"add, delete", {{1, "/a"}, {2, "/a"}}, {}, {"/a"}},
      {"delete, add", {{2, "/a"}, {1, "/a"}}, {"/a"}, {}},
      {"twice the same", {{1, "/a"}, {1, "/a"}, {2, "/b"}, {2, "/b"}}, {"/a"}, {"/b"}},
      {"order kept", {{1, "/b"}, {1, "/a"}, {2, "/c"}}, {"/b", "/a"}, {"/c"}},
      {"exact bytes", {{1, "/a"}, {2, "/A"}}, {"/a"}, {"/A"}},
  };
  for (const auto& c : cases) {
    tray::ShareDelta d = tray::ReduceShareChanges(c.changes);
    EXPECT_EQ(d.added, c.added) << c.name;
    EXPECT_EQ(d.removed, c.removed) << c.name;
  }
  std::vector<std::string> list{"/a", "/b", "/a"};
  tray::AddUniquePath("/b", list);
  tray::RemovePath(list, "/a");
  tray::RemovePath(list, "/none");
  EXPECT_EQ(list, (std::vector<std::string>{"/b", "/a"}));
}

TEST(ShareListTest, CancelTakesTheRowsBackAndDropsTheMoveAndTheAutostartChange) {
  tray::ShareRows rows;
  for (const char* p : {"/d/B", "/d/C"}) tray::AddShareListItem(p, -1, rows, Sys());
  tray::SharePending pending;
  // Delete B, add A, add X then delete X again.
  tray::DeleteShareListItem(rows, "/d/B");
  pending.Removed("/d/B");
  tray::AddShareListItem("/d/A", -1, rows, Sys());
  pending.Added("/d/A");
  tray::AddShareListItem("/d/X", -1, rows, Sys());
  pending.Added("/d/X");
  tray::DeleteShareListItem(rows, "/d/X");
  pending.Removed("/d/X");
  EXPECT_EQ(pending.PickDataFolder(QStringLiteral("/mnt/big"), "/home/anna", Sys()), tray::SharePending::Pick::kFlagged);
  pending.MarkAutoStartChanged();

  pending.Cancel(rows);
  EXPECT_EQ(rows.Paths(), QStringList({"/d/C", "/d/B"}));  // B back at the end, X stays away
  EXPECT_TRUE(pending.Changes().empty());
  EXPECT_FALSE(pending.DataFolderChanged());
  EXPECT_FALSE(pending.AutoStartChanged());
  tray::SharePending::Applied after = pending.Take();
  EXPECT_TRUE(after.shares.Empty());
  EXPECT_FALSE(after.moveTo);
  EXPECT_FALSE(after.autoStart);
}

TEST(ShareListTest, OkTakesTheReducedChangesTheMoveAndTheAutostartChangeOnce) {
  tray::SharePending pending;
  pending.Added("/d/A");
  pending.Removed("/d/A");
  pending.PickDataFolder(QStringLiteral("/mnt/big/"), "/home/anna", Sys());
  pending.MarkAutoStartChanged();
  tray::SharePending::Applied a = pending.Take();
  EXPECT_TRUE(a.shares.added.empty());
  EXPECT_EQ(a.shares.removed, (std::vector<std::string>{"/d/A"}));
  EXPECT_EQ(a.moveTo, QStringLiteral("/mnt/big"));
  EXPECT_TRUE(a.autoStart);
  tray::SharePending::Applied again = pending.Take();
  EXPECT_TRUE(again.shares.Empty());
  EXPECT_FALSE(again.moveTo);
  EXPECT_FALSE(again.autoStart);
}

TEST(ShareListTest, AMoveIsFlaggedOnlyForAPickedFolderItCanGoTo) {
  using Pick = tray::SharePending::Pick;
  const struct {
    const char* name;
    std::optional<QString> picked;
    Pick result;
  } cases[] = {
      {"cancelled", std::nullopt, Pick::kRefused},
      {"empty", QString(), Pick::kRefused},
      {"relative", QStringLiteral("big"), Pick::kRefused},
      {"the current base", QStringLiteral("/home/anna/"), Pick::kCleared},
      {"the data folder itself", QStringLiteral("/home/anna/Tirvan"), Pick::kRefused},
      {"inside the data folder", QStringLiteral("/home/anna/Tirvan/Music"), Pick::kRefused},
      {"a system folder", QStringLiteral("/usr/local"), Pick::kRefused},
      {"beside the data folder", QStringLiteral("/home/anna/Tirvanx"), Pick::kFlagged},
      {"inside the base", QStringLiteral("/home/anna/Documents"), Pick::kFlagged},
      {"another disk", QStringLiteral("/mnt/big"), Pick::kFlagged},
      {"the parent", QStringLiteral("/home"), Pick::kFlagged},
  };
  for (const auto& c : cases) {
    tray::SharePending pending;
    EXPECT_EQ(pending.PickDataFolder(c.picked, "/home/anna", Sys()), c.result) << c.name;
    EXPECT_EQ(pending.DataFolderChanged(), c.result == Pick::kFlagged) << c.name;
  }
  // A refused pick keeps an earlier choice; picking the base again drops it.
  tray::SharePending pending;
  pending.PickDataFolder(QStringLiteral("/mnt/big"), "/home/anna", Sys());
  pending.PickDataFolder(std::nullopt, "/home/anna", Sys());
  EXPECT_EQ(pending.MoveTarget(), QStringLiteral("/mnt/big"));
  pending.PickDataFolder(QStringLiteral("/home/anna"), "/home/anna", Sys());
  EXPECT_FALSE(pending.DataFolderChanged());
}

class RootFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.isValid());
    QDir().mkpath(m_dir.filePath("lang"));
    QFile f(m_dir.filePath("lang/English.qzl"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[DEFAULTSHARE]\nSHARE_PICTURE=Pictures\nSHARE_MUSIC=Music\nSHARE_AUDIO=Videos\n"
            "SHARE_DOCUMENT=Documents\n");
    f.close();
    tray::SetLanguageFolder(m_dir.filePath("lang"));
    tray::SetSystemLocaleOverride("en_US.UTF-8");
  }
  void TearDown() override {
    tray::SetLanguageFolder(QString());
    tray::SetSystemLocaleOverride(std::nullopt);
  }
  QTemporaryDir m_dir;
};

TEST_F(RootFolderTest, TheRootRowAndTheDefaultFoldersFollowTheServiceAndEveryMove) {
  tray::LanguagesRef languages;
  tray::RealFileOps files;
  tray::ShareRows rows;
  tray::RootFolder root;
  const QString base = m_dir.filePath("base");
  tray::AddShareListItem("/d/A", -1, rows, Sys());

  root.ApplyDefShare(rows, base + "/Tirvan", QLatin1Char('/'), *languages.get(), files);
  EXPECT_EQ(root.Root(), base + "/Tirvan");
  EXPECT_EQ(root.Base(), base);
  EXPECT_EQ(rows.Paths(), QStringList({"/d/A", base + "/Tirvan"}));
  EXPECT_EQ(root.Defaults().pic, base + "/Tirvan/Pictures");
  for (const QString& p : {root.Defaults().pic, root.Defaults().music, root.Defaults().video, root.Defaults().doc}) {
    EXPECT_TRUE(QFileInfo(p).isDir()) << p.toStdString();
  }
  // Reported again: still one root row, moved to the end.
  tray::AddShareListItem("/d/B", -1, rows, Sys());
  root.ApplyDefShare(rows, base + "/Tirvan", QLatin1Char('/'), *languages.get(), files);
  EXPECT_EQ(rows.Paths(), QStringList({"/d/A", "/d/B", base + "/Tirvan"}));

  // A move: the row and the four folders name the new place at once.
  root.ShowRootFolder(rows, "/mnt/big", QLatin1Char('/'), *languages.get());
  EXPECT_EQ(rows.Paths(), QStringList({"/d/A", "/d/B", "/mnt/big/Tirvan"}));
  EXPECT_EQ(root.Defaults().def, QStringLiteral("/mnt/big/Tirvan"));
  EXPECT_EQ(root.Defaults().doc, QStringLiteral("/mnt/big/Tirvan/Documents"));
  root.ShowRootFolder(rows, "/", QLatin1Char('/'), *languages.get());
  EXPECT_EQ(rows.Paths(), QStringList({"/d/A", "/d/B", "/Tirvan"}));

  // The root is shown wherever it lies: a folder the service shares is never hidden.
  tray::ShareRows other;
  tray::RootFolder sysRoot;
  sysRoot.ShowRootFolder(other, "/usr", QLatin1Char('/'), *languages.get());
  EXPECT_EQ(other.Paths(), QStringList{"/usr/Tirvan"});
  EXPECT_EQ(sysRoot.Root(), QStringLiteral("/usr/Tirvan"));
}

TEST(TransLogTest, SizesNamesAndPictures) {
  const struct {
    int64_t bytes;
    const char* text;
  } sizes[] = {{0, "1KB"},           {1023, "1KB"},           {1024, "1.00KB"},        {1535, "1.00KB"},
               {1048575, "1023.00KB"}, {1048576, "1.00MB"},   {1572864, "1.50MB"},     {1073741823, "1024.00MB"},
               {1073741824, "1.00GB"}, {4294967295LL, "4.00GB"}};
  for (const auto& s : sizes) EXPECT_EQ(tray::FormatTransferSize(s.bytes), QString::fromUtf8(s.text)) << s.bytes;

  const struct {
    const char* path;
    const char* name;
  } names[] = {{"D:\\Tirvan\\Photos\\IMG_0001.JPG", "IMG_0001"},
               {"/home/anna/Tirvan/Music/song.tar.gz", "song.tar"},
               {"/mixed\\sep/clip.mp4", "clip"},
               {"C:\\a/b\\notes", "notes"},
               {"/home/anna/.profile", ".profile"},
               {"plain.txt", "plain"}};
  for (const auto& n : names) EXPECT_EQ(tray::TransferFileName(n.path), QString::fromUtf8(n.name)) << n.path;

  tray::TransLogRecord r{};
  r.type = 0;
  r.size = 2048;
  std::strcpy(r.time, "2026-12-11 03:00:00");
  std::strcpy(r.file, "/home/anna/Tirvan/Pictures/cat.jpg");
  auto row = tray::MakeTransLogRow(r);
  ASSERT_TRUE(row);
  EXPECT_EQ(*row, (tray::TransLogRow{"cat", "2.00KB", "2026-12-11 03:00:00", 1}));
  r.type = 1;
  EXPECT_EQ(tray::MakeTransLogRow(r)->image, 0);
  r.type = 7;
  EXPECT_EQ(tray::MakeTransLogRow(r)->image, 0);
  r.file[0] = '\0';
  EXPECT_FALSE(tray::MakeTransLogRow(r));
  // Fields that fill their arrays to the end are read no further.
  std::memset(r.file, 'x', sizeof r.file);
  std::memset(r.time, '9', sizeof r.time);
  row = tray::MakeTransLogRow(r);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->name.size(), static_cast<qsizetype>(sizeof r.file));
  EXPECT_EQ(row->time.size(), static_cast<qsizetype>(sizeof r.time));
}

}  // namespace
