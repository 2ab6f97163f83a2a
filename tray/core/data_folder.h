// Choosing the data folder's base: the move of the earlier data folder, the five paths,
// the folders, the desktop integration, and only then the service is told. A move that
// is refused or fails leaves the old folders where they are and shared.
#pragma once

#include <QString>
#include <QStringList>

#include "default_folders.h"
#include "shell_folder.h"
#include "ui_data.h"

namespace tray {

struct DataFolderResult {
  bool sent = false;   // the service was told the new folders
  MoveOutcome move = MoveOutcome::kNothingToMove;
  QString messageKey;  // MESSAGEBOX key of what the user is shown, "" for nothing
  QString detail;      // what failed, for the message and the log
  DefShare record;
};

struct DataFolderContext {
  IUIData& service;
  const ILanguages& languages;
  IFileOps& files;
  IShellIntegration& shell;
  QString host = QStringLiteral("127.0.0.1");  // the move and the shell steps only here
  QChar sep = QLatin1Char('/');
};

// Sets newBase as the data folder's base; currentBase is the base in use ("" for none).
DataFolderResult SetDataFolderBase(DataFolderContext& context, const QString& currentBase,
                                   const QString& newBase);

}  // namespace tray
