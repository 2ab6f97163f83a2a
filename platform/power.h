// Powering the PC off. Linux has no call that asks the system to shut down in an orderly
// way and returns (reboot(2) stops at once, skipping every clean-up), so a command does
// it: "systemctl poweroff" unless configured otherwise. The command runs without a shell.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The environment variable that names the power-off command: a program and its
// arguments separated by blanks (no quoting). Read at every power-off.
inline constexpr const char* kPowerOffCommandEnv = "TIRVAN_POWEROFF_CMD";

// The command PowerOffSystem runs: the one SetPowerOffCommand set, else the environment's,
// else {"systemctl", "poweroff"}.
std::vector<std::string> PowerOffCommand();
// Sets the command (an empty list goes back to the environment and the default).
void SetPowerOffCommand(const std::vector<std::string>& argv);

// What running a command means. The default checks that the program can be run (a name
// without "/" is looked up in PATH), then forks and execs it and waits for it to end.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // True when argv[0] names a program this process may execute; error says why not.
  virtual bool CanRun(const std::vector<std::string>& argv, std::string* error) = 0;
  // Runs argv and waits: 0 when it exited with status 0, else -1 with error set.
  virtual int Run(const std::vector<std::string>& argv, std::string* error) = 0;
};

// The runner in use. Tests install one that records the command and never runs it; null
// restores the real one. The runner must outlive its use.
void SetCommandRunner(CommandRunner* runner);
CommandRunner& GetCommandRunner();

// Checks that the power-off command can be run, without running it.
bool CanPowerOff(std::string* error);
// Runs the power-off command. 0 when the system accepted it, -1 otherwise (error set).
int PowerOffSystem(std::string* error);

}  // namespace platform
