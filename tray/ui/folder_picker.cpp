#include "folder_picker.h"

#include <QDir>
#include <QFileDialog>

namespace tray {

std::optional<QString> QtFolderPicker::PickFolder(QWidget* parent, const QString& title) {
  QString path = QFileDialog::getExistingDirectory(parent, title, QDir::homePath(), QFileDialog::ShowDirsOnly);
  if (path.isEmpty()) return std::nullopt;
  return QDir::cleanPath(QDir(path).absolutePath());
}

}  // namespace tray
