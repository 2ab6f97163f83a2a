#include "tray_listener/tray_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "contract/tray_records.h"
#include "contract/wire.h"
#include "platform/net.h"

namespace traylistener {

namespace {

constexpr size_t kHeadSize = MsgHead::kSize;
constexpr size_t kMaxQuestion = 4096;
constexpr int kReadTimeoutMs = 5000;

std::string FieldText(const std::vector<uint8_t>& raw, size_t off, size_t n) {
  if (raw.size() <= off) return "";
  n = std::min(n, raw.size() - off);
  const char* p = reinterpret_cast<const char*>(raw.data() + off);
  return std::string(p, strnlen(p, n));
}

}  // namespace

bool ParseAnswer(const std::string& text, Answer* out) {
  if (text == "admit") {
    *out = Answer::Admit();
  } else if (text == "refuse") {
    *out = Answer::Refuse();
  } else if (text == "none") {
    *out = Answer::Of(AnswerKind::Close);
  } else if (text == "silent") {
    *out = Answer::Of(AnswerKind::Silent);
  } else if (text == "malformed") {
    *out = Answer::Of(AnswerKind::WrongLength);
  } else if (text == "wrong-opcode") {
    *out = Answer::Of(AnswerKind::WrongOpcode);
  } else if (text == "short") {
    *out = Answer::Of(AnswerKind::Short);
  } else {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
      return false;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull) return false;
    *out = Answer{AnswerKind::Verdict, static_cast<uint32_t>(v), 0};
  }
  return true;
}

std::string AnswerName(const Answer& answer) {
  switch (answer.kind) {
    case AnswerKind::Verdict:
      return answer.verdict == 0   ? "admit"
             : answer.verdict == 1 ? "refuse"
                                   : "verdict " + std::to_string(answer.verdict);
    case AnswerKind::Close:
      return "none";
    case AnswerKind::Silent:
      return "silent";
    case AnswerKind::WrongLength:
      return "malformed";
    case AnswerKind::WrongOpcode:
      return "wrong-opcode";
    case AnswerKind::Short:
      return "short";
  }
  return "?";
}

TrayListener::TrayListener() = default;

TrayListener::~TrayListener() { Stop(); }

bool TrayListener::Start(const std::string& host, uint16_t port, std::string* error) {
  uint32_t addr = 0;
  if (platform::ResolveIpv4(host, &addr) != 0) {
    *error = "cannot resolve " + host;
    return false;
  }
  if (::pipe2(m_stopPipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addr;
  sin.sin_port = htons(port);
  socklen_t len = sizeof sin;
  if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
      ::listen(m_listenFd, 16) != 0 ||
      ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    Stop();
    return false;
  }
  m_port = ntohs(sin.sin_port);
  m_acceptThread = std::thread(&TrayListener::AcceptLoop, this);
  return true;
}

void TrayListener::Stop() {
  m_stopping = true;
  if (m_stopPipe[1] >= 0) {
    char c = 0;
    ssize_t ignored = ::write(m_stopPipe[1], &c, 1);  // never read: every poll sees it
    (void)ignored;
  }
  if (m_acceptThread.joinable()) m_acceptThread.join();
  std::list<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    threads.swap(m_connThreads);
  }
  for (std::thread& t : threads) t.join();
  platform::CloseSocket(m_listenFd);
  m_listenFd = -1;
  for (int& fd : m_stopPipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void TrayListener::SetScript(std::vector<Answer> answers, Answer fallback) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_script.assign(answers.begin(), answers.end());
  m_fallback = fallback;
}

void TrayListener::SetObserver(std::function<void(const Question&, const Answer&)> observer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_observer = std::move(observer);
}

std::vector<Question> TrayListener::Questions() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_questions;
}

bool TrayListener::WaitQuestions(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return m_questions.size() >= n; });
}

Answer TrayListener::NextAnswer() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_script.empty()) return m_fallback;
  Answer a = m_script.front();
  m_script.pop_front();
  return a;
}

bool TrayListener::Pause(int ms) const {
  pollfd p{m_stopPipe[0], POLLIN, 0};
  return ::poll(&p, 1, ms) == 0;
}

void TrayListener::AcceptLoop() {
  while (!m_stopping) {
    pollfd p[2] = {{m_listenFd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connThreads.emplace_back(&TrayListener::Serve, this, fd);
  }
}

void TrayListener::Serve(int fd) {
  // Reads exactly len bytes within the read time-out; false on a time-out, an end of
  // stream or Stop.
  auto readExact = [&](uint8_t* out, size_t len) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadTimeoutMs);
    size_t got = 0;
    while (got < len) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return false;
      pollfd p[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
      if (::poll(p, 2, static_cast<int>(left)) < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (p[1].revents != 0) return false;
      if (p[0].revents == 0) continue;
      ssize_t n = ::recv(fd, out + got, len - got, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  };

  Question q;
  q.raw.resize(kHeadSize);
  if (!readExact(q.raw.data(), kHeadSize)) {
    platform::CloseSocket(fd);
    return;
  }
  MsgHead head = MsgHead::Decode(q.raw.data());
  if (head.length < kHeadSize || head.length > kMaxQuestion) {
    platform::CloseSocket(fd);
    return;
  }
  q.raw.resize(head.length);
  if (!readExact(q.raw.data() + kHeadSize, head.length - kHeadSize)) {
    platform::CloseSocket(fd);
    return;
  }
  q.length = head.length;
  q.opcode = head.opcode;
  q.number = head.seq;
  q.email = FieldText(q.raw, kHeadSize, kAccountFieldSize);
  q.psw = FieldText(q.raw, kHeadSize + kAccountFieldSize, kAccountFieldSize);
  q.name = FieldText(q.raw, kDeviceLoginAskNameOffset, kDeviceLoginTextSize);
  q.network = FieldText(q.raw, kDeviceLoginAskNetworkOffset, kDeviceLoginTextSize);

  Answer a = NextAnswer();
  std::function<void(const Question&, const Answer&)> observer;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_questions.push_back(q);
    observer = m_observer;
  }
  m_cond.notify_all();
  if (observer) observer(q, a);

  if (a.delayMs > 0 && !Pause(a.delayMs)) {
    platform::CloseSocket(fd);
    return;
  }
  uint8_t out[16] = {};
  size_t outLen = kDeviceLoginAnswerSize;
  wire::PutU16(out, kDeviceLoginAnswerSize);
  wire::PutU16(out + 2, kOpDeviceLogin);
  std::memcpy(out + 4, q.raw.data() + 4, 4);  // the number as received
  wire::PutU32(out + 8, a.kind == AnswerKind::Verdict ? a.verdict : 0);
  switch (a.kind) {
    case AnswerKind::Verdict:
      break;
    case AnswerKind::Close:
      outLen = 0;
      break;
    case AnswerKind::Silent: {
      // Held until the service gives up (closes) or the stand-in stops.
      for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno == EINTR) continue;
        if (p[1].revents != 0) break;
        uint8_t sink[64];
        if (::recv(fd, sink, sizeof sink, 0) <= 0) break;
      }
      outLen = 0;
      break;
    }
    case AnswerKind::WrongLength:
      wire::PutU16(out, 16);
      outLen = 16;
      break;
    case AnswerKind::WrongOpcode:
      wire::PutU16(out + 2, OP_SHOW_GET_LOG_ON_INFO);
      break;
    case AnswerKind::Short:
      outLen = 6;
      break;
  }
  if (outLen > 0) platform::SendAll(fd, out, outLen);
  platform::CloseSocket(fd);
}

}  // namespace traylistener
