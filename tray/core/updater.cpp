#include "updater.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "http_fetch.h"
#include "process.h"
#include "settings_store.h"
#include "web_config.h"

namespace tray {

namespace {

constexpr size_t kMaxOfferedVersion = 99;
constexpr size_t kComparedVersion = 29;
constexpr long long kDefaultMaxInstallerBytes = 1LL << 30;
constexpr long kDefaultDownloadTimeMs = 60L * 60 * 1000;

// A positive decimal number from the environment, else fallback.
long long EnvNumber(const char* name, long long fallback) {
  bool ok = false;
  long long v = qEnvironmentVariable(name).toLongLong(&ok);
  return ok && v > 0 ? v : fallback;
}

// The size the version page offers: decimal digits only, more than 0; else -1.
long long OfferedSize(const std::string& text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  long long v = std::stoll(text);
  return v > 0 ? v : -1;
}

// A memory file with the content of the regular file at path, sealed against any change,
// and the MD5 digest of exactly that content. -1 when the file cannot be read. Where
// memory files are not to be had, the open file itself (its digest read from it).
int SealedCopy(const QString& path, std::string* md5) {
  const QByteArray name = QFile::encodeName(path);
  int file = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (file < 0) return -1;
  struct stat st {};
  if (::fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(file);
    return -1;
  }
  constexpr unsigned kMfdExec = 0x10U;  // executable memory file, on systems that ask for it
  int copy = ::memfd_create("Tirvan.exe", MFD_CLOEXEC | MFD_ALLOW_SEALING | kMfdExec);
  if (copy < 0 && errno == EINVAL) copy = ::memfd_create("Tirvan.exe", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  const int memfdError = copy < 0 ? errno : 0;
  QCryptographicHash hash(QCryptographicHash::Md5);
  std::vector<char> buf(64 * 1024);
  for (;;) {
    ssize_t n = ::read(file, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(file);
      if (copy >= 0) ::close(copy);
      return -1;
    }
    if (n == 0) break;
    hash.addData(QByteArrayView(buf.data(), n));
    for (ssize_t put = 0; copy >= 0 && put < n;) {
      ssize_t w = ::write(copy, buf.data() + put, static_cast<size_t>(n - put));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ::close(copy);
        ::close(file);
        return -1;
      }
      put += w;
    }
  }
  *md5 = hash.result().toHex().toStdString();
  if (copy < 0) {
    qWarning("update: no memory file (%s); the installer starts from its open file",
             std::strerror(memfdError));
    return file;
  }
  ::close(file);
  if (::fcntl(copy, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    qWarning("update: cannot seal the installer's copy: %s", std::strerror(errno));
    ::close(copy);
    return -1;
  }
  return copy;
}

// The value after "key": the next ':"' and the text up to the next double quote.
std::string FindValue(const std::string& page, const char* key) {
  std::string quoted = std::string("\"") + key + "\"";
  size_t at = page.find(quoted);
  if (at == std::string::npos) return {};
  size_t colon = page.find(":\"", at + quoted.size());
  if (colon == std::string::npos) return {};
  size_t begin = colon + 2;
  size_t end = page.find('"', begin);
  if (end == std::string::npos) return {};
  return page.substr(begin, end - begin);
}

// The first four numbers of a dotted version, as atoi reads each piece (missing: 0), with
// values beyond int clamped.
std::vector<long> VersionNumbers(const std::string& text) {
  std::vector<long> numbers;
  std::string cut = text.substr(0, kComparedVersion);
  size_t pos = 0;
  while (numbers.size() < 4 && pos <= cut.size()) {
    size_t dot = cut.find('.', pos);
    std::string piece = cut.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
    long v = std::strtol(piece.c_str(), nullptr, 10);
    numbers.push_back(std::min<long>(std::max<long>(v, INT_MIN), INT_MAX));
    if (dot == std::string::npos) break;
    pos = dot + 1;
  }
  numbers.resize(4, 0);
  return numbers;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

QString ProgramVersion() {
  QStringList parts = QStringLiteral(TIRVAN_PROGRAM_VERSION).split(QLatin1Char('.'));
  while (parts.size() < 4) parts << QStringLiteral("0");
  QStringList out;
  for (int i = 0; i < 4; ++i) out << QString::number(parts[i].toInt());
  return out.join(QLatin1Char('.'));
}

// ---- Ticket

bool CUpdater::Ticket::Set(int value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_value || m_closed) return false;
  m_value = value;
  m_cv.notify_all();
  return true;
}

int CUpdater::Ticket::Wait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cv.wait(lock, [this] { return m_value.has_value() || m_closed; });
  return m_value.value_or(0);
}

void CUpdater::Ticket::Close() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_closed = true;
  m_cv.notify_all();
}

// ---- CUpdater

CUpdater::CUpdater(UpdaterOptions options) : m_options(std::move(options)) {
  m_dataFolder = m_options.dataFolder.isEmpty()
                     ? QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                           QStringLiteral("/Tirvan")
                     : m_options.dataFolder;
  if (m_options.ownVersion.isEmpty()) m_options.ownVersion = ProgramVersion();
  if (m_options.maxInstallerBytes <= 0)
    m_options.maxInstallerBytes = EnvNumber("TIRVAN_UPDATE_MAX_BYTES", kDefaultMaxInstallerBytes);
  if (m_options.downloadTimeMs <= 0)
    m_options.downloadTimeMs = static_cast<long>(
        std::min<long long>(EnvNumber("TIRVAN_UPDATE_DOWNLOAD_MS", kDefaultDownloadTimeMs), LONG_MAX));
}

CUpdater::~CUpdater() { Stop(); }

void CUpdater::SetAskFunction(AskFunction ask) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_ask = std::move(ask);
}

bool CUpdater::MakeDataFolder() const {
  if (QFileInfo(m_dataFolder).isDir()) return true;
  const QString parent = QFileInfo(m_dataFolder).absolutePath();
  if (!QDir().mkpath(parent)) return false;
  const QByteArray path = QFile::encodeName(m_dataFolder);
  if (::mkdir(path.constData(), 0700) != 0) return errno == EEXIST && QFileInfo(m_dataFolder).isDir();
  ::chmod(path.constData(), 0700);  // whatever the umask took away
  qInfo("update: made the folder %s", path.constData());
  return true;
}

QString CUpdater::InstallerPath() const { return m_dataFolder + QStringLiteral("/Tirvan.exe"); }
QString CUpdater::VersionFilePath() const {
  return m_dataFolder + QStringLiteral("/TirvanUpdateVerSion.ini");
}

ISettingsStore& CUpdater::Store() const {
  ISettingsStore* s = m_store.load();
  return s ? *s : SettingsStore();
}

std::string CUpdater::CaFile() const { return CurrentWebConfig().caFile.toStdString(); }

void CUpdater::Notify(void (IUpdateCallback::*notify)()) const {
  if (IUpdateCallback* cb = m_callback.load()) (cb->*notify)();
}

bool CUpdater::StartCheck(bool automatic) {
  std::thread old;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_running.load()) return false;
    if (m_checking.load()) {
      // The user asked while the check at start runs: that check answers them.
      if (automatic) return false;
      m_userAsked.store(true);
      return true;
    }
    m_checking.store(true);
    m_userAsked.store(!automatic);
    old = std::move(m_thread);  // a finished check's thread
    m_thread = std::thread([this, automatic] {
      CheckUpdate(automatic);
      m_checking.store(false);
    });
  }
  if (old.joinable()) old.join();
  return true;
}

bool CUpdater::WaitIdle(int ms) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (m_checking.load()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void CUpdater::Stop() {
  m_running.store(false);
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_question) m_question->Close();
    if (m_downloaded) m_downloaded->Close();
    t = std::move(m_thread);
  }
  if (t.joinable()) t.join();
}

int CUpdater::Ask(std::shared_ptr<Ticket>* slot, void (IUpdateCallback::*notify)()) {
  auto ticket = std::make_shared<Ticket>();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    *slot = ticket;
  }
  if (!m_running.load() || m_callback.load() == nullptr) ticket->Close();
  Notify(notify);
  int answer = ticket->Wait();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (*slot == ticket) slot->reset();
  return answer;
}

void CUpdater::ShowNotice() {
  std::shared_ptr<Ticket> ticket;
  QString version;
  AskFunction ask;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ticket = std::exchange(m_question, nullptr);  // one answer per question
    version = QString::fromStdString(m_offered);
    ask = m_ask;
  }
  if (!ticket) return;
  int answer = ask ? ask(version) : kNoticeCancel;
  ticket->Set(answer);
}

void CUpdater::DownloadedHandled() {
  std::shared_ptr<Ticket> ticket;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ticket = std::exchange(m_downloaded, nullptr);
  }
  if (ticket) ticket->Set(1);
}

QString CUpdater::OfferedVersion() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return QString::fromStdString(m_offered);
}

std::optional<std::string> CUpdater::FetchVersionInfo() const {
  FetchOptions o;
  o.timeoutMs = m_options.pageTimeoutMs;
  o.connectTimeoutMs = m_options.pageTimeoutMs;
  o.httpsOnly = true;
  o.caFile = CaFile();
  o.keepGoing = &m_running;
  const std::string url = VersionPageUrl(CurrentWebConfig()).toStdString();
  FetchResult r = HttpGet(url, o);
  if (!r.Good()) {
    qWarning("update: version page %s: %s", url.c_str(),
             r.ok ? ("status " + std::to_string(r.status)).c_str() : r.error.c_str());
    return std::nullopt;
  }
  return r.body;
}

UpdateInfo CUpdater::ParseVersionInfo(const std::string& page) {
  UpdateInfo info;
  info.version = FindValue(page, "version");
  info.down = FindValue(page, "down");
  info.md5 = FindValue(page, "md5");
  info.size = FindValue(page, "size");
  for (size_t at; (at = info.down.find("\\/")) != std::string::npos;) info.down.replace(at, 2, "/");
  return info;
}

bool CUpdater::IsNewerVersion(const std::string& own, const std::string& offered) {
  if (own.empty() || offered.empty()) return false;
  std::vector<long> a = VersionNumbers(own);
  std::vector<long> b = VersionNumbers(offered);
  for (size_t i = 0; i < 4; ++i)
    if (a[i] != b[i]) return b[i] > a[i];
  return false;
}

bool CUpdater::IsUpdateNoticeWanted() const {
  ISettingsStore& store = Store();
  if (!store.KeyExists()) return true;
  return store.GetDword(QString::fromLatin1(kUpdateNoticeValue)).value_or(0) == 0;
}

std::optional<std::string> FileMd5Hex(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  QCryptographicHash hash(QCryptographicHash::Md5);
  if (!hash.addData(&file)) return std::nullopt;
  return hash.result().toHex().toStdString();
}

bool CUpdater::CheckFileMd5(const std::string& md5, const std::string& path) {
  std::optional<std::string> digest = FileMd5Hex(path);
  return digest && EqualNoCase(*digest, md5);
}

void CUpdater::CheckUpdate(bool automatic) {
  // Whether the user waits for an answer: asked so, or asked while this check ran.
  auto userWaits = [&] { return !automatic || m_userAsked.load(); };
  std::optional<std::string> page = FetchVersionInfo();
  if (!page) {
    if (userWaits() && m_running.load()) Notify(&IUpdateCallback::NotifyCheckFailed);
    return;
  }
  UpdateInfo info = ParseVersionInfo(*page);
  if (!info.Complete()) {
    qWarning("update: the version page lacks a field");
    if (userWaits() && m_running.load()) Notify(&IUpdateCallback::NotifyCheckFailed);
    return;
  }
  const std::string own = m_options.ownVersion.toStdString();
  if (own == info.version) {
    QFile::remove(VersionFilePath());
    if (userWaits()) Notify(&IUpdateCallback::NotifyNoUpdate);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_offered = info.version.substr(0, kMaxOfferedVersion);
  }
  if (!IsNewerVersion(own, info.version)) {
    if (userWaits()) Notify(&IUpdateCallback::NotifyNoUpdate);
    return;
  }
  qInfo("update: version %s offered (this is %s)", info.version.c_str(), own.c_str());
  if (IsUpdateNoticeWanted()) {
    int answer = Ask(&m_question, &IUpdateCallback::AskNotice);
    if (!m_running.load() || answer != kNoticeUpdate) {
      qInfo("update: not now");
      return;
    }
  }
  DownloadInstaller(info.down, info.md5, info.size);
}

bool CUpdater::DownloadInstaller(const std::string& down, const std::string& md5,
                                 const std::string& size) {
  const std::string path = InstallerPath().toStdString();
  if (!MakeDataFolder()) {
    qWarning("update failed: cannot make the folder %s", qPrintable(m_dataFolder));
    return false;
  }
  long long limit = m_options.maxInstallerBytes;
  const long long offered = OfferedSize(size);
  if (offered > 0 && offered < limit) {
    limit = offered;
  } else if (offered < 0) {
    qWarning("update: the version page offers no size in bytes; at most %lld are taken", limit);
  }
  FetchOptions o;
  o.connectTimeoutMs = m_options.pageTimeoutMs;
  o.lowSpeedBytes = m_options.lowSpeedBytes;
  o.lowSpeedSeconds = m_options.lowSpeedSeconds;
  o.httpsOnly = true;
  o.caFile = CaFile();
  o.keepGoing = &m_running;
  o.maxFileBytes = limit;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_options.downloadTimeMs);
  auto removePartial = [&] { ::unlink(path.c_str()); };
  for (int attempt = 1; attempt <= m_options.downloadTries && m_running.load(); ++attempt) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      qWarning("update failed: the download of %s took longer than %ld ms", down.c_str(),
               m_options.downloadTimeMs);
      return false;
    }
    o.timeoutMs = static_cast<long>(left);
    // Whatever lies at the path goes first, as a name only: a link there (symbolic or
    // hard) must not have the download write into the file it shares.
    removePartial();
    FetchResult r = HttpDownload(down, path, o);
    if (!r.Good()) {
      qWarning("update: download %d of %s: %s", attempt, down.c_str(),
               r.ok ? ("status " + std::to_string(r.status)).c_str() : r.error.c_str());
      removePartial();
      if (r.tooLarge) {
        // A server that sends more than it offered gets no second try.
        qWarning("update failed: the installer at %s passed %lld bytes; download stopped",
                 down.c_str(), limit);
        return false;
      }
      continue;
    }
    if (!CheckFileMd5(md5, path)) {
      qWarning("update: download %d: the digest does not match", attempt);
      removePartial();
      continue;
    }
    QFile::setPermissions(QString::fromStdString(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_installerMd5 = md5;
    }
    qInfo("update: installer downloaded and checked");
    Ask(&m_downloaded, &IUpdateCallback::NotifyDownloaded);
    if (m_running.load()) Notify(&IUpdateCallback::NotifyInstall);
    return true;
  }
  if (m_running.load()) qWarning("update failed: no checked installer from %s", down.c_str());
  return false;
}

bool CUpdater::StartInstaller(IProcessLauncher& launcher) const {
  std::string md5;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    md5 = m_installerMd5;
  }
  const QString path = InstallerPath();
  std::string digest;
  int image = md5.empty() ? -1 : SealedCopy(path, &digest);
  if (image < 0 || !EqualNoCase(digest, md5)) {
    if (image >= 0) ::close(image);
    qWarning("update: the installer %s is missing or changed; not started", qPrintable(path));
    return false;
  }
  // The folder to start in is the data folder: the installer finds what lies beside it there.
  bool started = launcher.StartDetachedImage(image, path, {}, m_dataFolder);
  ::close(image);
  return started;
}

}  // namespace tray
