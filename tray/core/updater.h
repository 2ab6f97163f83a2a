// The update check: CUpdater asks the maker's web server whether a newer version of the
// tray program is offered, asks the user when that is wanted, downloads the installer and
// checks its MD5 digest, then tells the settings dialog to end the program so that the
// installer runs. The check runs on one thread of its own; everything the user sees
// happens on the dialog's thread, reached through IUpdateCallback.
#pragma once

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tray {

class ISettingsStore;
class IProcessLauncher;

// Called on the checker's thread; each only hands the news to the dialog's thread.
class IUpdateCallback {
 public:
  virtual void NotifyInstall() = 0;     // downloaded and checked: end the program and install
  virtual void NotifyNoUpdate() = 0;    // a check from the menu found nothing newer
  virtual void AskNotice() = 0;         // a newer version: call ShowNotice on the dialog's thread
  virtual void NotifyDownloaded() = 0;  // write UpdateFinish, then call DownloadedHandled
  virtual void NotifyCheckFailed() = 0; // a check from the menu could not reach the server

 protected:
  ~IUpdateCallback() = default;
};

struct UpdateInfo {
  std::string down;     // the installer's address
  std::string version;  // dotted numbers
  std::string size;     // required; in bytes, the download stops once it passes it
  std::string md5;      // 32 hexadecimal digits
  bool Complete() const { return !down.empty() && !version.empty() && !size.empty() && !md5.empty(); }
};

inline constexpr int kNoticeUpdate = 1;  // the answers of the question (IDOK, IDCANCEL)
inline constexpr int kNoticeCancel = 2;

struct UpdaterOptions {
  // Holds the version file and the installer; "" = $XDG_DATA_HOME/Tirvan. Made (private
  // to the user) when missing.
  QString dataFolder;
  QString ownVersion;   // "" = ProgramVersion()
  long pageTimeoutMs = 5000;
  long lowSpeedBytes = 1024;    // the installer's download aborts when slower than this ...
  long lowSpeedSeconds = 30;    // ... for this long
  int downloadTries = 5;
  // The installer's largest size: where the version page offers no size, and above any it
  // offers. 0: $TIRVAN_UPDATE_MAX_BYTES, else 1 GiB.
  long long maxInstallerBytes = 0;
  // All tries of one download together. 0: $TIRVAN_UPDATE_DOWNLOAD_MS, else one hour.
  long downloadTimeMs = 0;
};

class CUpdater {
 public:
  // Shows the new-version question for the offered version and returns kNoticeUpdate or
  // kNoticeCancel; run on the dialog's thread by ShowNotice.
  using AskFunction = std::function<int(const QString& version)>;

  explicit CUpdater(UpdaterOptions options = {});
  // Aborts a running transfer, releases any wait as "no" and joins the checker thread.
  ~CUpdater();
  CUpdater(const CUpdater&) = delete;
  CUpdater& operator=(const CUpdater&) = delete;

  void SetCallback(IUpdateCallback* callback) { m_callback.store(callback); }
  void SetAskFunction(AskFunction ask);
  void SetSettingsStore(ISettingsStore* store) { m_store.store(store); }  // default SettingsStore()

  // Starts a check on the checker thread. automatic: the check at start, silent when
  // there is nothing new. A check asked for by the user while one runs is answered by the
  // running one, which then reports as the user's; false when an automatic check finds one
  // running, or the checker is stopped.
  bool StartCheck(bool automatic);
  bool IsChecking() const { return m_checking.load(); }
  // Waits until no check runs; false when ms passed first. For tests and the exit.
  bool WaitIdle(int ms) const;
  // Aborts and joins; the destructor does this.
  void Stop();

  // On the dialog's thread after AskNotice: asks the user and answers the pending
  // question. A call without a pending question does nothing.
  void ShowNotice();
  // On the dialog's thread after NotifyDownloaded has been handled.
  void DownloadedHandled();
  // The version text of the current offer.
  QString OfferedVersion() const;

  // Starts the verified installer detached, after checking its digest once more; false
  // when there is none, it no longer matches or it cannot be started. The bytes checked
  // are copied into a sealed memory file as they are read, and that file is what starts,
  // so a file swapped or changed at the path after the check never runs.
  bool StartInstaller(IProcessLauncher& launcher) const;

  // The whole check, on the calling thread (the checker thread runs it).
  void CheckUpdate(bool automatic);
  // The version page: its text when it answered 200, none otherwise.
  std::optional<std::string> FetchVersionInfo() const;
  static UpdateInfo ParseVersionInfo(const std::string& page);
  // Whether offered is newer than own: the first four dotted numbers compared from the
  // left (missing numbers are 0; each text is read up to its 29th character).
  static bool IsNewerVersion(const std::string& own, const std::string& offered);
  bool IsUpdateNoticeWanted() const;
  // Up to the tries of the options: download, then check the digest. True when a checked
  // installer lies in InstallerPath() and the dialog was told. The download stops past
  // size (decimal bytes; the options' cap when it is none or larger) or after the options'
  // download time, which also ends the tries; its partial file is removed.
  bool DownloadInstaller(const std::string& down, const std::string& md5,
                         const std::string& size = std::string());
  static bool CheckFileMd5(const std::string& md5, const std::string& path);

  QString DataFolder() const { return m_dataFolder; }
  // Makes the data folder when it is missing, 0700; false when it cannot.
  bool MakeDataFolder() const;
  QString InstallerPath() const;    // <data>/Tirvan.exe (an executable file here)
  QString VersionFilePath() const;  // <data>/TirvanUpdateVerSion.ini

 private:
  // One answer to one question, given at most once; a closed ticket answers "no".
  class Ticket {
   public:
    bool Set(int value);
    int Wait();  // the answer, or 0 once closed without one
    void Close();

   private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::optional<int> m_value;
    bool m_closed = false;
  };

  // Makes a ticket the pending one of slot, then calls notify and waits for it.
  int Ask(std::shared_ptr<Ticket>* slot, void (IUpdateCallback::*notify)());
  ISettingsStore& Store() const;
  void Notify(void (IUpdateCallback::*notify)()) const;
  std::string CaFile() const;

  UpdaterOptions m_options;
  QString m_dataFolder;
  std::atomic<IUpdateCallback*> m_callback{nullptr};
  std::atomic<ISettingsStore*> m_store{nullptr};
  std::atomic<bool> m_running{true};    // cleared by Stop
  std::atomic<bool> m_checking{false};  // a checker thread runs
  std::atomic<bool> m_userAsked{false};  // the running check reports as the user's
  mutable std::mutex m_mutex;           // guards what follows
  std::thread m_thread;
  AskFunction m_ask;
  std::string m_offered;           // at most 99 characters
  std::string m_installerMd5;      // the digest the installer was verified against
  std::shared_ptr<Ticket> m_question;
  std::shared_ptr<Ticket> m_downloaded;
};

// The running program's version as "%d.%d.%d.%d".
QString ProgramVersion();
// The MD5 digest of a file's content as 32 lower-case hexadecimal digits; none when the
// file cannot be read. Qt's digest, so that the program loads no cryptography library at
// its start.
std::optional<std::string> FileMd5Hex(const std::string& path);

}  // namespace tray
