#include "tray_icon.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace tray {

CTrayIcon::CTrayIcon(ITrayBackend& backend) : m_backend(backend) {}

CTrayIcon::~CTrayIcon() {
  if (!HasIcon()) return;
  m_record.icon = QIcon();
  m_record.flags = m_hasOwner ? static_cast<unsigned>(kTrayMessage) : 0u;
  Send(TrayCommand::Delete);
  m_backend.activated = nullptr;
}

void CTrayIcon::SetOwner(std::function<void(TrayActivation)> owner) {
  m_hasOwner = static_cast<bool>(owner);
  m_backend.activated = std::move(owner);
}

bool CTrayIcon::SetIcon(const QIcon& icon, const QString* tip) {
  m_record.flags = 0;
  TrayCommand command;
  if (!icon.isNull()) {
    command = HasIcon() ? TrayCommand::Modify : TrayCommand::Add;
    m_record.icon = icon;
    m_record.flags = kTrayIcon;
    if (tip) m_record.tip = tip->left(kTipMax);
    if (!m_record.tip.isEmpty()) m_record.flags |= kTrayTip;
  } else {
    if (!HasIcon()) return true;
    command = TrayCommand::Delete;
    m_record.icon = QIcon();
  }
  if (m_hasOwner) m_record.flags |= kTrayMessage;
  return Send(command);
}

bool CTrayIcon::Send(TrayCommand command) {
  if (m_backend.Notify(command, m_record)) return true;
  if (m_backend.Notify(TrayCommand::Modify, m_record)) return true;
  // The icon counts as gone, so that the next SetIcon adds it again.
  m_record.icon = QIcon();
  return false;
}

bool CTrayIcon::ShowBalloon(const QString& text, const QString& title) {
  m_record.flags = kTrayMessage | kTrayIcon | kTrayInfo;
  m_record.balloonTimeoutMs = kBalloonTimeoutMs;
  m_record.balloonInfoFlags = 1;
  m_record.balloonTitle = title.left(kBalloonTitleMax);
  m_record.balloonText = text.left(kBalloonTextMax);
  // The add puts the icon up with its balloon when it is not there; the modify shows the
  // balloon on an icon that is.
  m_backend.Notify(TrayCommand::Add, m_record);
  return m_backend.Notify(TrayCommand::Modify, m_record);
}

QtTrayBackend::QtTrayBackend() : m_icon(std::make_unique<QSystemTrayIcon>()) {
  connect(m_icon.get(), &QSystemTrayIcon::messageClicked, this, [this] {
    if (activated) activated(TrayActivation::BalloonClick);
  });
  connect(m_icon.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (!activated) return;
            switch (reason) {
              case QSystemTrayIcon::Trigger:
                activated(TrayActivation::LeftClick);
                break;
              case QSystemTrayIcon::Context:
                activated(TrayActivation::RightClick);
                break;
              case QSystemTrayIcon::DoubleClick:
                activated(TrayActivation::DoubleClick);
                break;
              case QSystemTrayIcon::MiddleClick:
                activated(TrayActivation::MiddleClick);
                break;
              case QSystemTrayIcon::Unknown:
                break;
            }
          });
}

QtTrayBackend::~QtTrayBackend() = default;

void QtTrayBackend::SetContextMenu(QMenu* menu) { m_icon->setContextMenu(menu); }

bool QtTrayBackend::Notify(TrayCommand command, const TrayRecord& record) {
  if (command == TrayCommand::Delete) {
    m_icon->hide();
    return true;
  }
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    if (!m_toldNoTray) qWarning("this desktop has no system tray; the tray icon is not shown");
    m_toldNoTray = true;
    return false;
  }
  if (record.flags & kTrayIcon) m_icon->setIcon(record.icon);
  if (record.flags & kTrayTip) m_icon->setToolTip(record.tip);
  if (!m_icon->isVisible() && !m_icon->icon().isNull()) m_icon->show();
  if ((record.flags & kTrayInfo) && command == TrayCommand::Modify) {
    m_icon->showMessage(record.balloonTitle, record.balloonText, QSystemTrayIcon::Information,
                        record.balloonTimeoutMs);
  }
  return true;
}

}  // namespace tray
