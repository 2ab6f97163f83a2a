// tirvan-web's routes, folder and scripted failures, in process and as the program over
// HTTPS, fetched with libcurl as the tray program fetches them.
#include "web/web_server.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "support/web_peer.h"

namespace {

struct Reply {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
  std::string location;
  long ms = 0;
};

size_t Append(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

Reply Get(const std::string& url, const std::string& ca = "", long timeoutMs = 10000,
          bool pathAsIs = false, long lowSpeedSeconds = 0) {
  Reply r;
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  if (pathAsIs) curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
  if (lowSpeedSeconds > 0) {
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1000L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, lowSpeedSeconds);
  }
  if (!ca.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, ca.c_str());
  auto start = std::chrono::steady_clock::now();
  r.code = curl_easy_perform(c);
  r.ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
  char* loc = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &loc) == CURLE_OK && loc) r.location = loc;
  curl_easy_cleanup(c);
  return r;
}

std::vector<web::Route> Routes(const std::string& manifest) {
  std::vector<web::Route> routes;
  std::string error;
  EXPECT_TRUE(web::ParseManifest(manifest, &routes, &error)) << error;
  return routes;
}

TEST(WebManifest, ReadsEveryOptionAndRefusesBadLines) {
  auto routes = Routes(
      "# comment\n"
      "\n"
      "/a?L=en file=notes/en.json type=application/json delay=250 fail=2 fail-status=503\r\n"
      "/b location=https://x/y\n"
      "/c stall=10 corrupt=1 expand status=404 body=a body with spaces {base}\n"
      "/d drop\n");
  ASSERT_EQ(routes.size(), 4u);
  EXPECT_EQ(routes[0].path, "/a");
  EXPECT_EQ(routes[0].query.value_or("?"), "L=en");
  EXPECT_EQ(routes[0].file.value_or(""), "notes/en.json");
  EXPECT_EQ(routes[0].type, "application/json");
  EXPECT_EQ(routes[0].delayMs, 250);
  EXPECT_EQ(routes[0].fail, 2);
  EXPECT_EQ(routes[0].failStatus, 503);
  EXPECT_EQ(routes[1].status, 302);
  EXPECT_FALSE(routes[1].query.has_value());
  EXPECT_EQ(routes[2].stallAfter, 10);
  EXPECT_EQ(routes[2].corrupt, 1);
  EXPECT_TRUE(routes[2].expand);
  EXPECT_EQ(routes[2].status, 404);
  EXPECT_EQ(routes[2].body, "a body with spaces {base}");
  EXPECT_TRUE(routes[3].drop);

  for (const char* bad : {"nopath", "/x status=abc", "/x status=99", "/x file=../etc/passwd",
                          "/x delay=-1", "/x unknown=1", "/x drop=1"}) {
    std::vector<web::Route> r;
    std::string error;
    EXPECT_FALSE(web::ParseManifest(bad, &r, &error)) << bad;
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
  }
}

class WebServerTest : public ::testing::Test {
 protected:
  void Start(const std::string& manifest) {
    tmp.MakeDir("site");
    tmp.MakeDir("site/tirvan");
    tmp.Write("site/tirvan/page.html", "<p>folder page</p>");
    tmp.Write("site/setup.bin", "0123456789abcdef");
    tmp.Write("secret.txt", "outside the root");
    web::WebOptions opt;
    opt.root = tmp.Sub("site");
    opt.routes = Routes(manifest);
    opt.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMutex);
      log.push_back(line);
    };
    server = std::make_unique<web::WebServer>(opt);
    std::string error;
    ASSERT_TRUE(server->Start(&error)) << error;
    base = server->BaseUrl();
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(logMutex);
    return log;
  }
  // The server logs the connections it closes while it stops: it goes before the log.
  void TearDown() override { server.reset(); }

  support::TempDir tmp;
  std::unique_ptr<web::WebServer> server;
  std::string base;
  std::mutex logMutex;
  std::vector<std::string> log;
};

TEST_F(WebServerTest, RoutesByQueryThenPathAndServesTheFolderInsideItsRoot) {
  Start(
      "/tirvan/update-pc.html?L=en body={\"data\":{\"text\":\"en\"}}\n"
      "/tirvan/update-pc.html?L=cn body={\"data\":{\"text\":\"cn\"}}\n"
      "/tirvan/update-pc.html expand body=\"down\":\"{base}/setup.bin\",\"md5\":\"{md5:setup.bin}\","
      "\"size\":\"{size:setup.bin}\",\"x\":\"{unknown}\"\n");
  EXPECT_EQ(Get(base + "/tirvan/update-pc.html?L=en").body, "{\"data\":{\"text\":\"en\"}}");
  EXPECT_EQ(Get(base + "/tirvan/update-pc.html?L=cn").body, "{\"data\":{\"text\":\"cn\"}}");
  Reply page = Get(base + "/tirvan/update-pc.html");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body, "\"down\":\"" + base + "/setup.bin\",\"md5\":\"" +
                           *web::FileMd5Hex(tmp.Sub("site/setup.bin")) +
                           "\",\"size\":\"16\",\"x\":\"{unknown}\"");
  // The query "L=tw" has no route of its own: the path's route answers.
  EXPECT_EQ(Get(base + "/tirvan/update-pc.html?L=tw").body, page.body);

  EXPECT_EQ(Get(base + "/tirvan/page.html?L=en").body, "<p>folder page</p>");
  EXPECT_EQ(Get(base + "/setup.bin").body, "0123456789abcdef");
  EXPECT_EQ(Get(base + "/missing.html").status, 404);
  EXPECT_EQ(Get(base + "/tirvan").status, 404);  // a folder is not a page
  for (const char* evil : {"/../secret.txt", "/tirvan/../../secret.txt", "/%2e%2e/secret.txt"}) {
    Reply r = Get(base + evil, "", 10000, true);
    EXPECT_EQ(r.status, 404) << evil;
    EXPECT_EQ(r.body.find("outside"), std::string::npos) << evil;
  }
  auto lines = Log();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "GET /tirvan/update-pc.html?L=en -> 200 (22 bytes)");
}

TEST_F(WebServerTest, ScriptedFailuresComeInOrder) {
  Start(
      "/flaky fail=2 fail-status=503 body=good\n"
      "/wrong corrupt=1 body=abc\n"
      "/moved location=/flaky\n"
      "/gone drop\n"
      "/error status=500 body=\"version\":\"9.9.9.9\"\n");
  EXPECT_EQ(Get(base + "/flaky").status, 503);
  EXPECT_EQ(Get(base + "/flaky").status, 503);
  Reply third = Get(base + "/flaky");
  EXPECT_EQ(third.status, 200);
  EXPECT_EQ(third.body, "good");

  Reply wrong = Get(base + "/wrong");
  EXPECT_EQ(wrong.status, 200);
  EXPECT_EQ(wrong.body.size(), 3u);
  EXPECT_NE(wrong.body, "abc");
  EXPECT_EQ(Get(base + "/wrong").body, "abc");

  Reply moved = Get(base + "/moved");
  EXPECT_EQ(moved.status, 302);
  EXPECT_EQ(moved.location, base + "/flaky");

  EXPECT_EQ(Get(base + "/gone").code, CURLE_GOT_NOTHING);
  Reply error = Get(base + "/error");
  EXPECT_EQ(error.status, 500);
  EXPECT_EQ(error.body, "\"version\":\"9.9.9.9\"");
}

TEST_F(WebServerTest, DelaysAndStallsHoldTheAnswerWhileOtherRequestsGoOn) {
  Start(
      "/slow delay=400 body=late\n"
      "/stall stall=4 body=0123456789\n"
      "/fast body=now\n");
  Reply slow = Get(base + "/slow");
  EXPECT_EQ(slow.body, "late");
  EXPECT_GE(slow.ms, 350);
  // A client that gives up before the delay ends gets nothing, and the server goes on.
  EXPECT_EQ(Get(base + "/slow", "", 100).code, CURLE_OPERATION_TIMEDOUT);

  Reply stalled = Get(base + "/stall", "", 10000, false, 1);
  EXPECT_EQ(stalled.code, CURLE_OPERATION_TIMEDOUT);  // the low-speed limit
  EXPECT_EQ(stalled.body, "0123");
  EXPECT_EQ(Get(base + "/fast").body, "now");
  // The server stops with the stalled connection still open.
}

// The answers of a hostile update server: a body without end, and one that trickles.
TEST_F(WebServerTest, EndlessAndTricklingAnswersStreamUntilTheClientGoes) {
  Start(
      "/endless endless body=0123456789\n"
      "/trickle trickle=30 body=abcde\n"
      "/fast body=now\n");
  Reply endless = Get(base + "/endless", "", 500);
  EXPECT_EQ(endless.code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_GT(endless.body.size(), 100000u);
  EXPECT_EQ(endless.body.substr(0, 25), "0123456789012345678901234");
  Reply trickle = Get(base + "/trickle");
  EXPECT_EQ(trickle.code, CURLE_OK);
  EXPECT_EQ(trickle.body, "abcde");
  EXPECT_GE(trickle.ms, 120);
  EXPECT_EQ(Get(base + "/trickle", "", 50).code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(Get(base + "/fast").body, "now");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  auto logged = [&](const std::string& what) {
    for (const auto& l : Log())
      if (l.find(what) != std::string::npos) return true;
    return false;
  };
  const std::string cut = "GET /endless -> 200 (10 bytes) endless, ended by the client after";
  const std::string whole = "GET /trickle -> 200 (5 bytes) trickled to its end";
  while (!(logged(cut) && logged(whole)) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::string all;
  for (const auto& l : Log()) all += l + "\n";
  EXPECT_TRUE(logged(cut)) << all;
  EXPECT_TRUE(logged(whole)) << all;
}

TEST(WebProgram, ServesHttpsThatOnlyItsAuthorityVerifiesAndLogsEachRequest) {
  support::TempDir tmp;
  support::TestCa ca;
  std::string error;
  ASSERT_TRUE(support::MakeTestCa(tmp.path(), &ca, &error)) << error;
  tmp.MakeDir("site");
  tmp.Write("site/manifest", "/tirvan/bannerpc?L=en body=<p>banner</p>\n");
  support::WebPeer peer(TIRVAN_WEB_BIN,
                        {"--manifest", tmp.Sub("site/manifest"), "--cert", ca.certFile, "--key",
                         ca.keyFile},
                        tmp.Sub("web.log"), true);
  ASSERT_TRUE(peer.ok()) << peer.Log();
  Reply ok = Get(peer.base() + "/tirvan/bannerpc?L=en", ca.caFile);
  EXPECT_EQ(ok.code, CURLE_OK) << curl_easy_strerror(ok.code);
  EXPECT_EQ(ok.body, "<p>banner</p>");
  // A client that trusts another authority refuses the server; plain HTTP gets nothing.
  tmp.MakeDir("other");
  support::TestCa other;
  ASSERT_TRUE(support::MakeTestCa(tmp.Sub("other"), &other, &error)) << error;
  EXPECT_EQ(Get(peer.base() + "/tirvan/bannerpc?L=en", other.caFile).code,
            CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_NE(Get("http://127.0.0.1:" + std::to_string(peer.port()) + "/x", "", 1000).code, CURLE_OK);
  EXPECT_TRUE(peer.WaitRequests("/tirvan/bannerpc?L=en", 1, 5000)) << peer.Log();
  EXPECT_EQ(peer.Requests("/tirvan/bannerpc?L=en"), 1);

  support::WebPeer refused(TIRVAN_WEB_BIN, {"--cert", ca.certFile}, tmp.Sub("bad.log"), true);
  EXPECT_FALSE(refused.ok());
}

// A client that sends a request with a header line of headerBytes, reads the first 20
// bytes of the answer and closes its socket without another word (with the rest of the
// answer unread, the system resets the connection). Returns what it read.
std::string HangUpAfter20Bytes(int port, bool tls, size_t headerBytes, const std::string& path) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return {};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string got;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " +
                                std::string(headerBytes, 'a') + "\r\n\r\n";
    char buf[20];
    SSL_CTX* ctx = tls ? SSL_CTX_new(TLS_client_method()) : nullptr;
    SSL* ssl = ctx ? SSL_new(ctx) : nullptr;
    if (!tls) {
      size_t sent = 0;
      while (sent < request.size()) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      size_t have = 0;
      while (have < sizeof buf) {
        ssize_t n = ::recv(fd, buf + have, sizeof buf - have, 0);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
      }
      got.assign(buf, have);
    } else if (ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_connect(ssl) == 1 &&
               SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
      size_t have = 0;
      while (have < sizeof buf) {
        int n = SSL_read(ssl, buf + have, static_cast<int>(sizeof buf - have));
        if (n <= 0) break;
        have += static_cast<size_t>(n);
      }
      got.assign(buf, have);
    }
    if (ssl) SSL_free(ssl);  // no close_notify: the socket just closes
    if (ctx) SSL_CTX_free(ctx);
  }
  ::close(fd);
  return got;
}

// Clients that hang up in the middle of their answer once killed the server with SIGPIPE
// (a write to a reset connection). Each must only end its own connection, with a line
// in the log, over HTTPS and over plain HTTP alike, for a short and a long answer.
TEST(WebProgram, ClientsThatHangUpMidAnswerEndOnlyTheirConnection) {
  support::TempDir tmp;
  support::TestCa ca;
  std::string error;
  ASSERT_TRUE(support::MakeTestCa(tmp.path(), &ca, &error)) << error;
  tmp.MakeDir("site");
  tmp.Write("site/big.bin", std::string(8 << 20, 'b'));
  tmp.Write("site/manifest", "/small body=hello\n/big file=big.bin\n");
  for (bool tls : {true, false}) {
    std::vector<std::string> args = {"--manifest", tmp.Sub("site/manifest")};
    if (tls) args.insert(args.end(), {"--cert", ca.certFile, "--key", ca.keyFile});
    support::WebPeer peer(TIRVAN_WEB_BIN, args, tmp.Sub(tls ? "https.log" : "http.log"), tls);
    ASSERT_TRUE(peer.ok()) << peer.Log();
    for (int round = 0; round < 3; ++round) {
      for (const char* path : {"/small", "/big"}) {
        EXPECT_EQ(HangUpAfter20Bytes(peer.port(), tls, 1 << 20, path), "HTTP/1.1 200 OK\r\nCon")
            << path << (tls ? " over https" : " over http");
      }
    }
    // Still serving, and each cut connection left its line.
    Reply after = Get(peer.base() + "/small", tls ? ca.caFile : "");
    EXPECT_EQ(after.code, CURLE_OK) << curl_easy_strerror(after.code) << "\n" << peer.Log();
    EXPECT_EQ(after.body, "hello");
    ASSERT_TRUE(peer.WaitRequests("/small", 4, 5000)) << peer.Log();
    EXPECT_EQ(peer.Requests("/big"), 3);
    const std::string log = peer.Log();
    size_t closed = 0;
    for (size_t at = 0; (at = log.find("closed after 1 request", at)) != std::string::npos; ++at) ++closed;
    EXPECT_GE(closed, 6u) << log;
  }
}

}  // namespace
