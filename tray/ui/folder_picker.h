// The folder browser the pages and the wizard open to choose a folder: the desktop's folder
// dialog in the program, answered by the tests.
#pragma once

#include <QString>

#include <optional>

class QWidget;

namespace tray {

class IFolderPicker {
 public:
  virtual ~IFolderPicker() = default;
  // The chosen folder's absolute path; none when the user cancelled.
  virtual std::optional<QString> PickFolder(QWidget* parent, const QString& title) = 0;
};

// QFileDialog's folder picker, starting in the user's home folder.
class QtFolderPicker final : public IFolderPicker {
 public:
  std::optional<QString> PickFolder(QWidget* parent, const QString& title) override;
};

}  // namespace tray
