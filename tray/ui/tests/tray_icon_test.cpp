#include "tray_icon.h"

#include <gtest/gtest.h>

#include <QPixmap>

#include "qt_app.h"
#include "recording_tray.h"

namespace {

using tray::TrayCommand;

QIcon SolidIcon(Qt::GlobalColor color) {
  QPixmap pixmap(16, 16);
  pixmap.fill(color);
  return QIcon(pixmap);
}

class TrayIconTest : public ::testing::Test {
 protected:
  void SetUp() override { traytest::TestApp(); }
  traytest::RecordingTray backend;
};

TEST_F(TrayIconTest, AddsThenModifiesThenDeletes) {
  tray::CTrayIcon icon(backend);
  EXPECT_TRUE(icon.SetIcon(QIcon()));  // nothing to remove: no call
  EXPECT_TRUE(backend.calls.empty());

  QString tip(200, QChar('t'));
  ASSERT_TRUE(icon.SetIcon(SolidIcon(Qt::red), &tip));
  ASSERT_TRUE(icon.SetIcon(SolidIcon(Qt::blue)));
  ASSERT_TRUE(icon.SetIcon(QIcon()));
  ASSERT_EQ(backend.calls.size(), 3u);
  EXPECT_EQ(backend.calls[0].command, TrayCommand::Add);
  EXPECT_EQ(backend.calls[0].record.id, tray::kTrayIconId);
  EXPECT_EQ(backend.calls[0].record.tip.size(), 127);
  EXPECT_EQ(backend.calls[0].record.flags, tray::kTrayIcon | tray::kTrayTip);
  EXPECT_EQ(backend.calls[1].command, TrayCommand::Modify);
  EXPECT_EQ(backend.calls[1].record.tip.size(), 127);  // the tip stays without a new one
  EXPECT_EQ(backend.calls[2].command, TrayCommand::Delete);
  EXPECT_FALSE(icon.HasIcon());
}

TEST_F(TrayIconTest, FailureRetriesOnceThenAddsAgain) {
  tray::CTrayIcon icon(backend);
  icon.SetOwner([](tray::TrayActivation) {});
  backend.failures = 2;
  EXPECT_FALSE(icon.SetIcon(SolidIcon(Qt::red)));
  ASSERT_EQ(backend.calls.size(), 2u);
  EXPECT_EQ(backend.calls[0].command, TrayCommand::Add);
  EXPECT_EQ(backend.calls[1].command, TrayCommand::Modify);
  EXPECT_TRUE(backend.calls[0].record.flags & tray::kTrayMessage);
  EXPECT_FALSE(icon.HasIcon());

  backend.failures = 1;  // the retry succeeds
  EXPECT_TRUE(icon.SetIcon(SolidIcon(Qt::red)));
  EXPECT_EQ(backend.calls[2].command, TrayCommand::Add);
  EXPECT_EQ(backend.calls[3].command, TrayCommand::Modify);
  EXPECT_TRUE(icon.HasIcon());
}

TEST_F(TrayIconTest, BalloonSendsAddAndModifyEvenWithoutOwner) {
  {
    tray::CTrayIcon icon(backend);
    EXPECT_TRUE(icon.ShowBalloon(QString(300, QChar('x')), QString(80, QChar('y'))));
    ASSERT_EQ(backend.calls.size(), 2u);
    EXPECT_EQ(backend.calls[0].command, TrayCommand::Add);
    EXPECT_EQ(backend.calls[1].command, TrayCommand::Modify);
    const tray::TrayRecord& r = backend.calls[1].record;
    EXPECT_EQ(r.id, tray::kTrayIconId);
    EXPECT_EQ(r.flags, 0x13u);
    EXPECT_EQ(r.balloonText.size(), 255);
    EXPECT_EQ(r.balloonTitle.size(), 63);
    EXPECT_EQ(r.balloonTimeoutMs, 5000);
    EXPECT_EQ(r.balloonInfoFlags, 1);
  }
  EXPECT_EQ(backend.calls.size(), 2u);  // no icon was set, so none is deleted

  {
    tray::CTrayIcon icon(backend);
    icon.SetIcon(SolidIcon(Qt::green));
  }
  EXPECT_EQ(backend.calls.back().command, TrayCommand::Delete);
}

TEST_F(TrayIconTest, ClicksReachTheOwner) {
  tray::CTrayIcon icon(backend);
  std::vector<tray::TrayActivation> seen;
  icon.SetOwner([&](tray::TrayActivation a) { seen.push_back(a); });
  backend.activated(tray::TrayActivation::LeftClick);
  backend.activated(tray::TrayActivation::RightClick);
  EXPECT_EQ(seen, (std::vector<tray::TrayActivation>{tray::TrayActivation::LeftClick,
                                                      tray::TrayActivation::RightClick}));
}

}  // namespace
