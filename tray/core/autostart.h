// Start with the desktop session: an entry in the user's XDG autostart folder
// ($XDG_CONFIG_HOME/autostart/tirvan.desktop) that runs the tray program at log-in.
#pragma once

#include <QString>

namespace tray {

class IAutostart {
 public:
  virtual ~IAutostart() = default;
  // True when the entry exists and is not hidden.
  virtual bool IsEnabled() const = 0;
  // The program the entry starts ("" when there is none).
  virtual QString Command() const = 0;
  virtual bool Enable(const QString& program) = 0;
  virtual bool Disable() = 0;
};

class XdgAutostart final : public IAutostart {
 public:
  // The entry's file; DefaultPath() when empty.
  explicit XdgAutostart(QString path = QString());
  static QString DefaultPath();

  bool IsEnabled() const override;
  QString Command() const override;
  bool Enable(const QString& program) override;
  bool Disable() override;
  const QString& path() const { return m_path; }

 private:
  QString m_path;
};

}  // namespace tray
