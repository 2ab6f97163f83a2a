#include "comm/utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace {

using Strings = std::vector<std::string>;

// Runs each test in a zone with daylight-saving time (Central European rules).
class TimeTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    m_hadTz = old != nullptr;
    if (m_hadTz) m_oldTz = old;
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
  }
  void TearDown() override {
    if (m_hadTz) {
      ::setenv("TZ", m_oldTz.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  bool m_hadTz = false;
  std::string m_oldTz;
};

TEST_F(TimeTextTest, LocalTextsInAndOutOfDaylightSavingTime) {
  EXPECT_EQ(StrToTime("2013-07-05 12:30:45"), 1373020245);  // 10:30:45 UTC, summer time
  EXPECT_EQ(StrToTime("2013-01-05 12:00:00"), 1357383600);  // 11:00:00 UTC, winter time
  EXPECT_EQ(TimeToStr(1373020245), "2013-07-05 12:30:45");
  EXPECT_EQ(TimeToStr(1357383600), "2013-01-05 12:00:00");
  for (int64_t t : {int64_t{0}, int64_t{1373020245}, int64_t{1357383600}, int64_t{1700000000}}) {
    EXPECT_EQ(StrToTime(TimeToStr(t)), t) << t;
  }
}

TEST_F(TimeTextTest, LooseReading) {
  struct Case {
    const char* text;
    const char* expected;  // TimeToStr of the result
  };
  const Case cases[] = {
      {"2013-01-05", "2013-01-05 00:00:00"},
      {"2013-1-5 7:8", "2013-01-05 07:08:00"},
      {"2013-01-05 07", "2013-01-05 07:00:00"},
      {"2013-xx-05", "2012-12-05 00:00:00"},  // month 0 is December before
  };
  for (const Case& c : cases) EXPECT_EQ(TimeToStr(StrToTime(c.text)), c.expected) << c.text;
  EXPECT_EQ(StrToTime("2013-01"), 0);
  EXPECT_EQ(StrToTime(""), 0);
  EXPECT_EQ(StrToTime("20130105 10:00:00"), 0);
}

TEST(NumberTextTest, SignedAndUnsigned) {
  EXPECT_EQ(IntToStr(-5), "-5");
  EXPECT_EQ(IntToStr(INT_MIN), "-2147483648");
  EXPECT_EQ(UIntToStr(4294967295u), "4294967295");
}

TEST(SplitStringTest, Pieces) {
  struct Case {
    std::string text;
    std::string sep;
    Strings expected;
  };
  const Case cases[] = {
      {"", ";", {}},
      {"abc", "", {}},
      {"abc", ";", {"abc"}},
      {"a,b,", ",", {"a", "b", ""}},
      {",a", ",", {"", "a"}},
      {"a||b||", "||", {"a", "b", ""}},
      {"/s/one|/s/two", "|", {"/s/one", "/s/two"}},
  };
  for (const Case& c : cases) {
    Strings out = {"left over"};
    SplitString(c.text, c.sep, out);
    EXPECT_EQ(out, c.expected) << "'" << c.text << "' at '" << c.sep << "'";
  }
}

TEST(StripLastPathPartTest, Cuts) {
  struct Case {
    std::string path;
    bool result;
    std::string expected;
  };
  const Case cases[] = {
      {"C:\\a\\b\\", true, "C:\\a"},
      {"C:\\a", true, "C:"},
      {"\\a", true, "\\a"},
      {"/a", true, "/a"},
      {"/srv/share/a.txt", true, "/srv/share"},
      {"/srv/share/", true, "/srv"},
      {"ab", true, "ab"},
      {"/", false, "/"},
      {"", false, ""},
      {"/" + std::string(258, 'x'), true, "/" + std::string(258, 'x')},
      {"/a/" + std::string(257, 'x'), false, "/a/" + std::string(257, 'x')},  // refused, not cut
  };
  for (const Case& c : cases) {
    std::string path = c.path;
    EXPECT_EQ(StripLastPathPart(path), c.result) << c.path;
    EXPECT_EQ(path, c.expected) << c.path;
  }
}

TEST(HiddenNameTest, DotNamesAndResumeFiles) {
  struct Case {
    const char* name;
    bool hidden;
  };
  const Case cases[] = {
      {".git", true},
      {".", true},
      {"a.txttirvan.rename", true},
      {"a.txttirvan.renametmp", true},
      {"a.txttirvan.rename.(0).rename", true},
      {"a.txttirvan.rename.(12).rename", true},
      {"READMEtirvan.rename.(3)", true},
      {"a.txttirvan.rename.(0).renametmp", true},
      {"a.txt", false},
      {"", false},
      {"a.txt.(0).txt", false},
      {"tirvan.rename.txt", false},
      {"a.txttirvan.rename.(x).rename", false},
      {"a.txttirvan.rename.().rename", false},
      {"a.txttirvan.rename.(1).jpg", false},
      {"a.rename", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsHiddenName(c.name), c.hidden) << c.name;
}

TEST(FileHelpersTest, ExistsAndRemove) {
  support::TempDir dir;
  dir.Write("f.txt", "x");
  dir.MakeDir("empty");
  dir.MakeDir("full/inner");

  EXPECT_EQ(FileExists(dir.Sub("f.txt")), 0);
  EXPECT_EQ(FileExists(dir.Sub("empty")), 0);
  EXPECT_EQ(FileExists(dir.Sub("missing")), -1);
  EXPECT_EQ(FileExists(""), -1);

  EXPECT_EQ(RemoveFile(dir.Sub("missing")), 0);
  EXPECT_EQ(RemoveFile(dir.Sub("missing/deeper")), 0);
  EXPECT_EQ(RemoveFile(dir.Sub("f.txt")), 0);
  EXPECT_EQ(FileExists(dir.Sub("f.txt")), -1);
  EXPECT_EQ(RemoveFile(dir.Sub("empty")), 0);
  EXPECT_EQ(FileExists(dir.Sub("empty")), -1);
  EXPECT_EQ(RemoveFile(dir.Sub("full")), -1);
  EXPECT_EQ(FileExists(dir.Sub("full/inner")), 0);
}

TEST(FileHelpersTest, DirExists) {
  support::TempDir dir;
  dir.Write("f.txt", "x");
  dir.MakeDir("d");
  EXPECT_EQ(DirExists(dir.Sub("d")), 0);
  EXPECT_EQ(DirExists(dir.Sub("d/")), 0);
  EXPECT_EQ(DirExists(dir.Sub("d\\")), 0);
  EXPECT_EQ(DirExists("/"), 0);
  EXPECT_EQ(DirExists(dir.Sub("f.txt")), -1);
  EXPECT_EQ(DirExists(dir.Sub("missing")), -1);
  EXPECT_EQ(DirExists(""), -1);

  // A folder whose path is exactly the limit long exists; a longer path that begins with
  // it is refused instead of being taken as that folder.
  std::string deep = dir.path();
  while (deep.size() + 1 + 100 < kMaxPathLen) {
    deep += "/" + std::string(100, 'd');
    ::mkdir(deep.c_str(), 0755);
  }
  deep += "/" + std::string(kMaxPathLen - deep.size() - 1, 'e');
  ::mkdir(deep.c_str(), 0755);
  ASSERT_EQ(deep.size(), kMaxPathLen);
  EXPECT_EQ(DirExists(deep), 0);
  EXPECT_EQ(DirExists(deep + "/x"), -1);
  EXPECT_EQ(DirExists(deep + "x"), -1);
}

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir.MakeDir("top/sub1");
    m_dir.MakeDir("top/sub2");
    m_dir.MakeDir("top/.hiddendir");
    m_dir.MakeDir("top/a.txttirvan.rename.(0)");  // even a folder with such a name stays out
    m_dir.Write("top/f1.txt", "1");
    m_dir.Write("top/f2 with blank", "2");
    m_dir.Write("top/.dotfile", "x");
    m_dir.Write("top/a.txttirvan.rename", "partial");
    m_dir.Write("top/a.txttirvan.renametmp", "info");
    m_dir.Write("top/a.txttirvan.rename.(0).rename", "partial");
    ::symlink(m_dir.Sub("top/sub1").c_str(), m_dir.Sub("top/linkdir").c_str());
    ::symlink(m_dir.Sub("gone").c_str(), m_dir.Sub("top/dangling").c_str());
    ::mkfifo(m_dir.Sub("top/pipe").c_str(), 0644);
  }

  static Strings Sorted(Strings names) {
    std::sort(names.begin(), names.end());
    return names;
  }

  support::TempDir m_dir;
};

TEST_F(ListingTest, SubDirsAndFilesWithoutHiddenEntries) {
  Strings out = {"left over"};
  EXPECT_EQ(ListSubDirs(m_dir.Sub("top"), out), 0);
  EXPECT_EQ(Sorted(out), (Strings{"linkdir", "sub1", "sub2"}));

  out = {"left over"};
  EXPECT_EQ(ListFiles(m_dir.Sub("top"), out), 0);
  EXPECT_EQ(Sorted(out), (Strings{"dangling", "f1.txt", "f2 with blank"}));

  // A trailing separator is accepted.
  EXPECT_EQ(ListFiles(m_dir.Sub("top/"), out), 0);
  EXPECT_EQ(out.size(), 3u);
}

TEST_F(ListingTest, MissingOrUnreadableFolder) {
  Strings out = {"left over"};
  EXPECT_EQ(ListSubDirs(m_dir.Sub("missing"), out), -1);
  EXPECT_TRUE(out.empty());
  out = {"left over"};
  EXPECT_EQ(ListFiles(m_dir.Sub("top/f1.txt"), out), -1);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(ListFiles("", out), -1);
}

TEST(DriveTest, RootIsTheMountPointHoldingThePath) {
  support::TempDir dir;
  EXPECT_EQ(GetDriveRoot(""), "");
  EXPECT_EQ(GetDriveRoot("/"), "/");
  EXPECT_EQ(GetDriveRoot("/proc/self/status"), "/proc");

  std::string root = GetDriveRoot(dir.path());
  ASSERT_FALSE(root.empty());
  struct stat inside;
  struct stat top;
  ASSERT_EQ(::stat(dir.path().c_str(), &inside), 0);
  ASSERT_EQ(::stat(root.c_str(), &top), 0);
  EXPECT_EQ(inside.st_dev, top.st_dev);
  // A path that does not exist yet belongs to the volume of its nearest existing folder.
  EXPECT_EQ(GetDriveRoot(dir.Sub("not/yet/there.txt")), root);
}

TEST(DriveTest, FreeSpace) {
  support::TempDir dir;
  uint32_t kb = 12345;
  EXPECT_EQ(GetDiskFreeKB("", kb), -1);
  EXPECT_EQ(kb, 12345u);

  ASSERT_EQ(GetDiskFreeKB(dir.Sub("new/file.bin"), kb), 0);
  struct statvfs vfs;
  ASSERT_EQ(::statvfs(dir.path().c_str(), &vfs), 0);
  uint32_t expected = FreeBytesToKB(static_cast<uint64_t>(vfs.f_bfree) * vfs.f_frsize);
  EXPECT_NEAR(static_cast<double>(kb), static_cast<double>(expected), 64.0 * 1024);

  // 5 TiB free: the low 32 bits of the KiB count.
  EXPECT_EQ(FreeBytesToKB(uint64_t{5} << 40), uint32_t{1} << 30);
  EXPECT_EQ(FreeBytesToKB((uint64_t{5} << 40) + 3 * 1024 + 1023), (uint32_t{1} << 30) + 3);
}

TEST(HostNameTest, ClearedAndFilled) {
  std::string name = "left over";
  ASSERT_EQ(GetHostName(name), 0);
  char buf[256] = {};
  ASSERT_EQ(::gethostname(buf, sizeof(buf) - 1), 0);
  EXPECT_EQ(name, buf);
}

TEST(ConvertCharsetTest, ServiceCodeNames) {
  const std::string gb = "\xD6\xD0\xCE\xC4";  // "中文" in GB2312
  EXPECT_EQ(ConvertCharset("gb2312", "utf-8", gb), "中文");
  EXPECT_EQ(ConvertCharset("utf-8", "gb2312//IGNORE", "中\xF0\x9F\x98\x80文"), gb);
  EXPECT_EQ(ConvertCharset("utf-8", "no-such-code", "abc"), "");
  EXPECT_EQ(ConvertCharset("utf-8", "gb2312", std::string("ab\0cd", 5)), "ab");
}

}  // namespace
