// ServiceMain, the control handler and the step runner with recorded steps and status
// reports: the order of reports, one stop, one STOPPED after the clean-up.
#include "app/service_host.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <exception>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app_test_util.h"
#include "comm/core.h"

namespace {

using platform::ServiceState;

class ServiceHostTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Service_ConfigureHost(DefaultServiceHostConfig());
    OS_ClearStopFlag();
  }

  void Record(const std::string& e) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(e);
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  bool Seen(const std::string& e) {
    for (const std::string& x : Events()) {
      if (x == e) return true;
    }
    return false;
  }

  // A step that records its name (and whether the stop flag was up) and returns rc.
  ServiceStep Step(const std::string& name, int rc = 0) {
    return [this, name, rc] {
      Record("step " + name + (g_StopFlag.load() != 0 ? " (stopping)" : ""));
      return rc;
    };
  }

  void Configure(ServiceStepTable start, ServiceStepTable stop = {},
                 ServiceStepTable shutdown = {}) {
    ServiceHostConfig c;
    c.start = std::move(start);
    c.stop = std::move(stop);
    c.shutdown = std::move(shutdown);
    c.report = [this](ServiceState s, uint32_t cp, uint32_t hint, uint32_t exit) {
      std::string e = std::string(platform::ServiceStateName(s)) + " " + std::to_string(cp) + " " +
                      std::to_string(hint);
      if (s == ServiceState::kStopped) e += " exit " + std::to_string(exit);
      Record(e);
    };
    Service_ConfigureHost(c);
  }

  void StartAndWaitRunning() {
    m_main = std::thread(ServiceMain);
    ASSERT_TRUE(apptest::WaitUntil([this] { return Seen("RUNNING 0 0"); }, 5000));
  }

  std::mutex m_mutex;
  std::vector<std::string> m_events;
  std::thread m_main;
};

TEST_F(ServiceHostTest, StepsReportARisingCheckpointAndStopAtTheFirstFailure) {
  Configure({});
  EXPECT_EQ(RunServiceSteps({}), 0);
  EXPECT_TRUE(Events().empty());

  int failed = 0;
  EXPECT_EQ(RunServiceSteps({Step("a"), Step("b")}, &failed), 0);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(RunServiceSteps({Step("c"), Step("d", 4125), Step("never")}, &failed), -1);
  EXPECT_EQ(failed, 4125);
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          "STOPPED 1 0 exit 0", "step a", "STOPPED 2 0 exit 0", "step b",
                          "STOPPED 3 0 exit 0", "step c", "STOPPED 4 0 exit 0", "step d"}));
}

TEST_F(ServiceHostTest, StopRunsTheCleanUpBeforeTheOneStoppedReport) {
  Configure({Step("prepare"), Step("init")}, {Step("exit")}, {Step("shutdown-exit")});
  StartAndWaitRunning();
  ServiceCtrlHandler(platform::kServiceControlStop);
  m_main.join();  // ServiceMain returns once the clean-up is done
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"START_PENDING 0 60000", "START_PENDING 1 60000",
                                      "step prepare", "START_PENDING 2 60000", "step init",
                                      "RUNNING 0 0", "STOP_PENDING 0 60000", "STOP_PENDING 1 60000",
                                      "step exit (stopping)", "STOPPED 0 0 exit 0"}));
  // Later controls find the service stopped and change nothing.
  ServiceCtrlHandler(platform::kServiceControlStop);
  ServiceCtrlHandler(platform::kServiceControlShutdown);
  EXPECT_EQ(Events().size(), 10u);
}

TEST_F(ServiceHostTest, ShutdownRunsTheShutdownTableOnce) {
  Configure({Step("init")}, {Step("exit")}, {Step("shutdown-exit")});
  StartAndWaitRunning();
  // Two controls at once, as a stop arriving during the shutdown: one clean-up.
  std::thread second([] { ServiceCtrlHandler(platform::kServiceControlStop); });
  ServiceCtrlHandler(platform::kServiceControlShutdown);
  second.join();
  m_main.join();
  std::vector<std::string> ev = Events();
  int cleanUps = 0;
  for (const std::string& e : ev) cleanUps += e.rfind("step ", 0) == 0 && e != "step init";
  EXPECT_EQ(cleanUps, 1);
  EXPECT_EQ(ev.back(), "STOPPED 0 0 exit 0");
}

TEST_F(ServiceHostTest, OtherControlsAndControlsDuringTheStartAreIgnored) {
  Configure({Step("init"),
             [] {
               ServiceCtrlHandler(platform::kServiceControlStop);  // still starting
               return 0;
             }},
            {Step("exit")});
  StartAndWaitRunning();
  for (uint32_t control : {0u, 2u, 3u, 4u, 0x10u, 0x40u}) ServiceCtrlHandler(control);
  EXPECT_FALSE(Seen("STOP_PENDING 0 60000"));
  EXPECT_EQ(g_StopFlag.load(), 0);
  ServiceCtrlHandler(platform::kServiceControlStop);
  m_main.join();
  EXPECT_TRUE(Seen("step exit (stopping)"));
}

TEST_F(ServiceHostTest, FailedStartReportsStoppedWithItsCode) {
  struct Case {
    int code;
    uint32_t exit;
  };
  for (Case c : {Case{4124, 4124}, Case{-1, 1}}) {
    SCOPED_TRACE(c.code);
    m_events.clear();
    Configure({Step("prepare"), Step("init", c.code), Step("never")}, {Step("exit")});
    ServiceMain();  // returns at once: nothing waits for a stop
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"START_PENDING 0 60000", "START_PENDING 1 60000",
                                        "step prepare", "START_PENDING 2 60000", "step init",
                                        "STOPPED 0 0 exit " + std::to_string(c.exit)}));
    ServiceCtrlHandler(platform::kServiceControlStop);  // too late: nothing runs
    EXPECT_FALSE(Seen("step exit"));
  }
}

TEST_F(ServiceHostTest, PrepareProcessIsBestEffort) {
  Configure({});
  // On a thread of its own, so the test's threads keep their priority.
  std::thread([] {
    std::terminate_handler before = std::get_terminate();
    testing::internal::CaptureStdout();
    EXPECT_EQ(Service_PrepareProcess(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    int nice = ::getpriority(PRIO_PROCESS, 0);
    if (out.empty()) {
      EXPECT_EQ(nice, -10);
    } else {
      // Without the privilege: said, and the start goes on.
      EXPECT_EQ(out.rfind("set process priority error: ", 0), 0u) << out;
    }
    // Threads started from here on (the pool's) inherit it.
    int inherited = 1000;
    std::thread([&] { inherited = ::getpriority(PRIO_PROCESS, 0); }).join();
    EXPECT_EQ(inherited, nice);
    EXPECT_NE(std::get_terminate(), before);
    std::set_terminate(before);
  }).join();
}

}  // namespace
