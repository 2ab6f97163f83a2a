// The local socket through which a second copy of the program brings the first one's
// settings window forward where there is no tray to open it from: a Unix stream socket at
// a path of the user's own (ShowSocketPath). Plain sockets with a notifier on the GUI
// thread, so that the program loads no network library for it.
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

namespace tray {

// $TMPDIR (else /tmp) / tirvan-show-<uid>.
QString ShowSocketPath();

// Connects to the copy listening at path and asks it to show its window; false when
// none listens there.
bool AskToShow(const QString& path);

// Listens at a path and emits showRequested for each copy that connects.
class ShowListener : public QObject {
  Q_OBJECT

 public:
  explicit ShowListener(QObject* parent = nullptr);
  ~ShowListener() override;
  // Replaces whatever lies at path (a socket left by a copy that ended); false with the
  // reason logged when it cannot listen.
  bool Listen(const QString& path);

 signals:
  void showRequested();

 private:
  void OnReadable();

  int m_fd = -1;
  QString m_path;
  QSocketNotifier* m_notifier = nullptr;
};

}  // namespace tray
