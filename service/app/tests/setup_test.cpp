// Runs the built tirvan-setup and reads the database it lays out through the service's
// own accessors.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/config_db.h"
#include "comm/local_server.h"
#include "comm/sqlite_db.h"
#include "support/temp_dir.h"

namespace {

// Runs the tool in folder cwd; returns its exit code, its output in *output.
int RunSetup(const std::string& cwd, const std::vector<std::string>& args, std::string* output) {
  const std::string outPath = cwd + "/setup-output.txt";
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char*> argv{const_cast<char*>(TIRVAN_SETUP_PATH)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(TIRVAN_SETUP_PATH, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (output) {
    output->clear();
    FILE* f = fopen(outPath.c_str(), "r");
    if (f) {
      char buf[512];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) output->append(buf, n);
      fclose(f);
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(SetupTool, LaysOutAnInstallRootTheServiceCanRead) {
  support::TempDir dir;
  dir.MakeDir("work");
  dir.MakeDir("photos");
  const std::string root = dir.Sub("root");
  std::string out;
  ASSERT_EQ(RunSetup(dir.Sub("work"),
                     {"--root", root, "--port", "15010", "--server", "127.0.0.1:8000", "--p2p",
                      "p2p.example:9000", "--share", dir.Sub("photos"), "--share",
                      "../photos/../work", "--log-priority", "700", "--console", "1"},
                     &out),
            0)
      << out;
  EXPECT_TRUE(IsDir(root + "/bin"));
  EXPECT_TRUE(IsDir(root + "/log"));
  const std::string def = root + "/Tirvan";
  for (const char* sub : {"", "/Pictures", "/Music", "/Videos", "/Documents"}) {
    EXPECT_TRUE(IsDir(def + sub)) << sub;
  }

  g_DB.OpenFile((root + "/etc/Tirvan.db").c_str());
  ParseLocalPort();
  EXPECT_EQ(g_LocalPort, 15010);
  int console = 0, priority = 0;
  ParseLogConf(console, priority);
  EXPECT_EQ(console, 1);
  EXPECT_EQ(priority, 700);
  std::string host;
  uint16_t port = 0;
  GetServerInfo(host, port);
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 8000);
  GetP2PServerInfo(host, port);
  EXPECT_EQ(host, "p2p.example");
  EXPECT_EQ(port, 9000);
  DefaultDirInfo info;
  ParseDefaultDir(info);
  EXPECT_EQ(info.def, def);
  EXPECT_EQ(info.def_pic, def + "/Pictures");
  EXPECT_EQ(info.def_music, def + "/Music");
  EXPECT_EQ(info.def_video, def + "/Videos");
  EXPECT_EQ(info.def_doc, def + "/Documents");
  std::vector<std::string> shares;
  ParseShareInfo(shares);
  EXPECT_EQ(shares, (std::vector<std::string>{dir.Sub("photos"), dir.Sub("work")}));
  {
    CppSQLite3Query q = g_DB.RunSelect("select count(*) as n from qz_conf");
    EXPECT_EQ(q.IntOf("n"), 1);
    // The transfer log's id is the row key.
    q = g_DB.RunSelect("select pk as n from pragma_table_info('qz_trans') where name='id'");
    EXPECT_EQ(q.IntOf("n"), 1);
  }
  g_DB.CloseFile();

  // An existing database is kept unless --force is given.
  EXPECT_EQ(RunSetup(dir.path(), {"--root", root}, &out), 1);
  EXPECT_NE(out.find("already exists"), std::string::npos) << out;
  g_DB.OpenFile((root + "/etc/Tirvan.db").c_str());
  ParseLocalPort();
  EXPECT_EQ(g_LocalPort, 15010);
  g_DB.CloseFile();

  ASSERT_EQ(RunSetup(dir.path(), {"--root", root, "--force"}, &out), 0) << out;
  g_DB.OpenFile((root + "/etc/Tirvan.db").c_str());
  ParseLocalPort();
  EXPECT_EQ(g_LocalPort, 15002);
  ParseLogConf(console, priority);
  EXPECT_EQ(console, 0);
  EXPECT_EQ(priority, 600);
  GetServerInfo(host, port);
  EXPECT_EQ(host, "");
  ParseShareInfo(shares);
  EXPECT_EQ(shares, std::vector<std::string>{def});  // the default folder is shared
  g_DB.CloseFile();
}

TEST(SetupTool, RefusesBadArguments) {
  support::TempDir dir;
  const std::string root = dir.Sub("root");
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {{}, 2, "--root DIR is required"},
      {{"--root", root, "--port", "70000"}, 2, "bad port \"70000\""},
      {{"--root", root, "--server", "nohost"}, 2, "bad server address"},
      {{"--root", root, "--p2p", "h:0"}, 2, "bad rendezvous address"},
      {{"--root", root, "--console", "2"}, 2, "bad console flag"},
      {{"--root", root, "--bogus", "1"}, 2, "unknown option --bogus"},
      {{"--root"}, 2, "--root needs a value"},
      {{"--root", root, "--share", dir.Sub("missing")}, 1, "no such folder"},
      {{"--root", root, "--default-folder", Repeat("d/", 150)}, 1, "path too long"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(RunSetup(dir.path(), c.args, &out), c.code) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  }
  struct stat st;
  EXPECT_NE(stat((root + "/etc/Tirvan.db").c_str(), &st), 0);  // nothing half written
}
