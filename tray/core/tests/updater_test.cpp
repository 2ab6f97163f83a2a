// The update check against tirvan-web over HTTPS with a throw-away certificate authority:
// the version page, the question, the download with its retries and digest, the
// hand-shakes with the dialog's thread, time limits and shutdown.
#include "hermetic.h"
#include "updater.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "settings_store.h"
#include "support/temp_dir.h"
#include "support/web_peer.h"
#include "updater_fixture.h"
#include "web_config.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(UpdateVersions, ComparesTheFirstFourNumbers) {
  const struct {
    const char* own;
    const char* offered;
    bool newer;
  } cases[] = {
      {"1.0.0.9", "1.0.0.10", true},   // numbers, not text
      {"1.0.0.9", "1.0.1", true},      // a missing fourth number is 0
      {"1.0.0.9", "1.0.0.9", false},
      {"1.0.0.9", "01.0.0.9", false},  // equal as numbers
      {"1.0.0.10", "1.0.0.9", false},
      {"1.2", "1.10", true},
      {"1.0.0.9", "1.0.0.9.5", false},  // only four numbers count
      {"1.0.0.9", "", false},
      {"", "2.0.0.0", false},
      {"1.0.0.0", "abc", false},
      {"1.0.0.0", "99999999999999999999.0", true},  // clamped, not overflowed
      // Only the first 29 characters are read: the "2" lies beyond them.
      {"1.0.0.0", "1.000000000000000000000000000002", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tray::CUpdater::IsNewerVersion(c.own, c.offered), c.newer) << c.own << " / " << c.offered;
}

TEST(UpdateVersions, ReadsTheVersionPageByTextSearch) {
  const struct {
    const char* page;
    const char* version;
    const char* down;
    const char* md5;
    const char* size;
  } cases[] = {
      {R"({"version":"1.0.0.10","down":"https:\/\/h\/a\/setup","md5":"ABCDEF","size":"12"})",
       "1.0.0.10", "https://h/a/setup", "ABCDEF", "12"},
      // A colon apart from its quote: the next :" is taken, whatever key it belongs to.
      {R"(<p>"size" : "1", "md5":"m" "version":"v","down":"d"</p>)", "v", "d", "m", "m"},
      {R"({"version":"","down":"d","md5":"m","size":"1"})", "", "d", "m", "1"},
      {R"({"version":"1","down":"d","md5":"m"})", "1", "d", "m", ""},  // no size
      {R"({"version" 1, "down":"d"})", "d", "d", "", ""},
      {R"({"version":"1)", "", "", "", ""},                // no closing quote
  };
  for (const auto& c : cases) {
    tray::UpdateInfo info = tray::CUpdater::ParseVersionInfo(c.page);
    EXPECT_EQ(info.version, c.version) << c.page;
    EXPECT_EQ(info.down, c.down) << c.page;
    EXPECT_EQ(info.md5, c.md5) << c.page;
    EXPECT_EQ(info.size, c.size) << c.page;
  }
  EXPECT_FALSE(tray::CUpdater::ParseVersionInfo(cases[3].page).Complete());
  EXPECT_TRUE(tray::CUpdater::ParseVersionInfo(cases[0].page).Complete());
}

TEST(UpdateVersions, DigestsMatchInAnyCaseAndAFileThatCannotBeReadNeverMatches) {
  support::TempDir tmp;
  tmp.Write("f", "");
  const std::string emptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";
  EXPECT_TRUE(tray::CUpdater::CheckFileMd5(emptyMd5, tmp.Sub("f")));
  EXPECT_TRUE(tray::CUpdater::CheckFileMd5("D41D8CD98F00B204E9800998ECF8427E", tmp.Sub("f")));
  EXPECT_FALSE(tray::CUpdater::CheckFileMd5(emptyMd5, tmp.Sub("missing")));
  EXPECT_FALSE(tray::CUpdater::CheckFileMd5(emptyMd5, tmp.path()));  // a folder
  EXPECT_FALSE(tray::CUpdater::CheckFileMd5("", tmp.Sub("f")));
}

using updatertest::Events;
using updatertest::RecordingCallback;
using updatertest::RecordingLauncher;
using updatertest::UpdaterTest;
using updatertest::kInstaller;

TEST_F(UpdaterTest, TheSameVersionDeletesTheVersionFileAndOnlyAManualCheckSaysSo) {
  Serve(VersionRoute("1.0.0.9"));
  MakeUpdater();
  tmp.Write("data/TirvanUpdateVerSion.ini", "[x]\n");
  Check(true);
  EXPECT_FALSE(QFileInfo::exists(updater->VersionFilePath()));
  EXPECT_EQ(cb.Events(), Events{});
  Check(false);
  EXPECT_EQ(cb.Events(), Events{"none"});
  EXPECT_EQ(peer->Requests("/tirvan/update-pc.html"), 2);
  EXPECT_EQ(InstallerRequests(), 0);
}

TEST_F(UpdaterTest, TheUserAskingDuringTheCheckAtStartIsAnsweredByThatCheck) {
  Serve(VersionRoute("1.0.0.9", "delay=1000"));
  MakeUpdater();
  ASSERT_TRUE(updater->StartCheck(true));
  ASSERT_TRUE(updater->StartCheck(false));
  ASSERT_TRUE(updater->WaitIdle(20000));
  EXPECT_EQ(cb.Events(), Events{"none"});
  EXPECT_EQ(peer->Requests("/tirvan/update-pc.html"), 1);
}

TEST_F(UpdaterTest, AnOlderOrDifferentlyWrittenVersionIsNoUpdateAndKeepsTheVersionFile) {
  Serve(VersionRoute("01.0.0.9"));
  MakeUpdater();
  tmp.Write("data/TirvanUpdateVerSion.ini", "[x]\n");
  Check(false);
  EXPECT_EQ(cb.Events(), Events{"none"});
  EXPECT_TRUE(QFileInfo::exists(updater->VersionFilePath()));
  EXPECT_EQ(updater->OfferedVersion(), QStringLiteral("01.0.0.9"));
}

TEST_F(UpdaterTest, AskedAndAcceptedItDownloadsChecksWaitsForTheDialogThenInstalls) {
  Serve(VersionRoute("1.0.0.10"));
  MakeUpdater();
  QString askedFor;
  updater->SetAskFunction([&](const QString& v) {
    askedFor = v;
    return tray::kNoticeUpdate;
  });
  cb.handleDownloaded = false;
  ASSERT_TRUE(updater->StartCheck(true));
  ASSERT_TRUE(cb.WaitFor("ask", 10000));
  EXPECT_FALSE(updater->StartCheck(true));   // no second checker while one runs
  EXPECT_TRUE(updater->StartCheck(false));   // the running check answers the user
  updater->DownloadedHandled();              // nothing to release yet: ignored
  EXPECT_EQ(InstallerRequests(), 0);
  updater->ShowNotice();  // the dialog's thread answers the question
  EXPECT_EQ(askedFor, QStringLiteral("1.0.0.10"));
  ASSERT_TRUE(cb.WaitFor("downloaded", 10000));
  EXPECT_EQ(cb.Events(), (Events{"ask", "downloaded"}));  // waits for the dialog
  updater->DownloadedHandled();
  ASSERT_TRUE(updater->WaitIdle(10000));
  EXPECT_EQ(cb.Events(), (Events{"ask", "downloaded", "install"}));
  EXPECT_EQ(InstallerRequests(), 1);

  // The installer is the served file, executable, and is started only while it matches.
  QFile f(updater->InstallerPath());
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll().toStdString(), kInstaller);
  f.close();
  EXPECT_TRUE(QFileInfo(updater->InstallerPath()).isExecutable());
  RecordingLauncher launcher;
  ASSERT_TRUE(updater->StartInstaller(launcher));
  EXPECT_EQ(launcher.started, QStringList{updater->InstallerPath()});
  EXPECT_EQ(launcher.image, kInstaller);  // what starts is the checked content
  EXPECT_EQ(launcher.workDir, updater->DataFolder());
  ASSERT_TRUE(f.open(QIODevice::Append));
  f.write("rm -rf \"$HOME\"\n");
  f.close();
  EXPECT_FALSE(updater->StartInstaller(launcher));
  EXPECT_EQ(launcher.started.size(), 1);
}

TEST_F(UpdaterTest, TheDownloadedInstallerRunsDetachedAndLeavesItsMark) {
  Serve(VersionRoute("2.0"));
  ASSERT_TRUE(store->CreateKey());
  ASSERT_TRUE(store->SetDword(QStringLiteral("UpdateNotice"), 1));
  MakeUpdater();
  Check(true);
  ASSERT_EQ(cb.Events(), (Events{"downloaded", "install"}));
  tray::QtProcessLauncher launcher;
  ASSERT_TRUE(updater->StartInstaller(launcher));
  const QString mark = QString::fromStdString(tmp.Sub("data/installer-ran"));
  auto end = Clock::now() + std::chrono::seconds(10);
  while (!QFileInfo::exists(mark) && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(QFileInfo::exists(mark));
}

TEST_F(UpdaterTest, UpdateNoticeSetDownloadsWithoutAQuestionAndUpperCaseDigestsMatch) {
  std::string md5 = *tray::FileMd5Hex(tmp.Sub("site/files/setup.sh"));
  for (char& ch : md5) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  Serve("/tirvan/update-pc.html expand body=\"version\":\"1.0.1\",\"down\":\"{base}\\/files\\/setup.sh\","
        "\"md5\":\"" + md5 + "\",\"size\":\"{size:files/setup.sh}\"\n");
  ASSERT_TRUE(store->CreateKey());
  ASSERT_TRUE(store->SetDword(QStringLiteral("UpdateNotice"), 1));
  MakeUpdater();
  Check(true);
  EXPECT_EQ(cb.Events(), (Events{"downloaded", "install"}));
  EXPECT_TRUE(InstallerThere());
  // UpdateNotice 0, or the key missing, asks.
  ASSERT_TRUE(store->SetDword(QStringLiteral("UpdateNotice"), 0));
  EXPECT_TRUE(updater->IsUpdateNoticeWanted());
  ASSERT_TRUE(store->DeleteValue(QStringLiteral("UpdateNotice")));
  EXPECT_TRUE(updater->IsUpdateNoticeWanted());
  ASSERT_TRUE(store->SetDword(QStringLiteral("UpdateNotice"), 7));
  EXPECT_FALSE(updater->IsUpdateNoticeWanted());
}

TEST_F(UpdaterTest, CancelDownloadsNothingAndTheNextCheckAsksAgain) {
  Serve(VersionRoute("1.0.0.10"));
  MakeUpdater();
  int asked = 0;
  updater->SetAskFunction([&](const QString&) {
    ++asked;
    return tray::kNoticeCancel;
  });
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(updater->StartCheck(true));
    ASSERT_TRUE(cb.WaitFor("ask", 10000, round + 1));
    updater->ShowNotice();
    updater->ShowNotice();  // a second call for the same question asks nothing
    ASSERT_TRUE(updater->WaitIdle(10000));
  }
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(InstallerRequests(), 0);
  EXPECT_EQ(cb.Events(), (Events{"ask", "ask"}));
}

TEST_F(UpdaterTest, ServerErrorsThenSuccessRetriesAndFiveWrongBodiesGiveUpSilently) {
  Serve(VersionRoute("1.0.0.10") + "/files/setup.sh file=files/setup.sh fail=2 fail-status=503\n");
  ASSERT_TRUE(store->CreateKey());
  ASSERT_TRUE(store->SetDword(QStringLiteral("UpdateNotice"), 1));
  MakeUpdater();
  Check(false);
  EXPECT_EQ(cb.Events(), (Events{"downloaded", "install"}));
  EXPECT_EQ(InstallerRequests(), 3);

  Serve(VersionRoute("1.0.0.10") + "/files/setup.sh file=files/setup.sh corrupt=5\n");
  MakeUpdater();
  Check(false);
  EXPECT_EQ(cb.Events(), (Events{"downloaded", "install"}));  // nothing new
  EXPECT_EQ(InstallerRequests(), 5);
  EXPECT_FALSE(InstallerThere());
}

TEST_F(UpdaterTest, AnswersOtherThan200AndPagesWithoutAFieldOfferNothing) {
  const struct {
    std::string manifest;
    Events manual;
  } cases[] = {
      // The keys inside an error page are not read; the server could not give the page.
      {VersionRoute("1.0.0.10", "status=500"), {"failed"}},
      {VersionRoute("1.0.0.10", "status=404"), {"failed"}},
      // A page without a field cannot answer the user's question: the check failed.
      {"/tirvan/update-pc.html body=\"version\":\"1.0.0.10\",\"down\":\"d\",\"md5\":\"m\"\n", {"failed"}},
      // A redirect is followed to the page it names.
      {"/tirvan/update-pc.html expand location={base}/v2\n/v2 body=\"version\":\"1.0.0.9\","
       "\"down\":\"d\",\"md5\":\"m\",\"size\":\"1\"\n",
       {"none"}},
  };
  for (const auto& c : cases) {
    Serve(c.manifest);
    RecordingCallback fresh;
    MakeUpdater();
    updater->SetCallback(&fresh);
    Check(false);
    EXPECT_EQ(fresh.Events(), c.manual) << c.manifest;
    EXPECT_EQ(InstallerRequests(), 0);
    updater.reset();
  }
}

TEST_F(UpdaterTest, AnUnreachableOrSlowServerIsReportedOnlyToAManualCheck) {
  Serve(VersionRoute("1.0.0.10", "delay=3000"));
  MakeUpdater(300);
  auto start = Clock::now();
  Check(false);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(cb.Events(), Events{"failed"});
  Check(true);
  EXPECT_EQ(cb.Events(), Events{"failed"});

  peer->Stop();  // nothing listens on the port any more
  Check(false);
  EXPECT_EQ(cb.Events(), (Events{"failed", "failed"}));
}

TEST_F(UpdaterTest, PlainHttpIsRefusedForThePageAndTheInstaller) {
  Serve(VersionRoute("1.0.0.10"), false);  // a plain HTTP server
  MakeUpdater();
  Check(false);
  EXPECT_EQ(cb.Events(), Events{"failed"});
  EXPECT_EQ(peer->Requests("/tirvan/update-pc.html"), 0);  // nothing was even asked

  // An HTTPS page naming (or redirecting to) an http:// installer downloads nothing.
  support::WebPeer plain(TIRVAN_WEB_BIN, {"--root", tmp.Sub("site")}, tmp.Sub("plain.log"), false);
  ASSERT_TRUE(plain.ok());
  std::string md5 = *tray::FileMd5Hex(tmp.Sub("site/files/setup.sh"));
  Serve("/tirvan/update-pc.html body=\"version\":\"1.1\",\"down\":\"" + plain.base() +
        "/files/setup.sh\",\"md5\":\"" + md5 + "\",\"size\":\"1\"\n"
        "/moved.sh location=" + plain.base() + "/files/setup.sh\n");
  ASSERT_TRUE(store->CreateKey());
  ASSERT_TRUE(store->SetDword(QStringLiteral("UpdateNotice"), 1));
  MakeUpdater();
  Check(true);
  EXPECT_FALSE(updater->DownloadInstaller(peer->base() + "/moved.sh", md5));
  EXPECT_EQ(plain.Requests("/files/setup.sh"), 0);
  EXPECT_EQ(peer->Requests("/moved.sh"), 5);
  EXPECT_EQ(cb.Events(), Events{"failed"});  // only the first check's report
  EXPECT_FALSE(InstallerThere());
}

TEST_F(UpdaterTest, AStalledDownloadTimesOutAndShutdownAbortsItAtOnce) {
  Serve(VersionRoute("1.0.0.10") + "/files/setup.sh file=files/setup.sh stall=10\n");
  ASSERT_TRUE(store->CreateKey());
  ASSERT_TRUE(store->SetDword(QStringLiteral("UpdateNotice"), 1));
  MakeUpdater(3000, 2);
  Check(true);  // two tries, each ended by the low-speed limit
  EXPECT_EQ(InstallerRequests(), 2);
  EXPECT_FALSE(InstallerThere());

  MakeUpdater(3000, 5);
  ASSERT_TRUE(updater->StartCheck(true));
  ASSERT_TRUE(peer->WaitRequests("/files/setup.sh", 3, 10000));
  auto start = Clock::now();
  updater.reset();  // aborts the transfer and joins the checker
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));  // not the stall's end
  EXPECT_EQ(cb.Events(), Events{});
}

TEST_F(UpdaterTest, AQuestionWithoutAnAnswerCountsAsNoAndShutdownReleasesIt) {
  Serve(VersionRoute("1.0.0.10"));
  MakeUpdater();
  updater->SetAskFunction(nullptr);  // nobody to ask: "no"
  ASSERT_TRUE(updater->StartCheck(true));
  ASSERT_TRUE(cb.WaitFor("ask", 10000));
  updater->DownloadedHandled();  // the wrong hand-shake never answers the question
  EXPECT_FALSE(updater->WaitIdle(200));
  updater->ShowNotice();
  ASSERT_TRUE(updater->WaitIdle(10000));
  EXPECT_EQ(InstallerRequests(), 0);

  // A question still open at shutdown ends as "no" and the checker is joined.
  ASSERT_TRUE(updater->StartCheck(true));
  ASSERT_TRUE(cb.WaitFor("ask", 10000, 2));
  updater.reset();
  EXPECT_EQ(InstallerRequests(), 0);
  EXPECT_EQ(cb.Events(), (Events{"ask", "ask"}));
}

}  // namespace
