// The update check against a hostile update server and a hostile machine: an installer
// without end or one that trickles, a missing data folder, a libcurl that refuses an
// option, and an installer swapped after its last check.
#include <gtest/gtest.h>
#include <curl/curl.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "http_fetch.h"
#include "process.h"
#include "tray_log.h"
#include "updater.h"
#include "updater_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using updatertest::Events;
using updatertest::UpdaterTest;

// The version page offering 1.0.0.10 with the served installer, its digest and size.
std::string Offer(const std::string& size) {
  return "/tirvan/update-pc.html expand body={\"version\":\"1.0.0.10\",\"down\":\"{base}\\/files\\/setup.sh\","
         "\"md5\":\"{md5:files/setup.sh}\",\"size\":\"" + size + "\"}\n";
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

template <typename F>
bool WaitFor(F done, int ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class UpdaterFaultTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    logPath = tmp.Sub("tray-" + std::to_string(++logs) + ".log");
    ASSERT_TRUE(tray::InstallTrayLog(QString::fromStdString(logPath)));
    ASSERT_TRUE(store->CreateKey());
    ASSERT_TRUE(store->SetDword(QStringLiteral("UpdateNotice"), 1));  // no question
  }
  void TearDown() override {
    tray::SetCurlOptionRefusalForTest({});
    UpdaterTest::TearDown();
  }
  std::string TrayLog() const { return ReadText(logPath); }
  // The bytes left in the data folder's files.
  long long DataBytes() const {
    long long n = 0;
    for (const QFileInfo& f : QDir(QString::fromStdString(tmp.Sub("data"))).entryInfoList(QDir::Files))
      n += f.size();
    return n;
  }

  static inline int logs = 0;
  std::string logPath;
};

// An endless installer once filled the disk: the download stops once it passes the size
// the version page offered, or the cap where none (or a larger one) was offered, with no
// second try, and leaves nothing behind.
TEST_F(UpdaterFaultTest, AnInstallerLargerThanOfferedStopsAtTheSizeOrTheCapAndLeavesNothing) {
  const struct {
    const char* name;
    std::string manifest;
    long long cap;  // 0: the default
  } cases[] = {
      {"endless, its size offered", Offer("{size:files/setup.sh}") + "/files/setup.sh file=files/setup.sh endless\n", 0},
      {"endless, no size offered", Offer("unknown") + "/files/setup.sh file=files/setup.sh endless\n", 200000},
      {"endless, more offered than the cap", Offer("99999999999") + "/files/setup.sh file=files/setup.sh endless\n",
       200000},
      {"a length announced beyond the offer", Offer("10") + "/files/setup.sh file=files/setup.sh\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Serve(c.manifest);
    MakeUpdater(3000, 5, [&](tray::UpdaterOptions& o) { o.maxInstallerBytes = c.cap; });
    Check(false);
    EXPECT_EQ(cb.Events(), Events{});  // the update flow: a failed download says nothing
    EXPECT_EQ(InstallerRequestsOnceLogged(1), 1);
    EXPECT_FALSE(InstallerThere());
    EXPECT_EQ(DataBytes(), 0);
    EXPECT_NE(TrayLog().find("update failed: the installer at " + peer->base() + "/files/setup.sh passed"),
              std::string::npos)
        << TrayLog();
    updater.reset();
    cb.Clear();
  }
}

// A trickle beats any low-speed limit it stays above; the download's own time limit
// ends it, with all its tries, long before the trickle would end.
TEST_F(UpdaterFaultTest, ATricklingInstallerIsEndedByTheDownloadTimeLimit) {
  Serve(Offer("{size:files/setup.sh}") + "/files/setup.sh file=files/setup.sh trickle=100\n");
  MakeUpdater(3000, 5, [](tray::UpdaterOptions& o) {
    o.lowSpeedBytes = 0;  // the trickle is "fast enough"
    o.lowSpeedSeconds = 0;
    o.downloadTimeMs = 1500;
  });
  const auto start = Clock::now();
  Check(false);
  // The whole trickle takes about 11 s.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
  EXPECT_EQ(InstallerRequestsOnceLogged(1), 1);
  EXPECT_FALSE(InstallerThere());
  EXPECT_EQ(cb.Events(), Events{});
  EXPECT_NE(TrayLog().find("took longer than 1500 ms"), std::string::npos) << TrayLog();
}

// With a fresh home the folder of the installer did not exist and every try failed: it is
// made, private to the user, before the download.
TEST_F(UpdaterFaultTest, AFreshDataHomeGetsAPrivateFolderBeforeTheDownload) {
  Serve(Offer("{size:files/setup.sh}"));
  const QByteArray old = qgetenv("XDG_DATA_HOME");
  const bool had = qEnvironmentVariableIsSet("XDG_DATA_HOME");
  const std::string home = tmp.Sub("fresh/share");  // neither folder exists
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString(home));
  const mode_t mask = ::umask(0);  // a lax umask must not widen it
  MakeUpdater(3000, 5, [](tray::UpdaterOptions& o) { o.dataFolder.clear(); });
  EXPECT_EQ(updater->DataFolder().toStdString(), home + "/Tirvan");
  Check(false);
  ::umask(mask);
  if (had) {
    qputenv("XDG_DATA_HOME", old);
  } else {
    qunsetenv("XDG_DATA_HOME");
  }
  EXPECT_EQ(cb.Events(), (Events{"downloaded", "install"}));
  EXPECT_TRUE(InstallerThere());
  struct stat st {};
  ASSERT_EQ(::stat((home + "/Tirvan").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, ::getuid());
}

// A link at the installer's name once had the download write into the file it named: the
// name is cleared first, so the user's file stays as it was.
TEST_F(UpdaterFaultTest, ALinkAtTheInstallersNameLeavesTheLinkedFileAsItWas) {
  Serve(Offer("{size:files/setup.sh}"));
  tmp.MakeDir("home");
  for (bool symbolic : {true, false}) {
    SCOPED_TRACE(symbolic ? "a symbolic link" : "a hard link");
    const std::string mine = tmp.Sub("home/notes.txt");
    tmp.Write("home/notes.txt", "the user's own words\n");
    MakeUpdater();
    const std::string at = updater->InstallerPath().toStdString();
    ::unlink(at.c_str());
    ASSERT_EQ(symbolic ? ::symlink(mine.c_str(), at.c_str()) : ::link(mine.c_str(), at.c_str()), 0);
    Check(false);
    EXPECT_EQ(cb.Events(), (Events{"downloaded", "install"}));
    EXPECT_EQ(ReadText(mine), "the user's own words\n");
    EXPECT_EQ(ReadText(at), updatertest::kInstaller);
    struct stat st {};
    ASSERT_EQ(::lstat(at.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_nlink, 1u);
    updater.reset();
    cb.Clear();
  }
}

// Each option that carries a rule or a limit, refused by libcurl, fails the transfer
// before it starts, with a line in the tray's own log: nothing goes out without it.
TEST_F(UpdaterFaultTest, AnOptionLibcurlRefusesFailsTheTransferWithALogLine) {
  const struct {
    int option;
    const char* name;
    bool pageAsked;  // the option is a download's only: the page is fetched
  } cases[] = {
      {CURLOPT_PROTOCOLS_STR, "CURLOPT_PROTOCOLS_STR", false},
      {CURLOPT_REDIR_PROTOCOLS_STR, "CURLOPT_REDIR_PROTOCOLS_STR", false},
      {CURLOPT_SSL_VERIFYPEER, "CURLOPT_SSL_VERIFYPEER", false},
      {CURLOPT_SSL_VERIFYHOST, "CURLOPT_SSL_VERIFYHOST", false},
      {CURLOPT_CAINFO, "CURLOPT_CAINFO", false},
      {CURLOPT_TIMEOUT_MS, "CURLOPT_TIMEOUT_MS", false},
      {CURLOPT_MAXREDIRS, "CURLOPT_MAXREDIRS", false},
      {CURLOPT_WRITEFUNCTION, "CURLOPT_WRITEFUNCTION", false},
      {CURLOPT_MAXFILESIZE_LARGE, "CURLOPT_MAXFILESIZE_LARGE", true},
      {CURLOPT_LOW_SPEED_LIMIT, "CURLOPT_LOW_SPEED_LIMIT", true},
  };
  Serve(Offer("{size:files/setup.sh}"));
  int pages = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tray::SetCurlOptionRefusalForTest([&](int option) { return option == c.option; });
    MakeUpdater();
    Check(false);
    pages += c.pageAsked ? 1 : 0;
    EXPECT_EQ(peer->Requests("/tirvan/update-pc.html"), pages);
    EXPECT_EQ(InstallerRequests(), 0);
    EXPECT_FALSE(InstallerThere());
    EXPECT_EQ(cb.Events(), c.pageAsked ? Events{} : Events{"failed"});
    EXPECT_NE(TrayLog().find(std::string("not started: libcurl refused ") + c.name), std::string::npos)
        << TrayLog();
    updater.reset();
    cb.Clear();
  }
  // With libcurl's own answers the same check goes through.
  tray::SetCurlOptionRefusalForTest({});
  MakeUpdater();
  Check(false);
  EXPECT_EQ(cb.Events(), (Events{"downloaded", "install"}));
}

// The installer was checked by its path and started by its path, so a file swapped in
// between ran. What starts now is the checked content itself: a swap at the moment of
// the start (a new file renamed over it, or the same file rewritten) never runs.
TEST_F(UpdaterFaultTest, AnInstallerSwappedAfterItsCheckDoesNotRun) {
  class SwappingLauncher final : public tray::IProcessLauncher {
   public:
    SwappingLauncher(std::string path, std::string evil, bool rename)
        : m_path(std::move(path)), m_evil(std::move(evil)), m_rename(rename) {}
    bool StartDetached(const QString& program, const QStringList& args, const QString& dir) override {
      return m_real.StartDetached(program, args, dir);
    }
    bool StartDetachedImage(int fd, const QString& name, const QStringList& args, const QString& dir) override {
      const std::string target = m_rename ? m_path + ".new" : m_path;
      {
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out << m_evil;
      }
      ::chmod(target.c_str(), 0700);
      if (m_rename) std::rename(target.c_str(), m_path.c_str());
      return m_real.StartDetachedImage(fd, name, args, dir);
    }

   private:
    tray::QtProcessLauncher m_real;
    std::string m_path, m_evil;
    bool m_rename;
  };
  const std::string evil = "#!/bin/sh\necho swapped > \"" + tmp.Sub("data/evil-ran") + "\"\n";
  for (bool rename : {true, false}) {
    SCOPED_TRACE(rename ? "a new file renamed over it" : "the same file rewritten");
    Serve(Offer("{size:files/setup.sh}"));
    MakeUpdater();
    Check(false);
    ASSERT_EQ(cb.Events(), (Events{"downloaded", "install"}));
    SwappingLauncher launcher(updater->InstallerPath().toStdString(), evil, rename);
    ASSERT_TRUE(updater->StartInstaller(launcher));
    const std::string mark = tmp.Sub("data/installer-ran");
    EXPECT_TRUE(WaitFor([&] { return QFile::exists(QString::fromStdString(mark)); }, 10000));
    EXPECT_EQ(ReadText(mark), "installed\n");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(tmp.Sub("data/evil-ran"))));
    // The swapped file is not the checked one: a later start refuses it.
    updatertest::RecordingLauncher recorder;
    EXPECT_FALSE(updater->StartInstaller(recorder));
    EXPECT_TRUE(recorder.started.isEmpty());
    QFile::remove(QString::fromStdString(mark));
    updater.reset();
    cb.Clear();
  }
}

}  // namespace
