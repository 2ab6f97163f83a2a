// The transfers through tirvan-fetch: what crosses the process boundary and what a faulty,
// hung or aborted helper leaves behind (nothing: no child, no libcurl in this process).
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fetch_wire.h"
#include "http_fetch.h"
#include "support/fake_server.h"
#include "support/temp_dir.h"
#include "support/web_peer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// "pid (name) state" of every process whose parent is this one, zombies included, but
// the web servers the tests start themselves.
std::vector<std::string> OurChildren() {
  std::vector<std::string> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return {"cannot read /proc"};
  while (dirent* e = ::readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const std::string stat = ReadText(std::string("/proc/") + e->d_name + "/stat");
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 >= stat.size()) continue;
    const std::string name = stat.substr(open + 1, close - open - 1);
    const char state = stat[close + 2];
    const long ppid = std::strtol(stat.c_str() + close + 4, nullptr, 10);
    if (ppid == ::getpid() && name != "tirvan-web")
      found.push_back(std::string(e->d_name) + " (" + name + ") " + state);
  }
  ::closedir(proc);
  return found;
}

// The libraries of /proc/self/maps whose names hold one of words.
std::set<std::string> MappedLibraries(const std::vector<std::string>& words) {
  std::set<std::string> found;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const size_t slash = line.find('/');
    if (slash == std::string::npos) continue;
    const std::string path = line.substr(slash);
    for (const std::string& w : words)
      if (path.substr(path.rfind('/') + 1).find(w) != std::string::npos) found.insert(path);
  }
  return found;
}

std::string BuiltHelper() {
  const char* helper = std::getenv("TIRVAN_FETCH_PROGRAM");  // set by the test main
  return helper != nullptr ? helper : "";
}

class HttpFetchTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ::setenv("TIRVAN_FETCH_PROGRAM", m_helper.c_str(), 1);
    ::unsetenv("TIRVAN_FETCH_MARGIN_MS");
  }
  // tirvan-web over HTTPS (or plain HTTP) with manifest in site/.
  void Serve(const std::string& manifest, bool https = true) {
    std::string error;
    ca = support::SharedTestCa(&error);
    ASSERT_NE(ca, nullptr) << error;
    tmp.MakeDir("site");
    tmp.Write("site/manifest", manifest);
    std::vector<std::string> args = {"--manifest", tmp.Sub("site/manifest")};
    if (https) args.insert(args.end(), {"--cert", ca->certFile, "--key", ca->keyFile});
    peer = std::make_unique<support::WebPeer>(TIRVAN_WEB_BIN, args, tmp.Sub("web.log"), https);
    ASSERT_TRUE(peer->ok()) << peer->Log();
  }
  tray::FetchOptions Https() const {
    tray::FetchOptions o;
    o.httpsOnly = true;
    o.caFile = ca->caFile;
    return o;
  }

  const std::string m_helper = BuiltHelper();
  support::TempDir tmp;
  const support::TestCa* ca = nullptr;
  std::unique_ptr<support::WebPeer> peer;
};

// The point of the helper: a page and a file over HTTPS arrive whole, yet libcurl and
// the TLS libraries never load into this process, and no helper stays behind.
TEST_F(HttpFetchTest, HttpsArrivesWithoutLibcurlOrTlsInThisProcess) {
  const std::vector<std::string> tls = {"libcurl", "libssl", "libcrypto", "libp11-kit", "libgnutls",
                                        "libnghttp2", "libssh", "libgssapi", "libldap"};
  const std::set<std::string> before = MappedLibraries(tls);
  tmp.MakeDir("site");
  tmp.Write("site/data.bin", std::string(300000, 'x') + "end");
  Serve("/page body=the page\n/data.bin file=data.bin\n");
  tray::FetchResult page = tray::HttpGet(peer->base() + "/page", Https());
  EXPECT_TRUE(page.Good()) << page.error;
  EXPECT_EQ(page.body, "the page");
  const std::string path = tmp.Sub("data.bin");
  tray::FetchResult file = tray::HttpDownload(peer->base() + "/data.bin", path, Https());
  EXPECT_TRUE(file.Good()) << file.error;
  EXPECT_TRUE(file.body.empty());
  EXPECT_EQ(ReadText(path), ReadText(tmp.Sub("site/data.bin")));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  EXPECT_EQ(MappedLibraries(tls), before);
  EXPECT_EQ(MappedLibraries({"libcurl", "libssl"}), std::set<std::string>{});
  EXPECT_EQ(OurChildren(), std::vector<std::string>{});
  EXPECT_TRUE(tray::InitCurl());
}

// The rules of a transfer hold through the helper: the page's and the file's limits, a
// link at the file's name, plain http, an authority the server's certificate is not of.
TEST_F(HttpFetchTest, TheLimitsAndRulesOfATransferHoldThroughTheHelper) {
  tmp.MakeDir("site");
  tmp.Write("site/big.bin", std::string(5000, 'b'));
  tmp.Write("other-ca.pem", "not a certificate\n");
  tmp.Write("mine.txt", "the user's own words\n");
  Serve("/big.bin file=big.bin\n/page body=the page\n");
  ASSERT_EQ(::symlink(tmp.Sub("mine.txt").c_str(), tmp.Sub("link").c_str()), 0);
  const struct {
    const char* name;
    std::string url;
    std::string path;  // "": a page
    std::function<void(tray::FetchOptions&)> tweak;
    bool tooLarge;
    std::string error;  // a part of it
  } cases[] = {
      {"a page past maxBytes", "/big.bin", "", [](tray::FetchOptions& o) { o.maxBytes = 1000; }, true,
       "the page is too large"},
      {"a file past maxFileBytes", "/big.bin", tmp.Sub("big"), [](tray::FetchOptions& o) { o.maxFileBytes = 1000; },
       true, "more than 1000 bytes"},
      {"a symbolic link at the file's name", "/page", tmp.Sub("link"), nullptr, false, "cannot create"},
      {"plain http", "http://127.0.0.1:1/page", "", nullptr, false, "refused: not an https address"},
      {"an authority that cannot be read", "/page", "", [&](tray::FetchOptions& o) { o.caFile = tmp.Sub("other-ca.pem"); },
       false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tray::FetchOptions o = Https();
    if (c.tweak) c.tweak(o);
    const std::string url = c.url[0] == '/' ? peer->base() + c.url : c.url;
    tray::FetchResult r = c.path.empty() ? tray::HttpGet(url, o) : tray::HttpDownload(url, c.path, o);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.tooLarge, c.tooLarge);
    EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
    EXPECT_FALSE(r.error.empty());
    EXPECT_LE(r.body.size(), o.maxBytes);
  }
  EXPECT_EQ(ReadText(tmp.Sub("mine.txt")), "the user's own words\n");
  EXPECT_EQ(peer->Requests("/page"), 0);  // the certificate failed before any request
  EXPECT_EQ(OurChildren(), std::vector<std::string>{});
}

// Transfers on several threads at once each get their own answer.
TEST_F(HttpFetchTest, TransfersOnSeveralThreadsAtOnceEachGetTheirOwnPage) {
  Serve("/a body=page a\n/b body=page b\n/c body=page c\n/d body=page d\n");
  std::vector<std::future<std::string>> pages;
  for (const char* name : {"a", "b", "c", "d"}) {
    pages.push_back(std::async(std::launch::async, [&, name] {
      std::string got;
      for (int i = 0; i < 3; ++i) {
        tray::FetchResult r = tray::HttpGet(peer->base() + "/" + name, Https());
        got += (r.Good() ? r.body : "failed: " + r.error) + ";";
      }
      return got;
    }));
  }
  for (const char* name : {"a", "b", "c", "d"}) {
    const std::string page = std::string("page ") + name + ";";
    EXPECT_EQ(pages[static_cast<size_t>(*name - 'a')].get(), page + page + page);
  }
  EXPECT_EQ(OurChildren(), std::vector<std::string>{});
}

// A transfer in the middle of its wait (a server that never answers) ends promptly when
// its keepGoing is cleared: the helper is killed and reaped.
TEST_F(HttpFetchTest, AnAbortedTransferEndsPromptlyAndLeavesNoChild) {
  for (bool download : {false, true}) {
    SCOPED_TRACE(download ? "a file" : "a page");
    uint16_t port = 0;
    const int listener = support::ListenTcp(0, 4, &port);
    ASSERT_GE(listener, 0);
    std::atomic<bool> keepGoing{true};
    tray::FetchOptions o;
    o.timeoutMs = 30000;
    o.connectTimeoutMs = 30000;
    o.keepGoing = &keepGoing;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/never";
    auto transfer = std::async(std::launch::async, [&] {
      return download ? tray::HttpDownload(url, tmp.Sub("never"), o) : tray::HttpGet(url, o);
    });
    const int conn = support::AcceptWithin(listener, 10000);  // the helper is in the transfer
    EXPECT_GE(conn, 0);
    const auto start = Clock::now();
    keepGoing = false;
    ASSERT_EQ(transfer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    tray::FetchResult r = transfer.get();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "aborted");
    EXPECT_EQ(OurChildren(), std::vector<std::string>{});
    if (conn >= 0) ::close(conn);
    ::close(listener);
  }
}

// A helper that is missing, dies, hangs, floods or says something else than its result
// line fails the transfer with a clear error, promptly, and leaves no child; this process
// goes on.
TEST_F(HttpFetchTest, AFaultyHelperFailsTheTransferWithAClearErrorAndLeavesNoChild) {
  const std::string okLine = "tirvan-fetch-result ok=1 status=200 too-large=0 refused=0 error=";
  const struct {
    const char* name;
    std::string script;  // the helper's shell script; "": no helper at all
    bool download;
    std::string error;   // a part of it
    bool tooLarge;
  } cases[] = {
      {"missing", "", false, "cannot start", false},
      {"garbage for a result", "printf 'garbage\\n' >&3", false, "tirvan-fetch gave a garbled result", false},
      {"a result line without end", "head -c 100000 /dev/zero >&3; exec sleep 60", false,
       "tirvan-fetch gave a garbled result", false},
      {"more after the line", "printf '" + okLine + "\\nmore' >&3", false, "garbled", false},
      {"ok, but a failing exit", "printf '" + okLine + "\\n' >&3; exit 1", false, "garbled", false},
      {"a crash", "printf 'half a pa'; kill -SEGV $$", false, "tirvan-fetch ended by signal 11", false},
      {"no result at all", "exit 0", false, "tirvan-fetch ended without a result (exit status 0)", false},
      {"a hang past the time limit", "exec sleep 60", false, "tirvan-fetch took longer than 500 ms", false},
      {"a page past maxBytes, then silence", "head -c 100000 /dev/zero; exec sleep 60", false,
       "the page is too large", true},
      {"a download written to its output", "printf 'data'; printf '" + okLine + "\\n' >&3", true,
       "tirvan-fetch wrote a download to its output", false},
  };
  ::setenv("TIRVAN_FETCH_MARGIN_MS", "200", 1);
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string helper = tmp.Sub("helper-" + std::to_string(++n));
    if (!c.script.empty()) {
      tmp.Write("helper-" + std::to_string(n), std::string("#!/bin/sh\n") + c.script + "\n");
      ASSERT_EQ(::chmod(helper.c_str(), 0700), 0);
    }
    ::setenv("TIRVAN_FETCH_PROGRAM", helper.c_str(), 1);
    tray::FetchOptions o;
    o.timeoutMs = 300;
    o.maxBytes = 1000;
    const auto start = Clock::now();
    tray::FetchResult r = c.download ? tray::HttpDownload("https://127.0.0.1:1/x", tmp.Sub("file"), o)
                                     : tray::HttpGet("https://127.0.0.1:1/x", o);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.tooLarge, c.tooLarge);
    EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
    EXPECT_LE(r.body.size(), o.maxBytes);
    EXPECT_EQ(OurChildren(), std::vector<std::string>{});
    if (c.script.empty()) {
      EXPECT_FALSE(tray::InitCurl());
    }
  }
}

// The helper's own failure line passes through as it stands.
TEST_F(HttpFetchTest, TheHelpersResultLineIsTheResult) {
  const struct {
    const char* line;
    int exit;
    bool ok;
    long status;
    bool tooLarge;
    std::string error;
  } cases[] = {
      {"tirvan-fetch-result ok=1 status=404 too-large=0 refused=0 error=", 0, true, 404, false, ""},
      {"tirvan-fetch-result ok=0 status=0 too-large=0 refused=0 error=Could not connect", 1, false, 0, false,
       "Could not connect"},
      {"tirvan-fetch-result ok=0 status=200 too-large=1 refused=0 error=more than 9 bytes", 1, false, 200, true,
       "more than 9 bytes"},
      {"tirvan-fetch-result ok=1 status=2000 too-large=0 refused=0 error=", 0, false, 0, false,
       "tirvan-fetch gave a garbled result"},
      {"tirvan-fetch-result ok=1 status=200 too-large=0 error=", 0, false, 0, false,
       "tirvan-fetch gave a garbled result"},
      {"tirvan-fetch-result ok=2 status=200 too-large=0 refused=0 error=", 0, false, 0, false,
       "tirvan-fetch gave a garbled result"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string name = "helper-" + std::to_string(++n);
    tmp.Write(name, std::string("#!/bin/sh\nprintf 'body'\nprintf '%s\\n' '") + c.line + "' >&3\nexit " +
                        std::to_string(c.exit) + "\n");
    ASSERT_EQ(::chmod(tmp.Sub(name).c_str(), 0700), 0);
    ::setenv("TIRVAN_FETCH_PROGRAM", tmp.Sub(name).c_str(), 1);
    tray::FetchResult r = tray::HttpGet("https://127.0.0.1:1/x", tray::FetchOptions{});
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.tooLarge, c.tooLarge);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.body, "body");
  }
}

// The result line is read as it is written and nothing else is taken: what a helper
// taken over by a hostile server could send the tray.
TEST(FetchWire, TheResultLineIsReadStrictlyAndWrittenReadably) {
  namespace wire = tray::fetchwire;
  wire::Result failed;
  failed.status = 503;
  failed.tooLarge = true;
  failed.refused = true;
  failed.error = std::string("two\nlines\tand\x7f") + std::string(2000, 'e');
  const std::string line = wire::FormatResult(failed);
  wire::Result back;
  ASSERT_TRUE(wire::ParseResult(line, &back)) << line;
  EXPECT_EQ(back.status, 503);
  EXPECT_TRUE(back.tooLarge && back.refused && !back.ok);
  EXPECT_EQ(back.error, "two lines and " + std::string(wire::kMaxFetchErrorBytes - 14, 'e'));

  const std::string ok = "tirvan-fetch-result ok=1 status=200 too-large=0 refused=0 error=";
  const struct {
    std::string text;
    bool taken;
  } cases[] = {
      {ok + "\n", true},
      {ok, false},                              // no end of line
      {ok + "\n\n", false},                     // more after it
      {ok + "\r\n", false},                     // a control character
      {ok + "why\n", false},                   // ok with a reason
      {"tirvan-fetch-result ok=0 status=0 too-large=0 refused=0 error=\n", true},
      {"tirvan-fetch-result ok=0 status=007 too-large=0 refused=0 error=x\n", false},
      {"tirvan-fetch-result ok=0 status=1000 too-large=0 refused=0 error=x\n", false},
      {"tirvan-fetch-result ok=0 status= too-large=0 refused=0 error=x\n", false},
      {"tirvan-fetch-result ok=0 status=-1 too-large=0 refused=0 error=x\n", false},
      {"tirvan-fetch-result ok=0  status=0 too-large=0 refused=0 error=x\n", false},
      {"tirvan-fetch-result ok=0 status=0 refused=0 too-large=0 error=x\n", false},  // out of order
      {"tirvan-fetch-result ok=0 status=0 too-large=yes refused=0 error=x\n", false},
      {"Tirvan-fetch-result ok=0 status=0 too-large=0 refused=0 error=x\n", false},
      {"tirvan-fetch-result ok=0 status=0 too-large=0 refused=0 error=" +
           std::string(wire::kMaxFetchErrorBytes + 1, 'e') + "\n", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    wire::Result r;
    r.error = "untouched";
    EXPECT_EQ(wire::ParseResult(c.text, &r), c.taken);
    if (!c.taken) {
      EXPECT_EQ(r.error, "untouched");
    }
  }
}

// tirvan-fetch run by hand with bad arguments: a clear message, exit status 2, no output.
TEST(FetchProgram, BadArgumentsGetAMessageAndExitStatus2) {
  const struct {
    std::vector<std::string> args;
    std::string message;  // a part of it
  } cases[] = {
      {{}, "no address given"},
      {{"--https-only"}, "no address given"},
      {{"--timeout-ms"}, "--timeout-ms needs a value"},
      {{"--timeout-ms", "soon", "https://127.0.0.1:1/"}, "--timeout-ms: not a number"},
      {{"--max-bytes", "-1", "https://127.0.0.1:1/"}, "--max-bytes: not a number"},
      {{"--low-speed-seconds", "5s", "https://127.0.0.1:1/"}, "--low-speed-seconds: not a number"},
      {{"--bogus", "1", "https://127.0.0.1:1/"}, "unknown option --bogus"},
      {{"https://127.0.0.1:1/a", "https://127.0.0.1:1/b"}, "one address only"},
      {{"--result-fd", "77", "https://127.0.0.1:1/"}, "descriptor 77 is not open"},
      {{"--result-fd", "1", "https://127.0.0.1:1/"}, "standard output holds the page"},
      {{"--output", "", "https://127.0.0.1:1/"}, "an empty path"},
  };
  support::TempDir tmp;
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += "[" + a + "] ";
    SCOPED_TRACE(shown);
    std::vector<std::string> args = {BuiltHelper()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ASSERT_EQ(::posix_spawn_file_actions_init(&actions), 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, tmp.Sub("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::posix_spawn_file_actions_addopen(&actions, 2, tmp.Sub("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    ::posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(tmp.Read("out"), "");
    const std::string err = tmp.Read("err");
    EXPECT_EQ(err.rfind("tirvan-fetch: ", 0), 0u) << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

}  // namespace
