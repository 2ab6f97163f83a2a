// The data folder's move across file systems, on a file system whose renames of the data
// folder fail as across devices: a program killed before any one step leaves every file
// in the folder the service uses and the next move finishes the job; late arrivals
// follow; times are kept; a full disk, a refusing service and a cancel leave the old
// folder as it was and nothing in the new place.
#include "data_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>
#include <map>
#include <memory>

#include "fake_service.h"
#include "no_shell_folder.h"
#include "share_names_language.h"

namespace {

struct Killed {};

// The real file system, with every step that changes it counted: the program "dies"
// before step killAt. A rename of one "Tirvan" folder to another fails as across devices.
struct SteppedFiles final : tray::RealFileOps {
  int killAt = -1;
  int steps = 0;
  std::function<void(int)> beforeStep;
  std::optional<int64_t> freeBytes;
  int noSpaceAtCopy = -1;  // the nth file copy fails as on a full disk
  int copies = 0;
  QString copying;  // the source of the copy under way

  void Step() {
    ++steps;
    if (beforeStep) beforeStep(steps);
    if (steps == killAt) throw Killed{};
  }
  bool MakePath(const QString& p, QString* e) override { Step(); return RealFileOps::MakePath(p, e); }
  bool Rename(const QString& from, const QString& to, QString* e) override {
    Step();
    if (QFileInfo(from).fileName() == QStringLiteral("Tirvan") && QFileInfo(to).fileName() == QStringLiteral("Tirvan")) {
      *e = QStringLiteral("Invalid cross-device link");
      return false;
    }
    return RealFileOps::Rename(from, to, e);
  }
  bool RemoveTree(const QString& p, QString* e) override { Step(); return RealFileOps::RemoveTree(p, e); }
  bool CopyFile(const QString& from, const QString& to, const std::function<bool(int64_t)>& wrote,
                tray::FileError* e) override {
    copying = from;
    Step();
    if (++copies == noSpaceAtCopy) {
      QFile(to).open(QIODevice::WriteOnly);  // a part was written before the disk filled
      e->text = QStringLiteral("No space left on device");
      e->noSpace = true;
      return false;
    }
    return RealFileOps::CopyFile(from, to, wrote, e);
  }
  bool CopyLink(const QString& from, const QString& to, tray::FileError* e) override {
    Step();
    return RealFileOps::CopyLink(from, to, e);
  }
  bool MakeDir(const QString& p, tray::FileError* e) override { Step(); return RealFileOps::MakeDir(p, e); }
  bool SetTime(const QString& p, int64_t t, tray::FileError* e) override { Step(); return RealFileOps::SetTime(p, t, e); }
  bool SyncDir(const QString& p, tray::FileError* e) override { Step(); return RealFileOps::SyncDir(p, e); }
  bool WriteNote(const QString& p, const QString& t, tray::FileError* e) override {
    Step();
    return RealFileOps::WriteNote(p, t, e);
  }
  bool RemoveFile(const QString& p, tray::FileError* e) override { Step(); return RealFileOps::RemoveFile(p, e); }
  std::optional<int64_t> FreeBytes(const QString& p) const override {
    return freeBytes ? freeBytes : RealFileOps::FreeBytes(p);
  }
};

// Every entry below root: files with their content, folders with "/", links with "->".
std::map<QString, QByteArray> Contents(const QString& root) {
  std::map<QString, QByteArray> out;
  tray::RealFileOps real;
  std::vector<tray::FsEntry> tree;
  tray::FileError e;
  if (!real.ListTree(root, &tree, &e)) return out;
  for (const tray::FsEntry& entry : tree) {
    if (entry.rel.isEmpty()) continue;
    QByteArray v = entry.kind == tray::FsEntry::kDir ? QByteArray("/") : QByteArray();
    if (entry.kind == tray::FsEntry::kLink) {
      char target[4096] = {};
      ssize_t n = ::readlink((root + "/" + entry.rel).toUtf8().constData(), target, sizeof target - 1);
      v = "->" + QByteArray(target, n < 0 ? 0 : static_cast<int>(n));
    }
    if (entry.kind == tray::FsEntry::kFile) {
      QFile f(root + "/" + entry.rel);
      if (f.open(QIODevice::ReadOnly)) v = f.readAll();
    }
    out[entry.rel] = v;
  }
  return out;
}

std::map<QString, int64_t> Times(const QString& root) {
  std::map<QString, int64_t> out;
  tray::RealFileOps real;
  std::vector<tray::FsEntry> tree;
  tray::FileError e;
  real.ListTree(root, &tree, &e);
  for (const tray::FsEntry& entry : tree) out[entry.rel] = entry.mtimeNs;
  return out;
}

class DataFolderMoveTest : public ::testing::Test {
 public:
  void SetUp() override {
    service.AcceptAll();
    traytest::UseShareNamesLanguage(m_lang.path());
    store = std::make_unique<tray::LanguagesRef>();
  }
  void TearDown() override {
    store.reset();
    tray::SetLanguageFolder(QString());
    tray::SetSystemLocaleOverride(std::nullopt);
  }

  QString Path(const QString& rel) const { return dir->filePath(rel); }
  void Write(const QString& rel, const QByteArray& data, int64_t mtimeSec = 0) {
    const QString p = Path(rel);
    QDir().mkpath(QFileInfo(p).path());
    QFile f(p);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.close();
    if (mtimeSec) {
      struct timespec t[2] = {{mtimeSec, 0}, {mtimeSec, 123456789}};
      ASSERT_EQ(::utimensat(AT_FDCWD, p.toUtf8().constData(), t, 0), 0);
    }
  }
  // A data folder with nested folders, an empty one, old times and a link.
  void MakeOldFolder() {
    dir = std::make_unique<QTemporaryDir>();
    Write("old/Tirvan/Pictures/IMG_0001.JPG", QByteArray(200000, 'p'), 1000000000);
    Write("old/Tirvan/Music/Album/01.mp3", "song one", 1100000000);
    Write("old/Tirvan/Documents/notes.txt", "notes", 1200000000);
    QDir().mkpath(Path("old/Tirvan/Videos"));
    QFile::link(QStringLiteral("Documents/notes.txt"), Path("old/Tirvan/notes-link"));
    for (const char* d : {"old/Tirvan/Music/Album", "old/Tirvan/Music", "old/Tirvan/Videos"}) {
      struct timespec t[2] = {{1300000000, 0}, {1300000000, 5}};
      ::utimensat(AT_FDCWD, Path(QString::fromLatin1(d)).toUtf8().constData(), t, 0);
    }
    original = Contents(Path("old/Tirvan"));
  }
  tray::DataFolderResult Set(const QString& current, const QString& next, tray::MoveTimings t = {0, 0}) {
    tray::DataFolderContext c{service, *store->get(), files, shell};
    return tray::SetDataFolderBase(c, current, next, t);
  }
  // The folder the service uses: the last one it took, else the old one.
  QString ServiceFolder() const {
    return service.setDefShare.empty() ? Path("old/Tirvan") : QString::fromStdString(service.setDefShare.back().root);
  }
  // Every file of the old folder, as it was, in `folder` (the new sub-folders aside).
  void ExpectAllIn(const QString& folder, const std::map<QString, QByteArray>& want) {
    std::map<QString, QByteArray> have = Contents(folder);
    for (const auto& [rel, data] : want) {
      auto it = have.find(rel);
      ASSERT_NE(it, have.end()) << rel.toStdString() << " missing in " << folder.toStdString();
      EXPECT_EQ(it->second, data) << rel.toStdString();
    }
  }
  void ExpectNothingLeftIn(const QString& base) {
    EXPECT_FALSE(QFileInfo::exists(base + "/Tirvan"));
    EXPECT_FALSE(QFileInfo::exists(base + "/" + tray::kMoveTempName));
    EXPECT_FALSE(QFileInfo::exists(base + "/" + tray::kMoveNoteName));
  }

  QTemporaryDir m_lang;
  std::unique_ptr<QTemporaryDir> dir;
  std::unique_ptr<tray::LanguagesRef> store;
  traytest::FakeService service;
  traytest::NoShellFolder shell;
  SteppedFiles files;
  std::map<QString, QByteArray> original;
  QString newBase;
};

TEST_F(DataFolderMoveTest, AKillBeforeAnyStepLosesNothingAndTheNextMoveFinishes) {
  int total = 0;
  for (int killAt = 1;; ++killAt) {
    SCOPED_TRACE("killed before step " + std::to_string(killAt));
    MakeOldFolder();
    service.setDefShare.clear();
    files = SteppedFiles{};
    files.killAt = killAt;
    bool killed = false;
    try {
      Set(Path("old"), Path("new"));
    } catch (const Killed&) {
      killed = true;
    }
    ExpectAllIn(ServiceFolder(), original);
    if (!killed) {
      total = killAt - 1;
      break;
    }
    // The next move, from the folder the service uses, to the same place: never refused.
    files.killAt = -1;
    const QString base = tray::BaseOfDataFolder(ServiceFolder(), QLatin1Char('/'));
    tray::DataFolderResult r = Set(base, Path("new"));
    EXPECT_TRUE(r.sent);
    EXPECT_TRUE(r.messageKey.isEmpty()) << r.messageKey.toStdString();
    EXPECT_EQ(ServiceFolder(), Path("new/Tirvan"));
    ExpectAllIn(Path("new/Tirvan"), original);
    EXPECT_FALSE(QFileInfo::exists(Path("old/Tirvan")));
    EXPECT_FALSE(QFileInfo::exists(Path("new/") + tray::kMoveTempName));
    EXPECT_FALSE(QFileInfo::exists(Path("new/") + tray::kMoveNoteName));
    if (HasFailure()) break;
  }
  EXPECT_GT(total, 15);  // the copy's steps were all visited
}

TEST_F(DataFolderMoveTest, TimesAreKeptAndLateArrivalsFollowBeforeTheOldFolderGoes) {
  MakeOldFolder();
  const std::map<QString, int64_t> times = Times(Path("old/Tirvan"));
  bool duringCopy = false, afterTell = false;
  files.beforeStep = [&](int) {
    if (!duringCopy && QFileInfo::exists(Path("new/") + tray::kMoveTempName + "/Pictures")) {
      duringCopy = true;  // a phone's upload while the copy runs
      Write("old/Tirvan/Pictures/IMG_0002.JPG", "during");
    }
    if (!afterTell && !service.setDefShare.empty()) {
      afterTell = true;  // and one that lands in the old folder after the switch
      Write("old/Tirvan/Music/late.mp3", "after");
    }
  };
  tray::DataFolderResult r = Set(Path("old"), Path("new"));
  ASSERT_TRUE(duringCopy && afterTell);
  EXPECT_TRUE(r.sent);
  EXPECT_EQ(r.move, tray::MoveOutcome::kMoved);
  EXPECT_TRUE(r.messageKey.isEmpty()) << r.messageKey.toStdString();
  ExpectAllIn(Path("new/Tirvan"), original);
  EXPECT_EQ(Contents(Path("new/Tirvan"))[QStringLiteral("Pictures/IMG_0002.JPG")], "during");
  EXPECT_EQ(Contents(Path("new/Tirvan"))[QStringLiteral("Music/late.mp3")], "after");
  EXPECT_FALSE(QFileInfo::exists(Path("old/Tirvan")));
  EXPECT_FALSE(QFileInfo::exists(Path("new/") + tray::kMoveNoteName));
  const std::map<QString, int64_t> moved = Times(Path("new/Tirvan"));
  for (const char* rel : {"Pictures/IMG_0001.JPG", "Music/Album/01.mp3", "Documents/notes.txt", "Music/Album", "Videos"}) {
    EXPECT_EQ(moved.at(QString::fromLatin1(rel)), times.at(QString::fromLatin1(rel))) << rel;
  }
}

TEST_F(DataFolderMoveTest, FilesThatGrowOrGoWhileTheCopyRunsDoNotFailTheMove) {
  MakeOldFolder();
  bool changed = false;
  files.beforeStep = [&](int) {
    if (changed || !QFileInfo::exists(Path("new/") + tray::kMoveTempName)) return;
    changed = true;  // listed already, not yet copied: one upload grows, one file is deleted
    QFile grow(Path("old/Tirvan/Pictures/IMG_0001.JPG"));
    ASSERT_TRUE(grow.open(QIODevice::Append));
    grow.write("more");
    grow.close();
    ASSERT_TRUE(QFile::remove(Path("old/Tirvan/Documents/notes.txt")));
  };
  tray::DataFolderResult r = Set(Path("old"), Path("new"));
  ASSERT_TRUE(changed);
  EXPECT_TRUE(r.sent);
  EXPECT_TRUE(r.messageKey.isEmpty()) << r.messageKey.toStdString() << " " << r.detail.toStdString();
  EXPECT_EQ(Contents(Path("new/Tirvan"))[QStringLiteral("Pictures/IMG_0001.JPG")], QByteArray(200000, 'p') + "more");
  EXPECT_FALSE(QFileInfo::exists(Path("new/Tirvan/Documents/notes.txt")));
  EXPECT_FALSE(QFileInfo::exists(Path("old/Tirvan")));
}

// An upload that ends while what arrived during the copy is brought over: its part is
// listed, then renamed to the file's name before it is copied. The part is not copied,
// the file follows, and the move goes on.
TEST_F(DataFolderMoveTest, AnUploadThatEndsWhileLateArrivalsAreCopiedDoesNotFailTheMove) {
  MakeOldFolder();
  const QString part = Path("old/Tirvan/VID_1.MP4tirvan.rename");
  const QString done = Path("old/Tirvan/VID_1.MP4");
  bool arrived = false, renamed = false;
  files.beforeStep = [&](int) {
    if (!QFileInfo::exists(Path("new/Tirvan"))) return;
    if (!arrived) {  // the copy is in place; the sync of late arrivals lists next
      arrived = true;
      QFile f(part);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(QByteArray(5000, 'v'));
    } else if (!renamed && files.copying == part) {  // listed, about to be copied: the upload ends
      renamed = true;
      ASSERT_TRUE(QFile::rename(part, done));
    }
  };
  tray::DataFolderResult r = Set(Path("old"), Path("new"));
  ASSERT_TRUE(renamed);
  EXPECT_TRUE(r.sent);
  EXPECT_TRUE(r.messageKey.isEmpty()) << r.messageKey.toStdString() << " " << r.detail.toStdString();
  const auto copied = Contents(Path("new/Tirvan"));
  EXPECT_EQ(copied.count(QStringLiteral("VID_1.MP4tirvan.rename")), 0u);
  EXPECT_EQ(copied.count(QStringLiteral("VID_1.MP4tirvan.rename.tirvan-part")), 0u);
  EXPECT_EQ(copied.at(QStringLiteral("VID_1.MP4")), QByteArray(5000, 'v'));
}

TEST_F(DataFolderMoveTest, AFullDiskARefusingServiceAndACancelLeaveTheOldFolderAndNothingElse) {
  struct Case {
    const char* name;
    std::function<void(DataFolderMoveTest&)> arrange;
    const char* key;
  };
  const Case cases[] = {
      {"too little free space", [](DataFolderMoveTest& t) { t.files.freeBytes = 1000; }, "MSGBOX_MOVENOSPACE"},
      {"too little free space in a folder still to be made",
       [](DataFolderMoveTest& t) {
         t.files.freeBytes = 1000;
         t.newBase = t.Path("new/deeper");
       },
       "MSGBOX_MOVENOSPACE"},
      {"the disk fills during the copy", [](DataFolderMoveTest& t) { t.files.noSpaceAtCopy = 2; }, "MSGBOX_MOVENOSPACE"},
      {"the service refuses",
       [](DataFolderMoveTest& t) {
         t.service.setDefShareResult = -1;
         t.service.defShareResult = tray::kDefShareSet;
         t.service.defShare = t.Path("old/Tirvan").toStdString();
       },
       "MSGBOX_MOVENOTTAKEN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeOldFolder();
    service = traytest::FakeService{};
    service.AcceptAll();
    files = SteppedFiles{};
    QDir().mkpath(Path("new"));
    newBase = Path("new");
    c.arrange(*this);
    tray::DataFolderResult r = Set(Path("old"), newBase);
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(r.messageKey, QString::fromLatin1(c.key));
    EXPECT_EQ(Contents(Path("old/Tirvan")), original);
    ExpectNothingLeftIn(Path("new"));
    EXPECT_FALSE(QFileInfo::exists(Path("new/deeper")));
  }

  // Cancel in the middle of the copy.
  MakeOldFolder();
  service = traytest::FakeService{};
  service.AcceptAll();
  files = SteppedFiles{};
  tray::DataFolderContext context{service, *store->get(), files, shell};
  tray::DataFolderChange change(context, Path("old"), Path("new"));
  tray::MoveCounters counters;
  files.beforeStep = [&](int) {
    if (counters.filesDone >= 1) counters.cancel = true;
  };
  EXPECT_FALSE(change.Place(counters));
  EXPECT_EQ(change.Result().move, tray::MoveOutcome::kCancelled);
  EXPECT_TRUE(service.setDefShare.empty());
  EXPECT_EQ(Contents(Path("old/Tirvan")), original);
  ExpectNothingLeftIn(Path("new"));
}

TEST_F(DataFolderMoveTest, ACopyTheServiceMayHaveTakenStaysUntilTheNextMoveKnows) {
  MakeOldFolder();
  service.setDefShareResult = -1;
  service.defShareResult = tray::kDefShareNoReply;  // no answer at all
  tray::DataFolderResult r = Set(Path("old"), Path("new"));
  EXPECT_FALSE(r.sent);
  EXPECT_EQ(r.messageKey, QStringLiteral("MSGBOX_MOVENOTTAKEN"));
  EXPECT_EQ(Contents(Path("old/Tirvan")), original);
  ExpectAllIn(Path("new/Tirvan"), original);  // kept: the service might use it
  EXPECT_TRUE(QFileInfo::exists(Path("new/") + tray::kMoveNoteName));

  // The service answers again and still uses the old folder: the retry is not refused.
  service = traytest::FakeService{};
  service.AcceptAll();
  r = Set(Path("old"), Path("new"));
  EXPECT_TRUE(r.sent);
  EXPECT_TRUE(r.messageKey.isEmpty()) << r.messageKey.toStdString();
  ExpectAllIn(Path("new/Tirvan"), original);
  EXPECT_FALSE(QFileInfo::exists(Path("old/Tirvan")));
  EXPECT_FALSE(QFileInfo::exists(Path("new/") + tray::kMoveNoteName));
}

TEST_F(DataFolderMoveTest, AnOldFolderStillWrittenToGoesOnlyOnceItIsQuiet) {
  MakeOldFolder();
  std::thread upload;
  constexpr int kWrites = 10;
  files.beforeStep = [&](int) {
    // An upload into the old folder that starts as the copy is in place and goes on
    // writing after the switch.
    if (!QFileInfo::exists(Path("new/Tirvan")) || upload.joinable()) return;
    const QString path = Path("old/Tirvan/Pictures/slow.mov");
    upload = std::thread([path] {
      QFile f(path);
      if (!f.open(QIODevice::WriteOnly)) return;
      for (int i = 0; i < kWrites; ++i) {
        f.write(QByteArray(1000, 'v'));
        f.flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  };
  tray::DataFolderResult r = Set(Path("old"), Path("new"), tray::MoveTimings{300, 20000});
  ASSERT_TRUE(upload.joinable());
  upload.join();
  EXPECT_TRUE(r.sent);
  EXPECT_TRUE(r.messageKey.isEmpty());
  EXPECT_EQ(Contents(Path("new/Tirvan"))[QStringLiteral("Pictures/slow.mov")], QByteArray(kWrites * 1000, 'v'));
  EXPECT_FALSE(QFileInfo::exists(Path("old/Tirvan")));
}

}  // namespace
