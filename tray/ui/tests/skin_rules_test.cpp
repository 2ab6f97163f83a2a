#include "skin_rules.h"

#include <gtest/gtest.h>

namespace {

using namespace tray::skin;

TEST(SkinRulesTest, DialogFrame) {
  EXPECT_EQ(DialogUnits(203), 355);
  EXPECT_EQ(DialogUnits(113), 198);
  EXPECT_EQ(DialogUnitRect(12, 33, 177, 49), QRect(21, 58, 310, 86));

  const QSize window(355, 197);
  EXPECT_TRUE(IsCaptionPoint({0, 0}, window, 41));
  EXPECT_TRUE(IsCaptionPoint({354, 40}, window, 41));
  EXPECT_FALSE(IsCaptionPoint({10, 41}, window, 41));
  EXPECT_FALSE(IsCaptionPoint({355, 10}, window, 41));
  EXPECT_FALSE(IsCaptionPoint({-1, 10}, window, 41));

  // Close: 32 x 30, 2 pixels from the right edge; minimise: 26 x 24 left of it, 6 lower.
  EXPECT_EQ(CloseButtonRect(355), QRect(321, 0, 32, 30));
  EXPECT_EQ(MinimizeButtonRect(355), QRect(295, 6, 26, 24));

  struct Logo {
    int language, previous, logo;
  };
  for (const Logo& c : {Logo{0, 0, 344}, Logo{1, 344, 376}, Logo{2, 0, 377}, Logo{3, 376, 376},
                        Logo{-1, 0, 0}})
    EXPECT_EQ(LogoForLanguage(c.language, c.previous), c.logo) << c.language;

  EXPECT_EQ(DecorationsFor(102, 0),
            (std::vector<Decoration>{{369, {109, 62}}, {369, {109, 105}}}));
  EXPECT_TRUE(DecorationsFor(129, 0).empty());
  EXPECT_EQ(DecorationsFor(129, 2), (std::vector<Decoration>{{370, {29, 349}}}));
  EXPECT_TRUE(DecorationsFor(105, 1).empty());
}

TEST(SkinRulesTest, RoundedCornersFollowTheSize) {
  for (QSize size : {QSize(355, 197), QSize(484, 426), QSize(10, 6)}) {
    QRegion region = RoundedRegion(size, 4);
    const int w = size.width(), h = size.height();
    for (QPoint corner : {QPoint(0, 0), QPoint(w - 1, 0), QPoint(0, h - 1), QPoint(w - 1, h - 1)})
      EXPECT_FALSE(region.contains(corner)) << corner.x() << "," << corner.y();
    EXPECT_TRUE(region.contains(QPoint(2, 2)));
    EXPECT_TRUE(region.contains(QPoint(w / 2, 0)));
    EXPECT_TRUE(region.contains(QPoint(0, h / 2)));
    EXPECT_TRUE(region.contains(QPoint(w - 1, h / 2)));
    EXPECT_FALSE(region.contains(QPoint(w, h / 2)));
  }
  // A larger ellipse cuts deeper; none leaves the rectangle.
  QRegion round14 = RoundedRegion({300, 200}, 14);
  EXPECT_FALSE(round14.contains(QPoint(1, 1)));
  EXPECT_TRUE(round14.contains(QPoint(4, 4)));
  EXPECT_EQ(RoundedRegion({30, 20}, 0), QRegion(0, 0, 30, 20));
  EXPECT_TRUE(RoundedRegion({0, 0}, 4).isEmpty());
}

TEST(SkinRulesTest, ButtonPicturesByState) {
  const ButtonPictures p{10, 11, 12, 13};
  struct Case {
    bool enabled, pressed, inside;
    int picture;
  };
  const Case cases[] = {
      {true, false, false, 10}, {true, false, true, 11},
      {true, true, true, 12},   {true, true, false, 11},  // pressed and dragged off: hover
      {false, false, true, 13}, {false, true, true, 13},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PushButtonPicture(p, c.enabled, c.pressed, c.inside), c.picture)
        << c.enabled << c.pressed << c.inside;

  EXPECT_EQ(TransparentButtonPicture(p, true, false), 10);
  EXPECT_EQ(TransparentButtonPicture(p, true, true), 11);
  EXPECT_EQ(TransparentButtonPicture(p, false, true), 13);

  // A missing picture falls back to the normal one, and to nothing when that is missing.
  EXPECT_EQ(FallbackPicture(p, 12, true), 12);
  EXPECT_EQ(FallbackPicture(p, 12, false), 10);
  EXPECT_EQ(FallbackPicture(p, 10, false), 0);
  EXPECT_EQ(FallbackPicture(ButtonPictures{10, 0, 0, 0}, 0, false), 10);

  // Only a disabled kind-1 button has grey text.
  EXPECT_EQ(ButtonTextColor(kKindPush, false, 0xFF123456), 0xFF7F7F7Fu);
  EXPECT_EQ(ButtonTextColor(kKindPush, true, 0xFF123456), 0xFF123456u);
  EXPECT_EQ(ButtonTextColor(kKindMark, false, 0xFF123456), 0xFF123456u);
  EXPECT_EQ(ButtonTextColor(kKindCheckBox, false, 0xFF123456), 0xFF123456u);

  EXPECT_EQ(ButtonStoredText(kKindCheckBox, QStringLiteral("Remember")), QStringLiteral(" Remember"));
  EXPECT_EQ(ButtonStoredText(kKindCheckBox, QString()), QString());
  EXPECT_EQ(ButtonStoredText(kKindPush, QStringLiteral("OK")), QStringLiteral("OK"));
  EXPECT_EQ(ButtonStoredText(kKindMark, QStringLiteral("Own")), QStringLiteral("Own"));

  EXPECT_EQ(MarkPicture(true), 222);
  EXPECT_EQ(MarkPicture(false), 223);
  EXPECT_EQ(MarkAt(23, {16, 16}), QPoint(0, 4));
  EXPECT_EQ(MarkAt(16, {16, 16}), QPoint(0, 1));
  EXPECT_EQ(CenteredAt({32, 30}, {14, 14}), QPoint(9, 8));
  EXPECT_EQ(CenteredAt({26, 24}, {14, 14}), QPoint(6, 5));
}

TEST(SkinRulesTest, TabIconAndTextCentredAsOneGroup) {
  struct Case {
    QSize control, icon;
    int textWidth;
    TabLayout layout;
  };
  const Case cases[] = {
      {{121, 31}, {16, 16}, 40, {{30, 7}, 50}},  // (121 - 16 - 4 - 40) / 2 = 30
      {{121, 31}, {0, 0}, 41, {{38, 15}, 42}},   // no icon
      {{121, 31}, {20, 20}, 200, {{-51, 5}, -27}},  // wider than the tab: starts left of it
  };
  for (const Case& c : cases) EXPECT_EQ(SettingTabLayout(c.control, c.icon, c.textWidth), c.layout);
  EXPECT_EQ(SettingTabTextColor(false), 0xFF41799Cu);
  EXPECT_EQ(SettingTabTextColor(true), 0xFF000000u);
}

TEST(SkinRulesTest, MessageBoxButtonsAndLabel) {
  struct Case {
    int type;
    bool ok, cancel;
    const char *okKey, *cancelKey;
    int okX, cancelX;
  };
  const Case cases[] = {
      {0, true, false, "MSGBOX_BUTTON_OK", "", 133, 0},
      {1, true, true, "MSGBOX_BUTTON_OK", "MSGBOX_BUTTON_CANCEL", 67, 174},
      {4, true, true, "MSGBOX_BUTTON_YES", "MSGBOX_BUTTON_NO", 67, 174},
      {2, false, false, "", "", 0, 0},
      {3, false, false, "", "", 0, 0},
  };
  for (const Case& c : cases) {
    MessageBoxButtons b = MessageBoxButtonsFor(c.type, 355, 89);
    EXPECT_EQ(b.okShown, c.ok) << c.type;
    EXPECT_EQ(b.cancelShown, c.cancel) << c.type;
    EXPECT_STREQ(b.okKey, c.okKey) << c.type;
    EXPECT_STREQ(b.cancelKey, c.cancelKey) << c.type;
    if (c.ok) {
      EXPECT_EQ(b.okX, c.okX) << c.type;
    }
    if (c.cancel) {
      EXPECT_EQ(b.cancelX, c.cancelX) << c.type;
    }
  }

  // One line of 16: 17 high, centred in 193; more lines grow it, never above the strip
  // nor down into the buttons at y 160.
  EXPECT_EQ(MessageLabelRect(310, 1, 16), QRect(27, 88, 310, 17));
  EXPECT_EQ(MessageLabelRect(310, 3, 16), QRect(27, 71, 310, 51));
  EXPECT_EQ(MessageLabelRect(310, 6, 16), QRect(27, 45, 310, 102));
  QRect tall = MessageLabelRect(310, 20, 16);
  EXPECT_EQ(tall.top(), 41);
  EXPECT_LE(tall.bottom(), 158);
  EXPECT_EQ(MessageLabelRect(310, 0, 16).height(), 17);  // an empty text still has a line
}

TEST(SkinRulesTest, MenuIconsColoursAndLayouts) {
  struct Icon {
    unsigned command;
    bool online;
    int icon;
  };
  const Icon icons[] = {
      {32784, false, 286}, {32787, false, 281}, {32788, false, 282}, {32806, false, 283},
      {32810, false, 287}, {32816, false, 280}, {32816, true, 285},  {32818, true, 284},
      {32827, false, 322}, {32827, true, 322},  {32786, false, 0},   {32817, true, 0},
      {32822, false, 0},   {0, false, 0},
  };
  for (const Icon& c : icons)
    EXPECT_EQ(MenuIconFor(c.command, c.online), c.icon) << c.command << " " << c.online;

  EXPECT_EQ(MenuRowColorsFor(false), (MenuRowColors{0xFFF3F3F3, 0xFFFEFFFE}));
  EXPECT_EQ(MenuRowColorsFor(true), (MenuRowColors{0xFFC9E9F3, 0xFFD5F4FF}));
  EXPECT_EQ(MenuTextColor(false), 0xFF000000u);
  EXPECT_EQ(MenuTextColor(true), 0xFF7F7F7Fu);
  EXPECT_EQ(MenuItemSize(false, 73), QSize(100, 27));
  EXPECT_EQ(MenuItemSize(true, 73).height(), 1);

  const std::vector<unsigned> on = MenuLayout(139);
  const std::vector<unsigned> off = MenuLayout(145);
  ASSERT_EQ(on.size(), 16u);
  ASSERT_EQ(off.size(), 13u);
  for (size_t i : {3, 6, 9, 12, 14}) EXPECT_EQ(on[i], 0u) << i;
  for (size_t i : {2, 5, 8, 11}) EXPECT_EQ(off[i], 0u) << i;
  EXPECT_EQ(on.back(), kCmdExit);
  EXPECT_EQ(off.back(), kCmdExit);
  // The logged-off menu has neither the settings window nor the account switch.
  for (unsigned id : off) {
    EXPECT_NE(id, kCmdSettings);
    EXPECT_NE(id, kCmdSwitchAccount);
  }
  EXPECT_TRUE(MenuLayout(1).empty());
}

TEST(SkinRulesTest, ComboRows) {
  EXPECT_EQ(ComboRowColor(false, false), 0xFFFFFFFFu);
  EXPECT_EQ(ComboRowColor(true, false), 0xFF21B4E5u);
  EXPECT_EQ(ComboRowColor(false, true), 0xFF21B4E5u);
  EXPECT_EQ(ComboArrowAt({122, 20}, {9, 6}), QPoint(107, 8));
}

}  // namespace
