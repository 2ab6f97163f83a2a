// The first-run wizard: its steps as a person sees them (offscreen, in the three
// languages), the list with its buttons, the ways out; then the settings dialog running it
// once at the first start, with the real service and tirvan-central taking its choices.
#include "hermetic.h"
#include "wizard_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dialog_options.h"
#include "diy_static.h"
#include "fake_autostart.h"
#include "folder_picker.h"
#include "language_font.h"
#include "live_service.h"
#include "login_dlg.h"
#include "message_box.h"
#include "no_shell_folder.h"
#include "pictures.h"
#include "qt_app.h"
#include "queued_picker.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "recording_wizard_target.h"
#include "setting_dlg.h"
#include "settings_store.h"
#include "skin_buttons.h"
#include "support/temp_dir.h"
#include "system_harness.h"
#include "web_config.h"

namespace {

using Strings = std::vector<std::string>;

// Closes the next message box that opens, noting its text.
void CloseNextMessageBox(QString* text) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, text] {
    auto* box = qobject_cast<tray::CDiyMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    *text = box->Label()->text();
    box->accept();
    poll->deleteLater();
  });
  poll->start(10);
}

class WizardDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    tray::GetLanguages()->SetLanguage(1);
    tray::GetLanguages()->Release();
    home = QString::fromStdString(tmp.Sub("home"));
    tmp.MakeDir("home");
    oldHome = qEnvironmentVariable("HOME");
    ::setenv("HOME", home.toUtf8().constData(), 1);
  }
  void TearDown() override {
    ::setenv("HOME", oldHome.toUtf8().constData(), 1);
    traytest::ForgetLanguages();
  }
  template <typename T>
  static T* Find(QWidget& w, const char* id) {
    return w.findChild<T*>(QLatin1String(id));
  }
  static std::set<std::string> Shown(QWidget& w) {
    std::set<std::string> ids;
    for (const char* id : {"1036", "1145", "1146", "1143", "1025", "1028", "1033", "1034", "1035", "1076", "1064",
                           "1039", "1029", "1030"}) {
      QWidget* c = Find<QWidget>(w, id);
      if (c && c->isVisible()) ids.insert(id);
    }
    return ids;
  }
  static void Click(QWidget& w, const char* id) {
    auto* b = Find<QAbstractButton>(w, id);
    ASSERT_TRUE(b) << id;
    ASSERT_TRUE(b->isVisible() && b->isEnabled()) << id;
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(b->width() / 2, b->height() / 2));
  }
  static int Rows(tray::CWizardDlg& dlg) { return dlg.FolderList()->topLevelItemCount(); }

  support::TempDir tmp;
  QString home, oldHome;
  traytest::RecordingWizardTarget target;
  traytest::RecordingShell shell;
  traytest::QueuedPicker picker;
};

TEST_F(WizardDlgTest, EachStepShowsItsControlsAndBackThenNextKeepsTheAddedRows) {
  tray::CWizardDlg dlg(&target, &shell, &picker);
  dlg.OnInitDialog();
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  using Ids = std::set<std::string>;
  EXPECT_EQ(Shown(dlg), (Ids{"1036", "1145", "1146", "1143", "1025", "1028", "1029"}));
  EXPECT_EQ(dlg.BackgroundImage(), tray::kWizardFaceStep1);
  EXPECT_EQ(Find<QLineEdit>(dlg, "1025")->text(), home);
  EXPECT_TRUE(Find<QLineEdit>(dlg, "1025")->isReadOnly());
  EXPECT_FALSE(Find<QWidget>(dlg, "1028")->isEnabled());
  EXPECT_TRUE(Find<QLabel>(dlg, "1143")->text().remove(QChar(0x2060)).contains(home + QStringLiteral("/Tirvan")));
  EXPECT_EQ(dlg.StepPicture(), 361);

  Click(dlg, "1029");
  EXPECT_EQ(Shown(dlg), (Ids{"1036", "1033", "1034", "1035", "1039", "1029"}));
  EXPECT_EQ(dlg.BackgroundImage(), tray::kWizardFace);
  ASSERT_EQ(Rows(dlg), 1);
  EXPECT_EQ(dlg.FolderList()->topLevelItem(0)->text(1), home + QStringLiteral("/Tirvan"));
  EXPECT_FALSE(Find<QWidget>(dlg, "1035")->isEnabled());
  picker.answers = {home + QStringLiteral("/Photos")};
  Click(dlg, "1034");
  EXPECT_EQ(picker.titles.back(), QStringLiteral("Choose a folder to share"));
  ASSERT_EQ(Rows(dlg), 2);
  EXPECT_EQ(dlg.FolderList()->topLevelItem(1)->text(0), QStringLiteral("Photos"));

  Click(dlg, "1029");
  EXPECT_EQ(Shown(dlg), (Ids{"1036", "1076", "1064", "1039", "1030"}));
  Click(dlg, "1039");
  EXPECT_EQ(Rows(dlg), 2);
  Click(dlg, "1039");
  EXPECT_EQ(dlg.Logic().Step(), 1);
  Click(dlg, "1029");
  EXPECT_EQ(Rows(dlg), 2);  // the added folder is still listed, as it is still sent
  Click(dlg, "1029");
  Click(dlg, "1064");
  EXPECT_EQ(shell.urls, QStringList{dlg.LinkTarget()});
  EXPECT_TRUE(dlg.LinkTarget().endsWith(QStringLiteral("/download.html?L=en")));
  Click(dlg, "1030");
  EXPECT_EQ(target.calls, (Strings{"SetDefShare " + home.toStdString(), "SetShare " + home.toStdString() + "/Photos"}));
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST_F(WizardDlgTest, OwnChoiceBrowsesAndADuplicateShowsTheBoxAndTwoRowsGoAtOnce) {
  tray::CWizardDlg dlg(&target, &shell, &picker);
  dlg.OnInitDialog();
  dlg.show();
  Click(dlg, "1146");
  EXPECT_TRUE(Find<QWidget>(dlg, "1028")->isEnabled());
  picker.answers = {std::nullopt};  // cancelled: nothing changes
  Click(dlg, "1028");
  EXPECT_EQ(Find<QLineEdit>(dlg, "1025")->text(), home);
  EXPECT_EQ(picker.titles.back(), QStringLiteral("Choose where to keep the data folder"));
  const QString disk = QString::fromStdString(tmp.Sub("disk"));
  picker.answers = {disk};
  Click(dlg, "1028");
  EXPECT_EQ(Find<QLineEdit>(dlg, "1025")->text(), disk);
  Click(dlg, "1029");
  EXPECT_EQ(dlg.FolderList()->topLevelItem(0)->text(1), disk + QStringLiteral("/Tirvan"));

  picker.answers = {home + QStringLiteral("/A"), home + QStringLiteral("/B"), home + QStringLiteral("/A"),
                    QStringLiteral("/etc")};
  Click(dlg, "1034");
  Click(dlg, "1034");
  QString boxText;
  CloseNextMessageBox(&boxText);
  Click(dlg, "1034");  // the duplicate
  EXPECT_EQ(boxText, QStringLiteral("This folder is already shared."));
  EXPECT_EQ(dlg.Messages().size(), 1);
  Click(dlg, "1034");  // a system folder: silently not added
  EXPECT_EQ(Rows(dlg), 3);
  EXPECT_EQ(dlg.Messages().size(), 1);

  // Clicking the data folder's row disables delete; an added row enables it.
  auto click = [&](int row) {
    QTreeWidget* list = dlg.FolderList();
    QRect r = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
  };
  click(0);
  EXPECT_FALSE(Find<QWidget>(dlg, "1035")->isEnabled());
  click(1);
  EXPECT_TRUE(Find<QWidget>(dlg, "1035")->isEnabled());
  dlg.FolderList()->topLevelItem(2)->setSelected(true);
  Click(dlg, "1035");
  EXPECT_EQ(Rows(dlg), 1);
  EXPECT_TRUE(dlg.Logic().Added().empty());
  Click(dlg, "1029");
  Click(dlg, "1030");
  EXPECT_EQ(target.calls, (Strings{"SetDefShare " + disk.toStdString(), "SetShare"}));
}

TEST_F(WizardDlgTest, ClosingOnAnyStepSendsNothing) {
  for (int step = 1; step <= 3; ++step) {
    for (bool escape : {false, true}) {
      traytest::RecordingWizardTarget t;
      tray::CWizardDlg dlg(&t, &shell, &picker);
      QTimer::singleShot(0, &dlg, [&] {
        for (int i = 1; i < step; ++i) dlg.OnBnClickedNext();
        QTest::keyClick(&dlg, Qt::Key_Return);  // Enter ends nothing
        if (escape) {
          QTest::keyClick(&dlg, Qt::Key_Escape);
        } else {
          dlg.CloseButton()->click();
        }
      });
      EXPECT_EQ(dlg.exec(), QDialog::Rejected) << step;
      EXPECT_TRUE(t.calls.empty()) << step;
    }
  }
}

TEST_F(WizardDlgTest, EveryStepInTheThreeLanguages) {
  const QString dir = traytest::ShotDir();
  const char* names[] = {"zh_CN", "en", "zh_TW"};
  const int pictures[] = {359, 361, 360};
  for (int lang = 0; lang < 3; ++lang) {
    tray::GetLanguages()->SetLanguage(lang);
    tray::GetLanguages()->Release();
    tray::CWizardDlg dlg(&target, &shell, &picker);
    dlg.OnInitDialog();
    dlg.show();
    EXPECT_EQ(dlg.StepPicture(), pictures[lang]);
    picker.answers = {home + QStringLiteral("/Photos")};
    for (int step = 1; step <= 3; ++step) {
      if (step == 2) dlg.OnBnClickedAdd();
      dlg.grab().save(dir + QStringLiteral("/wizard_step%1_%2.png").arg(step).arg(QLatin1String(names[lang])));
      if (step < 3) dlg.OnBnClickedNext();
    }
    EXPECT_TRUE(dlg.TextsLoaded());
    // The closing text is not cut, and the link lies whole in the window beside or under it.
    auto* closing = Find<QLabel>(dlg, "1076");
    auto* link = Find<QAbstractButton>(dlg, "1064");
    EXPECT_GE(closing->height(), closing->heightForWidth(closing->width())) << names[lang];
    EXPECT_FALSE(closing->geometry().intersects(link->geometry())) << names[lang];
    EXPECT_TRUE(dlg.rect().contains(link->geometry())) << names[lang];
    EXPECT_GE(link->width(), QFontMetrics(link->font()).horizontalAdvance(link->text())) << names[lang];
    EXPECT_FALSE(Find<QAbstractButton>(dlg, "1064")->text().isEmpty());
  }
  tray::GetLanguages()->SetLanguage(1);
  tray::GetLanguages()->Release();
}

// The wizard looks like the other windows: "Tirvan" as the title and on the face's caption,
// one place and one look for every step's title, the fonts of their language sections, a
// read-only field that looks it, the hint on the face, and the step buttons inside the
// footer where the back button is not the primary one.
TEST_F(WizardDlgTest, OneLayoutForEveryStepInTheFontsOfTheirSections) {
  const char* names[] = {"zh_CN", "en", "zh_TW"};
  for (int lang = 0; lang < 3; ++lang) {
    SCOPED_TRACE(names[lang]);
    tray::GetLanguages()->SetLanguage(lang);
    tray::GetLanguages()->Release();
    tray::CWizardDlg dlg(&target, &shell, &picker);
    dlg.OnInitDialog();
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QApplication::processEvents();
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Tirvan"));
    // The caption carries the name in white where the other windows show their logo, and
    // nothing near its middle.
    auto whitePixels = [](const QImage& shot, const QRect& r) {
      int n = 0;
      for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) n += qGray(shot.pixel(x, y)) > 235;
      return n;
    };
    const QImage face = dlg.grab().toImage();
    EXPECT_GT(whitePixels(face, QRect(8, 8, 76, 22)), 40);
    EXPECT_EQ(whitePixels(face, QRect(380, 8, 76, 22)), 0);

    auto font = [](const char* section, bool underline) {
      QFont f;
      EXPECT_TRUE(tray::SetLanguageFont(f, section, underline, 96)) << section;
      return f;
    };
    const QFont title = font("FONT_WIZARD_STATIC", false), text = font("FONT_WIZARD_STATIC1", false),
                button = font("FONT_WIZARD_BUTTON", false), link = font("FONT_WIZARD_LINK1", true);
    for (const char* id : {"1036", "1076"}) EXPECT_EQ(Find<QWidget>(dlg, id)->font(), title) << id;
    for (const char* id : {"1025", "1143", "1145", "1146"}) EXPECT_EQ(Find<QWidget>(dlg, id)->font(), text) << id;
    for (const char* id : {"1028", "1034", "1035", "1039", "1029", "1030"})
      EXPECT_EQ(Find<QWidget>(dlg, id)->font(), button) << id;
    EXPECT_EQ(Find<QWidget>(dlg, "1064")->font(), link);

    // The hint and the titles draw on the face; the hint's path parts only after a "/".
    auto* hint = Find<QLabel>(dlg, "1143");
    EXPECT_FALSE(hint->autoFillBackground());
    EXPECT_EQ(hint->toolTip(), home + QStringLiteral("/Tirvan"));
    EXPECT_EQ(tray::PathBreakingAtSlashes(QStringLiteral("/ab/cd")),
              QStringLiteral("/a") + QChar(0x2060) + QStringLiteral("b") + QChar(0x2060) + QStringLiteral("/c") +
                  QChar(0x2060) + QStringLiteral("d"));
    // The field: read-only, out of the focus chain, grey rather than white, whole path as
    // its tool tip.
    auto* field = Find<QLineEdit>(dlg, "1025");
    EXPECT_TRUE(field->isReadOnly());
    EXPECT_EQ(field->focusPolicy(), Qt::NoFocus);
    EXPECT_NE(field->palette().color(QPalette::Base), QColor(Qt::white));
    EXPECT_EQ(field->toolTip(), home);

    const int footerTop = dlg.height() - 46;
    const QRect footer(0, footerTop, dlg.width(), 46);
    std::set<std::string> titles;
    for (int step = 1; step <= 3; ++step) {
      dlg.ShowStep(step);
      auto* heading = Find<QLabel>(dlg, "1036");
      titles.insert(std::to_string(heading->x()) + "," + std::to_string(heading->y()) + " " +
                    heading->palette().color(QPalette::WindowText).name().toStdString() +
                    (heading->autoFillBackground() ? " filled" : ""));
      for (const char* id : {"1039", "1029", "1030"}) {
        QWidget* b = Find<QWidget>(dlg, id);
        if (!b->isVisible()) continue;
        EXPECT_TRUE(footer.contains(b->geometry())) << id << " step " << step;
        // Centred in the band, as the settings window's OK and Cancel are in theirs.
        EXPECT_LE(std::abs(b->geometry().center().y() - footer.center().y()), 1) << id;
      }
    }
    EXPECT_EQ(titles.size(), 1u) << *titles.begin();
    // Back, next and finish in one row at the right; back left of the others, with faces
    // of its own.
    auto* back = Find<tray::CColorButton>(dlg, "1039");
    auto* next = Find<tray::CColorButton>(dlg, "1029");
    auto* finish = Find<tray::CColorButton>(dlg, "1030");
    EXPECT_EQ(next->geometry(), finish->geometry());
    EXPECT_EQ(back->y(), next->y());
    EXPECT_LT(back->geometry().right(), next->x());
    EXPECT_LE(dlg.width() - next->geometry().right() - 1, 24);
    EXPECT_NE(back->Pictures().normal, next->Pictures().normal);
    EXPECT_NE(back->TextColor(), next->TextColor());
  }
  tray::GetLanguages()->SetLanguage(1);
  tray::GetLanguages()->Release();
}

// ---- The settings dialog runs the wizard once, against the real service.

class WizardEndToEndTest : public WizardDlgTest {
 protected:
  void SetUp() override {
    WizardDlgTest::SetUp();
    tmp.MakeDir("share");
    tmp.MakeDir("extra");
    systest::ServiceOptions so;
    so.shares = {tmp.Sub("share")};
    ASSERT_NO_FATAL_FAILURE(live.Start(so));
    store = std::make_unique<tray::FileSettingsStore>(QString::fromStdString(tmp.Sub("config/Tirvan/settings.ini")));
    tray::SetSettingsStore(store.get());

    traytest::FillDialogOptions(options, live.ui.get(), &shell, &trayBackend, &autostart, &shellFolder);
    options.folderPicker = &picker;
    options.showWhenNoTray = false;
  }
  void TearDown() override {
    tray::SetSettingsStore(nullptr);
    live.Stop();
    WizardDlgTest::TearDown();
  }
  // Does act to the wizard once it is up, while the returned timer lives.
  [[nodiscard]] static std::unique_ptr<QTimer> WhenWizardRuns(tray::CSettingDlg** dlg,
                                                              std::function<void(tray::CWizardDlg&)> act,
                                                              bool* busy) {
    auto poll = std::make_unique<QTimer>();
    QTimer* timer = poll.get();
    QObject::connect(timer, &QTimer::timeout, [=] {
      if (!*dlg || !(*dlg)->WizardWindow() || !(*dlg)->WizardWindow()->isVisible()) return;
      timer->stop();
      *busy = (*dlg)->Busy() && !(*dlg)->isVisible() && !(*dlg)->LoginWindow()->isVisible();
      act(*(*dlg)->WizardWindow());
    });
    timer->start(10);
    return poll;
  }

  traytest::LiveService live{tmp};
  std::unique_ptr<tray::FileSettingsStore> store;
  traytest::RecordingTray trayBackend;
  traytest::NoAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
};

TEST_F(WizardEndToEndTest, TheFirstStartRunsTheWizardOnceAndTheServiceTakesItsChoices) {
  ASSERT_TRUE(store->CreateKey());
  ASSERT_TRUE(store->SetDword(QStringLiteral("SetupWizard"), 0));
  const QString extra = QString::fromStdString(tmp.Sub("extra"));
  picker.answers = {extra};
  tray::CSettingDlg* current = nullptr;
  bool busy = false;
  QStringList listed;
  auto poll = WhenWizardRuns(&current, [&](tray::CWizardDlg& w) {
    w.OnBnClickedNext();
    for (const auto& row : w.Logic().Rows()) listed << row.path;
    w.OnBnClickedAdd();
    w.OnBnClickedNext();
    w.OnBnClickedFinish();
  }, &busy);
  {
    tray::CSettingDlg dlg(options);
    current = &dlg;
    QCoreApplication::processEvents();  // the start-up steps: the wizard runs modally here
    EXPECT_TRUE(busy);
    EXPECT_FALSE(dlg.Busy());
    EXPECT_EQ(dlg.WizardWindow(), nullptr);
    EXPECT_EQ(store->GetDword(QStringLiteral("SetupWizard")), 1u);
    current = nullptr;
  }
  // Step 2 listed the data folder and the folder the service shared already.
  EXPECT_EQ(listed, QStringList({home + QStringLiteral("/Tirvan"), QString::fromStdString(tmp.Sub("share"))}));

  // A client of its own asks the service what it now holds.
  tray::UIDataOptions o;
  o.startListener = false;
  tray::CUIData check(o);
  check.SetServicePort(live.service->port());
  std::string def;
  ASSERT_EQ(check.GetDefShare(&def), tray::kDefShareSet) << live.service->Log();
  EXPECT_EQ(def, home.toStdString() + "/Tirvan");
  EXPECT_TRUE(QFileInfo(home + QStringLiteral("/Tirvan")).isDir());
  ASSERT_EQ(check.GetShare(), 0);
  const auto& shares = check.ShareList();
  EXPECT_NE(std::find(shares.begin(), shares.end(), extra.toStdString()), shares.end()) << live.service->Log();
  EXPECT_NE(std::find(shares.begin(), shares.end(), tmp.Sub("share")), shares.end());  // kept

  // The next start shows no wizard.
  tray::CSettingDlg again(options);
  QCoreApplication::processEvents();
  EXPECT_EQ(again.WizardWindow(), nullptr);
  EXPECT_EQ(live.service->Reports(), "");
}

TEST_F(WizardEndToEndTest, OnlyAMissingOrZeroValueRunsTheWizardAndClosingItSendsNothing) {
  struct Case {
    const char* name;
    bool key;
    std::optional<uint32_t> value;
    bool runs;
  };
  const Case cases[] = {
      {"no key: no wizard", false, std::nullopt, false},
      {"missing value", true, std::nullopt, true},
      {"0", true, 0u, true},
      {"1", true, 1u, false},
      {"another value", true, 5u, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(store->path());
    if (c.key) {
      ASSERT_TRUE(store->CreateKey());
    }
    if (c.value) {
      ASSERT_TRUE(store->SetDword(QStringLiteral("SetupWizard"), *c.value));
    }
    tray::CSettingDlg* current = nullptr;
    bool busy = false, ran = false;
    auto poll = WhenWizardRuns(&current, [&](tray::CWizardDlg& w) {
      ran = true;
      w.OnBnClickedNext();
      w.CloseButton()->click();
    }, &busy);
    {
      tray::CSettingDlg dlg(options);
      current = &dlg;
      QCoreApplication::processEvents();
      current = nullptr;
    }
    EXPECT_EQ(ran, c.runs);
    EXPECT_EQ(store->KeyExists(), c.key);
    if (c.key) {
      EXPECT_EQ(store->GetDword(QStringLiteral("SetupWizard")), c.runs ? 1u : c.value);
    }
  }
  std::string def;
  tray::UIDataOptions o;
  o.startListener = false;
  tray::CUIData check(o);
  check.SetServicePort(live.service->port());
  check.GetDefShare(&def);
  EXPECT_NE(def, home.toStdString() + "/Tirvan");  // a closed wizard sent nothing
  EXPECT_FALSE(QFileInfo::exists(home + QStringLiteral("/Tirvan")));
}

}  // namespace

namespace {

TEST_F(WizardEndToEndTest, AnExitWhileTheWizardRunsEndsItAndTheStartGoesNoFurther) {
  ASSERT_TRUE(store->CreateKey());
  tray::CSettingDlg* current = nullptr;
  bool busy = false;
  auto poll = WhenWizardRuns(&current, [&](tray::CWizardDlg&) { current->OnExit(); }, &busy);
  tray::CSettingDlg dlg(options);
  current = &dlg;
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  guard.start(20000);
  EXPECT_EQ(QApplication::exec(), 0);  // the program's loop, ended by the exit
  EXPECT_TRUE(busy);
  EXPECT_TRUE(dlg.Exiting());
  EXPECT_FALSE(dlg.Busy());
  EXPECT_FALSE(dlg.LoginWindow()->isVisible());  // no log-on after the exit
  EXPECT_EQ(store->GetDword(QStringLiteral("SetupWizard")), 1u);
  EXPECT_FALSE(QFileInfo::exists(home + QStringLiteral("/Tirvan")));
}

}  // namespace
