#include "desktop_shell.h"

#include <QDesktopServices>
#include <QUrl>

#include "web_config.h"

namespace tray {

bool DesktopShell::OpenUrl(const QString& url) {
  // Pages of the maker's web host are named by their path; the host is configured once.
  QUrl target(ResolveWebUrl(CurrentWebConfig(), url));
  bool ok = target.isValid() && QDesktopServices::openUrl(target);
  if (!ok) qWarning("cannot open %s", qUtf8Printable(url));
  return ok;
}

bool DesktopShell::OpenFolder(const QString& path) {
  bool ok = QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  if (!ok) qWarning("cannot open the folder %s", qUtf8Printable(path));
  return ok;
}

bool DesktopShell::OpenFile(const QString& path) {
  bool ok = QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  if (!ok) qWarning("cannot open the file %s", qUtf8Printable(path));
  return ok;
}

}  // namespace tray
