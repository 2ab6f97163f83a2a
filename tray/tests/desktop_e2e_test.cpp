// The whole program on a real X desktop: Xvfb with trayer as the tray, the built service
// under the built-in service manager with tirvan-central and tirvan-web, and Tirvan
// itself. The test works it as a person does, with the mouse and the keyboard through
// xdotool: the tray icon opens the settings window, the tabs switch pages, the shares
// page's add button takes a folder typed into the folder browser, the tray menu asks for
// an update, the account switch logs on again with the README's demo account typed into
// the login window, and the exit; the screenshots of the windows and the message boxes are
// compared with the program's own pictures and kept in the build folder
// (tray/desktop-shots). A first start shows the first-run wizard, in each language.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "pictures.h"
#include "platform/service_manager.h"
#include "program_env.h"
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
// The shares page's add button, on the dialog.
const QRect kAddButton(20, 390, 80, 26);
// The dialog's OK button, in its footer.
const QRect kOkButton(276, 388, 89, 30);

// The demo account the README names and scripts/run.sh creates: both must name the same.
struct DemoAccount {
  std::string email, password;
};
std::string SourceText(const std::string& relative) {
  std::ifstream in(std::string(TIRVAN_SOURCE_DIR) + "/" + relative);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}
std::optional<DemoAccount> ReadmeAccount() {
  const std::string readme = SourceText("README.md");
  std::smatch m;
  if (!std::regex_search(readme, m, std::regex(R"(demo\s+account\s+\(([^,\s]+),\s+password\s+([^,:;\s]+)[,:;])"))) {
    return std::nullopt;
  }
  return DemoAccount{m[1], m[2]};
}
std::optional<DemoAccount> RunScriptAccount() {
  const std::string script = SourceText("scripts/run.sh");
  std::smatch email, password;
  if (!std::regex_search(script, email, std::regex(R"(TIRVAN_DEMO_EMAIL:-([^}]+)\})")) ||
      !std::regex_search(script, password, std::regex(R"(TIRVAN_DEMO_PASSWORD:-([^}]+)\})"))) {
    return std::nullopt;
  }
  return DemoAccount{email[1], password[1]};
}

// The login window's face and its controls, as placed on it.
constexpr int kLoginFace = 232;
const QRect kLoginAccount(skin::DialogUnitRect(63, 37, 142, 12));
const QRect kLoginPassword(skin::DialogUnitRect(63, 62, 142, 12));
// The account switch's question: its size and its OK button.
const QSize kSwitchSize(355, 197);
const QRect kSwitchOk(67, 155, 89, 30);

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

    ASSERT_TRUE(readme = ReadmeAccount()) << "README.md names no demo account";
    ASSERT_TRUE(central.AddAccount(readme->email, readme->password)) << central.Output();
    ASSERT_TRUE(central.Start()) << central.Output();
    tmp.MakeDir("share");
    tmp.MakeDir("home");
    tmp.MakeDir("site");
    tmp.MakeDir("Holiday");
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

    std::string trayLoginPort;
    ASSERT_NO_FATAL_FAILURE(traytest::InstallProgramService(tmp, central, &service, &servicePort, &trayLoginPort));

    ASSERT_TRUE(x.Start(tmp.path(), kStartMs, &error)) << error;

    // The program's environment: the X display, its own home, runtime and config, no
    // session bus (a socket that does not exist), the service's ports, tirvan-web.
    for (const char* v : {"QT_QPA_PLATFORMTHEME", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE", "WAYLAND_DISPLAY",
                          "SESSION_MANAGER"}) {
      ::unsetenv(v);
    }
    traytest::SetProgramEnvironment(tmp, servicePort, trayLoginPort,
                                    {{"QT_QPA_PLATFORM", "xcb"},
                                     {"QT_XCB_GL_INTEGRATION", "none"},
                                     {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + tmp.Sub("no-session-bus")},
                                     {"TIRVAN_WEB_BASE", web->base()},
                                     {"TIRVAN_BLOG_BASE", web->base()},
                                     {"TIRVAN_WEB_CA", ca.caFile}});
  }

  platform::ServiceState State() const { return traytest::ProgramServiceState(tmp); }
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

  // Clicks a command of the logged-on tray menu at its row: the rows follow the menu's
  // layout inside a one-pixel frame. False when the menu's height is not the layout's.
  bool ClickMenuItem(const XWindow& menu, unsigned command) const {
    int y = 1, at = -1;
    for (unsigned entry : skin::MenuLayout(skin::kMenuLoggedOn)) {
      const int height = skin::MenuItemSize(entry == 0, 0).height();
      if (entry == command) at = y + height / 2;
      y += height;
    }
    if (menu.rect.height() != y + 1 || at < 0) {
      ADD_FAILURE() << "menu " << menu.rect.height() << " high, the layout " << y + 1;
      return false;
    }
    return x.Click(menu.rect.topLeft() + QPoint(menu.rect.width() / 2, at));
  }

  // A screenshot of the window, written to the shot folder as name and read back.
  // It is taken in the test's own folder and renamed into place, so a copy of the test
  // running at the same time never reads a half-written one.
  QImage Shot(const XWindow& w, const std::string& name) const {
    const std::string path = tmp.Sub(name);
    EXPECT_TRUE(x.Shot(w.id, path)) << name;
    const std::string kept = ShotDir() + "/" + name;
    const std::string part = kept + "." + std::to_string(::getpid());
    if (QFile::copy(QString::fromStdString(path), QString::fromStdString(part))) {
      std::rename(part.c_str(), kept.c_str());
    }
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

  // The program's message box: its face and its OK button in their places on a screenshot
  // kept as name; then its OK button closes it.
  void CheckMessageBoxAndClose(const std::string& name) const {
    const QImage boxFace = Picture(skin::kMessageBoxFace);
    std::optional<XWindow> box = WaitWindow([&](const XWindow& w) { return w.rect.size() == boxFace.size(); });
    ASSERT_TRUE(box) << name << Story();
    const QImage okFace = Picture(skin::kMessageButtonNormal);
    const skin::MessageBoxButtons layout =
        skin::MessageBoxButtonsFor(skin::kMessageBoxOk, boxFace.width(), okFace.width());
    ASSERT_TRUE(layout.okShown);
    const QPoint okAt(layout.okX, skin::kMessageButtonY);
    QImage shot = ShotWhen(*box, name, [&](const QImage& s) {
      return MatchShare(s, okAt, okFace, LeftEnd(okFace, 6)) >= kPictureShare;
    });
    EXPECT_EQ(shot.size(), boxFace.size()) << name;
    EXPECT_GE(MatchShare(shot, okAt, okFace, LeftEnd(okFace, 6)), kPictureShare) << name;
    EXPECT_GE(MatchShare(shot, okAt, okFace, RightEnd(okFace, 6)), kPictureShare) << name;
    EXPECT_GE(MatchShare(shot, {0, 0}, boxFace, QRect(10, okAt.y() + okFace.height() + 4, boxFace.width() - 20, 6)),
              kPictureShare)
        << name;
    EXPECT_GE(MatchShare(shot, {0, 0}, boxFace, QRect(10, 40, boxFace.width() - 20, 12)), kPictureShare) << name;
    const QPoint okCentre = box->rect.topLeft() + okAt + QPoint(okFace.width() / 2, okFace.height() / 2);
    EXPECT_TRUE(ClickUntil([&] { return okCentre; }, 1, [&] {
      return !WaitWindow([&](const XWindow& w) { return w.id == box->id; }, 50);
    })) << name << Story();
  }

  // The settings window, opened with the tray menu's first command (a left click on the
  // icon opens the data folder once logged on).
  std::optional<XWindow> OpenSettings() const {
    std::optional<XWindow> menu = OpenTrayMenu();
    if (!menu || !ClickMenuItem(*menu, skin::kCmdSettings)) return std::nullopt;
    return WaitWindow(IsSettings);
  }

  // The folder browser of the shares page's add button, answered by typing the path: the
  // browser is the desktop's folder dialog, a window of the program's own.
  bool AddShareThroughPage(const XWindow& settings, const std::string& folder, const std::string& shotName) const {
    auto isPicker = [](const XWindow& w) { return !IsSettings(w) && w.rect.width() > 300 && w.rect.height() > 200; };
    std::optional<XWindow> picker;
    const QPoint add = settings.rect.topLeft() + kAddButton.center();
    if (!ClickUntil([&] { return add; }, 1, [&] { return (picker = WaitWindow(isPicker, 200)).has_value(); })) {
      return false;
    }
    Shot(*picker, shotName);
    // The dialog's name field has the focus within it; the window needs the keyboard. Keys
    // sent while the dialog is still settling may miss the field: the path is typed again
    // (over what the field holds) until the dialog takes it.
    auto gone = [&] { return !WaitWindow([&](const XWindow& w) { return w.id == picker->id; }, 50); };
    return systest::WaitUntil([&] {
      if (!x.Focus(picker->id) || !x.Key({"ctrl+a"}) || !x.Type(folder) || !x.Key({"Return"})) return false;
      return systest::WaitUntil(gone, kClickRetryMs, 50);
    }, kWindowMs);
  }

  std::vector<std::string> DeviceShares() const {
    platform::CommandResult r = platform::RunCommand(
        {systest::DeviceProgram(), "--port", std::to_string(servicePort), "--timeout", "10000", "shares"}, 30000);
    std::vector<std::string> out;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  // The account switch from the tray menu, then a log-on through the login window with the
  // account typed as a person types it.
  void SwitchAccountAndLogOn(const DemoAccount& account) const {
    std::optional<XWindow> menu = OpenTrayMenu();
    ASSERT_TRUE(menu) << Story();
    ASSERT_TRUE(ClickMenuItem(*menu, skin::kCmdSwitchAccount));
    std::optional<XWindow> question = WaitWindow([](const XWindow& w) { return w.rect.size() == kSwitchSize; });
    ASSERT_TRUE(question) << Story();
    Shot(*question, "switch_account_question.png");
    const QImage loginFace = Picture(kLoginFace);
    auto isLogin = [&](const XWindow& w) { return w.rect.size() == loginFace.size(); };
    std::optional<XWindow> login;
    ASSERT_TRUE(ClickUntil([&] { return question->rect.topLeft() + kSwitchOk.center(); }, 1,
                           [&] { return (login = WaitWindow(isLogin, 50)).has_value(); }))
        << Story();
    Shot(*login, "login_switched.png");
    // The window takes the keyboard, then each field gets its text by a click and typing;
    // Enter logs on. A box instead means the login window refused the account.
    ShotWhen(*login, "login_switched.png", [&](const QImage& shot) {
      return MatchShare(shot, {0, 0}, loginFace, QRect(0, loginFace.height() - 12, loginFace.width(), 6)) >= kPictureShare;
    });
    ASSERT_TRUE(x.Focus(login->id)) << Story();
    const QPoint at = login->rect.topLeft();
    ASSERT_TRUE(x.Click(at + kLoginAccount.center()));
    ASSERT_TRUE(x.Key({"ctrl+a", "BackSpace"}) && x.Type(account.email));
    ASSERT_TRUE(x.Click(at + kLoginPassword.center()));
    ASSERT_TRUE(x.Key({"ctrl+a", "BackSpace"}) && x.Type(account.password));
    Shot(*login, "login_readme_account.png");
    ASSERT_TRUE(x.Key({"Return"}));
    const std::string loggedOn = "logged on as " + account.email;
    bool refused = false;
    EXPECT_TRUE(systest::WaitUntil([&] {
      if (std::optional<XWindow> box = WaitWindow([](const XWindow& w) { return w.rect.size() == kSwitchSize; }, 1)) {
        Shot(*box, "login_refused.png");
        refused = true;
        return true;
      }
      return TrayLog().find(loggedOn) != std::string::npos;
    }, kStartMs)) << Story();
    ASSERT_FALSE(refused) << "the login window refused " << account.email << " (login_refused.png)" << Story();
    // The central server has the PC under that account, and the login window went.
    EXPECT_TRUE(systest::WaitUntil([&] {
      std::optional<Json::Value> pc = central.Station();
      return pc && (*pc)["loggedOn"].asBool() && (*pc)["email"].asString() == account.email;
    }, kStartMs)) << central.Output();
    EXPECT_TRUE(systest::WaitUntil([&] { return !WaitWindow(isLogin, 50); }, kWindowMs)) << Story();
  }

  support::TempDir tmp;
  std::optional<DemoAccount> readme;
  systest::Central central{tmp, "pc@tirvan.test", "pc-password"};
  std::unique_ptr<support::WebPeer> web;
  std::unique_ptr<systest::Service> service;
  xtest::XSession x;
  std::unique_ptr<xtest::Proc> tray;
  uint16_t servicePort = 0;
};


// How much the tab at index shows of a face: both ends, where its centred label is not.
double TabShows(const QImage& shot, int index, int face) {
  const QImage p = Picture(face);
  const QPoint at = kTabs[index].rect.topLeft();
  return std::min(MatchShare(shot, at, p, LeftEnd(p)), MatchShare(shot, at, p, RightEnd(p)));
}

// The settings window's face where no page draws, between the banner and the tabs, and
// the banner strip under the caption: the local banner of the language (tirvan-web has no
// banner page here). The strip's web view places and scales the picture itself, so it is
// looked for near the strip's corner and matched loosely.
void ExpectSettingsFace(const QImage& shot) {
  const QImage face = Picture(337);
  ASSERT_FALSE(face.isNull());
  EXPECT_EQ(shot.size(), face.size());
  EXPECT_GE(MatchShare(shot, {0, 0}, face, QRect(12, 154, 460, 2)), kPictureShare);
  const QImage banner(QStringLiteral(":/banner/en.png"));
  ASSERT_FALSE(banner.isNull());
  const QPoint at = xtest::BestPlace(shot, banner, QRect(0, 0, 120, 111), QRect(0, 30, 8, 20));
  EXPECT_GE(MatchShare(shot, at, banner, banner.rect()), 0.75) << at.x() << "," << at.y();
}

TEST_F(DesktopTest, TrayIconSettingsPagesSharesMessageBoxesAndExit) {
  tray = std::make_unique<xtest::Proc>(std::vector<std::string>{TIRVAN_TRAY_PROGRAM}, tmp.Sub("tray.out"));

  // The program starts the service, which logs on through tirvan-central; the icon docks.
  ASSERT_TRUE(systest::WaitUntil([&] { return TrayLog().find("logged on as pc@tirvan.test") != std::string::npos; },
                                 kStartMs))
      << Story();
  std::optional<XWindow> icon;
  ASSERT_TRUE(systest::WaitUntil([&] { return (icon = TrayIcon()).has_value(); }, kStartMs)) << Story();
  EXPECT_EQ(TrayLog().find("no system tray"), std::string::npos) << Story();
  if (std::optional<XWindow> panel = x.TrayPanel()) Shot(*panel, "tray_panel.png");
  // The icon of the logged-on state, not the logged-off one, scaled to the tray's slot and
  // centred in it.
  {
    auto shows = [&](const QImage& s, int id) {
      const int side = std::min(s.width(), s.height());
      const QImage p = Picture(id, true).scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
      return MatchShare(s, {(s.width() - side) / 2, (s.height() - side) / 2}, p, p.rect(), 48);
    };
    QImage s = ShotWhen(*icon, "tray_icon.png", [&](const QImage& i) { return shows(i, 368) >= 0.8; });
    EXPECT_GE(shows(s, 368), 0.8);
    EXPECT_GT(shows(s, 368), shows(s, 174) + 0.1);
  }

  // The tray menu's first command opens the settings window.
  std::optional<XWindow> settings = OpenSettings();
  ASSERT_TRUE(settings) << Story();
  // It opens on one page: one tab shows the selected face, the others their own.
  int selected = -1;
  QImage shot = ShotWhen(*settings, "settings_opened.png", [&](const QImage& s) {
    for (int i = 0; i < 4; ++i) {
      if (TabShows(s, i, kSelectedTabFace) >= kPictureShare) selected = i;
    }
    return selected >= 0;
  });
  ASSERT_GE(selected, 0) << Story();
  ExpectSettingsFace(shot);
  for (int i = 0; i < 4; ++i) {
    if (i == selected) continue;
    EXPECT_GE(TabShows(shot, i, kTabs[i].idleFace), kPictureShare) << kTabs[i].id;
  }

  // A click on a tab selects its page: the tab takes the selected face, the others their
  // own. The shares page is reached last.
  for (int i : {0, 2, 3, 1}) {
    const QPoint at = settings->rect.topLeft() + kTabs[i].rect.center();
    const std::string name = "settings_page_" + std::to_string(kTabs[i].id) + ".png";
    ASSERT_TRUE(ClickUntil([&] { return at; }, 1, [&] {
      return TabShows(Shot(*settings, name), i, kSelectedTabFace) >= kPictureShare;
    })) << kTabs[i].id << Story();
    shot = Shot(*settings, name);
    ExpectSettingsFace(shot);
    for (int j = 0; j < 4; ++j) {
      if (j == i) continue;
      EXPECT_GE(TabShows(shot, j, kTabs[j].idleFace), kPictureShare) << kTabs[i].id << " " << kTabs[j].id;
    }
    if (i == 0) {  // the account page: its switch button, and the face right of its texts
      const QImage button = Picture(340);
      EXPECT_GE(MatchShare(shot, {40, 300}, button, LeftEnd(button, 8)), kPictureShare);
      EXPECT_GE(MatchShare(shot, {0, 0}, Picture(337), QRect(260, 195, 210, 175)), kPictureShare);
    }
  }

  // The shares page: a folder picked in the add button's browser is listed, and OK sends
  // it to the service, which offers it to a device.
  const std::string holiday = tmp.Sub("Holiday");
  ASSERT_TRUE(AddShareThroughPage(*settings, holiday, "folder_picker.png")) << Story();
  shot = Shot(*settings, "settings_share_added.png");
  // The add button under the pointer shows its hover face.
  const QImage addFace = Picture(346);
  EXPECT_GE(MatchShare(shot, kAddButton.topLeft(), addFace, LeftEnd(addFace, 6)), kPictureShare);
  EXPECT_TRUE(ClickUntil([&] { return settings->rect.topLeft() + kOkButton.center(); }, 1,
                         [&] { return !WaitWindow(IsSettings, 50); }))
      << Story();
  EXPECT_TRUE(systest::WaitUntil([&] {
    std::vector<std::string> shares = DeviceShares();
    return std::find(shares.begin(), shares.end(), holiday) != shares.end();
  }, kWindowMs)) << service->Log();

  // The same folder once more: a box says it is shared already.
  settings = OpenSettings();
  ASSERT_TRUE(settings) << Story();
  ASSERT_TRUE(AddShareThroughPage(*settings, holiday, "folder_picker_again.png")) << Story();
  CheckMessageBoxAndClose("message_box_same_folder.png");

  // The menu's update item: tirvan-web offers no newer version, and a box says so.
  std::optional<XWindow> menu = OpenTrayMenu();
  ASSERT_TRUE(menu) << Story();
  Shot(*menu, "tray_menu.png");
  ASSERT_TRUE(ClickMenuItem(*menu, skin::kCmdUpdate));
  CheckMessageBoxAndClose("message_box_no_update.png");
  EXPECT_GE(web->Requests("/tirvan/update-pc.html"), 1) << web->Log();

  // The account switch: the README's demo account, typed into the login window, logs on.
  std::optional<DemoAccount> script = RunScriptAccount();
  ASSERT_TRUE(script) << "scripts/run.sh names no demo account";
  EXPECT_EQ(script->email, readme->email);
  EXPECT_EQ(script->password, readme->password);
  ASSERT_NO_FATAL_FAILURE(SwitchAccountAndLogOn(*readme));

  // The menu's exit item ends the program, which stops the service.
  menu = OpenTrayMenu();
  ASSERT_TRUE(menu) << Story();
  ASSERT_TRUE(ClickMenuItem(*menu, skin::kCmdExit));
  std::optional<int> status = tray->WaitExit(kStartMs);
  ASSERT_TRUE(status) << Story();
  EXPECT_EQ(*status, 0) << Story();
  EXPECT_NE(TrayLog().find("Tirvan exits"), std::string::npos) << Story();
  EXPECT_TRUE(systest::WaitUntil([&] { return State() == platform::ServiceState::kStopped; }, kStartMs));
  EXPECT_EQ(systest::CrashReports(tray->Output()), "");
}

// The first-run wizard on the real desktop in each language: the window system knows it as
// "Tirvan", its face shows the name on the caption, its step button sits inside the
// footer; the close button ends it. Its screenshots are kept as wizard_<language>.png.
TEST_F(DesktopTest, TheFirstRunWizardInTheThreeLanguages) {
  const char* names[] = {"ch", "en", "tw"};
  const QImage face = Picture(358);  // the wizard's first step
  ASSERT_FALSE(face.isNull());
  for (int language = 0; language < 3; ++language) {
    SCOPED_TRACE(names[language]);
    // A settings file whose wizard has not run, in the language to show.
    const std::string config = tmp.Sub("home/.config/Tirvan");
    QDir().mkpath(QString::fromStdString(config));
    tmp.Write("home/.config/Tirvan/settings.ini",
              "[Tirvan]\nLanguage=dword:" + std::to_string(language) + "\nSetupWizard=dword:0\n");
    tray = std::make_unique<xtest::Proc>(std::vector<std::string>{TIRVAN_TRAY_PROGRAM},
                                         tmp.Sub("tray-" + std::string(names[language]) + ".out"));
    std::optional<XWindow> wizard =
        WaitWindow([&](const XWindow& w) { return w.rect.size() == face.size(); }, kStartMs);
    ASSERT_TRUE(wizard) << Story();
    EXPECT_EQ(wizard->name, "Tirvan");
    const QImage next = Picture(366);
    const QPoint nextAt(face.width() - 20 - next.width(), face.height() - 46 + (46 - next.height()) / 2);
    QImage shot = ShotWhen(*wizard, std::string("wizard_") + names[language] + ".png", [&](const QImage& s) {
      return MatchShare(s, nextAt, next, LeftEnd(next, 6)) >= kPictureShare;
    });
    EXPECT_GE(MatchShare(shot, nextAt, next, LeftEnd(next, 6)), kPictureShare);
    EXPECT_GE(MatchShare(shot, {0, 0}, face, QRect(8, 8, 76, 22)), kPictureShare);  // the name on the caption
    const QPoint close = wizard->rect.topLeft() + skin::CloseButtonRect(face.width()).center();
    EXPECT_TRUE(ClickUntil([&] { return close; }, 1,
                           [&] { return !WaitWindow([&](const XWindow& w) { return w.id == wizard->id; }, 50); }))
        << Story();
    tray->Stop();
  }
}

}  // namespace
