#include "data_folder.h"

namespace tray {

DataFolderResult SetDataFolderBase(DataFolderContext& c, const QString& currentBase, const QString& newBase) {
  DataFolderResult result;
  const bool local = c.host == QStringLiteral("127.0.0.1");
  if (local) {
    MoveResult move = MoveRootFolder(currentBase, newBase, c.sep, c.files);
    result.move = move.outcome;
    switch (move.outcome) {
      case MoveOutcome::kTargetExists:
        result.messageKey = QStringLiteral("MSGBOX_MOVEEXISTS");
        return result;
      case MoveOutcome::kTargetInside:
        result.messageKey = QStringLiteral("MSGBOX_MOVEINSIDE");
        return result;
      case MoveOutcome::kFailed:
        result.messageKey = QStringLiteral("MSGBOX_MOVEFAIL");
        result.detail = move.error;
        qWarning("cannot move the data folder to %s: %s", qUtf8Printable(newBase), qUtf8Printable(move.error));
        return result;
      case MoveOutcome::kMoved:
        c.shell.Forget(JoinFolder(currentBase, QLatin1String(kDataFolderName), c.sep));
        break;
      case MoveOutcome::kNothingToMove:
      case MoveOutcome::kSameBase:
        break;
    }
  }
  result.record = BuildDefShare(newBase, c.sep, c.languages);
  QStringList failed = CreateDefShareFolders(result.record, c.files);
  if (!failed.isEmpty()) {
    result.messageKey = QStringLiteral("MSGBOX_CREATEFOLDERFAIL");
    result.detail = failed.join(QStringLiteral(", "));
    qWarning("cannot create the data folders: %s", qUtf8Printable(result.detail));
  }
  if (local) {
    c.shell.Setup(result.record.def, c.languages.GetLanguage(), c.languages.GetString("UI", "DIRVER_NAME"));
  }
  DefaultFolders folders{result.record.def.toStdString(), result.record.pic.toStdString(),
                         result.record.music.toStdString(), result.record.video.toStdString(),
                         result.record.doc.toStdString()};
  result.sent = c.service.SetDefShare(folders) == 0;
  if (!result.sent) qWarning("the service did not take the data folder %s", qUtf8Printable(result.record.def));
  return result;
}

}  // namespace tray
