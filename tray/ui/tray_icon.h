// The program's one icon in the desktop's tray: CTrayIcon keeps the icon's record (icon,
// tip, balloon) and hands add, modify and delete commands to a backend, the desktop's
// tray (QtTrayBackend) or a recording fake in tests.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QSystemTrayIcon;
class QMenu;

namespace tray {

inline constexpr unsigned kTrayIconId = 62547;

enum TrayFlags : unsigned {
  kTrayMessage = 0x1,  // the owner receives the icon's clicks
  kTrayIcon = 0x2,
  kTrayTip = 0x4,
  kTrayInfo = 0x10,  // a balloon
};

enum class TrayCommand { Add, Modify, Delete };
// BalloonClick: the user clicked the icon's last balloon (notification).
enum class TrayActivation { LeftClick, RightClick, DoubleClick, MiddleClick, BalloonClick };

struct TrayRecord {
  unsigned id = kTrayIconId;
  unsigned flags = 0;
  QIcon icon;  // null: no icon in the tray
  QString tip;
  QString balloonText;
  QString balloonTitle;
  int balloonTimeoutMs = 0;
  int balloonInfoFlags = 0;  // 1: information
};

class ITrayBackend {
 public:
  virtual ~ITrayBackend() = default;
  // True when the tray took the command.
  virtual bool Notify(TrayCommand command, const TrayRecord& record) = 0;
  // Clicks on the icon reach this handler.
  std::function<void(TrayActivation)> activated;
};

class CTrayIcon {
 public:
  static constexpr int kTipMax = 127;
  static constexpr int kBalloonTitleMax = 63;
  static constexpr int kBalloonTextMax = 255;
  static constexpr int kBalloonTimeoutMs = 5000;

  explicit CTrayIcon(ITrayBackend& backend);
  ~CTrayIcon();
  CTrayIcon(const CTrayIcon&) = delete;
  CTrayIcon& operator=(const CTrayIcon&) = delete;

  // The owner that receives the icon's clicks (none: clicks are dropped).
  void SetOwner(std::function<void(TrayActivation)> owner);
  // Shows, changes or (with a null icon) removes the icon; true when the tray took it or
  // there was nothing to do.
  bool SetIcon(const QIcon& icon, const QString* tip = nullptr);
  bool ShowBalloon(const QString& text, const QString& title);
  bool HasIcon() const { return !m_record.icon.isNull(); }
  const TrayRecord& Record() const { return m_record; }

 private:
  bool Send(TrayCommand command);

  ITrayBackend& m_backend;
  TrayRecord m_record;
  bool m_hasOwner = false;
};

// The desktop's tray through QSystemTrayIcon. Where the desktop has no tray, every
// command fails and the log says so once.
class QtTrayBackend final : public QObject, public ITrayBackend {
  Q_OBJECT
 public:
  QtTrayBackend();
  ~QtTrayBackend() override;
  bool Notify(TrayCommand command, const TrayRecord& record) override;
  void SetContextMenu(QMenu* menu);
  QSystemTrayIcon* Icon() const { return m_icon.get(); }

 private:
  std::unique_ptr<QSystemTrayIcon> m_icon;
  bool m_toldNoTray = false;
};

}  // namespace tray
