// A folder picker that hands out the answers the test queued (std::nullopt: the browser
// was cancelled; none left: cancelled too) and notes the titles it was shown.
#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <optional>

#include "folder_picker.h"

namespace traytest {

struct QueuedPicker final : tray::IFolderPicker {
  std::deque<std::optional<QString>> answers;
  QStringList titles;
  std::optional<QString> PickFolder(QWidget*, const QString& title) override {
    titles << title;
    if (answers.empty()) return std::nullopt;
    const bool cancelled = !answers.front();
    const QString folder = answers.front().value_or(QString());
    answers.pop_front();
    if (cancelled) return std::nullopt;
    return folder;
  }
};

}  // namespace traytest
