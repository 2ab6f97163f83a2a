#include "comm/log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "platform/thread.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class LogTest : public ::testing::Test {
 protected:
  std::string LogPath() const { return m_dir.Sub("Log.txt"); }
  std::string Text() const { return m_dir.Read("Log.txt"); }
  // Rotated files (Log.txt.<14 digits>) by name.
  std::map<std::string, std::string> Rotated() const {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(m_dir.path())) {
      std::string name = e.path().filename().string();
      if (name.rfind("Log.txt.", 0) == 0) out[name] = m_dir.Read(name);
    }
    return out;
  }

  support::TempDir m_dir;
  CLog m_log;
};

TEST_F(LogTest, LineFormat) {
  ASSERT_TRUE(m_log.Open(LogPath(), 600, false));
  m_log.Print(MOD_COMMLIB, LOG_ERROR, "OS_Init", 82, "Init %s error.", "communication server");
  std::string tid = std::to_string(platform::CurrentThreadId());
  std::regex want(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[CommLib OS_Init 82\]\[)" + tid +
                  R"(\]\[ERROR\] Init communication server error\.\n)");
  EXPECT_TRUE(std::regex_match(Text(), want)) << Text();
}

TEST_F(LogTest, MacroNamesTheCallingFunction) {
  ASSERT_TRUE(g_Log.Open(LogPath(), 600, false));
  TLOG(MOD_SHOW, LOG_INFO, "n=%d", 5);
  g_Log.Close();
  EXPECT_NE(Text().find("[Show TestBody "), std::string::npos) << Text();
  EXPECT_NE(Text().find("[INFO] n=5\n"), std::string::npos);
}

TEST_F(LogTest, ThresholdAndLevelWords) {
  const std::vector<std::pair<unsigned, const char*>> levels = {
      {300, "ERROR"}, {400, "WARNING"}, {500, "OTHER"}, {600, "INFO"}, {700, "DEBUG"}};
  for (unsigned threshold : {0u, 300u, 499u, 500u, 600u, 700u}) {
    SCOPED_TRACE("threshold " + std::to_string(threshold));
    fs::remove(LogPath());
    ASSERT_TRUE(m_log.Open(LogPath(), threshold, false));
    for (const auto& [prio, word] : levels) m_log.Print("USER", prio, "f", 1, "p%u", prio);
    m_log.Close();
    std::string text = Text();
    for (const auto& [prio, word] : levels) {
      std::string line = std::string("[") + word + "] p" + std::to_string(prio) + "\n";
      EXPECT_EQ(text.find(line) != std::string::npos, prio <= threshold) << line;
    }
  }
  EXPECT_STREQ(PriorityName(0), "OTHER");
  EXPECT_STREQ(PriorityName(301), "OTHER");
}

TEST_F(LogTest, NothingIsWrittenWithoutAFile) {
  testing::internal::CaptureStdout();
  m_log.Print(MOD_COMMLIB, LOG_ERROR, "f", 1, "before open");
  ASSERT_TRUE(m_log.Open(LogPath(), 700, true));
  m_log.Print(nullptr, LOG_ERROR, "f", 1, "no module");
  m_log.Print(MOD_COMMLIB, LOG_ERROR, nullptr, 1, "no function");
  m_log.Close();
  m_log.Print(MOD_COMMLIB, LOG_ERROR, "f", 1, "after close");
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Text(), "");

  CLog failed;
  EXPECT_FALSE(failed.Open(m_dir.Sub("missing/Log.txt"), 700, false));
  failed.Print(MOD_COMMLIB, LOG_ERROR, "f", 1, "open failed");  // dropped, no crash
}

TEST_F(LogTest, ConsoleEchoOnlyWhenAsked) {
  for (bool console : {true, false}) {
    ASSERT_TRUE(m_log.Open(LogPath(), 700, console));
    testing::internal::CaptureStdout();
    m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "echo %d", console);
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    if (console) {
      EXPECT_NE(out.find("[INFO] echo 1\n"), std::string::npos) << out;
    } else {
      EXPECT_EQ(out, "");
    }
  }
}

TEST_F(LogTest, LongMessagesAreWrittenWhole) {
  ASSERT_TRUE(m_log.Open(LogPath(), 700, false));
  for (size_t size : {1023u, 1024u, 1025u, 4097u, 70000u}) {
    std::string big(size, 'x');
    big.back() = 'E';
    // Arguments after the long one catch a reused argument list on the retry.
    m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "<%s|%d|%s>", big.c_str(), 12345, "tail");
    std::string want = "] <" + big + "|12345|tail>\n";
    EXPECT_NE(Text().find(want), std::string::npos) << "size " << size;
  }
}

TEST_F(LogTest, RotatesOnlyPastTheLimit) {
  // Sparse files of the real limit, and of one byte more.
  for (uint64_t size : {CLog::kDefaultSizeLimit, CLog::kDefaultSizeLimit + 1}) {
    SCOPED_TRACE(size);
    for (const auto& [name, body] : Rotated()) fs::remove(m_dir.Sub(name));
    fs::remove(LogPath());
    m_dir.Write("Log.txt", "");
    fs::resize_file(LogPath(), size);
    ASSERT_TRUE(m_log.Open(LogPath(), 700, false));
    m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "next line");
    m_log.Close();

    auto rotated = Rotated();
    if (size == CLog::kDefaultSizeLimit) {
      EXPECT_TRUE(rotated.empty());
      EXPECT_GT(fs::file_size(LogPath()), size);
    } else {
      ASSERT_EQ(rotated.size(), 1u);
      const std::string& name = rotated.begin()->first;
      EXPECT_TRUE(std::regex_match(name, std::regex(R"(Log\.txt\.\d{14})"))) << name;
      EXPECT_EQ(rotated.begin()->second.size(), size);
      auto lines = Lines(Text());
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_NE(lines[0].find("next line"), std::string::npos);
    }
  }
}

TEST_F(LogTest, RotationNeverOverwritesAnEarlierRotatedFile) {
  ASSERT_TRUE(m_log.Open(LogPath(), 700, false));
  m_log.SetSizeLimit(10);
  m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "line A");
  m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "line B");  // rotates A away
  auto first = Rotated();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_NE(first.begin()->second.find("line A"), std::string::npos);
  // Further rotations within the same second find the name taken and keep writing.
  for (const char* l : {"line C", "line D", "line E"}) {
    m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "%s", l);
  }
  m_log.Close();

  auto all = Rotated();
  EXPECT_EQ(all[first.begin()->first], first.begin()->second);
  all["Log.txt"] = Text();
  for (const char* l : {"line A", "line B", "line C", "line D", "line E"}) {
    int found = 0;
    for (const auto& [name, body] : all) {
      for (const auto& line : Lines(body)) found += line.find(l) != std::string::npos;
    }
    EXPECT_EQ(found, 1) << l;
  }
}

TEST_F(LogTest, FailedReopenIsRetriedOnLaterLines) {
  m_dir.MakeDir("log");
  std::string path = m_dir.Sub("log/Log.txt");
  ASSERT_TRUE(m_log.Open(path, 700, false));
  m_log.SetSizeLimit(10);
  m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "line A");
  // The folder goes away under the open file: rotation cannot rename or reopen.
  fs::remove_all(m_dir.Sub("log"));
  m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "line B");
  m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "line C");
  m_dir.MakeDir("log");
  m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "line D");
  m_log.Close();
  auto lines = Lines(m_dir.Read("log/Log.txt"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("line D"), std::string::npos);
}

TEST_F(LogTest, ConcurrentLinesStayWhole) {
  ASSERT_TRUE(m_log.Open(LogPath(), 700, false));
  m_log.SetSizeLimit(64 * 1024);  // rotations happen while threads write
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kLines; ++i) {
        std::string pad(static_cast<size_t>((i * 37 + t * 11) % 900), static_cast<char>('a' + t));
        m_log.Print(MOD_COMMLIB, LOG_INFO, "worker", t, "t%d i%d %s.", t, i, pad.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  m_log.Close();

  auto files = Rotated();
  files["Log.txt"] = Text();
  std::regex shape(
      R"(\[[0-9: -]{19}\]\[CommLib worker (\d)\]\[\d+\]\[INFO\] t(\d) i(\d+) ([a-h]*)\.)");
  std::set<std::pair<int, int>> seen;
  for (const auto& [name, body] : files) {
    ASSERT_TRUE(body.empty() || body.back() == '\n') << name;
    for (const auto& line : Lines(body)) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 200);
      int t = std::stoi(m[2]);
      int i = std::stoi(m[3]);
      EXPECT_EQ(std::stoi(m[1]), t);
      EXPECT_EQ(m[4].length(), (i * 37 + t * 11) % 900);
      EXPECT_TRUE(seen.emplace(t, i).second) << "twice: " << line.substr(0, 80);
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

TEST_F(LogTest, RepeatedLinesAreCollapsedIntoACount) {
  ASSERT_TRUE(m_log.Open(LogPath(), 700, false));
  m_log.SetRepeatWindow(60000);
  for (int i = 0; i < 3; ++i) m_log.Print(MOD_COMMLIB, LOG_ERROR, "Accept", 7, "Got an error %d.", 24);
  // Another line, or the same one from another source line, is written at once.
  m_log.Print(MOD_COMMLIB, LOG_ERROR, "Accept", 7, "Got an error %d.", 23);
  m_log.Print(MOD_COMMLIB, LOG_ERROR, "Accept", 8, "Got an error %d.", 24);
  auto lines = Lines(Text());
  ASSERT_EQ(lines.size(), 3u) << Text();
  EXPECT_NE(lines[0].find("Got an error 24."), std::string::npos);
  // Counts still open are written when the file closes.
  m_log.Close();
  lines = Lines(Text());
  ASSERT_EQ(lines.size(), 4u) << Text();
  EXPECT_TRUE(std::regex_search(lines[3], std::regex(R"(\[CommLib Accept 7\]\[\d+\]\[ERROR\] )"
                                                     R"(Got an error 24\. \(2 more times\)$)")))
      << lines[3];

  // Once the window has passed, the count goes out before the next line, and a repeat is
  // written again.
  ASSERT_TRUE(m_log.Open(LogPath(), 700, false));
  m_log.SetRepeatWindow(100);
  m_log.Print(MOD_COMMLIB, LOG_INFO, "g", 1, "again");
  m_log.Print(MOD_COMMLIB, LOG_INFO, "g", 1, "again");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  m_log.Print(MOD_COMMLIB, LOG_INFO, "g", 1, "again");
  lines = Lines(Text());
  ASSERT_EQ(lines.size(), 7u) << Text();
  EXPECT_NE(lines[5].find("] again (1 more times)"), std::string::npos) << lines[5];
  EXPECT_NE(lines[6].find("] again"), std::string::npos);

  // A flood: every line is accounted for, in a few lines per window.
  m_log.SetRepeatWindow(50);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5000; ++i) m_log.Print(MOD_COMMLIB, LOG_ERROR, "flood", 1, "same");
  const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
  m_log.Close();
  long total = 0;
  size_t written = 0;
  std::regex counted(R"(\] same \((\d+) more times\)$)");
  for (const auto& line : Lines(Text())) {
    if (line.find("[CommLib flood 1]") == std::string::npos) continue;
    ++written;
    std::smatch m;
    total += std::regex_search(line, m, counted) ? std::stol(m[1]) : 1;
  }
  EXPECT_EQ(total, 5000);
  EXPECT_LE(written, static_cast<size_t>(2 * (elapsedMs / 50 + 2)));
}

TEST_F(LogTest, RotationKeepsTheNewestRotatedFilesOnly) {
  // Older rotated files, and files that only look alike.
  for (const char* old : {"Log.txt.20000101000001", "Log.txt.20000101000002",
                          "Log.txt.20000101000003", "Log.txt.20000101000004"}) {
    m_dir.Write(old, "old");
  }
  m_dir.Write("Log.txt.old", "keep");
  m_dir.Write("Log.txt.2000010100000", "keep");
  ASSERT_TRUE(m_log.Open(LogPath(), 700, false));
  m_log.SetSizeLimit(10);
  m_log.SetRotatedFiles(3);
  m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "line A");
  m_log.Print(MOD_COMMLIB, LOG_INFO, "f", 1, "line B");  // rotates A away
  m_log.Close();
  std::set<std::string> names;
  for (const auto& [name, body] : Rotated()) names.insert(name);
  ASSERT_EQ(names.size(), 5u);
  EXPECT_TRUE(names.count("Log.txt.20000101000003"));
  EXPECT_TRUE(names.count("Log.txt.20000101000004"));
  EXPECT_TRUE(names.count("Log.txt.old"));
  EXPECT_TRUE(names.count("Log.txt.2000010100000"));
  EXPECT_FALSE(names.count("Log.txt.20000101000001"));
  EXPECT_FALSE(names.count("Log.txt.20000101000002"));
}

TEST(LogHelpers, ReplaceAll) {
  std::string t = "2013-01-05 10:20:30";
  EXPECT_EQ(ReplaceAll(ReplaceAll(ReplaceAll(t, "-", ""), ":", ""), " ", ""), "20130105102030");
  EXPECT_EQ(ReplaceAll("aaa", "a", "aa"), "aaaaaa");  // inserted text is not rescanned
  EXPECT_EQ(ReplaceAll("abab", "ab", ""), "");
  EXPECT_EQ(ReplaceAll("", "a", "b"), "");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(ReplaceAll("abc", "z", "x"), "abc");
}

TEST(LogHelpers, CurrentTimeText) {
  EXPECT_TRUE(std::regex_match(GetCurTimeStr(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
}

TEST(LogHelpers, RenameFileNeverReplacesATarget) {
  support::TempDir dir;
  dir.Write("from", "new");
  dir.Write("to", "old");
  EXPECT_EQ(RenameFile(dir.Sub("from"), dir.Sub("to")), -1);
  EXPECT_EQ(dir.Read("from"), "new");
  EXPECT_EQ(dir.Read("to"), "old");

  EXPECT_EQ(RenameFile(dir.Sub("missing"), dir.Sub("other")), -1);
  EXPECT_FALSE(fs::exists(dir.Sub("other")));

  EXPECT_EQ(RenameFile(dir.Sub("from"), dir.Sub("moved")), 0);
  EXPECT_FALSE(fs::exists(dir.Sub("from")));
  EXPECT_EQ(dir.Read("moved"), "new");
}

}  // namespace
