// The rules that decide what the skinned windows and controls draw: which picture for a
// state, where it goes, which colour. Plain functions, so tests check them as tables.
#pragma once

#include <QPoint>
#include <QRect>
#include <QRegion>
#include <QRgb>
#include <QSize>
#include <QString>

#include <vector>

namespace tray::skin {

// --- Sizes of the dialog templates -------------------------------------------------------

// A dialog unit is 1.75 pixels on both axes (rounded as MulDiv rounds).
int DialogUnits(int units);
QRect DialogUnitRect(int x, int y, int width, int height);

// --- The skinned base dialog --------------------------------------------------------------

inline constexpr int kCaptionHeight = 41;
inline constexpr int kCornerEllipse = 4;
inline constexpr int kCloseButtonId = 1093;
inline constexpr int kMinimizeButtonId = 1128;
inline constexpr int kCloseNormal = 326, kCloseHover = 327;
inline constexpr int kMinimizeNormal = 328, kMinimizeHover = 329;
inline constexpr QPoint kLogoAt{8, 8};
// What a dialog shows where its face picture is missing, or smaller than the window.
inline constexpr QRgb kNeutralFace = 0xFFF4F4F4;

// A press at p (window coordinates) falls in the drag strip along the top edge.
bool IsCaptionPoint(QPoint p, QSize window, int captionHeight);
QRect CloseButtonRect(int windowWidth);
QRect MinimizeButtonRect(int windowWidth);
// The logo of a language index; any other index keeps the previous logo.
int LogoForLanguage(int language, int previousLogo);

struct Decoration {
  int picture;
  QPoint at;
  bool operator==(const Decoration&) const = default;
};
// The extra pictures a dialog draws on its face, by its decoration id and current page.
std::vector<Decoration> DecorationsFor(int decorationId, int page);

// The window's shape: its rectangle with corners rounded by an ellipse of the given width
// and height (a rounded-rectangle region); an ellipse below 2 gives the plain rectangle.
QRegion RoundedRegion(QSize size, int ellipse);

// --- Buttons and labels --------------------------------------------------------------------

inline constexpr int kKindPush = 1;      // picture push button
inline constexpr int kKindMark = 2;      // picture radio or check button (marks 222/223)
inline constexpr int kKindCheckBox = 3;  // check box with the style's own glyph
inline constexpr int kMarkOn = 222, kMarkOff = 223;
inline constexpr int kMarkTextX = 16;     // text of kinds 2 and 3 starts here
inline constexpr QRgb kDisabledText = 0xFF7F7F7F;
inline constexpr QRgb kTabText = 0xFF41799C;
inline constexpr QRgb kTabTextHover = 0xFF000000;
inline constexpr int kTabIconGap = 4;

struct ButtonPictures {
  int normal = 0;
  int hover = 0;
  int pressed = 0;
  int disabled = 0;
};

// Kind 1: disabled, else pressed (pressed picture inside, hover picture when dragged off),
// else hover inside, else normal.
int PushButtonPicture(const ButtonPictures& pictures, bool enabled, bool pressed, bool inside);
// The picture to draw when the chosen one is missing: the normal one; 0 when that is too.
int FallbackPicture(const ButtonPictures& pictures, int chosen, bool chosenLoads);
// Only a disabled kind-1 button draws grey text.
QRgb ButtonTextColor(int kind, bool enabled, QRgb textColor);
// The text a button keeps: a kind-3 check box puts one blank before a non-empty text.
QString ButtonStoredText(int kind, const QString& text);
int MarkPicture(bool checked);
// Where a kind-2 mark goes: x 0, vertically centred one pixel low.
QPoint MarkAt(int controlHeight, QSize mark);

// Title buttons: disabled, else hover while inside, else normal.
int TransparentButtonPicture(const ButtonPictures& pictures, bool enabled, bool inside);
// A picture centred in an area (integer division, as the window system's pixels are).
QPoint CenteredAt(QSize area, QSize picture);

// A tab button's icon and text centred as one group: icon, 4 pixels, text.
struct TabLayout {
  QPoint icon;
  int textX;
  bool operator==(const TabLayout&) const = default;
};
TabLayout SettingTabLayout(QSize control, QSize icon, int textWidth);
QRgb SettingTabTextColor(bool inside);

// --- Message box ----------------------------------------------------------------------------

inline constexpr int kMessageBoxTemplate = 105;
inline constexpr int kMessageBoxFace = 263;
inline constexpr int kMessageLabelId = 1101;
inline constexpr int kMessageYesId = 1098, kMessageNoId = 1099;
inline constexpr int kMessageButtonNormal = 259, kMessageButtonHover = 260,
                     kMessageButtonPressed = 261;
inline constexpr QRgb kMessageButtonText = 0xFF434343;
inline constexpr QRgb kMessageLabelBackground = 0xFFF4F4F4;
inline constexpr int kMessageLabelX = 27;
inline constexpr int kMessageCentreHeight = 193;  // the label is centred in 0..193
inline constexpr int kMessageButtonY = 160;
inline constexpr int kMessageFooterY = 149;  // the face's footer line, above the buttons
inline constexpr int kMessageLeftButtonX = 67, kMessageRightButtonX = 174;

inline constexpr int kMessageBoxOk = 0;
inline constexpr int kMessageBoxOkCancel = 1;
inline constexpr int kMessageBoxYesNo = 4;
inline constexpr int kResultOk = 1;
inline constexpr int kResultCancel = 2;

struct MessageBoxButtons {
  bool okShown = false;
  bool cancelShown = false;
  const char* okKey = "";      // section "UI"
  const char* cancelKey = "";  // section "UI"
  int okX = 0;
  int cancelX = 0;
};
MessageBoxButtons MessageBoxButtonsFor(int type, int boxWidth, int buttonWidth);
// The label's place for a text laid out (wrapped) in `lines` lines of lineHeight: each line
// takes lineHeight + 1; centred in the upper 193 pixels, never above the drag strip, and
// never reaching down to the buttons.
QRect MessageLabelRect(int labelWidth, int lines, int lineHeight);

// --- Tray menu ------------------------------------------------------------------------------

inline constexpr int kMenuLoggedOn = 139;
inline constexpr int kMenuLoggedOff = 145;
inline constexpr unsigned kCmdSettings = 32784, kCmdUpdate = 32786, kCmdExit = 32787,
                          kCmdSwitchAccount = 32788, kCmdAbout = 32806, kCmdOpenFolder = 32810,
                          kCmdMobileStatus = 32816, kCmdDownload = 32817, kCmdHelp = 32818,
                          kCmdFeedback = 32822, kCmdHostedNetwork = 32827;
inline constexpr int kMenuRowHeight = 27;
inline constexpr int kMenuIconColumn = 27;
inline constexpr int kMenuTextMargin = 8;  // after the text, so it never meets the edge
inline constexpr QRgb kMenuSeparator = 0xFFDDDDDD;

// The command ids of a menu resource, 0 standing for a separator; empty for other ids.
std::vector<unsigned> MenuLayout(int menuId);
// The icon picture of a command (0: none); the status line shows the online mark.
int MenuIconFor(unsigned command, bool online);
struct MenuRowColors {
  QRgb iconColumn;
  QRgb textArea;
  bool operator==(const MenuRowColors&) const = default;
};
// Highlighted by the row's state alone.
MenuRowColors MenuRowColorsFor(bool highlighted);
QRgb MenuTextColor(bool greyed);
// A row's size: the text's width (in the font that draws it) plus the icon column and a
// margin after it, 27 high; a separator is 1 high.
QSize MenuItemSize(bool separator, int textWidth);

// --- Combo box ------------------------------------------------------------------------------

inline constexpr int kComboFace = 224, kComboArrow = 225;
inline constexpr int kComboRowHeight = 21;
inline constexpr QRgb kComboRowHighlight = 0xFF21B4E5;
inline constexpr QRgb kComboRow = 0xFFFFFFFF;

QRgb ComboRowColor(bool hover, bool current);
QPoint ComboArrowAt(QSize face, QSize arrow);

}  // namespace tray::skin
