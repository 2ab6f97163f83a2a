// Shared pieces of the service-application tests: a configuration database laid out
// with the shipped schema in a temporary folder, and the local server running
// in-process with the device handlers registered.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/config_db.h"
#include "comm/dispatch.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/sqlite_db.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"

namespace apptest {

inline std::string ShippedSchema() {
  std::filesystem::path schema =
      std::filesystem::path(__FILE__).parent_path() / "../../../etc/schema.sql";
  std::ifstream in(schema);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// g_DB on a fresh database in dir, with the shipped schema and an empty qz_defshare row.
inline void OpenTestDb(const support::TempDir& dir) {
  g_DB.OpenFile(dir.Sub("Tirvan.db").c_str());
  std::string schema = ShippedSchema();
  ASSERT_NE(schema.find("qz_trans"), std::string::npos);
  g_DB.RunCommand(schema.c_str());
}

inline void SetDefaults(const std::string& def, const std::string& pic = "") {
  DefShareRecord rec;
  std::memset(&rec, 0, sizeof rec);
  std::strncpy(rec.def, def.c_str(), sizeof rec.def - 1);
  std::strncpy(rec.def_pic, pic.c_str(), sizeof rec.def_pic - 1);
  ASSERT_EQ(SetDefaultDir(rec), 0);
}

// Runs the local server on its own thread for the life of the object.
class ServerRunner {
 public:
  ServerRunner() {
    g_LocalPort = 0;
    OS_ResetLocalServerState();
    m_thread = std::thread(OS_RunEvent, nullptr);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (OS_LocalServerState() == LocalServerState::Pending &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(OS_LocalServerState(), LocalServerState::Running);
    m_port = g_LocalPort.load();
  }
  ~ServerRunner() { Stop(); }
  ServerRunner(const ServerRunner&) = delete;
  ServerRunner& operator=(const ServerRunner&) = delete;

  void Stop() {
    if (!m_thread.joinable()) return;
    OS_StopLocalServer();
    m_thread.join();
  }
  uint16_t port() const { return m_port; }

  support::MsgClient Connect() const {
    support::MsgClient c;
    EXPECT_TRUE(c.Connect(m_port));
    return c;
  }

 private:
  std::thread m_thread;
  uint16_t m_port = 0;
};

// Waits until pred holds, up to timeoutMs (by default room for a loaded machine).
template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs = 10000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace apptest
