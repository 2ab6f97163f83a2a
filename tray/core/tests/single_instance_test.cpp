#include "single_instance.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <chrono>
#include <thread>

namespace {

using Outcome = tray::SingleInstance::Outcome;

TEST(SingleInstanceTest, SecondCopyIsToldAndTheLockDiesWithItsProcess) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  {
    tray::SingleInstance first(dir.path());
    ASSERT_EQ(first.outcome(), Outcome::kFirst) << first.error().toStdString();
    tray::SingleInstance second(dir.path());
    EXPECT_EQ(second.outcome(), Outcome::kAnotherRuns);
  }
  EXPECT_EQ(tray::SingleInstance(dir.path()).outcome(), Outcome::kFirst);  // released

  // A copy that is killed leaves no lock behind.
  QByteArray lock = (dir.path() + QStringLiteral("/") + QLatin1String(tray::kSingleInstanceName) +
                     QStringLiteral(".lock"))
                        .toLocal8Bit();
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // its own group, so that the kill takes its sleep too
    execlp("flock", "flock", "-o", lock.constData(), "sleep", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  bool held = false;
  for (int i = 0; i < 500 && !held; ++i) {
    held = tray::SingleInstance(dir.path()).outcome() == Outcome::kAnotherRuns;
    if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(held);
  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  // The group's last process may still be on its way out for a moment.
  bool free = false;
  for (int i = 0; i < 500 && !free; ++i) {
    free = tray::SingleInstance(dir.path()).outcome() == Outcome::kFirst;
    if (!free) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(free);
}

TEST(SingleInstanceTest, NoLockWhereTheFolderCannotBeMade) {
  tray::SingleInstance s(QStringLiteral("/proc/no/such/folder"));
  EXPECT_EQ(s.outcome(), Outcome::kNoLock);
  EXPECT_FALSE(s.error().isEmpty());
}

}  // namespace
