// The tray program's own settings (the values it keeps under its key in the user's
// registry elsewhere): named 32-bit numbers and texts in one file under the user's config
// folder. The key is opened, never created by the program: while the file is missing,
// nothing is read or written. A value that was never written reads as missing, which
// callers tell apart from 0.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace tray {

inline constexpr const char* kUpdateNoticeValue = "UpdateNotice";  // non-zero: update without asking
inline constexpr const char* kUpdateFinishValue = "UpdateFinish";  // 1: show the release notes once
inline constexpr const char* kSetupWizardValue = "SetupWizard";

class ISettingsStore {
 public:
  virtual ~ISettingsStore() = default;
  // Whether the key exists (the file is there); without it every read is missing and
  // every write fails.
  virtual bool KeyExists() const = 0;
  // None when the key or the value is missing, or the value is not a number.
  virtual std::optional<uint32_t> GetDword(const QString& name) const = 0;
  virtual std::optional<QString> GetString(const QString& name) const = 0;
  // False when the key is missing or the file cannot be written.
  virtual bool SetDword(const QString& name, uint32_t value) = 0;
  // False as above, and for a text with a line break.
  virtual bool SetString(const QString& name, const QString& value) = 0;
  virtual bool DeleteValue(const QString& name) = 0;
};

// The store on a file: "[Tirvan]", then one "Name=dword:N" or "Name=sz:TEXT" line per
// value, UTF-8. Each call reads the file afresh; writes replace it whole (atomically).
class FileSettingsStore final : public ISettingsStore {
 public:
  explicit FileSettingsStore(QString path);
  const QString& path() const { return m_path; }

  // Makes the key (the file and its folder) when it is missing: what an installer does.
  bool CreateKey();
  // Makes the key when it is missing so that the program can keep a value of its own. No
  // installer asked for the first-run wizard then, so the new key notes it as done: a
  // stored value never brings up a wizard that the missing key did not.
  bool CreateKeyForValue();

  bool KeyExists() const override;
  std::optional<uint32_t> GetDword(const QString& name) const override;
  std::optional<QString> GetString(const QString& name) const override;
  bool SetDword(const QString& name, uint32_t value) override;
  bool SetString(const QString& name, const QString& value) override;
  bool DeleteValue(const QString& name) override;

 private:
  std::optional<std::string> Raw(const QString& name) const;
  bool Write(const QString& name, const std::optional<std::string>& raw);

  QString m_path;
};

// Whether the first-run wizard is due: the key exists and SetupWizard is missing or 0.
bool FirstRunWizardDue(const ISettingsStore& store);

// $XDG_CONFIG_HOME/Tirvan/settings.ini (by default ~/.config/Tirvan/settings.ini).
QString DefaultSettingsPath();
// The process's store on DefaultSettingsPath() unless SetSettingsStore gave another (tests,
// or none to go back to the default). Not owned by the caller.
ISettingsStore& SettingsStore();
void SetSettingsStore(ISettingsStore* store);

}  // namespace tray
