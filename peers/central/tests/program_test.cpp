// The tirvan-central program as a script runs it.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "central/account_store.h"
#include "comm/opcodes.h"
#include "comm/server_exchange.h"
#include "platform/net.h"
#include "support/temp_dir.h"

namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // its standard output
};

// Starts the program with args; input goes to its standard input.
Child Spawn(const std::vector<std::string>& args, const std::string& input = "") {
  // Everything the child needs is prepared before the fork.
  std::string bin = TIRVAN_CENTRAL_BIN;
  std::vector<std::string> copy = args;
  std::vector<char*> argv{bin.data()};
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 2);
    ::close(in[1]);
    ::close(out[0]);
    ::execv(bin.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  if (!input.empty()) (void)!::write(in[1], input.data(), input.size());
  ::close(in[1]);
  return Child{pid, out[0]};
}

// Reads one line of the child's output, waiting at most timeoutMs.
std::string ReadLine(int fd, int timeoutMs) {
  std::string line;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    char c;
    if (::read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

int Wait(const Child& c) {
  int status = 0;
  ::waitpid(c.pid, &status, 0);
  ::close(c.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the program to its end: exit code and all of its output.
std::pair<int, std::string> RunProgram(const std::vector<std::string>& args, const std::string& input = "") {
  Child c = Spawn(args, input);
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = ::read(c.out, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return {Wait(c), text};
}

TEST(CentralProgram, ManagesAccounts) {
  support::TempDir dir;
  std::string db = dir.Sub("accounts.db");
  EXPECT_EQ(RunProgram({"account", "add", "--db", db, "demo@example.com", "--password", "demo"}).first, 0);
  EXPECT_EQ(RunProgram({"account", "add", "--db", db, "hash@example.com", "--hash", "abcdefghij"}).first, 0);
  EXPECT_EQ(RunProgram({"account", "add", "--db", db, "stdin@example.com"}, "pw-from-stdin\n").first, 0);
  auto listed = RunProgram({"account", "list", "--db", db});
  EXPECT_EQ(listed.first, 0);
  EXPECT_EQ(listed.second, "demo@example.com\nhash@example.com\nstdin@example.com\n");

  // Refusals: a password the tray would not hash, both forms, no account, no store.
  EXPECT_EQ(RunProgram({"account", "add", "--db", db, "x@example.com", "--password",
                 "seventeen-chars!!"}).first,
            2);
  EXPECT_EQ(RunProgram({"account", "add", "--db", db, "x@example.com", "--password", "a", "--hash", "b"})
                .first,
            2);
  EXPECT_EQ(RunProgram({"account", "remove", "--db", db, "nobody@example.com"}).first, 1);
  EXPECT_EQ(RunProgram({"account", "list"}).first, 2);
  EXPECT_EQ(RunProgram({"account", "remove", "--db", db, "hash@example.com"}).first, 0);
  EXPECT_EQ(RunProgram({"account", "list", "--db", db}).second, "demo@example.com\nstdin@example.com\n");
  EXPECT_EQ(RunProgram({"--bogus"}).first, 2);
}

TEST(CentralProgram, ServesAndStopsOnSigterm) {
  support::TempDir dir;
  std::string db = dir.Sub("accounts.db");
  std::string state = dir.Sub("state.json");
  ASSERT_EQ(RunProgram({"account", "add", "--db", db, "demo@example.com", "--password", "demo"}).first, 0);

  Child c = Spawn({"--db", db, "--listen", "127.0.0.1:0", "--state", state});
  std::string line = ReadLine(c.out, 5000);
  const std::string prefix = "listening on 127.0.0.1:";
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  uint16_t port = static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));
  ASSERT_NE(port, 0);

  std::vector<uint8_t> payload(132);
  wire::PutText(payload.data(), 32, "demo@example.com");
  wire::PutText(payload.data() + 32, 32, central::HashPassword("demo"));
  payload[64] = 2;
  ServerMsgHead head{202, 6, SV_LOG_ON, "00-11-22-33-44-55"};
  ServerReplyHead answer;
  std::vector<uint8_t> answerPayload;
  ASSERT_EQ(RequestServer(head, ServerAddress{port, "127.0.0.1"}, payload.data(), 132, &answer,
                          &answerPayload),
            0);
  EXPECT_EQ(answer.result, 0);
  std::string logLine = ReadLine(c.out, 2000);  // the start, then the request
  if (logLine.find("SV_LOG_ON") == std::string::npos) logLine = ReadLine(c.out, 2000);
  EXPECT_NE(logLine.find("SV_LOG_ON station=00-11-22-33-44-55 email=demo@example.com psw=***"),
            std::string::npos)
      << logLine;

  ::kill(c.pid, SIGTERM);
  EXPECT_EQ(Wait(c), 0);
  std::ifstream in(state);
  Json::Value root;
  Json::CharReaderBuilder rb;
  std::string errs;
  ASSERT_TRUE(Json::parseFromStream(rb, in, &root, &errs)) << errs;
  ASSERT_EQ(root["stations"].size(), 1u);
  EXPECT_EQ(root["stations"][0]["station"].asString(), "00-11-22-33-44-55");
  EXPECT_TRUE(root["stations"][0]["loggedOn"].asBool());
}

// True when the peer closes fd within timeoutMs.
bool PeerClosesWithin(int fd, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    char c;
    if (::recv(fd, &c, 1, 0) <= 0) return true;
  }
  return false;
}

TEST(CentralProgram, TakesTheConnectionLimitsFromItsOptions) {
  support::TempDir dir;
  Child c = Spawn({"--db", dir.Sub("accounts.db"), "--listen", "127.0.0.1:0",
                   "--max-connections-per-address", "2", "--frame-timeout", "300"});
  std::string line = ReadLine(c.out, 5000);
  const std::string prefix = "listening on 127.0.0.1:";
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  uint16_t port = static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));

  int first = platform::ConnectTcp("127.0.0.1", port, 1000);
  int second = platform::ConnectTcp("127.0.0.1", port, 1000);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  // An answer on the second proves both are taken in.
  uint8_t beat[70];
  ServerMsgHead{70, 6, SV_HEART_BEAT, "00-11-22-33-44-55"}.Encode(beat);
  ASSERT_EQ(platform::SendAll(second, beat, sizeof beat), 0);
  platform::SetSocketTimeouts(second, 3000);
  uint8_t answer[8];
  ASSERT_EQ(platform::RecvAll(second, answer, sizeof answer), 0);

  int third = platform::ConnectTcp("127.0.0.1", port, 1000);
  ASSERT_GE(third, 0);
  EXPECT_TRUE(PeerClosesWithin(third, 3000));  // a third from the same address
  ASSERT_EQ(platform::SendAll(first, beat, 30), 0);  // part of a frame, never the rest
  EXPECT_TRUE(PeerClosesWithin(first, 5000));
  EXPECT_FALSE(PeerClosesWithin(second, 100));
  for (int fd : {first, second, third}) ::close(fd);
  ::kill(c.pid, SIGTERM);
  EXPECT_EQ(Wait(c), 0);
}

TEST(CentralProgram, RefusesToStartWithoutAStore) {
  EXPECT_EQ(RunProgram({"--listen", "127.0.0.1:0"}).first, 2);
  support::TempDir dir;
  EXPECT_EQ(RunProgram({"--db", dir.path(), "--listen", "127.0.0.1:0"}).first, 1);
  EXPECT_EQ(RunProgram({"--db", dir.Sub("a.db"), "--listen", "127.0.0.1:99999"}).first, 2);
}

}  // namespace
