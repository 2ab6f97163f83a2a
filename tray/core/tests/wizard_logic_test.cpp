// The first-run wizard's rules: the proposal, the radios, the list with the added folders
// across the steps, and what the finish sends.
#include "wizard_logic.h"

#include <gtest/gtest.h>

#include <QString>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "recording_wizard_target.h"

namespace {

using tray::wizard::WizardLogic;
using Strings = std::vector<std::string>;

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    ::setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (m_old) {
      ::setenv(m_name, m_old->c_str(), 1);
    } else {
      ::unsetenv(m_name);
    }
  }

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

std::vector<QString> Paths(const WizardLogic& w) {
  std::vector<QString> out;
  for (const auto& r : w.Rows()) out.push_back(r.path);
  return out;
}

TEST(WizardProposal, IsTheHomeFolderAndTheProductFolderLiesInIt) {
  const struct {
    const char* home;
    const char* base;
    const char* product;
  } cases[] = {
      {"/home/anna", "/home/anna", "/home/anna/Tirvan"},
      {"/home/anna/", "/home/anna", "/home/anna/Tirvan"},  // no doubled separator
      {"/", "/", "/Tirvan"},
      {"/srv/users/李明", "/srv/users/李明", "/srv/users/李明/Tirvan"},
  };
  for (const auto& c : cases) {
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(tray::wizard::ProposedBase(), QString::fromUtf8(c.base)) << c.home;
    EXPECT_EQ(tray::wizard::ProductFolder(tray::wizard::ProposedBase()), QString::fromUtf8(c.product)) << c.home;
  }
  ScopedEnv relative("HOME", "relative/home");
  EXPECT_TRUE(tray::wizard::ProposedBase().startsWith(QLatin1Char('/')));
}

TEST(WizardShareRules, SystemFoldersAreWholeComponentsAndNamesAreTheLastOne) {
  const struct {
    const char* path;
    bool system;
  } cases[] = {
      {"/usr", true},          {"/usr/share/doc", true}, {"/usrdata", false},
      {"/etc/", true},         {"/var/lib/x", true},     {"/var/library", false},
      {"/var/log", false},     {"/run/user/1000", true}, {"/home/anna/usr", false},
      {"/srv/tirvan/bin", true}, {"/srv/tirvanx", false}, {"/usr/../home/a", false},
      {"/opt/tirvanx", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tray::wizard::IsSystemFolder(QString::fromUtf8(c.path), QStringLiteral("/srv/tirvan")), c.system)
        << c.path;
  }
  EXPECT_FALSE(tray::wizard::IsSystemFolder(QStringLiteral("/srv/tirvan"), QString()));
  EXPECT_TRUE(tray::wizard::IsSystemFolder(QStringLiteral("/opt/other"), QString()));  // the system's programs
  EXPECT_EQ(tray::wizard::FolderDisplayName(QStringLiteral("/home/anna/Photos")), QStringLiteral("Photos"));
  EXPECT_EQ(tray::wizard::FolderDisplayName(QStringLiteral("/home/anna/Photos/")), QStringLiteral("Photos"));
  EXPECT_EQ(tray::wizard::FolderDisplayName(QStringLiteral("/")), QStringLiteral("/"));
}

// What each way through the wizard sends.
TEST(WizardFinish, SendsWhatTheUserChose) {
  const QString proposal = QStringLiteral("/home/anna");
  struct Case {
    const char* name;
    void (*walk)(WizardLogic&);
    Strings sent;
  };
  const Case cases[] = {
      {"default: the proposal itself, not the product folder under it",
       [](WizardLogic& w) { w.Next(); w.Next(); },
       {"SetDefShare /home/anna", "SetShare"}},
      {"own choice without browsing: the proposal",
       [](WizardLogic& w) { w.ChooseOwn(); w.Next(); w.Next(); },
       {"SetDefShare /home/anna", "SetShare"}},
      {"own choice, browsed",
       [](WizardLogic& w) { w.ChooseOwn(); w.Browsed(QStringLiteral("/data/disk")); w.Next(); w.Next(); },
       {"SetDefShare /data/disk", "SetShare"}},
      {"browsed, then the default radio puts the proposal back",
       [](WizardLogic& w) {
         w.ChooseOwn();
         w.Browsed(QStringLiteral("/data/disk"));
         w.ChooseDefault(QStringLiteral("/home/anna"));
         w.Next();
         w.Next();
       },
       {"SetDefShare /home/anna", "SetShare"}},
      {"browsing is off for the default choice",
       [](WizardLogic& w) { w.Browsed(QStringLiteral("/data/disk")); w.Next(); w.Next(); },
       {"SetDefShare /home/anna", "SetShare"}},
      {"added folders, in their order",
       [](WizardLogic& w) {
         w.Next();
         w.Add(QStringLiteral("/home/anna/Photos"));
         w.Add(QStringLiteral("/media/usb/Music"));
         w.Next();
       },
       {"SetDefShare /home/anna", "SetShare /home/anna/Photos /media/usb/Music"}},
      {"an empty chosen folder skips SetDefShare, SetShare still goes",
       [](WizardLogic& w) { w.ChooseOwn(); w.ChooseDefault(QString()); w.Next(); w.Next(); },
       {"SetShare"}},
  };
  for (const Case& c : cases) {
    WizardLogic w(proposal);
    c.walk(w);
    EXPECT_EQ(w.Step(), 3) << c.name;
    traytest::RecordingWizardTarget target;
    w.FinishClicked(&target);
    EXPECT_EQ(target.calls, c.sent) << c.name;
  }
  WizardLogic w(proposal);
  w.Next();
  w.Next();
  w.FinishClicked(nullptr);  // no service client: nothing to send to, and no crash
}

TEST(WizardList, AddRefusesDuplicatesAndSystemFoldersAndDeleteKeepsTheListsTogether) {
  WizardLogic w(QStringLiteral("/home/anna"), QStringLiteral("/opt/tirvan"));
  w.Next();
  ASSERT_EQ(Paths(w), std::vector<QString>{QStringLiteral("/home/anna/Tirvan")});
  EXPECT_EQ(w.Rows()[0].name, QStringLiteral("Tirvan"));
  EXPECT_FALSE(w.DeleteAllowed(0));  // the data folder's own row

  EXPECT_EQ(w.Add(QStringLiteral("/home/anna/A")), tray::wizard::kAdded);
  EXPECT_EQ(w.Add(QStringLiteral("/home/anna/A")), tray::wizard::kAlreadyListed);
  EXPECT_EQ(w.Add(QStringLiteral("/home/anna/Tirvan")), tray::wizard::kAlreadyListed);
  EXPECT_EQ(w.Add(QStringLiteral("/home/anna/a")), tray::wizard::kAdded);  // another folder here
  EXPECT_EQ(w.Add(QStringLiteral("/etc/ssh")), tray::wizard::kSystemFolder);
  EXPECT_EQ(w.Add(QStringLiteral("/opt/tirvan/bin")), tray::wizard::kSystemFolder);
  EXPECT_EQ(w.Add(QStringLiteral("/home/anna/B")), tray::wizard::kAdded);
  EXPECT_EQ(w.Added(), (Strings{"/home/anna/A", "/home/anna/a", "/home/anna/B"}));
  EXPECT_TRUE(w.DeleteAllowed(1));
  EXPECT_FALSE(w.DeleteAllowed(9));

  // Two neighbouring rows at once: both rows and both entries go.
  w.Delete({2, 1});
  EXPECT_EQ(Paths(w), (std::vector<QString>{QStringLiteral("/home/anna/Tirvan"), QStringLiteral("/home/anna/B")}));
  EXPECT_EQ(w.Added(), Strings{"/home/anna/B"});
  // The data folder's row leaves the list only; nothing added goes with it.
  w.Delete({0, 7, -1});
  EXPECT_EQ(Paths(w), std::vector<QString>{QStringLiteral("/home/anna/B")});
  EXPECT_EQ(w.Added(), Strings{"/home/anna/B"});
}

TEST(WizardList, BackThenNextKeepsTheAddedRowsShownAsTheyAreStillSent) {
  WizardLogic w(QStringLiteral("/home/anna"));
  w.Next();
  w.Add(QStringLiteral("/home/anna/A"));
  w.Next();
  w.Back();
  EXPECT_EQ(w.Step(), 2);
  EXPECT_EQ(Paths(w).size(), 2u);  // back to step 2: the list as it was
  w.Back();
  EXPECT_EQ(w.Step(), 1);
  w.Back();
  EXPECT_EQ(w.Step(), 1);
  w.ChooseOwn();
  w.Browsed(QStringLiteral("/data"));
  w.Next();
  EXPECT_EQ(Paths(w), (std::vector<QString>{QStringLiteral("/data/Tirvan"), QStringLiteral("/home/anna/A")}));
  EXPECT_FALSE(w.DeleteAllowed(0));
  EXPECT_TRUE(w.DeleteAllowed(1));
  w.Next();
  w.Next();
  EXPECT_EQ(w.Step(), 3);
  traytest::RecordingWizardTarget target;
  w.FinishClicked(&target);
  EXPECT_EQ(target.calls, (Strings{"SetDefShare /data", "SetShare /home/anna/A"}));
}

// Step 2 lists the folders the service shares, wherever they lie, after the data folder's
// row; the delete button leaves them to the shares page.
TEST(WizardList, TheFoldersSharedAlreadyAreListedAndLeftAlone) {
  tray::wizard::WizardLogic logic(QStringLiteral("/home/anna"), QStringLiteral("/home/anna/tirvan/bin"));
  logic.SetSharedFolders({QStringLiteral("/home/anna/tirvan/Shared"), QStringLiteral("/home/anna/tirvan/Tirvan"),
                          QStringLiteral("/usr/share/doc"), QStringLiteral("/home/anna/Tirvan")});
  logic.Next();
  auto paths = [&] {
    QStringList out;
    for (const auto& r : logic.Rows()) out << r.path;
    return out;
  };
  const QStringList shared = {QStringLiteral("/home/anna/Tirvan"), QStringLiteral("/home/anna/tirvan/Shared"),
                              QStringLiteral("/home/anna/tirvan/Tirvan"), QStringLiteral("/usr/share/doc")};
  EXPECT_EQ(paths(), shared);  // the data folder's row once, first
  for (int row = 0; row < 4; ++row) EXPECT_FALSE(logic.DeleteAllowed(row)) << row;
  EXPECT_EQ(logic.Add(QStringLiteral("/home/anna/tirvan/Shared")), tray::wizard::kAlreadyListed);
  EXPECT_EQ(logic.Add(QStringLiteral("/home/anna/tirvan/bin")), tray::wizard::kSystemFolder);
  EXPECT_EQ(logic.Add(QStringLiteral("/home/anna/Music")), tray::wizard::kAdded);
  EXPECT_TRUE(logic.DeleteAllowed(4));
  logic.Delete({1, 2, 3, 4});
  EXPECT_EQ(paths(), shared);  // only the added row went
  EXPECT_TRUE(logic.Added().empty());
  logic.Back();
  logic.Next();
  EXPECT_EQ(paths(), shared);
}

}  // namespace
