// The update check's fixture: tirvan-web over HTTPS with a throw-away certificate
// authority, a data folder, a settings store, and recorders of the dialog's side and of
// what is started.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hermetic.h"
#include "process.h"
#include "settings_store.h"
#include "support/temp_dir.h"
#include "support/web_peer.h"
#include "updater.h"
#include "web_config.h"

namespace updatertest {

class RecordingCallback final : public tray::IUpdateCallback {
 public:
  void NotifyInstall() override { Add("install"); }
  void NotifyNoUpdate() override { Add("none"); }
  void AskNotice() override { Add("ask"); }
  void NotifyDownloaded() override {
    Add("downloaded");
    if (updater != nullptr && handleDownloaded) updater->DownloadedHandled();
  }
  void NotifyCheckFailed() override { Add("failed"); }

  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  // Waits until event has come count times.
  bool WaitFor(const std::string& event, int ms, int count = 1) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      int n = 0;
      for (const auto& e : m_events) n += e == event;
      return n >= count;
    });
  }

  tray::CUpdater* updater = nullptr;
  bool handleDownloaded = true;

 private:
  void Add(const char* e) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(e);
    m_cv.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<std::string> m_events;
};

using Events = std::vector<std::string>;

class RecordingLauncher final : public tray::IProcessLauncher {
 public:
  bool StartDetached(const QString& program, const QStringList&, const QString&) override {
    started << program;
    return true;
  }
  bool StartDetachedImage(int fd, const QString& name, const QStringList&, const QString& dir) override {
    started << name;
    workDir = dir;
    image.clear();
    char buf[4096];
    for (off_t at = 0;;) {
      ssize_t n = ::pread(fd, buf, sizeof buf, at);
      if (n <= 0) break;
      image.append(buf, static_cast<size_t>(n));
      at += n;
    }
    return true;
  }
  QStringList started;
  QString workDir;
  std::string image;  // what the open file held
};

constexpr const char* kInstaller =
    "#!/bin/sh\n"
    "# Stands for the installer: leaves a mark in the folder it is started in.\n"
    "echo installed > installer-ran\n";

class UpdaterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    s_ca = support::SharedTestCa(&error);
    ASSERT_NE(s_ca, nullptr) << error;
  }

  void SetUp() override {
    tmp.MakeDir("data");
    tmp.MakeDir("site");
    tmp.MakeDir("site/files");
    tmp.Write("site/files/setup.sh", kInstaller);
    store = std::make_unique<tray::FileSettingsStore>(QString::fromStdString(tmp.Sub("settings.ini")));
  }
  void TearDown() override {
    updater.reset();
    traytest::UseNoWebServer();
  }

  // The version page offering version, with the installer at installerRoute.
  static std::string VersionRoute(const std::string& version, const std::string& options = "") {
    return "/tirvan/update-pc.html expand " + options + " body={\"version\":\"" + version +
           "\",\"down\":\"{base}\\/files\\/setup.sh\",\"md5\":\"{md5:files/setup.sh}\","
           "\"size\":\"{size:files/setup.sh}\"}\n";
  }
  void Serve(const std::string& manifest, bool https = true) {
    tmp.Write("site/manifest", manifest);
    std::vector<std::string> args = {"--manifest", tmp.Sub("site/manifest")};
    if (https) args.insert(args.end(), {"--cert", s_ca->certFile, "--key", s_ca->keyFile});
    const std::string log = tmp.Sub("web-" + std::to_string(++servers) + ".log");
    peer.reset();
    peer = std::make_unique<support::WebPeer>(TIRVAN_WEB_BIN, args, log, https);
    ASSERT_TRUE(peer->ok()) << peer->Log();
    Point(peer->base());
  }
  void Point(const std::string& base) {
    tray::WebConfig c;
    c.webBase = QString::fromStdString(base);
    c.blogBase = c.webBase;
    c.caFile = QString::fromStdString(s_ca->caFile);
    tray::SetWebConfig(c);
  }
  void MakeUpdater(long pageTimeoutMs = 3000, int tries = 5,
                   const std::function<void(tray::UpdaterOptions&)>& tweak = nullptr) {
    tray::UpdaterOptions o;
    o.dataFolder = QString::fromStdString(tmp.Sub("data"));
    o.ownVersion = QStringLiteral("1.0.0.9");
    o.pageTimeoutMs = pageTimeoutMs;
    o.lowSpeedBytes = 1000;
    o.lowSpeedSeconds = 1;
    o.downloadTries = tries;
    if (tweak) tweak(o);
    updater = std::make_unique<tray::CUpdater>(o);
    updater->SetCallback(&cb);
    updater->SetSettingsStore(store.get());
    cb.updater = updater.get();
  }
  // Runs one check to its end on the checker thread.
  void Check(bool automatic) {
    ASSERT_TRUE(updater->StartCheck(automatic));
    ASSERT_TRUE(updater->WaitIdle(20000));
  }
  bool InstallerThere() const { return QFileInfo::exists(updater->InstallerPath()); }
  int InstallerRequests() const { return peer->Requests("/files/setup.sh"); }
  // The web server logs a request once its answer has ended: for a download the tray broke
  // off, when it notices the closed connection, which may be after the check is over. The
  // count once at least `least` are logged (or after 5 s).
  int InstallerRequestsOnceLogged(int least) const {
    peer->WaitRequests("/files/setup.sh", least, 5000);
    return InstallerRequests();
  }

  static inline const support::TestCa* s_ca = nullptr;
  support::TempDir tmp;
  std::unique_ptr<tray::FileSettingsStore> store;
  std::unique_ptr<support::WebPeer> peer;
  int servers = 0;
  RecordingCallback cb;
  std::unique_ptr<tray::CUpdater> updater;
};


}  // namespace updatertest
