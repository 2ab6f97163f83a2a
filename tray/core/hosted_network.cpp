#include "hosted_network.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>

#include "process.h"
#include "settings_store.h"

namespace tray {

namespace {

bool g_started = false;

// No characters that are easily mistaken for one another when typed on a phone.
constexpr char kKeyAlphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
constexpr int kKeyLength = 12;

QString ReadLine(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromLatin1(f.readLine()).trimmed();
}

QString Resolve(const QString& program) {
  if (program.contains(QLatin1Char('/'))) return QFileInfo(program).isExecutable() ? program : QString();
  return QStandardPaths::findExecutable(program);
}

}  // namespace

AdapterState SysfsAdapterProbe::Probe() {
  AdapterState state;
  const QStringList names = QDir(m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
  for (const QString& name : names) {
    const QString dir = m_root + QLatin1Char('/') + name;
    if (!QFileInfo::exists(dir + QStringLiteral("/wireless")) &&
        !QFileInfo::exists(dir + QStringLiteral("/phy80211")))
      continue;
    state.hasWifi = true;
    if (ReadLine(dir + QStringLiteral("/operstate")) == QLatin1String("up")) continue;
    if (!state.hasFreeWifi) state.freeAdapter = name;
    state.hasFreeWifi = true;
  }
  return state;
}

NmcliHostedNetwork::NmcliHostedNetwork(QString program, int timeoutMs, QObject* parent)
    : m_program(std::move(program)), m_timeoutMs(timeoutMs) {
  setParent(parent);
}

NmcliHostedNetwork::~NmcliHostedNetwork() {
  if (m_process) {
    m_process->disconnect(this);
    m_process->kill();
    m_process->waitForFinished(1000);
  }
}

bool NmcliHostedNetwork::ToolFound() const { return !Resolve(m_program).isEmpty(); }

QStringList NmcliHostedNetwork::StartArguments(const QString& ssid, const QString& key, const QString& adapter) {
  QStringList args{QStringLiteral("device"), QStringLiteral("wifi"), QStringLiteral("hotspot")};
  // The free adapter, so the one that carries the PC's own connection is left alone.
  if (!adapter.isEmpty()) args << QStringLiteral("ifname") << adapter;
  args << QStringLiteral("con-name") << QString::fromLatin1(kHotspotConnection) << QStringLiteral("ssid") << ssid
       << QStringLiteral("password") << key;
  return args;
}

QStringList NmcliHostedNetwork::StopArguments() {
  return {QStringLiteral("connection"), QStringLiteral("down"), QString::fromLatin1(kHotspotConnection)};
}

bool NmcliHostedNetwork::Start(const QString& ssid, const QString& key, const QString& adapter) {
  return Run(HostedOp::kStart, StartArguments(ssid, key, adapter));
}

bool NmcliHostedNetwork::Stop() { return Run(HostedOp::kStop, StopArguments()); }

bool NmcliHostedNetwork::Run(HostedOp op, const QStringList& args) {
  if (m_process) return false;
  m_op = op;
  const QString program = Resolve(m_program);
  if (program.isEmpty()) {
    // Reported from the loop, like every other end.
    QTimer::singleShot(0, this, [this, op] { emit finished(op, HostedResult::kMissing); });
    return true;
  }
  m_process = new QProcess(this);
  m_process->setProcessChannelMode(QProcess::MergedChannels);
  m_process->setStandardInputFile(QProcess::nullDevice());
  connect(m_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
    const QByteArray output = m_process->readAll().trimmed();
    if (status != QProcess::NormalExit || code != 0)
      qWarning("nmcli failed (exit code %d): %s", code, output.constData());
    Finish(status == QProcess::NormalExit && code == 0 ? HostedResult::kOk : HostedResult::kFailed);
  });
  connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) Finish(HostedResult::kMissing);
  });
  m_limit = new QTimer(this);
  m_limit->setSingleShot(true);
  connect(m_limit, &QTimer::timeout, this, [this] {
    qWarning("nmcli did not end within %d ms and is stopped", m_timeoutMs);
    m_process->disconnect(this);
    m_process->kill();
    Finish(HostedResult::kTimedOut);
  });
  m_limit->start(m_timeoutMs);
  m_process->start(program, args);
  return true;
}

void NmcliHostedNetwork::Finish(HostedResult result) {
  if (!m_process) return;
  QProcess* process = m_process;
  m_process = nullptr;
  process->disconnect(this);
  if (process->state() != QProcess::NotRunning) {
    // Reaped once it ends, so that no zombie is left behind.
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
  } else {
    process->deleteLater();
  }
  m_limit->stop();
  m_limit->deleteLater();
  m_limit = nullptr;
  if (result == HostedResult::kOk) SetHostedNetworkStarted(m_op == HostedOp::kStart);
  emit finished(m_op, result);
}

bool HostedNetworkStarted() { return g_started; }
void SetHostedNetworkStarted(bool started) { g_started = started; }

bool StopHostedNetworkAtExit(IProcessLauncher& launcher, const QString& program) {
  if (!g_started) return false;
  if (!launcher.StartDetached(program, NmcliHostedNetwork::StopArguments())) {
    qWarning("the hotspot could not be stopped: %s did not start", qUtf8Printable(program));
    return false;
  }
  g_started = false;
  return true;
}

bool ValidHotspotKey(const QString& key) {
  if (key.size() < 8 || key.size() > 63) return false;
  for (QChar c : key)
    if (c.unicode() < 0x20 || c.unicode() > 0x7E) return false;
  return true;
}

QString HotspotKey(ISettingsStore& store) {
  const QString name = QStringLiteral("HotspotKey");
  std::optional<QString> stored = store.GetString(name);
  if (stored && ValidHotspotKey(*stored)) return *stored;
  QString key;
  QRandomGenerator* random = QRandomGenerator::system();
  for (int i = 0; i < kKeyLength; ++i)
    key += QLatin1Char(kKeyAlphabet[random->bounded(static_cast<int>(sizeof kKeyAlphabet - 1))]);
  if (!store.KeyExists()) {
    if (auto* file = dynamic_cast<FileSettingsStore*>(&store)) file->CreateKeyForValue();
  }
  if (!store.SetString(name, key)) qWarning("the hotspot's key could not be stored");
  return key;
}

ApView ApShowState(bool started, bool toolFound, const AdapterState& adapters, bool failure, HostedOp failedOp) {
  ApView v;
  if (started) {
    v.showStop = true;
    v.textKey = failure && failedOp == HostedOp::kStop ? "AP_STOPFAILED" : "AP_STARTED";
    v.picture = failure ? kApPictureWarning : kApPictureReady;
    return v;
  }
  v.picture = kApPictureWarning;
  if (!toolFound) {
    v.textKey = "AP_OS";
  } else if (!adapters.hasWifi) {
    v.textKey = "AP_NOWLAN";
  } else if (!adapters.hasFreeWifi) {
    v.textKey = "AP_NOWIFI";
  } else {
    v.startEnabled = true;
    v.textKey = failure ? (failedOp == HostedOp::kStop ? "AP_STOPFAILED" : "AP_FAILED") : "AP_OK";
    v.picture = failure ? kApPictureWarning : kApPictureReady;
  }
  return v;
}

}  // namespace tray
