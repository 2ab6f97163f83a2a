// The folder browser the pages open to choose a folder: the desktop's folder dialog in
// the program, answered by the tests.
#pragma once

#include <QString>

#include <optional>

class QWidget;

namespace tray {

class IFolderPicker {
 public:
  virtual ~IFolderPicker() = default;
  // The chosen folder's path; none when the user cancelled.
  virtual std::optional<QString> PickFolder(QWidget* parent, const QString& title) = 0;
};

class QtFolderPicker final : public IFolderPicker {
 public:
  std::optional<QString> PickFolder(QWidget* parent, const QString& title) override;
};

}  // namespace tray
