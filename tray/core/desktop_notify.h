// Desktop notifications (the freedesktop notification service on the session bus): what a
// second copy of the program shows, since it has no tray icon to show a balloon from.
#pragma once

#include <QString>

namespace tray {

class INotifier {
 public:
  virtual ~INotifier() = default;
  // True when the desktop took the notification.
  virtual bool Notify(const QString& title, const QString& text) = 0;
};

class DbusNotifier final : public INotifier {
 public:
  bool Notify(const QString& title, const QString& text) override;
};

// What a second copy does: tells the user, in the system's language, that the program
// already runs. The text is logged as well, for a desktop without notifications.
void NotifyAlreadyRunning(INotifier& notifier);

}  // namespace tray
