#include "folder_picker.h"

#include <QDir>
#include <QFileDialog>

namespace tray {

QString QtFolderPicker::PickFolder(QWidget* owner, const QString& title) {
  QString picked = QFileDialog::getExistingDirectory(owner, title, QDir::homePath(), QFileDialog::ShowDirsOnly);
  return picked.isEmpty() ? QString() : QDir::cleanPath(QDir(picked).absolutePath());
}

}  // namespace tray
