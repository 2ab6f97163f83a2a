// The banner strip of the settings, about and update-notice dialogs: the maker's banner
// page for the language, fetched over HTTP(S) in the background and shown in a text
// browser without a context menu; when the page cannot be had, a local page with the
// language's banner picture instead. The owner makes it a child, places it and navigates
// it again after a language change.
#pragma once

#include <QPixmap>
#include <QString>
#include <QTextBrowser>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace tray {

class IShellOpen;

class IBannerView {
 public:
  virtual ~IBannerView() = default;
  // The language (0 to 2) of the local picture.
  virtual void SetLanguage(int language) = 0;
  virtual int Language() const = 0;
  // Shows address (local: the local page at once; else the page, fetched).
  virtual void NavigateUrl(const QString& address, bool local) = 0;
  virtual bool OnLocalPage() const = 0;
};

// What the local page shows for a language; tests hand in fixture pictures, an empty
// function restores the program's resources.
using BannerPictureSource = std::function<QPixmap(int language)>;
void SetBannerPictureSource(BannerPictureSource source);

class CHtmlDlg : public QWidget, public IBannerView {
  Q_OBJECT

 public:
  explicit CHtmlDlg(QWidget* parent = nullptr, long timeoutMs = 5000);
  // Aborts a fetch under way and waits for its thread.
  ~CHtmlDlg() override;

  void SetLanguage(int language) override { m_language = language; }
  int Language() const override { return m_language; }
  void NavigateUrl(const QString& address, bool local) override;
  // The strip's size in the owner (452 x 111 at first): the page and the picture fill it.
  void SetStripSize(QSize size);
  bool OnLocalPage() const override { return m_onLocalPage; }

  // Links in the page open in the user's browser through shell (none: links do nothing).
  void SetShell(IShellOpen* shell) { m_shell = shell; }
  QTextBrowser* Browser() const { return m_browser; }
  QString Address() const { return m_address; }  // the last remote address asked for
  bool IsLoading() const { return m_loading; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 signals:
  // A navigation ended: the remote page is shown (false) or the local one (true).
  void navigated(bool local);

 private:
  void OnPageResult(unsigned serial, const std::optional<QString>& html);
  void ShowLocalBanner();
  void LoadLocalPage(int language);
  void Reap(bool all);

  struct Fetch {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  QTextBrowser* m_browser = nullptr;
  IShellOpen* m_shell = nullptr;
  const long m_timeoutMs;
  int m_language = 0;
  bool m_onLocalPage = false;
  bool m_loading = false;
  unsigned m_serial = 0;  // the navigation whose result counts
  QString m_address;
  std::atomic<bool> m_keepGoing{true};
  std::vector<Fetch> m_fetches;
};

}  // namespace tray
