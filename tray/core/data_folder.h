// Choosing the data folder's base: the move of the earlier data folder, the five paths,
// the folders, the desktop integration, and then the service is told. A move that is
// refused or fails, or that the service does not take, leaves the old folder where it is
// and shared; the old folder of a copy goes only once the service has taken the new one.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>

#include "data_folder_move.h"
#include "default_folders.h"
#include "shell_folder.h"
#include "ui_data.h"

namespace tray {

struct DataFolderResult {
  bool sent = false;   // the service took the new folders
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

// One change of the data folder's base in three steps, so that the file work can run on
// another thread than the service's requests: Place (files), Tell (the service and the
// desktop), Finish (files). Each step may be skipped when the one before says so.
class DataFolderChange {
 public:
  // currentBase: the base of the folder the service uses ("" for none).
  DataFolderChange(DataFolderContext& context, QString currentBase, QString newBase);
  ~DataFolderChange();

  // The move into place (any thread). False when the change ends here (see Result()).
  bool Place(MoveCounters& counters);
  // The folders, the desktop steps and the service (the service client's thread). False
  // when the change ends here: the service did not take the folder and the move is undone,
  // or nothing is left to do.
  bool Tell();
  // After the service took a copied folder: the old one follows and goes (any thread).
  void Finish(MoveCounters& counters, const MoveTimings& timings);

  const DataFolderResult& Result() const { return m_result; }
  bool NeedsFinish() const { return m_move && m_move->Copied(); }

 private:
  DataFolderContext& m_c;
  QString m_current, m_new;
  bool m_local;
  std::unique_ptr<RootFolderMove> m_move;
  DataFolderResult m_result;
};

// All three steps in a row on this thread.
DataFolderResult SetDataFolderBase(DataFolderContext& context, const QString& currentBase,
                                   const QString& newBase, const MoveTimings& timings = MoveTimings{0, 0});

}  // namespace tray
