#include "skin_rules.h"

#include <algorithm>
#include <cmath>

namespace tray::skin {

int DialogUnits(int units) {
  // MulDiv(units, 7, 4): rounds half away from zero.
  long long n = static_cast<long long>(units) * 7;
  return static_cast<int>(n >= 0 ? (n + 2) / 4 : -((-n + 2) / 4));
}

QRect DialogUnitRect(int x, int y, int width, int height) {
  return QRect(DialogUnits(x), DialogUnits(y), DialogUnits(width), DialogUnits(height));
}

bool IsCaptionPoint(QPoint p, QSize window, int captionHeight) {
  return p.x() >= 0 && p.x() < window.width() && p.y() >= 0 && p.y() < captionHeight &&
         p.y() < window.height();
}

QRect CloseButtonRect(int windowWidth) {
  return QRect(QPoint(windowWidth - 34, 0), QPoint(windowWidth - 2 - 1, 30 - 1));
}

QRect MinimizeButtonRect(int windowWidth) {
  return QRect(QPoint(windowWidth - 60, 6), QPoint(windowWidth - 34 - 1, 30 - 1));
}

int LogoForLanguage(int language, int previousLogo) {
  switch (language) {
    case 0: return 344;
    case 1: return 376;
    case 2: return 377;
    default: return previousLogo;
  }
}

std::vector<Decoration> DecorationsFor(int decorationId, int page) {
  if (decorationId == 102) return {{369, {109, 62}}, {369, {109, 105}}};
  if (decorationId == 129 && page != 0) return {{370, {29, 349}}};
  return {};
}

QRegion RoundedRegion(QSize size, int ellipse) {
  const int w = size.width(), h = size.height();
  if (w <= 0 || h <= 0) return QRegion();
  // Radii of the corner ellipse, no larger than half the window.
  const double rx = std::min(ellipse / 2.0, w / 2.0);
  const double ry = std::min(ellipse / 2.0, h / 2.0);
  if (rx < 1.0 || ry < 1.0) return QRegion(0, 0, w, h);
  const int band = static_cast<int>(std::ceil(ry));
  QRegion region(0, band, w, std::max(0, h - 2 * band));
  for (int row = 0; row < band; ++row) {
    // Inset of the row whose centre is row + 0.5 pixels below the top edge.
    double dy = ry - (row + 0.5);
    double inset = dy <= 0 ? 0.0 : rx - rx * std::sqrt(std::max(0.0, 1.0 - (dy * dy) / (ry * ry)));
    int x = static_cast<int>(std::lround(inset));
    if (w - 2 * x <= 0) continue;
    region += QRegion(x, row, w - 2 * x, 1);
    region += QRegion(x, h - 1 - row, w - 2 * x, 1);
  }
  return region;
}

int PushButtonPicture(const ButtonPictures& pictures, bool enabled, bool pressed, bool inside) {
  if (!enabled) return pictures.disabled;
  if (pressed) return inside ? pictures.pressed : pictures.hover;
  return inside ? pictures.hover : pictures.normal;
}

int FallbackPicture(const ButtonPictures& pictures, int chosen, bool chosenLoads) {
  if (chosen != 0 && chosenLoads) return chosen;
  return chosen == pictures.normal ? 0 : pictures.normal;
}

QRgb ButtonTextColor(int kind, bool enabled, QRgb textColor) {
  return kind == kKindPush && !enabled ? kDisabledText : textColor;
}

QString ButtonStoredText(int kind, const QString& text) {
  if (kind == kKindCheckBox && !text.isEmpty()) return QLatin1Char(' ') + text;
  return text;
}

int MarkPicture(bool checked) { return checked ? kMarkOn : kMarkOff; }

QPoint MarkAt(int controlHeight, QSize mark) {
  return QPoint(0, (controlHeight - mark.height()) / 2 + 1);
}

int TransparentButtonPicture(const ButtonPictures& pictures, bool enabled, bool inside) {
  if (!enabled) return pictures.disabled;
  return inside ? pictures.hover : pictures.normal;
}

QPoint CenteredAt(QSize area, QSize picture) {
  return QPoint((area.width() - picture.width()) / 2, (area.height() - picture.height()) / 2);
}

TabLayout SettingTabLayout(QSize control, QSize icon, int textWidth) {
  int x = (control.width() - icon.width() - kTabIconGap - textWidth) / 2;
  return TabLayout{QPoint(x, (control.height() - icon.height()) / 2),
                   x + icon.width() + kTabIconGap};
}

QRgb SettingTabTextColor(bool inside) { return inside ? kTabTextHover : kTabText; }

MessageBoxButtons MessageBoxButtonsFor(int type, int boxWidth, int buttonWidth) {
  MessageBoxButtons b;
  switch (type) {
    case kMessageBoxOk:
      b.okShown = true;
      b.okKey = "MSGBOX_BUTTON_OK";
      b.okX = (boxWidth - buttonWidth) / 2;
      break;
    case kMessageBoxOkCancel:
      b.okShown = b.cancelShown = true;
      b.okKey = "MSGBOX_BUTTON_OK";
      b.cancelKey = "MSGBOX_BUTTON_CANCEL";
      b.okX = kMessageLeftButtonX;
      b.cancelX = kMessageRightButtonX;
      break;
    case kMessageBoxYesNo:
      b.okShown = b.cancelShown = true;
      b.okKey = "MSGBOX_BUTTON_YES";
      b.cancelKey = "MSGBOX_BUTTON_NO";
      b.okX = kMessageLeftButtonX;
      b.cancelX = kMessageRightButtonX;
      break;
    default:
      break;
  }
  return b;
}

QRect MessageLabelRect(int labelWidth, int lines, int lineHeight) {
  const int maxHeight = kMessageButtonY - 2 - kCaptionHeight;
  int height = std::max(1, lines) * (lineHeight + 1);
  height = std::min(height, maxHeight);
  int y = std::max(kCaptionHeight, (kMessageCentreHeight - height) / 2);
  return QRect(kMessageLabelX, y, labelWidth, height);
}

std::vector<unsigned> MenuLayout(int menuId) {
  if (menuId == kMenuLoggedOn)
    return {kCmdOpenFolder, kCmdHostedNetwork, kCmdSettings, 0, kCmdMobileStatus, kCmdDownload,
            0, kCmdUpdate, kCmdHelp, 0, kCmdFeedback, kCmdAbout, 0, kCmdSwitchAccount, 0,
            kCmdExit};
  if (menuId == kMenuLoggedOff)
    return {kCmdOpenFolder, kCmdHostedNetwork, 0, kCmdMobileStatus, kCmdDownload, 0, kCmdUpdate,
            kCmdHelp, 0, kCmdFeedback, kCmdAbout, 0, kCmdExit};
  return {};
}

int MenuIconFor(unsigned command, bool online) {
  switch (command) {
    case kCmdSettings: return 286;
    case kCmdExit: return 281;
    case kCmdSwitchAccount: return 282;
    case kCmdAbout: return 283;
    case kCmdOpenFolder: return 287;
    case kCmdMobileStatus: return online ? 285 : 280;
    case kCmdHelp: return 284;
    case kCmdHostedNetwork: return 322;
    default: return 0;
  }
}

MenuRowColors MenuRowColorsFor(bool highlighted) {
  return highlighted ? MenuRowColors{0xFFC9E9F3, 0xFFD5F4FF} : MenuRowColors{0xFFF3F3F3, 0xFFFEFFFE};
}

QRgb MenuTextColor(bool greyed) { return greyed ? 0xFF7F7F7F : 0xFF000000; }

QSize MenuItemSize(bool separator, int textWidth) {
  if (separator) return QSize(kMenuIconColumn, 1);
  return QSize(textWidth + kMenuIconColumn, kMenuRowHeight);
}

QRgb ComboRowColor(bool hover, bool current) {
  return hover || current ? kComboRowHighlight : kComboRow;
}

QPoint ComboArrowAt(QSize face, QSize arrow) {
  return QPoint(face.width() - arrow.width() - 6, (face.height() - arrow.height()) / 2 + 1);
}

}  // namespace tray::skin
