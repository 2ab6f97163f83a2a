#include "ap_dlg.h"

#include <QIcon>
#include <QPainter>

#include "diy_static.h"
#include "language_font.h"
#include "settings_store.h"
#include "skin_buttons.h"
#include "skin_pictures.h"

namespace tray {

namespace {

constexpr int kWidth = 322, kHeight = 198;
constexpr QRect kTitleRect(20, 40, kWidth - 40, 26);  // 1136, centred on the face
constexpr QRect kNetworkRect(20, 66, kWidth - 40, 22);
constexpr QPoint kButtonPos(116, 94);  // 1126 and 1127, centred on the face
constexpr QRgb kTextColour = 0xFF323232;

// The status picture, drawn at its natural size.
class StatusPictureView final : public QWidget {
 public:
  StatusPictureView(QWidget* parent, const int* id) : QWidget(parent), m_id(id) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPixmap pixmap = LoadPngResource(*m_id);
    if (pixmap.isNull()) return;
    QPainter(this).drawPixmap(0, 0, pixmap);
  }

 private:
  const int* m_id;
};

}  // namespace

CApDlg::CApDlg(IAdapterProbe& probe, IHostedNetwork& network, ISettingsStore* store, QWidget* parent)
    : CDiyDialog(kApDlgTemplate, parent),
      m_probe(probe),
      m_network(network),
      m_key(HotspotKey(store ? *store : SettingsStore())) {
  SetBackgroundImage(kApDlgFace);
  SetShowMinimize(false);
  SetPageTop(0);
  // The status picture carries the id 1128 here; the hidden minimise button gives it up.
  if (MinimizeButton()) MinimizeButton()->setObjectName(QStringLiteral("minimize"));
  setWindowIcon(QIcon(LoadPngResource(128)));
  setFixedSize(kWidth, kHeight);

  const int dpi = logicalDpiY();
  m_buttonFont = m_statusFont = m_titleFont = font();
  SetLanguageFont(m_buttonFont, "FONT_AP_BUTTON", false, dpi);
  SetLanguageFont(m_statusFont, "FONT_AP_STARIC", false, dpi);
  SetLanguageFont(m_titleFont, "FONT_AP_TITLE", false, dpi);

  m_picture = new StatusPictureView(this, &m_pictureId);
  m_picture->setObjectName(QStringLiteral("1128"));
  auto button = [this](const char* id, const char* key) {
    auto* b = new CColorButton(this);
    b->setObjectName(QString::fromLatin1(id));
    b->SetKind(1);
    b->SetPictures(332, 333, 333, 332);
    b->SetTextColor(0xFF434343);
    b->SetButtonFont(m_buttonFont);
    b->SetButtonText(m_languages->GetString("UI", key));
    QPixmap face = LoadPngResource(332);
    b->setGeometry(QRect(kButtonPos, face.isNull() ? QSize(89, 30) : face.size()));
    return b;
  };
  m_start = button("1126", "AP_BUTTON_START");
  m_stop = button("1127", "AP_BUTTON_STOP");
  connect(m_start, &QAbstractButton::clicked, this, [this] { HostedNetworkStart(); });
  connect(m_stop, &QAbstractButton::clicked, this, [this] { HostedNetworkStop(); });
  SetTitleText(m_languages->GetString("UI", "DIALOG_TITLE"));

  m_title = new CDiyStatic(this);
  m_title->setObjectName(QStringLiteral("1136"));
  m_title->SetStaticFont(m_titleFont);
  m_title->SetTextColor(kTextColour);
  m_title->SetStringFormat({Qt::AlignHCenter, Qt::AlignVCenter, true, true});
  m_title->setGeometry(kTitleRect);
  m_status = new CDiyStatic(this);
  m_status->setObjectName(QStringLiteral("1123"));
  m_status->SetStaticFont(m_statusFont);
  m_status->SetTextColor(kTextColour);
  m_status->SetStringFormat({Qt::AlignLeft, Qt::AlignTop, false, true});  // wraps
  m_networkText = new CDiyStatic(this);
  m_networkText->setObjectName(QStringLiteral("network"));
  m_networkText->SetStaticFont(m_statusFont);
  m_networkText->SetTextColor(kTextColour);
  m_networkText->SetStringFormat({Qt::AlignHCenter, Qt::AlignVCenter, true, true});
  m_networkText->setGeometry(kNetworkRect);
  m_networkText->setText(m_languages->GetString("UI", "AP_NETWORK") + QString::fromLatin1(kHotspotSsid) +
                     QStringLiteral("    ") + m_languages->GetString("UI", "AP_PASSWORD") + m_key);

  connect(&m_network, &IHostedNetwork::finished, this, &CApDlg::OnFinished);
  ShowState();
  m_title->setText(m_languages->GetString("UI", "AP_STATIC_TITLE"));
  LayoutStatus();
}

CApDlg::~CApDlg() = default;

void CApDlg::SetStatus(const char* key, int picture) {
  m_statusKey = QString::fromLatin1(key);
  m_status->setText(m_languages->GetString("UI", key));
  m_pictureId = picture;
  QPixmap pixmap = LoadPngResource(picture);
  m_picture->resize(pixmap.isNull() ? QSize(24, 24) : pixmap.size());
  m_picture->update();
}

void CApDlg::ShowState() {
  ApView view;
  if (HostedNetworkStarted()) {
    view = ApShowState(true, true, {});  // nothing is probed
  } else {
    view = ApShowState(false, m_network.ToolFound(), m_probe.Probe());
  }
  m_stop->setVisible(view.showStop);
  m_start->setVisible(!view.showStop);
  m_start->setEnabled(view.startEnabled && !m_network.Busy());
  m_stop->setEnabled(!m_network.Busy());
  SetStatus(view.textKey, view.picture);
}

void CApDlg::LayoutStatus() {
  const int W = width(), H = height();
  const QSize measured = m_status->MeasureText();
  const int TW = measured.width(), TH = measured.height();
  const int A = W - 54;
  if (A < TW) {
    // The lines as the label wraps them, so the last one is never cut off.
    const int lines = LaidOutLines(m_status->text(), m_status->font(), A, false);
    const int E = TH * (lines - 1);
    m_picture->move(15, H - E - 45);
    m_status->setGeometry(43, (24 - TH) / 2 + H - E - 45, A, lines * (TH + 1) + 1);
  } else {
    const int X = (W - TW - 54) / 2;
    m_picture->move(X + 15, H - 44);
    m_status->setGeometry(X + 39, (24 - TH) / 2 + H - 44, TW + 4, TH + 4);
  }
  m_picture->show();
  m_status->show();
}

void CApDlg::HostedNetworkStart() {
  AdapterState adapters = m_probe.Probe();
  if (!m_network.Start(QString::fromLatin1(kHotspotSsid), m_key, adapters.freeAdapter)) return;
  m_start->setEnabled(false);
  m_stop->setEnabled(false);
}

void CApDlg::HostedNetworkStop() {
  if (!m_network.Stop()) return;
  m_start->setEnabled(false);
  m_stop->setEnabled(false);
}

void CApDlg::OnFinished(HostedOp op, HostedResult result) {
  if (result == HostedResult::kOk) {
    ShowState();
  } else if (result == HostedResult::kMissing) {
    ShowState();  // nmcli is gone: its own text
  } else {
    ApView view = HostedNetworkStarted() ? ApShowState(true, true, {}, true, op)
                                         : ApShowState(false, m_network.ToolFound(), m_probe.Probe(), true, op);
    m_stop->setVisible(view.showStop);
    m_start->setVisible(!view.showStop);
    m_start->setEnabled(view.startEnabled);
    m_stop->setEnabled(true);
    SetStatus(view.textKey, view.picture);
  }
  LayoutStatus();
  update();
}

}  // namespace tray
