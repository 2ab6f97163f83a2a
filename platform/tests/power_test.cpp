// The power-off command and the runner that executes it. Only harmless programs are ever
// run here; the power-off command itself is only looked at.
#include "platform/power.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using platform::CommandRunner;
using platform::GetCommandRunner;
using platform::PowerOffCommand;
using platform::SetPowerOffCommand;

class PowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv(platform::kPowerOffCommandEnv);
    SetPowerOffCommand({});
    platform::SetCommandRunner(nullptr);
  }
  void TearDown() override {
    ::unsetenv(platform::kPowerOffCommandEnv);
    SetPowerOffCommand({});
  }
};

TEST_F(PowerTest, CommandComesFromTheSetterThenTheEnvironmentThenTheDefault) {
  EXPECT_EQ(PowerOffCommand(), (std::vector<std::string>{"systemctl", "poweroff"}));
  ::setenv(platform::kPowerOffCommandEnv, "  shutdown  -h now ", 1);
  EXPECT_EQ(PowerOffCommand(), (std::vector<std::string>{"shutdown", "-h", "now"}));
  ::setenv(platform::kPowerOffCommandEnv, "   ", 1);  // blank: the default
  EXPECT_EQ(PowerOffCommand(), (std::vector<std::string>{"systemctl", "poweroff"}));
  ::setenv(platform::kPowerOffCommandEnv, "/sbin/poweroff", 1);
  SetPowerOffCommand({"/bin/echo", "a b"});
  EXPECT_EQ(PowerOffCommand(), (std::vector<std::string>{"/bin/echo", "a b"}));
  SetPowerOffCommand({});
  EXPECT_EQ(PowerOffCommand(), (std::vector<std::string>{"/sbin/poweroff"}));
}

TEST_F(PowerTest, RealRunnerReportsExitStatusAndMissingPrograms) {
  CommandRunner& r = GetCommandRunner();
  std::string error;
  EXPECT_TRUE(r.CanRun({"true"}, &error)) << error;
  EXPECT_EQ(r.Run({"true"}, &error), 0) << error;

  error.clear();
  EXPECT_EQ(r.Run({"sh", "-c", "exit 3"}, &error), -1);
  EXPECT_NE(error.find("exited with status 3"), std::string::npos) << error;

  // No shell: the words are arguments, never interpreted.
  error.clear();
  EXPECT_EQ(r.Run({"test", "a;true", "=", "b"}, &error), -1);

  char plain[] = "/tmp/tirvan-power-XXXXXX";
  int fd = ::mkstemp(plain);
  ASSERT_GE(fd, 0);
  ::close(fd);
  for (const std::vector<std::string>& missing :
       {std::vector<std::string>{"tirvan-no-such-program"}, {"/nonexistent/poweroff"},
        {std::string(plain)}, {"/tmp"}, {}}) {
    error.clear();
    EXPECT_FALSE(r.CanRun(missing, &error)) << (missing.empty() ? "" : missing[0]);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(r.Run(missing, &error), -1);
  }

  // An executable file that is no program fails; it is never handed to a shell.
  const std::string marker = std::string(plain) + ".ran";
  {
    std::ofstream script(plain);
    script << "touch " << marker << "\n";
  }
  ::chmod(plain, 0755);
  error.clear();
  EXPECT_TRUE(r.CanRun({plain}, &error)) << error;
  EXPECT_EQ(r.Run({plain}, &error), -1);
  EXPECT_NE(error.find("Exec format error"), std::string::npos) << error;
  EXPECT_NE(::access(marker.c_str(), F_OK), 0);
  ::unlink(plain);
  ::unlink(marker.c_str());
}

TEST_F(PowerTest, InstalledRunnerGetsThePowerOffCommandAndNothingRuns) {
  struct Recorder : CommandRunner {
    bool CanRun(const std::vector<std::string>& argv, std::string*) override {
      checked = argv;
      return true;
    }
    int Run(const std::vector<std::string>& argv, std::string* error) override {
      ran = argv;
      *error = "refused";
      return -1;
    }
    std::vector<std::string> checked, ran;
  } recorder;
  platform::SetCommandRunner(&recorder);
  SetPowerOffCommand({"shutdown", "-h", "now"});
  std::string error;
  EXPECT_TRUE(platform::CanPowerOff(&error));
  EXPECT_EQ(platform::PowerOffSystem(&error), -1);
  EXPECT_EQ(error, "refused");
  EXPECT_EQ(recorder.checked, (std::vector<std::string>{"shutdown", "-h", "now"}));
  EXPECT_EQ(recorder.ran, recorder.checked);
  platform::SetCommandRunner(nullptr);
  EXPECT_NE(&GetCommandRunner(), &recorder);
}

}  // namespace
