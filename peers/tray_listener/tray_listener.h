// tirvan-tray-listener: a stand-in for the tray program's listener of device-login
// questions, for tests and demos. The service connects to it (127.0.0.1:15003 unless
// configured otherwise), sends one DeviceLoginAsk and waits for the DeviceLoginAnswer on
// the same connection:
//
//   DeviceLoginAsk (264): {264, 0x500D, number} + e-mail[32], password hash[32],
//                         device name[64], network text[64], 64 more bytes.
//   DeviceLoginAnswer (12): {12, 0x500D, the number's four bytes as received} + verdict u32
//                         (0 admit, 1 refuse).
//
// Each question is answered from a script: the scripted answers in order, then the
// fallback for every further question. Every connection is served on its own thread, so
// a question that is held unanswered never delays the next.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contract/opcodes.h"
#include "contract/ports.h"

namespace traylistener {

inline constexpr uint16_t kTrayListenPort = TRAY_LISTEN_PORT;
inline constexpr uint16_t kOpDeviceLogin = OP_SHOW_DEVICE_LOGIN;

enum class AnswerKind {
  Verdict,      // the 12-byte answer with verdict
  Close,        // closes the connection without answering
  Silent,       // keeps the connection open and never answers
  WrongLength,  // 16 bytes whose length field says 16 (verdict 0)
  WrongOpcode,  // the 12-byte answer with opcode 0x5000 (verdict 0)
  Short,        // the first 6 bytes of an admitting answer, then closes
};

struct Answer {
  AnswerKind kind = AnswerKind::Verdict;
  uint32_t verdict = 0;
  int delayMs = 0;  // waited before answering (or closing)

  static Answer Admit() { return Answer{}; }
  static Answer Refuse() { return Answer{AnswerKind::Verdict, 1, 0}; }
  static Answer Of(AnswerKind kind) { return Answer{kind, 0, 0}; }
};

// "admit", "refuse", a verdict number, "none" (Close), "silent", "malformed"
// (WrongLength), "wrong-opcode", "short". False for anything else.
bool ParseAnswer(const std::string& text, Answer* out);
std::string AnswerName(const Answer& answer);

// One question as received.
struct Question {
  uint16_t length = 0;
  uint16_t opcode = 0;
  uint32_t number = 0;
  std::string email, psw, name, network;  // each up to its zero byte within its field
  std::vector<uint8_t> raw;               // every byte of the question
};

class TrayListener {
 public:
  TrayListener();
  ~TrayListener();
  TrayListener(const TrayListener&) = delete;
  TrayListener& operator=(const TrayListener&) = delete;

  // Listens on host:port (port 0: the system picks; see Port()) and serves on threads of
  // its own. False with error set.
  bool Start(const std::string& host, uint16_t port, std::string* error);
  uint16_t Port() const { return m_port; }
  // Closes the listener and every connection, silent ones included, and joins the threads.
  void Stop();

  // Answers for the next questions in order, then fallback.
  void SetScript(std::vector<Answer> answers, Answer fallback = Answer::Admit());
  // Called on a connection's thread for every question, with the answer it gets.
  void SetObserver(std::function<void(const Question&, const Answer&)> observer);

  std::vector<Question> Questions() const;
  // True once n questions have arrived, waiting up to timeoutMs.
  bool WaitQuestions(size_t n, int timeoutMs) const;

 private:
  void AcceptLoop();
  void Serve(int fd);
  Answer NextAnswer();
  // Waits ms or until Stop; false when stopped.
  bool Pause(int ms) const;

  int m_listenFd = -1;
  int m_stopPipe[2] = {-1, -1};
  uint16_t m_port = 0;
  std::atomic<bool> m_stopping{false};
  std::thread m_acceptThread;

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cond;
  std::list<std::thread> m_connThreads;  // m_mutex
  std::deque<Answer> m_script;           // m_mutex
  Answer m_fallback;                     // m_mutex
  std::function<void(const Question&, const Answer&)> m_observer;  // m_mutex
  std::vector<Question> m_questions;     // m_mutex
};

}  // namespace traylistener
