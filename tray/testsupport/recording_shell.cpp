#include "recording_shell.h"

namespace traytest {

bool RecordingShell::OpenUrl(const QString& url) {
  urls << url;
  return result;
}

bool RecordingShell::OpenFolder(const QString& path) {
  folders << path;
  return result;
}

bool RecordingShell::OpenFile(const QString& path) {
  files << path;
  return fileResult;
}

}  // namespace traytest
