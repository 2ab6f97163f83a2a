#include "comm/share_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "comm/config_db.h"
#include "comm/errors.h"
#include "comm/sqlite_db.h"
#include "comm/utils.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string ReadSchema() {
  fs::path schema = fs::path(__FILE__).parent_path() / "../../../etc/schema.sql";
  std::ifstream in(schema);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct DefaultFolders {
  std::string def, pic, music, video, doc;
};

std::string Backslashed(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// A real configuration database in a temporary folder, laid out with the shipped schema.
class SharePathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string schema = ReadSchema();
    ASSERT_NE(schema.find("qz_share"), std::string::npos);
    g_DB.OpenFile(m_tmp.Sub("Tirvan.db").c_str());
    g_DB.RunCommand(schema.c_str());
    // Canonical base, so expected texts do not depend on how /tmp is mounted.
    m_root = fs::canonical(m_tmp.path()).string();
    m_cwd = fs::current_path();
  }
  void TearDown() override {
    g_DB.CloseFile();
    SetModulePathForTest("");
    fs::current_path(m_cwd);
  }

  void Shares(const std::vector<std::string>& shares) { ASSERT_EQ(SetShareInfo(shares), 0); }

  void SetDefaults(const DefaultFolders& d) {
    DefShareRecord rec {};
    std::strncpy(rec.def, d.def.c_str(), sizeof rec.def - 1);
    std::strncpy(rec.def_pic, d.pic.c_str(), sizeof rec.def_pic - 1);
    std::strncpy(rec.def_music, d.music.c_str(), sizeof rec.def_music - 1);
    std::strncpy(rec.def_video, d.video.c_str(), sizeof rec.def_video - 1);
    std::strncpy(rec.def_doc, d.doc.c_str(), sizeof rec.def_doc - 1);
    ASSERT_EQ(SetDefaultDir(rec), 0);
  }

  std::string P(const std::string& rel) const { return m_root + "/" + rel; }
  void Dir(const std::string& rel) const { fs::create_directories(P(rel)); }
  void File(const std::string& rel, const std::string& content = "x") const {
    std::ofstream(P(rel), std::ios::binary) << content;
  }
  void Link(const std::string& target, const std::string& rel) const {
    ASSERT_EQ(::symlink(target.c_str(), P(rel).c_str()), 0) << rel;
  }

  support::TempDir m_tmp;
  std::string m_root;
  fs::path m_cwd;
};

TEST_F(SharePathsTest, CheckSharedPathAcceptsOnlyFoldersReallyInsideAShare) {
  Dir("s/share/a/b");
  Dir("s/shared/x");
  Dir("s/shar");
  Dir("s/Share");
  Dir("s/pics/2024");
  Dir("outside");
  File("s/share/f.txt");
  Link(P("outside"), "s/share/out");
  Link(P("s/share/a"), "s/in");
  const std::string S = P("s/share");

  struct Case {
    const char* what;
    std::vector<std::string> shares;
    DefaultFolders defaults;
    std::string folder;
    int want;
  };
  const Case cases[] = {
      {"inside", {S}, {}, S + "/a/b", 0},
      {"the root itself", {S}, {}, S, 0},
      {"the root with a trailing separator", {S}, {}, S + "/", 0},
      {"share stored with a trailing separator", {S + "/"}, {}, S + "/a", 0},
      {"sibling with a common prefix", {S}, {}, P("s/shared/x"), ERR_NOT_IN_SHARE},
      {"the share is a prefix of the folder's name", {P("s/shar")}, {}, S, ERR_NOT_IN_SHARE},
      {"'..' up and out", {S}, {}, S + "/a/../../shared/x", ERR_NOT_IN_SHARE},
      {"'..' that stays inside", {S}, {}, S + "/a/b/..", 0},
      {"'.' components", {S}, {}, S + "/./a/.", 0},
      {"a symlink out", {S}, {}, S + "/out", ERR_NOT_IN_SHARE},
      {"a symlink from outside into the share", {S}, {}, P("s/in"), 0},
      {"a share reached through a symlink", {P("s/in")}, {}, S + "/a/b", 0},
      {"case-sensitive", {S}, {}, P("s/Share"), ERR_NOT_IN_SHARE},
      {"a file", {S}, {}, S + "/f.txt", ERR_PATH_NOT_EXIST},
      {"a missing folder", {S}, {}, S + "/missing", ERR_PATH_NOT_EXIST},
      {"a file, no shares at all", {}, {}, S + "/f.txt", ERR_PATH_NOT_EXIST},
      {"no shares, no default folders", {}, {}, S + "/a", ERR_NOT_IN_SHARE},
      {"empty share and default texts match nothing", {""}, {"", "", "", "", ""}, S + "/a",
       ERR_NOT_IN_SHARE},
      {"a relative share text matches nothing", {"s/share"}, {}, S + "/a", ERR_NOT_IN_SHARE},
      {"inside a default sub-folder", {}, {"", P("s/pics"), "", "", ""}, P("s/pics/2024"), 0},
      {"inside the default folder", {}, {P("s"), "", "", "", ""}, P("s/shared/x"), 0},
      {"backslash device path inside", {S}, {}, Backslashed(S + "/a/b"), 0},
      {"backslash device path outside", {S}, {}, Backslashed(P("s/shared/x")), ERR_NOT_IN_SHARE},
      {"backslash '..' out", {S}, {}, Backslashed(S + "/a/../../shared"), ERR_NOT_IN_SHARE},
      {"backslash share text", {Backslashed(S)}, {}, S + "/a", 0},
  };
  for (const Case& c : cases) {
    Shares(c.shares);
    SetDefaults(c.defaults);
    EXPECT_EQ(CheckSharedPath(c.folder), c.want) << c.what << ": " << c.folder;
  }
}

TEST_F(SharePathsTest, ContainmentOfFoldersNotYetCreated) {
  Dir("s/share/a");
  Dir("outside");
  Link(P("outside"), "s/share/out");
  const std::string S = P("s/share");
  Shares({S});
  SetDefaults({});

  EXPECT_EQ(CanonicalPath(S + "/new/../a/./x/y"), S + "/a/x/y");
  EXPECT_EQ(CanonicalPath(Backslashed(S + "/out/new")), P("outside/new"));
  EXPECT_EQ(CheckPathInShare(S + "/new/deeper"), 0);
  EXPECT_EQ(CheckPathInShare(S + "/new/../../x"), ERR_NOT_IN_SHARE);
  EXPECT_EQ(CheckPathInShare(S + "/out/new"), ERR_NOT_IN_SHARE);
  EXPECT_EQ(CheckPathInShare(S + "/a/../../share/a/new"), 0);
  EXPECT_EQ(CheckPathInShare(""), ERR_NOT_IN_SHARE);
  EXPECT_TRUE(IsPathWithin(S + "/new", S));
  EXPECT_FALSE(IsPathWithin(P("s/sharex"), S));
  EXPECT_TRUE(IsPathWithin(P("anything"), "/"));
  EXPECT_FALSE(IsPathWithin(S, ""));
}

TEST_F(SharePathsTest, ExpandDefaultDirMacro) {
  const DefaultFolders all = {"/d", "/p", "/m", "/v", "/doc"};
  const DefaultFolders someUnset = {"", "", "E:\\m", "", "/doc"};
  struct Case {
    const DefaultFolders* defaults;
    std::string request;
    std::string want;
  };
  const Case cases[] = {
      {&someUnset, "$DEFAULT_MUSIC$\\a", "E:/m/a"},
      {&all, "$DEFAULT_MUSIC$/a/b", "/m/a/b"},
      {&all, "$DEFAULT$", "/d"},
      {&all, "$DEFAULT$\\sub\\x.jpg", "/d/sub/x.jpg"},
      {&all, "$DEFAULT_PIC$", "/p"},
      {&all, "$DEFAULT_VIDEO$\\v", "/v/v"},
      {&all, "$DEFAULT_DOC$", "/doc"},
      {&someUnset, "$DEFAULT$", ""},
      {&someUnset, "$DEFAULT$\\a", ""},
      {&someUnset, "$DEFAULT_PIC$/a", ""},
      {&all, "x$DEFAULT$", "x$DEFAULT$"},
      {&all, "/a/$DEFAULT_PIC$", "/a/$DEFAULT_PIC$"},
      {&all, "$DEFAULT$/a/$DEFAULT$", "/d/a/d"},
      {&all, "$DEFAULT_PIC$/a$DEFAULT$", "/p/a$DEFAULT$"},
      {&all, "$DEFAULT_MUSIC", "$DEFAULT_MUSIC"},
      {&all, "$DEFAULTS$", "$DEFAULTS$"},
      {&all, "\\home\\u\\x", "/home/u/x"},
      {&all, "", ""},
  };
  for (const Case& c : cases) {
    SetDefaults(*c.defaults);
    EXPECT_EQ(ExpandDefaultDirMacro(c.request), c.want) << c.request;
  }
}

TEST_F(SharePathsTest, CreateDirTree) {
  Dir("a");
  File("a/file.txt");

  EXPECT_EQ(CreateDirTree(P("a/b/c")), 0);
  EXPECT_TRUE(IsDirectory(P("a/b")));
  EXPECT_TRUE(IsDirectory(P("a/b/c")));
  struct stat st {};
  ASSERT_EQ(::stat(P("a/b/c").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0700, 0700u);

  EXPECT_EQ(CreateDirTree(P("a/b/c")), 0) << "existing";
  EXPECT_EQ(CreateDirTree(P("a/b/c/")), 0) << "trailing separator";

  EXPECT_EQ(CreateDirTree(Backslashed(P("a/w1/w2"))), 0);
  EXPECT_TRUE(IsDirectory(P("a/w1/w2")));
  EXPECT_FALSE(Exists(Backslashed(P("a/w1/w2"))));

  EXPECT_EQ(CreateDirTree("nosep"), -1);
  EXPECT_EQ(CreateDirTree(""), -1);
  EXPECT_EQ(CreateDirTree(P("a/file.txt/x")), -1) << "a file in the way";

  EXPECT_EQ(CreateDirTree(P("a/b/../escape")), -1);
  EXPECT_FALSE(Exists(P("a/escape")));

  // Fails part-way: the last name is longer than any file system allows.
  std::string tooLong(300, 'n');
  EXPECT_EQ(CreateDirTree(P("a/made/" + tooLong)), -1);
  EXPECT_TRUE(IsDirectory(P("a/made"))) << "folders made before the failure stay";
}

TEST_F(SharePathsTest, ListDirEntriesFoldersFirstWithoutHiddenOrResumeFiles) {
  const std::string F = P("list");
  Shares({F});
  Dir("list/b_dir");
  Dir("list/a_dir");
  Dir("list/.hdir");
  File("list/z.txt", "abc");
  File("list/m.txt", "");
  File("list/A.txt", "12345");
  File("list/.hidden");
  File("list/x.txttirvan.rename");
  File("list/x.txttirvan.renametmp");
  File("list/x.txttirvan.rename.(0).rename");
  Link(P("list/missing-target"), "list/dangling");

  tm when {};
  when.tm_year = 2021 - 1900;
  when.tm_mon = 2;
  when.tm_mday = 4;
  when.tm_hour = 5;
  when.tm_min = 6;
  when.tm_sec = 7;
  when.tm_isdst = -1;
  const time_t stamp = std::mktime(&when);
  timespec times[2] = {{stamp, 0}, {stamp, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, P("list/z.txt").c_str(), times, 0), 0);
  ASSERT_EQ(::utimensat(AT_FDCWD, P("list/a_dir").c_str(), times, 0), 0);

  for (const std::string& folder : {F, F + "/", Backslashed(F)}) {
    std::vector<DirEntry> list;
    int64_t before = std::time(nullptr);
    ListDirEntries(folder, list);
    int64_t after = std::time(nullptr);
    ASSERT_EQ(list.size(), 6u) << folder;
    const char* names[] = {"a_dir", "b_dir", "A.txt", "dangling", "m.txt", "z.txt"};
    const int32_t kinds[] = {0, 0, 1, 1, 1, 1};
    const int64_t sizes[] = {0, 0, 5, 0, 0, 3};
    for (size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i].name, names[i]) << i;
      EXPECT_EQ(list[i].kind, kinds[i]) << names[i];
      EXPECT_EQ(list[i].size, sizes[i]) << names[i];
    }
    EXPECT_EQ(list[0].time, "2021-03-04 05:06:07");
    EXPECT_EQ(list[5].time, "2021-03-04 05:06:07");
    // The dangling symlink cannot be examined: now and 0.
    int64_t dangling = StrToTime(list[3].time);
    EXPECT_GE(dangling, before);
    EXPECT_LE(dangling, after);
  }

  std::vector<DirEntry> appended(1);
  ListDirEntries(F, appended);
  EXPECT_EQ(appended.size(), 7u) << "appends to what the list holds";

  std::vector<DirEntry> none;
  ListDirEntries(P("no-such-folder"), none);
  ListDirEntries("", none);
  EXPECT_TRUE(none.empty());
}

// Symlinks are listed only when they lead to a place within a share, the same share or
// another; the rest cannot be opened and are not shown.
TEST_F(SharePathsTest, ListDirEntriesLeavesOutLinksThatLeadOutOfTheShares) {
  Dir("s/sub");
  Dir("t");
  Dir("outside/deep");
  File("s/a.txt", "12345");
  File("t/b.txt", "123");
  File("outside/secret.txt", "0123456789");
  Shares({P("s"), P("t")});
  Link(P("s/a.txt"), "s/to-a");
  Link("sub", "s/to-sub");
  Link(P("t/b.txt"), "s/to-other-share");
  Link(P("outside/secret.txt"), "s/to-secret");
  Link("../outside/secret.txt", "s/relative-out");
  Link(P("outside/deep"), "s/to-outside-folder");
  Link("/", "s/to-root");
  Link(P("s/missing"), "s/dangling-in");
  Link(P("outside/missing"), "s/dangling-out");
  Link("../../outside/gone", "s/sub/dangling-climb");
  Link("s-loop", "s/s-loop");

  std::vector<DirEntry> list;
  ListDirEntries(P("s"), list);
  std::vector<std::string> names;
  for (const DirEntry& e : list) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"sub", "to-sub", "a.txt", "dangling-in", "to-a",
                                             "to-other-share"}));
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(list[4].size, 5);
  EXPECT_EQ(list[5].size, 3);
  std::vector<DirEntry> sub;
  ListDirEntries(P("s/sub"), sub);
  EXPECT_TRUE(sub.empty());
}

TEST_F(SharePathsTest, SizesBeyondFourGiBAreExactInsideAndClampedOnTheWire) {
  Dir("big");
  const int64_t huge = (5LL << 30) + 7;
  const int64_t large = 3LL << 30;
  File("big/huge.bin", "");
  File("big/large.bin", "");
  ASSERT_EQ(::truncate(P("big/huge.bin").c_str(), huge), 0);
  ASSERT_EQ(::truncate(P("big/large.bin").c_str(), large), 0);
  std::vector<DirEntry> list;
  ListDirEntries(P("big"), list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "huge.bin");
  EXPECT_EQ(list[0].size, huge);
  EXPECT_EQ(DirEntryWireSize(list[0]), 0xFFFFFFFFu) << "clamped, not wrapped to 1 GiB";
  EXPECT_EQ(list[1].size, large);
  EXPECT_EQ(DirEntryWireSize(list[1]), 3221225472u);

  DirEntry e;
  e.size = 0xFFFFFFFFLL;
  EXPECT_EQ(DirEntryWireSize(e), 0xFFFFFFFFu);
  e.size = 0xFFFFFFFELL;
  EXPECT_EQ(DirEntryWireSize(e), 0xFFFFFFFEu);
  e.size = -1;
  EXPECT_EQ(DirEntryWireSize(e), 0u);
}

TEST_F(SharePathsTest, CleanRenameTempFilesDeletesOnlyResumeFilesWithoutAShell) {
  // Folder names full of characters a command interpreter would act on.
  const std::string doc = "docs; touch PWNED1 $(touch PWNED2) `touch PWNED3` 'q' \"dq\" & x";
  const std::string kinds[] = {doc, "pic", "video", "music"};
  Dir("def");
  for (const std::string& k : kinds) Dir("def/" + k);
  SetDefaults({P("def"), P("def/pic"), P("def/music"), P("def/video"), P("def/" + doc)});

  const std::string doomed[] = {
      "a b.jpgtirvan.rename",
      "a b.jpgtirvan.renametmp",
      "it's \"quoted\"; rm -rf ..tirvan.rename",
      "$(touch PWNED4)tirvan.renametmp",
      "tirvan.rename",
  };
  const std::string kept[] = {"keep.txt", "x.tirvan.rename.bak", "tirvan.renamex"};
  for (const std::string& k : kinds) {
    for (const std::string& n : doomed) File("def/" + k + "/" + n);
    for (const std::string& n : kept) File("def/" + k + "/" + n);
    Dir("def/" + k + "/sub");
    File("def/" + k + "/sub/y.jpgtirvan.rename");
    Dir("def/" + k + "/folder.tirvan.rename");
  }
  File("def/root.jpgtirvan.rename");
  File("target.txt", "precious");
  Link(P("target.txt"), "def/pic/link.tirvan.rename");

  fs::current_path(m_root);
  CleanRenameTempFiles();

  for (const std::string& k : kinds) {
    for (const std::string& n : doomed) EXPECT_FALSE(Exists(P("def/" + k + "/" + n))) << k << n;
    for (const std::string& n : kept) EXPECT_TRUE(Exists(P("def/" + k + "/" + n))) << k << n;
    EXPECT_TRUE(Exists(P("def/" + k + "/sub/y.jpgtirvan.rename"))) << "not recursive";
    EXPECT_TRUE(IsDirectory(P("def/" + k + "/folder.tirvan.rename"))) << "folders stay";
  }
  EXPECT_TRUE(Exists(P("def/root.jpgtirvan.rename"))) << "the default folder itself is not cleaned";
  EXPECT_TRUE(Exists(P("def/pic/link.tirvan.rename"))) << "only regular files";
  EXPECT_EQ(m_tmp.Read("target.txt"), "precious");
  for (const char* mark : {"PWNED1", "PWNED2", "PWNED3", "PWNED4"}) {
    EXPECT_FALSE(Exists(P(mark))) << mark;
    EXPECT_FALSE(Exists(P("def/" + doc + "/" + mark))) << mark;
  }
}

TEST_F(SharePathsTest, DeleteFilesBySuffixAcceptsEitherSeparatorAndNeedsOne) {
  Dir("d");
  File("d/one.tmpx");
  File("d/two.tmpx");
  File("d/three.tmpx");
  DeleteFilesBySuffix(P("d"), ".tmpx");
  EXPECT_FALSE(Exists(P("d/one.tmpx")));
  File("d/one.tmpx");
  DeleteFilesBySuffix(Backslashed(P("d")) + "\\", "two.tmpx");
  EXPECT_FALSE(Exists(P("d/two.tmpx")));
  EXPECT_TRUE(Exists(P("d/one.tmpx")));

  fs::current_path(m_root);
  DeleteFilesBySuffix("d", ".tmpx");
  EXPECT_TRUE(Exists(P("d/one.tmpx"))) << "a folder text without separator deletes nothing";
  DeleteFilesBySuffix(P("d"), "");
  EXPECT_TRUE(Exists(P("d/one.tmpx"))) << "an empty suffix deletes nothing";
  DeleteFilesBySuffix(P("missing"), ".tmpx");
}

TEST_F(SharePathsTest, InstallRootFromTheProgramPath) {
  struct Case {
    std::string exe;
    int moduleRc;
    std::string module;
    int rootRc;
    std::string root;
  };
  const Case cases[] = {
      {"/opt/tirvan/bin/TirvanClient", 0, "/opt/tirvan/bin", 0, "/opt/tirvan"},
      {"/opt/my tirvan/bin/TirvanClient", 0, "/opt/my tirvan/bin", 0, "/opt/my tirvan"},
      {"/bin/TirvanClient", 0, "/bin", 0, "/"},
      {"/TirvanClient", 0, "/", -1, ""},
      {"TirvanClient", -1, "", -1, ""},
  };
  for (const Case& c : cases) {
    SetModulePathForTest(c.exe);
    std::string module = "stale", root = "stale";
    EXPECT_EQ(GetModuleDir(module), c.moduleRc) << c.exe;
    EXPECT_EQ(module, c.module) << c.exe;
    EXPECT_EQ(GetInstallRoot(root), c.rootRc) << c.exe;
    EXPECT_EQ(root, c.root) << c.exe;
  }

  SetModulePathForTest("");
  std::string module, root;
  ASSERT_EQ(GetModuleDir(module), 0);
  EXPECT_EQ(module, fs::canonical("/proc/self/exe").parent_path().string());
  ASSERT_EQ(GetInstallRoot(root), 0);
  EXPECT_EQ(root, fs::path(module).parent_path().string());
}

}  // namespace
