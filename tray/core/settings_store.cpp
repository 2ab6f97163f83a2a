#include "settings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QtGlobal>

#include <atomic>
#include <cstdlib>

#include "ini_file.h"

namespace tray {

namespace {

constexpr const char* kSection = "Tirvan";
constexpr const char* kDwordPrefix = "dword:";
constexpr const char* kTextPrefix = "sz:";

std::atomic<ISettingsStore*> g_store{nullptr};

}  // namespace

FileSettingsStore::FileSettingsStore(QString path) : m_path(std::move(path)) {}

bool FileSettingsStore::CreateKey() {
  if (KeyExists()) return true;
  if (!QDir().mkpath(QFileInfo(m_path).absolutePath())) return false;
  QSaveFile f(m_path);
  if (!f.open(QIODevice::WriteOnly)) return false;
  f.write("[Tirvan]\n");
  return f.commit();
}

bool FileSettingsStore::CreateKeyForValue() {
  if (KeyExists()) return true;
  return CreateKey() && SetDword(QLatin1String(kSetupWizardValue), 1);
}

bool FileSettingsStore::KeyExists() const { return QFileInfo(m_path).isFile(); }

std::optional<std::string> FileSettingsStore::Raw(const QString& name) const {
  IniFile ini;
  if (!ini.Load(m_path.toStdString())) return std::nullopt;
  return ini.Value(kSection, name.toStdString());
}

std::optional<uint32_t> FileSettingsStore::GetDword(const QString& name) const {
  auto raw = Raw(name);
  if (!raw || raw->rfind(kDwordPrefix, 0) != 0) return std::nullopt;
  std::string digits = raw->substr(std::char_traits<char>::length(kDwordPrefix));
  if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  unsigned long long v = std::strtoull(digits.c_str(), nullptr, 10);
  if (v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(v);
}

std::optional<QString> FileSettingsStore::GetString(const QString& name) const {
  auto raw = Raw(name);
  if (!raw || raw->rfind(kTextPrefix, 0) != 0) return std::nullopt;
  return QString::fromStdString(raw->substr(std::char_traits<char>::length(kTextPrefix)));
}

bool FileSettingsStore::SetDword(const QString& name, uint32_t value) {
  return Write(name, kDwordPrefix + std::to_string(value));
}

bool FileSettingsStore::SetString(const QString& name, const QString& value) {
  if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r'))) return false;
  return Write(name, kTextPrefix + value.toStdString());
}

bool FileSettingsStore::DeleteValue(const QString& name) { return Write(name, std::nullopt); }

bool FileSettingsStore::Write(const QString& name, const std::optional<std::string>& raw) {
  const std::string key = name.toStdString();
  if (key.empty() || key.find_first_of("=\r\n[") != std::string::npos) return false;
  IniFile ini;
  if (!KeyExists() || !ini.Load(m_path.toStdString())) return false;
  std::map<std::string, std::string> values = ini.Section(kSection);
  if (raw) {
    values[key] = *raw;
  } else if (values.erase(key) == 0) {
    return true;  // nothing to delete
  }
  std::string text = std::string("[") + kSection + "]\n";
  for (const auto& [k, v] : values) text += k + "=" + v + "\n";
  QSaveFile f(m_path);
  if (!f.open(QIODevice::WriteOnly)) return false;
  f.write(text.data(), static_cast<qint64>(text.size()));
  if (!f.commit()) {
    qWarning("settings: cannot write %s", qPrintable(m_path));
    return false;
  }
  return true;
}

bool FirstRunWizardDue(const ISettingsStore& store) {
  return store.KeyExists() && store.GetDword(QLatin1String(kSetupWizardValue)).value_or(0) == 0;
}

QString DefaultSettingsPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/Tirvan/settings.ini");
}

ISettingsStore& SettingsStore() {
  if (ISettingsStore* s = g_store.load()) return *s;
  static FileSettingsStore fileStore(DefaultSettingsPath());
  return fileStore;
}

void SetSettingsStore(ISettingsStore* store) { g_store.store(store); }

}  // namespace tray
