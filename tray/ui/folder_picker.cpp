#include "folder_picker.h"

#include <QFileDialog>

namespace tray {

std::optional<QString> QtFolderPicker::PickFolder(QWidget* parent, const QString& title) {
  QString path = QFileDialog::getExistingDirectory(parent, title, QString(), QFileDialog::ShowDirsOnly);
  if (path.isEmpty()) return std::nullopt;
  return path;
}

}  // namespace tray
