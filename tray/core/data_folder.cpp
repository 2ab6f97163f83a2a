#include "data_folder.h"

namespace tray {

DataFolderChange::DataFolderChange(DataFolderContext& context, QString currentBase, QString newBase)
    : m_c(context),
      m_current(std::move(currentBase)),
      m_new(std::move(newBase)),
      m_local(context.host == QStringLiteral("127.0.0.1")) {}

DataFolderChange::~DataFolderChange() = default;

bool DataFolderChange::Place(MoveCounters& counters) {
  if (!m_local) return true;
  m_move = std::make_unique<RootFolderMove>(m_current, m_new, m_c.sep, m_c.files);
  MoveResult move = m_move->Place(counters);
  m_result.move = move.outcome;
  switch (move.outcome) {
    case MoveOutcome::kTargetExists:
      m_result.messageKey = QStringLiteral("MSGBOX_MOVEEXISTS");
      return false;
    case MoveOutcome::kTargetInside:
      m_result.messageKey = QStringLiteral("MSGBOX_MOVEINSIDE");
      return false;
    case MoveOutcome::kNoSpace:
      m_result.messageKey = QStringLiteral("MSGBOX_MOVENOSPACE");
      m_result.detail = move.error;
      qWarning("not enough space to move the data folder to %s: %s", qUtf8Printable(m_new), qUtf8Printable(move.error));
      return false;
    case MoveOutcome::kFailed:
      m_result.messageKey = QStringLiteral("MSGBOX_MOVEFAIL");
      m_result.detail = move.error;
      qWarning("cannot move the data folder to %s: %s", qUtf8Printable(m_new), qUtf8Printable(move.error));
      return false;
    case MoveOutcome::kCancelled:
      qInfo("the move of the data folder to %s was cancelled", qUtf8Printable(m_new));
      return false;
    case MoveOutcome::kMoved:
    case MoveOutcome::kNothingToMove:
    case MoveOutcome::kSameBase:
      break;
  }
  return true;
}

bool DataFolderChange::Tell() {
  m_result.record = BuildDefShare(m_new, m_c.sep, m_c.languages);
  QStringList failed = CreateDefShareFolders(m_result.record, m_c.files);
  if (!failed.isEmpty()) {
    m_result.messageKey = QStringLiteral("MSGBOX_CREATEFOLDERFAIL");
    m_result.detail = failed.join(QStringLiteral(", "));
    qWarning("cannot create the data folders: %s", qUtf8Printable(m_result.detail));
  }
  if (m_local) {
    m_c.shell.Setup(m_result.record.def, m_c.languages.GetLanguage(), m_c.languages.GetString("UI", "DIRVER_NAME"));
  }
  DefaultFolders folders{m_result.record.def.toStdString(), m_result.record.pic.toStdString(),
                         m_result.record.music.toStdString(), m_result.record.video.toStdString(),
                         m_result.record.doc.toStdString()};
  m_result.sent = m_c.service.SetDefShare(folders) == 0;
  bool unknown = false;  // the service could not say which folder it uses
  if (!m_result.sent) {
    // A reply lost on the way: the service's own word on which folder it uses decides.
    std::string def;
    const int asked = m_c.service.GetDefShare(&def);
    m_result.sent = asked == kDefShareSet && def == folders.root;
    unknown = asked != kDefShareSet && asked != kDefShareEmpty;
  }
  const bool moved = m_result.move == MoveOutcome::kMoved;
  if (!m_result.sent) {
    qWarning("the service did not take the data folder %s", qUtf8Printable(m_result.record.def));
    if (moved && m_move) {
      // A copy stays, with its note, while the service may have taken it: the next move
      // learns which folder the service uses and removes or finishes it then.
      if (unknown && m_move->Copied()) {
        qWarning("the service did not answer; the copy %s stays until the next move", qUtf8Printable(m_move->To()));
      } else {
        m_move->Undo();
      }
      const QString old = JoinFolder(m_current, QLatin1String(kDataFolderName), m_c.sep);
      m_c.shell.Setup(old, m_c.languages.GetLanguage(), m_c.languages.GetString("UI", "DIRVER_NAME"));
      m_result.messageKey = QStringLiteral("MSGBOX_MOVENOTTAKEN");
      m_result.detail = old;
      m_result.move = MoveOutcome::kFailed;
    }
    return false;
  }
  if (moved && m_local) m_c.shell.Forget(JoinFolder(m_current, QLatin1String(kDataFolderName), m_c.sep));
  return NeedsFinish();
}

void DataFolderChange::Finish(MoveCounters& counters, const MoveTimings& timings) {
  if (!NeedsFinish()) return;
  QString error;
  if (!m_move->Finish(counters, timings, &error)) {
    m_result.messageKey = QStringLiteral("MSGBOX_MOVEOLDKEPT");
    m_result.detail = error;
  }
}

DataFolderResult SetDataFolderBase(DataFolderContext& context, const QString& currentBase, const QString& newBase,
                                   const MoveTimings& timings) {
  DataFolderChange change(context, currentBase, newBase);
  MoveCounters counters;
  if (change.Place(counters) && change.Tell()) change.Finish(counters, timings);
  return change.Result();
}

}  // namespace tray
