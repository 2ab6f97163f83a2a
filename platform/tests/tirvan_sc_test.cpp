// tirvan-sc as users and scripts run it, over the built-in manager in a temporary
// state directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/service_manager.h"
#include "scm_test_util.h"
#include "support/temp_dir.h"

namespace {

using Args = std::vector<std::string>;

class TirvanSc : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { scmtest::BecomeSubreaper(); }

  void SetUp() override {
    m_tmp.MakeDir("scm");
    m_tmp.MakeDir("bin dir");
    m_exe = m_tmp.Sub("bin dir/test service");
    ASSERT_EQ(::symlink(scmtest::kTestService, m_exe.c_str()), 0);
  }

  platform::CommandResult Sc(const Args& args, const std::string& backend = "builtin") {
    std::vector<std::string> env =
        scmtest::CleanEnvironment({"TIRVAN_SCM_DIR=" + m_tmp.Sub("scm"), "TIRVAN_SCM=" + backend});
    Args argv = {TIRVAN_SC_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return platform::RunCommand(argv, 30000, &env);
  }

  support::TempDir m_tmp;
  std::string m_exe;
};

TEST_F(TirvanSc, WrongCommandLinesExitWithTwo) {
  const Args cases[] = {
      {},
      {"query"},
      {"frobnicate", "Svc"},
      {"install", "Svc"},
      {"config", "Svc"},
      {"config", "Svc", "start="},
      {"config", "Svc", "start=", "sometimes"},
      {"start", "Svc", "wait=", "soon"},
      {"stop", "Svc", "bogus"},
      {"query", "Svc", "start=", "auto"},
  };
  for (const auto& args : cases) {
    platform::CommandResult c = Sc(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(c.exitCode, 2) << joined;
    EXPECT_EQ(c.err.rfind("tirvan-sc: ", 0), 0u) << joined << c.err;
    EXPECT_NE(c.err.find("usage: tirvan-sc"), std::string::npos) << joined;
    EXPECT_TRUE(c.out.empty()) << joined;
  }
  platform::CommandResult help = Sc({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("usage: tirvan-sc"), std::string::npos);
}

TEST_F(TirvanSc, ControlsAServiceThroughItsLife) {
  platform::CommandResult c = Sc({"query", "Svc"});
  EXPECT_EQ(c.exitCode, 1);
  EXPECT_NE(c.err.find("service \"Svc\" is not installed"), std::string::npos) << c.err;
  EXPECT_NE(c.err.find("(error 1060)"), std::string::npos) << c.err;

  c = Sc({"install", "Svc", m_exe});
  EXPECT_EQ(c.exitCode, 0) << c.err;
  EXPECT_EQ(c.out, "Svc: installed\n");
  c = Sc({"install", "Svc", m_exe});
  EXPECT_EQ(c.exitCode, 1);
  EXPECT_NE(c.err.find("already installed"), std::string::npos) << c.err;

  const std::pair<Args, std::string> steps[] = {
      {{"query", "Svc"}, "STOPPED\n"},
      {{"qc", "Svc"}, "auto\n"},
      {{"config", "Svc", "start=", "disabled"}, "Svc: start type disabled\n"},
      {{"qc", "Svc"}, "disabled\n"},
  };
  for (const auto& [args, out] : steps) {
    c = Sc(args);
    EXPECT_EQ(c.exitCode, 0) << args[0] << c.err;
    EXPECT_EQ(c.out, out) << args[0];
  }
  c = Sc({"start", "Svc"});
  EXPECT_EQ(c.exitCode, 1);
  EXPECT_NE(c.err.find("disabled (error 1058)"), std::string::npos) << c.err;

  c = Sc({"config", "Svc", "start=demand"});
  EXPECT_EQ(c.exitCode, 0) << c.err;
  c = Sc({"start", "Svc"});
  EXPECT_EQ(c.exitCode, 0) << c.err;
  EXPECT_EQ(c.out, "RUNNING\n");
  c = Sc({"start", "Svc"});
  EXPECT_EQ(c.exitCode, 1);
  EXPECT_NE(c.err.find("already running"), std::string::npos) << c.err;
  c = Sc({"query", "Svc"});
  EXPECT_EQ(c.out, "RUNNING\n");
  EXPECT_EQ(c.exitCode, 0);

  c = Sc({"stop", "Svc", "wait=", "20000"});
  EXPECT_EQ(c.exitCode, 0) << c.err;
  EXPECT_EQ(c.out, "STOPPED\n");
  c = Sc({"stop", "Svc"});
  EXPECT_EQ(c.exitCode, 1);
  EXPECT_NE(c.err.find("is not running (error 1062)"), std::string::npos) << c.err;

  c = Sc({"remove", "Svc"});
  EXPECT_EQ(c.exitCode, 0) << c.err;
  EXPECT_EQ(c.out, "Svc: removed\n");
  EXPECT_EQ(Sc({"query", "Svc"}).exitCode, 1);
}

TEST_F(TirvanSc, FailedStartSaysWhyAndWhere) {
  ASSERT_EQ(Sc({"install", "Svc", m_exe}).exitCode, 0);
  m_tmp.Write("scm/Svc.test", "steps=1\nfailcode=4130\n");
  platform::CommandResult c = Sc({"start", "Svc"});
  EXPECT_EQ(c.exitCode, 1);
  EXPECT_NE(c.err.find("stopped during start-up with exit code 4130"), std::string::npos) << c.err;
  EXPECT_NE(c.err.find(m_tmp.Sub("scm/Svc.log")), std::string::npos) << c.err;
  EXPECT_EQ(Sc({"query", "Svc"}).out, "STOPPED\n");
}

TEST_F(TirvanSc, UnknownBackendIsAnError) {
  platform::CommandResult c = Sc({"query", "Svc"}, "sometimes");
  EXPECT_EQ(c.exitCode, 1);
  EXPECT_NE(c.err.find("TIRVAN_SCM is \"sometimes\""), std::string::npos) << c.err;
}

}  // namespace
