// The Wi-Fi hotspot that lets a phone reach this PC, on NetworkManager: the adapter probe
// reads /sys/class/net, the hotspot is started and stopped with nmcli, run asynchronously
// with a time limit so that the GUI thread never waits for it. The network's name is
// fixed; its key is random per installation and kept in the settings store.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QProcess;
class QTimer;

namespace tray {

class ISettingsStore;
class IProcessLauncher;

inline constexpr const char* kHotspotSsid = "tirvan";
inline constexpr const char* kHotspotConnection = "Hotspot";
inline constexpr int kHostedNetworkTimeoutMs = 30000;

// The Wi-Fi adapters of the PC. An adapter is connected while its operstate is "up"; any
// other Wi-Fi adapter is free to become the access point.
struct AdapterState {
  bool hasWifi = false;
  bool hasFreeWifi = false;
  QString freeAdapter;  // the first free adapter by name
};

class IAdapterProbe {
 public:
  virtual ~IAdapterProbe() = default;
  virtual AdapterState Probe() = 0;
};

// Reads <root>/<interface>/{wireless,phy80211,operstate}; a missing or unreadable folder
// means no adapter.
class SysfsAdapterProbe final : public IAdapterProbe {
 public:
  explicit SysfsAdapterProbe(QString root = QStringLiteral("/sys/class/net")) : m_root(std::move(root)) {}
  AdapterState Probe() override;

 private:
  QString m_root;
};

enum class HostedOp { kStart, kStop };
enum class HostedResult {
  kOk,
  kFailed,    // the tool ran and answered with a non-zero exit code
  kTimedOut,  // it did not end within the time limit and was killed
  kMissing,   // the tool could not be started
};

class IHostedNetwork : public QObject {
  Q_OBJECT
 public:
  ~IHostedNetwork() override = default;
  // The tool is there.
  virtual bool ToolFound() const = 0;
  // An operation runs.
  virtual bool Busy() const = 0;
  // Start the hotspot on adapter ("" lets the tool choose); false when one runs already.
  // finished follows, on this object's thread.
  virtual bool Start(const QString& ssid, const QString& key, const QString& adapter) = 0;
  virtual bool Stop() = 0;

 signals:
  void finished(tray::HostedOp op, tray::HostedResult result);
};

// nmcli, found on PATH at each call (program may also be a path).
class NmcliHostedNetwork final : public IHostedNetwork {
  Q_OBJECT
 public:
  explicit NmcliHostedNetwork(QString program = QStringLiteral("nmcli"),
                              int timeoutMs = kHostedNetworkTimeoutMs, QObject* parent = nullptr);
  ~NmcliHostedNetwork() override;

  bool ToolFound() const override;
  bool Busy() const override { return m_process != nullptr; }
  bool Start(const QString& ssid, const QString& key, const QString& adapter) override;
  bool Stop() override;

  // The arguments of the two operations.
  static QStringList StartArguments(const QString& ssid, const QString& key, const QString& adapter);
  static QStringList StopArguments();

 private:
  bool Run(HostedOp op, const QStringList& args);
  void Finish(HostedResult result);

  QString m_program;
  int m_timeoutMs;
  HostedOp m_op = HostedOp::kStart;
  QProcess* m_process = nullptr;
  QTimer* m_limit = nullptr;
};

// The process-wide flag: the hotspot was started by this program in this run. A
// successful start sets it, a successful stop clears it.
bool HostedNetworkStarted();
void SetHostedNetworkStarted(bool started);

// At the program's exit: stops the hotspot through launcher, without waiting, when this
// program started it; true when a stop was started.
bool StopHostedNetworkAtExit(IProcessLauncher& launcher, const QString& program = QStringLiteral("nmcli"));

// The installation's key: read from the store (value HotspotKey); made and stored when it
// is missing or not a valid WPA pass phrase.
QString HotspotKey(ISettingsStore& store);
bool ValidHotspotKey(const QString& key);

// What the dialog shows.
struct ApView {
  bool showStop = false;  // Stop shown in place of Start
  bool startEnabled = false;
  const char* textKey = "";
  int picture = 0;  // 331 ready, 266 warning
};
inline constexpr int kApPictureReady = 331;
inline constexpr int kApPictureWarning = 266;

// started: the flag; the tool and adapters are only looked at when not started. failure:
// the last operation failed (its text replaces the ready or started one).
ApView ApShowState(bool started, bool toolFound, const AdapterState& adapters,
                   bool failure = false, HostedOp failedOp = HostedOp::kStart);

}  // namespace tray
