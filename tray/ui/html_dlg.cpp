#include "html_dlg.h"

#include <QMetaObject>
#include <QResizeEvent>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>
#include <QUrl>

#include <mutex>

#include "banner.h"
#include "shell.h"

namespace tray {

namespace {

std::mutex g_sourceMutex;
BannerPictureSource g_source;

QPixmap BannerPicture(int language) {
  {
    std::lock_guard<std::mutex> lock(g_sourceMutex);
    if (g_source) return g_source(language);
  }
  return QPixmap(LocalBannerPicture(language));
}

// The page's browser: the local page's picture comes from the banner's source, and
// nothing else is loaded from anywhere.
class BannerBrowser final : public QTextBrowser {
 public:
  using QTextBrowser::QTextBrowser;
  int language = 1;

  QVariant loadResource(int type, const QUrl& name) override {
    if (type == QTextDocument::ImageResource && name.scheme() == QLatin1String("qrc") &&
        name.path().startsWith(QLatin1String("/banner/"))) {
      QPixmap picture = BannerPicture(language);
      // A strip larger than the picture is filled: scaled to cover it, the overhang cut.
      if (!picture.isNull() && (picture.width() < width() || picture.height() < height())) {
        picture = picture.scaled(size(), Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        picture = picture.copy((picture.width() - width()) / 2, (picture.height() - height()) / 2, width(), height());
      }
      return picture;
    }
    return QVariant();
  }
};

// A page made for a narrower strip fills this one: its tables of a fixed width take the
// strip's whole width, and what the page leaves free below gets the page's own colour
// rather than the browser's pale one.
void FillStrip(QTextBrowser& browser) {
  QTextDocument* doc = browser.document();
  QColor background;
  for (QTextFrame* frame : doc->rootFrame()->childFrames()) {
    QTextFrameFormat format = frame->frameFormat();
    if (qobject_cast<QTextTable*>(frame) && format.width().type() == QTextLength::FixedLength) {
      format.setWidth(QTextLength(QTextLength::PercentageLength, 100));
      frame->setFrameFormat(format);
    }
    if (!background.isValid() && format.background().style() != Qt::NoBrush) background = format.background().color();
  }
  if (!background.isValid() && doc->rootFrame()->frameFormat().background().style() != Qt::NoBrush)
    background = doc->rootFrame()->frameFormat().background().color();
  QPalette palette = browser.palette();
  palette.setColor(QPalette::Base, background.isValid() ? background : QColor(Qt::white));
  browser.setPalette(palette);
}

}  // namespace

void SetBannerPictureSource(BannerPictureSource source) {
  std::lock_guard<std::mutex> lock(g_sourceMutex);
  g_source = std::move(source);
}

CHtmlDlg::CHtmlDlg(QWidget* parent, long timeoutMs) : QWidget(parent), m_timeoutMs(timeoutMs) {
  setFixedSize(kBannerWidth, kBannerHeight);
  auto* browser = new BannerBrowser(this);
  m_browser = browser;
  m_browser->setGeometry(0, 0, kBannerWidth, kBannerHeight);
  m_browser->setFrameShape(QFrame::NoFrame);
  m_browser->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_browser->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_browser->setContextMenuPolicy(Qt::NoContextMenu);
  m_browser->viewport()->setContextMenuPolicy(Qt::NoContextMenu);
  m_browser->setOpenLinks(false);
  m_browser->document()->setDocumentMargin(0);
  connect(m_browser, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
    if (m_shell && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http")))
      m_shell->OpenUrl(url.toString());
  });
}

CHtmlDlg::~CHtmlDlg() {
  m_keepGoing.store(false);
  Reap(true);
}

void CHtmlDlg::Reap(bool all) {
  for (auto it = m_fetches.begin(); it != m_fetches.end();) {
    if (all || it->done->load()) {
      it->thread.join();
      it = m_fetches.erase(it);
    } else {
      ++it;
    }
  }
}

void CHtmlDlg::NavigateUrl(const QString& address, bool local) {
  m_onLocalPage = local;
  const unsigned serial = ++m_serial;
  Reap(false);
  if (local) {
    m_loading = false;
    ShowLocalBanner();
    return;
  }
  m_address = address;
  m_loading = true;
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread t([this, serial, address, done] {
    std::optional<QString> html = FetchBannerPage(address, m_timeoutMs, &m_keepGoing);
    // Queued to the strip's thread; dropped with the strip if it is gone by then.
    QMetaObject::invokeMethod(
        this, [this, serial, html] { OnPageResult(serial, html); }, Qt::QueuedConnection);
    done->store(true);
  });
  m_fetches.push_back({std::move(t), done});
}

void CHtmlDlg::OnPageResult(unsigned serial, const std::optional<QString>& html) {
  if (serial != m_serial) return;  // a later navigation took over
  m_loading = false;
  if (html) {
    m_browser->setHtml(*html);
    m_browser->document()->setDocumentMargin(0);
    FillStrip(*m_browser);
    emit navigated(false);
    return;
  }
  // The page failed: once to the local page, never in a loop.
  if (!m_onLocalPage) NavigateUrl(QString(), true);
}

void CHtmlDlg::ShowLocalBanner() {
  const int language = m_language >= 0 && m_language <= 2 ? m_language : 1;  // else English
  static_cast<BannerBrowser*>(m_browser)->language = language;
  LoadLocalPage(language);
  emit navigated(true);
}

void CHtmlDlg::LoadLocalPage(int language) {
  // The picture is scaled to the strip as it is loaded: a fresh page for the strip's size.
  m_browser->document()->clear();
  m_browser->setHtml(LocalBannerHtml(language));
  m_browser->document()->setDocumentMargin(0);
  FillStrip(*m_browser);
}

void CHtmlDlg::SetStripSize(QSize size) {
  setFixedSize(size);
  m_browser->setGeometry(rect());
  if (m_onLocalPage && !m_loading) LoadLocalPage(static_cast<BannerBrowser*>(m_browser)->language);
}

void CHtmlDlg::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // The page fills the whole strip, whatever size the owner gives it.
  m_browser->setGeometry(rect());
  if (m_onLocalPage && !m_loading && event->oldSize() != event->size())
    LoadLocalPage(static_cast<BannerBrowser*>(m_browser)->language);
}

}  // namespace tray
