// The whole program on a real X desktop: Xvfb with trayer as the tray, the built service
// under the built-in service manager with tirvan-central and tirvan-web, and Tirvan
// itself. The test works it as a person does, with the mouse and the keyboard through
// xdotool: the tray icon opens the settings window, the tabs switch pages, the tray menu
// asks for an update and the exit; the screenshots of the windows are compared with the
// program's own pictures and kept in the build folder (tray/desktop-shots).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QImage>

#include <cstdlib>
#include <memory>
#include <string>

#include "pictures.h"
#include "platform/service_manager.h"
#include "shot_match.h"
#include "skin_rules.h"
#include "support/temp_dir.h"
#include "support/web_peer.h"
#include "system_harness.h"
#include "x_session.h"

namespace {

namespace skin = tray::skin;
using xtest::MatchShare;
using xtest::Picture;
using xtest::XWindow;

// Generous: under -j8 and the sanitizers the program takes seconds to start and paint.
constexpr int kStartMs = 60000;
constexpr int kWindowMs = 30000;
constexpr int kClickRetryMs = 5000;  // a click the window system may drop is repeated then
constexpr double kPictureShare = 0.9;

const QSize kSettingsSize(484, 426);

uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

std::string ShotDir() {
  static const std::string dir = [] {
    std::string d = TIRVAN_DESKTOP_SHOT_DIR;
    QDir().mkpath(QString::fromStdString(d));
    return d;
  }();
  return dir;
}

// A strip of a picture that the program draws nothing over: its left and right ends, where
// a centred label does not reach.
QRect LeftEnd(const QImage& p, int width = 10) { return QRect(0, 0, width, p.height()); }
QRect RightEnd(const QImage& p, int width = 10) { return QRect(p.width() - width, 0, width, p.height()); }

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = xtest::XSession::Missing();
    if (!missing.empty()) {
      // CI installs them (scripts/install-deps.sh); only a bare machine may lack them.
      if (std::getenv("CI")) FAIL() << "missing in CI: " << missing;
      GTEST_SKIP() << "the desktop test needs " << missing << " (scripts/install-deps.sh installs them)";
    }
    tray::InitPictures();

    ASSERT_TRUE(central.Start()) << central.Output();
    tmp.MakeDir("share");
    tmp.MakeDir("home");
    tmp.MakeDir("site");
    // tirvan-web offers no newer version than this one: the manual check says so.
    tmp.Write("site/manifest",
              "/tirvan/update-pc.html body={\"version\":\"0.0.0.1\",\"down\":\"{base}/none\","
              "\"md5\":\"0\",\"size\":\"1\"}\n");
    tmp.MakeDir("ca");
    support::TestCa ca;
    std::string error;
    ASSERT_TRUE(support::MakeTestCa(tmp.Sub("ca"), &ca, &error)) << error;
    web = std::make_unique<support::WebPeer>(
        TIRVAN_WEB_BIN,
        std::vector<std::string>{"--manifest", tmp.Sub("site/manifest"), "--cert", ca.certFile, "--key", ca.keyFile},
        tmp.Sub("web.log"), true);
    ASSERT_TRUE(web->ok()) << web->Log();

    const std::string trayLoginPort = std::to_string(FreePort());
    systest::ServiceOptions options;
    options.central = &central;
    options.shares = {tmp.Sub("share")};
    options.env = {{"TIRVAN_TRAY_LOGIN_PORT", trayLoginPort}};
    service = std::make_unique<systest::Service>(tmp, options);
    const uint16_t servicePort = FreePort();
    platform::CommandResult set = platform::RunCommand(
        {"sqlite3", service->DbPath(), "update qz_conf set localport=" + std::to_string(servicePort)}, 10000);
    ASSERT_EQ(set.exitCode, 0) << set.err;

    ASSERT_TRUE(x.Start(tmp.path(), kStartMs, &error)) << error;

    // The program's environment: the X display, its own home, runtime and config, no
    // session bus (a socket that does not exist), the service's ports, tirvan-web.
    for (const char* v : {"QT_QPA_PLATFORMTHEME", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE", "WAYLAND_DISPLAY",
                          "SESSION_MANAGER"}) {
      ::unsetenv(v);
    }
    for (auto [k, v] : std::initializer_list<std::pair<const char*, std::string>>{
             {"QT_QPA_PLATFORM", "xcb"},
             {"QT_XCB_GL_INTEGRATION", "none"},
             {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + tmp.Sub("no-session-bus")},
             {"HOME", tmp.Sub("home")},
             {"XDG_RUNTIME_DIR", tmp.Sub("home")},
             {"XDG_CONFIG_HOME", tmp.Sub("home/.config")},
             {"XDG_DATA_HOME", tmp.Sub("home/.local/share")},
             {"TIRVAN_TRAY_LOG", tmp.Sub("tray.log")},
             {"TIRVAN_SERVICE_PORT", std::to_string(servicePort)},
             {"TIRVAN_TRAY_LOGIN_PORT", trayLoginPort},
             {"TIRVAN_WEB_BASE", web->base()},
             {"TIRVAN_BLOG_BASE", web->base()},
             {"TIRVAN_WEB_CA", ca.caFile}}) {
      ::setenv(k, v.c_str(), 1);
    }
    ::chmod(tmp.Sub("home").c_str(), 0700);
  }

  platform::ServiceState State() const {
    platform::ServiceManagerOptions o;
    o.stateDir = tmp.Sub("scm");
    platform::ServiceStatus status;
    auto m = platform::OpenBuiltinServiceManager(o);
    return m->QueryStatus("Tirvan", &status).ok() ? status.state : platform::ServiceState::kStopped;
  }
  std::string TrayLog() const { return systest::ReadFile(tmp.Sub("tray.log")); }
  std::string Story() const { return "\n--- tray log\n" + TrayLog() + "\n--- output\n" + (tray ? tray->Output() : ""); }

  // The program's icon docked in trayer's panel.
  std::optional<XWindow> TrayIcon() const {
    std::optional<XWindow> panel = x.TrayPanel();
    if (!panel) return std::nullopt;
    for (const XWindow& w : x.Tree(panel->id)) {
      if (w.klass != "Tirvan" || w.rect.width() < 8 || w.rect.height() < 8) continue;
      std::optional<XWindow> now = x.Window(w.id);
      if (now && now->viewable) return now;
    }
    return std::nullopt;
  }

  // The program's shown top-level window for which is() holds, once there is one.
  std::optional<XWindow> WaitWindow(const std::function<bool(const XWindow&)>& is, int ms = kWindowMs) const {
    std::optional<XWindow> found;
    systest::WaitUntil([&] {
      for (const XWindow& w : x.Visible("Tirvan")) {
        if (is(w)) {
          found = w;
          return true;
        }
      }
      return false;
    }, ms, 50);
    return found;
  }
  static bool IsSettings(const XWindow& w) { return w.rect.size() == kSettingsSize; }

  // Clicks at a place until done() holds: the window system may drop a click made while
  // the window under it is still being mapped.
  bool ClickUntil(const std::function<QPoint()>& where, int button, const std::function<bool()>& done,
                  int ms = kWindowMs) const {
    return systest::WaitUntil([&] {
      if (!x.Click(where(), button)) return false;
      return systest::WaitUntil(done, kClickRetryMs, 50);
    }, ms);
  }

  // The tray menu, opened with a right click on the icon.
  std::optional<XWindow> OpenTrayMenu() const {
    std::optional<XWindow> menu;
    auto isMenu = [](const XWindow& w) { return !IsSettings(w) && w.rect.height() > 100 && w.rect.width() > 80; };
    ClickUntil([&] { return TrayIcon() ? TrayIcon()->rect.center() : QPoint(); }, 3, [&] {
      menu = WaitWindow(isMenu, 200);
      return menu.has_value();
    });
    return menu;
  }

  // A screenshot of the window, written to the shot folder as name and read back.
  QImage Shot(const XWindow& w, const std::string& name) const {
    const std::string path = ShotDir() + "/" + name;
    EXPECT_TRUE(x.Shot(w.id, path)) << name;
    return QImage(QString::fromStdString(path));
  }
  // Waits until a fresh screenshot of the window satisfies ok(); returns the last one.
  QImage ShotWhen(const XWindow& w, const std::string& name, const std::function<bool(const QImage&)>& ok) const {
    QImage last;
    systest::WaitUntil([&] {
      last = Shot(w, name);
      return !last.isNull() && ok(last);
    }, kWindowMs, 100);
    return last;
  }

  support::TempDir tmp;
  systest::Central central{tmp, "pc@tirvan.test", "pc-password"};
  std::unique_ptr<support::WebPeer> web;
  std::unique_ptr<systest::Service> service;
  xtest::XSession x;
  std::unique_ptr<xtest::Proc> tray;
};

// The settings window's tabs: their places and the face each shows while not selected.
struct Tab {
  int id;
  QRect rect;
  int idleFace;
};
const Tab kTabs[] = {{1138, QRect(1, 156, 121, 31), 308},
                     {1049, QRect(122, 156, 121, 31), 311},
                     {1133, QRect(243, 156, 121, 31), 308},
                     {1048, QRect(364, 156, 121, 31), 310}};
constexpr int kSelectedTabFace = 338;

// How much the tab at index shows of a face: both ends, where its centred label is not.
double TabShows(const QImage& shot, int index, int face) {
  const QImage p = Picture(face);
  const QPoint at = kTabs[index].rect.topLeft();
  return std::min(MatchShare(shot, at, p, LeftEnd(p)), MatchShare(shot, at, p, RightEnd(p)));
}

// The face of the settings window where the account page draws nothing: the band under
// the caption and over the tabs, and the bottom below the page.
void ExpectSettingsFace(const QImage& shot) {
  const QImage face = Picture(337);
  ASSERT_FALSE(face.isNull());
  EXPECT_EQ(shot.size(), face.size());
  EXPECT_GE(MatchShare(shot, {0, 0}, face, QRect(12, 60, 460, 90)), kPictureShare);
  EXPECT_GE(MatchShare(shot, {0, 0}, face, QRect(12, 350, 460, 64)), kPictureShare);
}

TEST_F(DesktopTest, TrayIconSettingsPagesUpdateBoxAndExit) {
  tray = std::make_unique<xtest::Proc>(std::vector<std::string>{TIRVAN_TRAY_PROGRAM}, tmp.Sub("tray.out"));

  // The program starts the service, which logs on through tirvan-central; the icon docks.
  ASSERT_TRUE(systest::WaitUntil([&] { return TrayLog().find("logged on as pc@tirvan.test") != std::string::npos; },
                                 kStartMs))
      << Story();
  std::optional<XWindow> icon;
  ASSERT_TRUE(systest::WaitUntil([&] { return (icon = TrayIcon()).has_value(); }, kStartMs)) << Story();
  EXPECT_EQ(TrayLog().find("no system tray"), std::string::npos) << Story();
  if (std::optional<XWindow> panel = x.TrayPanel()) Shot(*panel, "tray_panel.png");

  // A left click opens the settings window on the account page.
  std::optional<XWindow> settings;
  ASSERT_TRUE(ClickUntil([&] { return icon->rect.center(); }, 1, [&] {
    return (settings = WaitWindow(IsSettings, 200)).has_value();
  })) << Story();
  QImage shot = ShotWhen(*settings, "settings_account.png",
                         [](const QImage& s) { return TabShows(s, 0, kSelectedTabFace) >= kPictureShare; });
  ExpectSettingsFace(shot);
  EXPECT_GE(TabShows(shot, 0, kSelectedTabFace), kPictureShare);
  for (int i = 1; i < 4; ++i) EXPECT_GE(TabShows(shot, i, kTabs[i].idleFace), kPictureShare) << kTabs[i].id;
  const QImage button = Picture(340);
  EXPECT_GE(MatchShare(shot, {40, 300}, button, LeftEnd(button, 8)), kPictureShare);

  // A click on a tab selects its page: the tab takes the selected face, the others their
  // own. The account page is reached again last.
  for (int i : {1, 2, 3, 0}) {
    const QPoint at = settings->rect.topLeft() + kTabs[i].rect.center();
    const std::string name = "settings_page_" + std::to_string(kTabs[i].id) + ".png";
    ASSERT_TRUE(ClickUntil([&] { return at; }, 1, [&] {
      return TabShows(Shot(*settings, name), i, kSelectedTabFace) >= kPictureShare;
    })) << kTabs[i].id << Story();
    shot = Shot(*settings, name);
    for (int j = 0; j < 4; ++j) {
      if (j == i) continue;
      EXPECT_GE(TabShows(shot, j, kTabs[j].idleFace), kPictureShare) << kTabs[i].id << " " << kTabs[j].id;
    }
  }
  ExpectSettingsFace(shot);

  // The menu's update item: tirvan-web offers no newer version, and a box says so.
  std::optional<XWindow> menu = OpenTrayMenu();
  ASSERT_TRUE(menu) << Story();
  Shot(*menu, "tray_menu.png");
  // With no item active, Up goes to the last one; from the bottom: exit, switch account,
  // about, feedback, help, update.
  ASSERT_TRUE(x.Key({"Up", "Up", "Up", "Up", "Up", "Up", "Return"}));
  const QImage boxFace = Picture(skin::kMessageBoxFace);
  std::optional<XWindow> box = WaitWindow([&](const XWindow& w) { return w.rect.size() == boxFace.size(); });
  ASSERT_TRUE(box) << Story();
  EXPECT_GE(web->Requests("/tirvan/update-pc.html"), 1) << web->Log();
  const QImage okFace = Picture(skin::kMessageButtonNormal);
  const skin::MessageBoxButtons layout =
      skin::MessageBoxButtonsFor(skin::kMessageBoxOk, boxFace.width(), okFace.width());
  ASSERT_TRUE(layout.okShown);
  const QPoint okAt(layout.okX, skin::kMessageButtonY);
  shot = ShotWhen(*box, "message_box_no_update.png",
                  [&](const QImage& s) { return MatchShare(s, okAt, okFace, LeftEnd(okFace, 6)) >= kPictureShare; });
  EXPECT_GE(MatchShare(shot, okAt, okFace, LeftEnd(okFace, 6)), kPictureShare);
  EXPECT_GE(MatchShare(shot, okAt, okFace, RightEnd(okFace, 6)), kPictureShare);
  EXPECT_GE(MatchShare(shot, {0, 0}, boxFace, QRect(10, okAt.y() + okFace.height() + 4, boxFace.width() - 20, 8)),
            kPictureShare);
  // Its OK button closes it.
  ASSERT_TRUE(ClickUntil([&] { return box->rect.topLeft() + okAt + QPoint(okFace.width() / 2, okFace.height() / 2); },
                         1, [&] { return !WaitWindow([&](const XWindow& w) { return w.id == box->id; }, 50); }))
      << Story();

  // The menu's exit item ends the program, which stops the service.
  menu = OpenTrayMenu();
  ASSERT_TRUE(menu) << Story();
  ASSERT_TRUE(x.Key({"Up", "Return"}));
  std::optional<int> status = tray->WaitExit(kStartMs);
  ASSERT_TRUE(status) << Story();
  EXPECT_EQ(*status, 0) << Story();
  EXPECT_NE(TrayLog().find("Tirvan exits"), std::string::npos) << Story();
  EXPECT_TRUE(systest::WaitUntil([&] { return State() == platform::ServiceState::kStopped; }, kStartMs));
  EXPECT_EQ(systest::CrashReports(tray->Output()), "");
}

}  // namespace
