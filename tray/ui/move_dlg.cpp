#include "move_dlg.h"

#include <QLocale>
#include <QProgressBar>

#include "diy_static.h"
#include "language_font.h"
#include "languages.h"
#include "skin_buttons.h"

namespace tray {

CMoveDlg::CMoveDlg(DataFolderContext context, QString currentBase, QString newBase,
                   std::function<void(const DataFolderResult&)> done, QWidget* parent)
    : CDiyDialog(kTemplate, parent),
      m_context(context),
      m_change(m_context, std::move(currentBase), std::move(newBase)),
      m_done(std::move(done)) {
  SetBackgroundImage(263);
  SetShowMinimize(false);
  setFixedSize(355, 197);
  LanguagesRef store;
  SetTitleText(store->GetString("UI", "MOVE_TITLE"));
  setWindowTitle(store->GetString("UI", "MOVE_TITLE"));

  QFont buttonFont = font(), textFont = font();
  SetLanguageFont(buttonFont, "FONT_MESSAGEBOX_BUTTON", false, logicalDpiY());
  SetLanguageFont(textFont, "FONT_SWITCH_STATIC", false, logicalDpiY());
  auto makeText = [&](const char* id, int y) {
    auto* t = new CDiyStatic(this);
    t->setObjectName(QString::fromLatin1(id));
    t->SetStaticFont(textFont);
    t->SetTextColor(0xFF000000);
    t->setGeometry(30, y, 295, 22);
    return t;
  };
  auto* heading = makeText("1150", 44);
  QFont bold = textFont;
  bold.setBold(true);
  heading->SetStaticFont(bold);
  heading->setText(store->GetString("UI", "MOVE_TITLE"));
  m_files = makeText("1151", 70);
  m_bytes = makeText("1152", 92);
  m_bar = new QProgressBar(this);
  m_bar->setObjectName(QStringLiteral("1153"));
  m_bar->setGeometry(30, 122, 295, 14);
  m_bar->setRange(0, 1000);
  m_bar->setTextVisible(false);

  m_cancel = new CColorButton(this);
  m_cancel->setObjectName(QStringLiteral("1154"));
  m_cancel->SetPictures(334, 335, 335, 334);
  m_cancel->SetTextColor(0xFF434343);
  m_cancel->SetButtonFont(buttonFont);
  m_cancel->SetButtonText(store->GetString("UI", "MSGBOX_BUTTON_CANCEL"));
  m_cancel->setGeometry(133, 155, 89, 30);
  connect(m_cancel, &QAbstractButton::clicked, this, [this] { m_counters.cancel = true; });

  m_refresh.setInterval(100);
  connect(&m_refresh, &QTimer::timeout, this, &CMoveDlg::Refresh);
  Refresh();
}

CMoveDlg::~CMoveDlg() {
  // The program ends during the move: the copy stops (the old folder stays in use), or the
  // old folder's removal waits for the next move.
  m_counters.cancel = true;
  Join();
}

void CMoveDlg::Join() {
  if (m_worker.joinable()) m_worker.join();
}

void CMoveDlg::Start() {
  m_running = true;
  m_refresh.start();
  m_worker = std::thread([this] {
    const bool goOn = m_change.Place(m_counters);
    QMetaObject::invokeMethod(this, [this, goOn] { OnPlaced(goOn); }, Qt::QueuedConnection);
  });
}

void CMoveDlg::OnPlaced(bool goOn) {
  Join();
  // The service is told on this thread, as every other request; only a copy needs the end.
  if (!goOn || !m_change.Tell()) {
    End();
    return;
  }
  m_cancel->setEnabled(false);  // the service uses the new folder: only the old one's end is left
  m_counters.cancel = false;
  m_worker = std::thread([this] {
    m_change.Finish(m_counters, m_timings);
    QMetaObject::invokeMethod(this, [this] { OnFinished(); }, Qt::QueuedConnection);
  });
}

void CMoveDlg::OnFinished() {
  Join();
  End();
}

void CMoveDlg::End() {
  m_refresh.stop();
  m_running = false;
  Refresh();
  hide();
  if (m_done) m_done(m_change.Result());
}

void CMoveDlg::reject() {
  if (m_running) {
    if (m_counters.stage != MoveCounters::kFinishing) m_counters.cancel = true;
    return;  // the dialog ends with the move
  }
  CDiyDialog::reject();
}

void CMoveDlg::Refresh() {
  LanguagesRef store;
  QLocale locale;
  const int64_t files = m_counters.filesDone, filesTotal = m_counters.filesTotal;
  const int64_t bytes = m_counters.bytesDone, bytesTotal = m_counters.bytesTotal;
  if (m_counters.stage == MoveCounters::kFinishing) {
    m_files->setText(store->GetString("UI", "MOVE_FINISHING"));
  } else {
    m_files->setText(store->GetString("UI", "MOVE_FILES").arg(files).arg(filesTotal));
  }
  m_bytes->setText(store->GetString("UI", "MOVE_BYTES")
                       .arg(locale.formattedDataSize(bytes), locale.formattedDataSize(bytesTotal)));
  m_bar->setValue(bytesTotal > 0 ? static_cast<int>(std::min<int64_t>(1000, bytes * 1000 / bytesTotal)) : 0);
}

}  // namespace tray
