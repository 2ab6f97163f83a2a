// The tray program's log under floods: a line repeated within the window is written once
// with a count, the file rotates at its size and keeps only its number of rotated files,
// and a flood of connections past the device-login listener's cap leaves one line and
// its count instead of one line per connection.
#include "tray_log.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <chrono>
#include <thread>
#include <vector>

#include "fake_peer.h"
#include "socket_core.h"

namespace {

class TrayLogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  void TearDown() override {
    // Later tests of this program log to a file of their own again.
    tray::InstallTrayLog(dir.filePath(QStringLiteral("after.log")));
  }
  QString Path(const QString& name = QStringLiteral("Tirvan.log")) const { return dir.filePath(name); }
  // The lines of a file without their time and level.
  QStringList Messages(const QString& name = QStringLiteral("Tirvan.log")) const {
    QFile f(Path(name));
    if (!f.open(QIODevice::ReadOnly)) return {};
    QStringList out;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
      out << line.section(QLatin1Char(' '), 3);
    }
    return out;
  }
  QTemporaryDir dir;
};

TEST_F(TrayLogTest, ALineRepeatedWithinTheWindowIsWrittenOnceWithItsCount) {
  tray::TrayLogOptions o;
  o.repeatWindowMs = 600000;  // the whole test lies within one window
  ASSERT_TRUE(tray::InstallTrayLog(Path(), o));
  for (int i = 0; i < 2000; ++i) {
    qWarning("16 device-login connections already open; one more closed");
    if (i % 2 == 0) qInfo("the other line");
  }
  qWarning("a third line");
  tray::FlushTrayLog();
  EXPECT_EQ(Messages(), (QStringList{
                            QStringLiteral("16 device-login connections already open; one more closed"),
                            QStringLiteral("the other line"),
                            QStringLiteral("a third line"),
                            QStringLiteral("16 device-login connections already open; one more closed (1999 more times)"),
                            QStringLiteral("the other line (999 more times)"),
                        }));
  // The same text at another level is another line.
  qWarning("level");
  qInfo("level");
  tray::FlushTrayLog();
  EXPECT_EQ(Messages().mid(5), (QStringList{QStringLiteral("level"), QStringLiteral("level")}));
}

TEST_F(TrayLogTest, AfterTheWindowTheLineIsWrittenAgainAndTheCountComesFirst) {
  tray::TrayLogOptions o;
  o.repeatWindowMs = 50;
  ASSERT_TRUE(tray::InstallTrayLog(Path(), o));
  qWarning("same");
  qWarning("same");
  qWarning("same");
  const auto passed = std::chrono::steady_clock::now() + std::chrono::milliseconds(60);
  while (std::chrono::steady_clock::now() < passed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  qWarning("same");
  tray::FlushTrayLog();
  EXPECT_EQ(Messages(), (QStringList{QStringLiteral("same"), QStringLiteral("same (2 more times)"),
                                     QStringLiteral("same")}));

  // A window of 0 writes every line.
  o.repeatWindowMs = 0;
  ASSERT_TRUE(tray::InstallTrayLog(Path(QStringLiteral("all.log")), o));
  for (int i = 0; i < 3; ++i) qWarning("same");
  EXPECT_EQ(Messages(QStringLiteral("all.log")).size(), 3);
}

TEST_F(TrayLogTest, TheFileRotatesAtItsSizeAndKeepsItsNumberOfRotatedFiles) {
  tray::TrayLogOptions o;
  o.sizeLimitBytes = 2000;
  o.rotatedFiles = 2;
  ASSERT_TRUE(tray::InstallTrayLog(Path(), o));
  // Distinct lines: none is collapsed, so only the rotation bounds the files.
  for (int i = 0; i < 500; ++i) qWarning("line number %d of a flood of distinct lines", i);
  tray::FlushTrayLog();
  const QStringList files = QDir(dir.path()).entryList({QStringLiteral("Tirvan.log*")}, QDir::Files, QDir::Name);
  EXPECT_EQ(files, (QStringList{QStringLiteral("Tirvan.log"), QStringLiteral("Tirvan.log.1"),
                                QStringLiteral("Tirvan.log.2")}));
  for (const QString& f : files) EXPECT_LE(QFileInfo(Path(f)).size(), 2000) << f.toStdString();
  // The newest lines are in the log itself, the ones just before in .1, in order.
  const QStringList now = Messages();
  ASSERT_FALSE(now.isEmpty());
  EXPECT_EQ(now.last(), QStringLiteral("line number 499 of a flood of distinct lines"));
  const QStringList before = Messages(QStringLiteral("Tirvan.log.1"));
  ASSERT_FALSE(before.isEmpty());
  const int last = before.last().section(QLatin1Char(' '), 2, 2).toInt();
  EXPECT_EQ(now.first(), QStringLiteral("line number %1 of a flood of distinct lines").arg(last + 1));

  // No rotated file kept: the log starts over.
  o.rotatedFiles = 0;
  ASSERT_TRUE(tray::InstallTrayLog(Path(QStringLiteral("alone.log")), o));
  for (int i = 0; i < 500; ++i) qWarning("line number %d of a flood of distinct lines", i);
  EXPECT_LE(QFileInfo(Path(QStringLiteral("alone.log"))).size(), 2000);
  EXPECT_FALSE(QFile::exists(Path(QStringLiteral("alone.log.1"))));
}

// The attack: far more connections to the device-login listener than its cap, each one
// refused with a warning. The log keeps one line and its count.
TEST_F(TrayLogTest, AConnectionFloodPastTheListenersCapLeavesOneLineAndItsCount) {
  tray::TrayLogOptions o;
  o.repeatWindowMs = 600000;
  ASSERT_TRUE(tray::InstallTrayLog(Path(), o));
  tray::SocketCoreOptions so;
  so.listenPort = 0;
  so.maxConnections = 2;
  tray::CSocketCore core(so);
  ASSERT_TRUE(core.StartListener());
  // Two silent connections fill the cap while their questions are awaited.
  std::vector<int> held;
  for (int i = 0; i < 2; ++i) held.push_back(traytest::ConnectLoopback(core.ListenPort()));
  const QString refused = QStringLiteral("socket core: 2 device-login connections already open; one more closed");
  ASSERT_TRUE(traytest::WaitFor([&] {
    int fd = traytest::ConnectLoopback(core.ListenPort());
    bool closed = traytest::PeerCloses(fd, 2000);
    ::close(fd);
    return closed;
  }));
  constexpr int kFlood = 300;
  for (int i = 0; i < kFlood; ++i) {
    int fd = traytest::ConnectLoopback(core.ListenPort());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(traytest::PeerCloses(fd, 5000));
    ::close(fd);
  }
  tray::FlushTrayLog();
  const QStringList lines = Messages();
  EXPECT_EQ(lines.count(refused), 1) << lines.join(QLatin1Char('\n')).toStdString();
  // At least the flood, counted once more than the lines the cap filled.
  const QRegularExpression counted(QRegularExpression::escape(refused) + QStringLiteral(" \\((\\d+) more times\\)"));
  int counts = 0;
  for (const QString& line : lines) {
    auto m = counted.match(line);
    if (!m.hasMatch()) continue;
    ++counts;
    EXPECT_GE(m.captured(1).toInt(), kFlood);
  }
  EXPECT_EQ(counts, 1);
  EXPECT_LE(lines.size(), 4);
  for (int fd : held) ::close(fd);
}

}  // namespace
