#include "about_dlg.h"

#include <QIcon>
#include <QMouseEvent>
#include <QPainter>

#include <functional>
#include <utility>

#include "diy_static.h"
#include "language_font.h"
#include "shell.h"
#include "skin_pictures.h"
#include "skin_rules.h"
#include "updater.h"
#include "web_config.h"

namespace tray {

namespace {

constexpr int kWidth = 447, kHeight = 385;
constexpr QRect kLogoRect(123, 70, 200, 60);  // 1040
constexpr QRect kBadgeRect(187, 140, 72, 22);  // 1148
constexpr QRect kVersionRect(20, 190, kWidth - 40, 26);
constexpr QRect kAboutRect(20, 222, kWidth - 40, 26);
constexpr QRect kLinkRect(20, 300, kWidth - 40, 24);

// The home-page link: underlined text in the link colour that acts on a left click.
class AboutLink final : public QWidget {
 public:
  // The link draws in its own font (the owner sets it).
  AboutLink(QWidget* parent, std::function<QString()> text, std::function<void()> action)
      : QWidget(parent), m_text(std::move(text)), m_action(std::move(action)) {
    setCursor(Qt::PointingHandCursor);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setFont(font());
    p.setPen(QColor(0x0F, 0x92, 0xE5));
    p.drawText(rect(), Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, m_text());
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) m_action();
  }

 private:
  std::function<QString()> m_text;
  std::function<void()> m_action;
};

}  // namespace

int AboutLogoForLanguage(int language) {
  switch (language) {
    case 1:
      return 374;
    case 2:
      return 373;
    default:
      return 372;
  }
}

CAboutDlg::CAboutDlg(IShellOpen* shell, QString version, QWidget* parent)
    : CDiyDialog(kAboutDlgTemplate, parent),
      m_shell(shell),
      m_versionText(version.isEmpty() ? ProgramVersion() : std::move(version)) {
  SetBackgroundImage(kAboutDlgFace);
  SetShowMinimize(false);
  SetPageTop(CaptionHeight());
  setWindowIcon(QIcon(LoadPngResource(128)));
  setFixedSize(kWidth, kHeight);
  m_version = new CDiyStatic(this);
  m_version->setObjectName(QStringLiteral("1066"));
  m_version->setGeometry(kVersionRect);
  m_about = new CDiyStatic(this);
  m_about->setObjectName(QStringLiteral("1067"));
  m_about->setGeometry(kAboutRect);
  m_link = new AboutLink(this, [this] { return m_linkText; }, [this] { OpenHomePage(); });
  m_link->setObjectName(QStringLiteral("1064"));
  m_link->setGeometry(kLinkRect);
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::OnInitDialog() {
  if (m_initialised) return;
  m_initialised = true;
  const int dpi = logicalDpiY();
  m_staticFont = m_static1Font = font();
  SetLanguageFont(m_staticFont, "FONT_ABOUT_STATIC", false, dpi);
  SetLanguageFont(m_static1Font, "FONT_ABOUT_STATIC1", false, dpi);
  m_linkFont = m_staticFont;
  m_linkFont.setUnderline(true);
  m_link->setFont(m_linkFont);
  const StringFormat centred{Qt::AlignHCenter, Qt::AlignVCenter, true, true};
  m_version->SetStaticFont(m_staticFont);
  m_version->SetTextColor(0xFF31B8E4);
  m_version->SetStringFormat(centred);
  m_about->SetStaticFont(m_static1Font);
  m_about->SetTextColor(0xFF878787);
  m_about->SetStringFormat(centred);
}

void CAboutDlg::LoadTexts() {
  m_textsLoaded = true;
  m_version->setText(m_languages->GetString("UI", "ABOUT_STATIC_ABOUT1") + m_versionText);
  m_about->setText(m_languages->GetString("UI", "ABOUT_STATIC_ABOUT2"));
  m_linkText = m_languages->GetString("UI", "ABOUT_STATIC_LINK2");
  SetTitleText(m_languages->GetString("UI", "DIALOG_TITLE"));
  m_link->update();
  update();
}

QString CAboutDlg::HomePageUrl() const {
  return ResolveWebUrl(CurrentWebConfig(), m_languages->GetString("URL", "URL_HOMEPAGE"));
}

bool CAboutDlg::OpenHomePage() { return m_shell && m_shell->OpenUrl(HomePageUrl()); }

int CAboutDlg::exec() {
  OnInitDialog();
  return CDiyDialog::exec();
}

void CAboutDlg::paintEvent(QPaintEvent* event) {
  OnInitDialog();
  if (!m_textsLoaded) LoadTexts();
  CDiyDialog::paintEvent(event);
  QPainter p(this);
  for (auto [picture, rect] : {std::pair{LogoPicture(), kLogoRect}, std::pair{kAboutBadge, kBadgeRect}}) {
    QPixmap pixmap = LoadPngResource(picture);
    if (!pixmap.isNull()) p.drawPixmap(rect.topLeft(), pixmap);
  }
}

}  // namespace tray
