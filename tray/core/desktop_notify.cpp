#include "desktop_notify.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include "languages.h"

namespace tray {

bool DbusNotifier::Notify(const QString& title, const QString& text) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  call << QStringLiteral("Tirvan") << 0u << QStringLiteral("tirvan") << title << text << QStringList()
       << QVariantMap() << 5000;
  QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
  return reply.type() == QDBusMessage::ReplyMessage;
}

void NotifyAlreadyRunning(INotifier& notifier) {
  LanguagesRef store;  // a new process: the system's language
  QString text = store->GetString("MESSAGEBOX", "MSGBOX_ONEMORESTART");
  qInfo("another copy of Tirvan runs already: %s", qUtf8Printable(text));
  if (!text.isEmpty() && !notifier.Notify(QStringLiteral("Tirvan"), text)) {
    qWarning("the desktop took no notification");
  }
}

}  // namespace tray
