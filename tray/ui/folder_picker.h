// Picking a folder: the desktop's folder dialog for real, answered by a fake in tests.
#pragma once

#include <QString>

class QWidget;

namespace tray {

class IFolderPicker {
 public:
  virtual ~IFolderPicker() = default;
  // The absolute folder the user picked, "" when the picker was cancelled.
  virtual QString PickFolder(QWidget* owner, const QString& title) = 0;
};

// QFileDialog's folder picker, starting in the user's home folder.
class QtFolderPicker final : public IFolderPicker {
 public:
  QString PickFolder(QWidget* owner, const QString& title) override;
};

}  // namespace tray
