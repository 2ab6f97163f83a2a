// Every picture the tray program carries, with the size it is drawn at. The generator
// draws exactly these, the resource file lists exactly these, and widgets and tests look
// sizes up here instead of repeating them.
#pragma once

#include <cstddef>
#include <string>

namespace tray {

enum class PictureKind {
  kPng,     // :/png/<number>.png   faces, buttons, logos, glyphs
  kIcon,    // :/icon/<number>.png  the window icon and the tray icon with its frames
  kBanner,  // :/banner/<tag>.png   the local banner of a language
  kBitmap,  // :/png/<number>.png   opaque 24-bit pictures (the transfer list's marks)
};

struct PictureSpec {
  PictureKind kind;
  int number;       // resource number; banners use the language index 0, 1, 2
  int width;
  int height;
  const char* use;  // what the picture is for, one line
};

// Sizes of the dialog faces are the dialogs' sizes; buttons are the buttons' sizes.
inline constexpr PictureSpec kPictureTable[] = {
    // Title bar of every skinned dialog.
    {PictureKind::kPng, 326, 14, 14, "close button, normal"},
    {PictureKind::kPng, 327, 14, 14, "close button, hover"},
    {PictureKind::kPng, 328, 14, 14, "minimise button, normal"},
    {PictureKind::kPng, 329, 14, 14, "minimise button, hover"},
    {PictureKind::kPng, 344, 76, 22, "title logo, Simplified Chinese"},
    {PictureKind::kPng, 376, 76, 22, "title logo, English"},
    {PictureKind::kPng, 377, 76, 22, "title logo, Traditional Chinese"},
    {PictureKind::kPng, 369, 254, 29, "login dialog: frame behind an input field"},
    {PictureKind::kPng, 370, 179, 17, "settings page decoration"},
    // Skinned controls.
    {PictureKind::kPng, 222, 16, 16, "radio mark, on"},
    {PictureKind::kPng, 223, 16, 16, "radio mark, off"},
    {PictureKind::kPng, 224, 122, 20, "combo box, closed face"},
    {PictureKind::kPng, 225, 9, 6, "combo box, drop-down arrow"},
    // Message box and account switch.
    {PictureKind::kPng, 263, 355, 197, "message box / account switch face"},
    {PictureKind::kPng, 259, 89, 30, "message box button, normal"},
    {PictureKind::kPng, 260, 89, 30, "message box button, hover"},
    {PictureKind::kPng, 261, 89, 30, "message box button, pressed"},
    {PictureKind::kPng, 334, 89, 30, "account switch button, normal"},
    {PictureKind::kPng, 335, 89, 30, "account switch button, hover"},
    {PictureKind::kPng, 266, 27, 27, "status: warning"},
    // Hosted network dialog.
    {PictureKind::kPng, 295, 321, 197, "hosted network dialog face"},
    {PictureKind::kPng, 332, 89, 30, "hosted network button, normal and disabled"},
    {PictureKind::kPng, 333, 89, 30, "hosted network button, hover and pressed"},
    {PictureKind::kPng, 331, 24, 24, "status: ready"},
    // Tray menu glyphs.
    {PictureKind::kPng, 280, 16, 16, "menu: mobile status, no device online"},
    {PictureKind::kPng, 281, 16, 16, "menu: exit"},
    {PictureKind::kPng, 282, 16, 16, "menu: switch account"},
    {PictureKind::kPng, 283, 16, 16, "menu: about"},
    {PictureKind::kPng, 284, 16, 16, "menu: help"},
    {PictureKind::kPng, 285, 16, 16, "menu: mobile status, a device online"},
    {PictureKind::kPng, 286, 16, 16, "menu: settings window"},
    {PictureKind::kPng, 287, 16, 16, "menu: open folder"},
    {PictureKind::kPng, 322, 16, 16, "menu: hosted network"},
    // Update dialogs.
    {PictureKind::kPng, 272, 529, 284, "release notes dialog face"},
    {PictureKind::kPng, 276, 89, 30, "release notes OK button, pressed"},
    {PictureKind::kPng, 277, 89, 30, "release notes OK button, hover"},
    {PictureKind::kPng, 278, 89, 30, "release notes OK button, normal"},
    {PictureKind::kPng, 234, 634, 324, "update question dialog face"},
    {PictureKind::kPng, 219, 89, 30, "update question button, normal"},
    {PictureKind::kPng, 220, 89, 30, "update question button, hover"},
    {PictureKind::kPng, 221, 89, 30, "update question button, pressed"},
    // Settings dialog.
    {PictureKind::kPng, 337, 484, 426, "settings dialog face"},
    {PictureKind::kPng, 338, 121, 31, "tab, selected"},
    {PictureKind::kPng, 308, 121, 31, "tab, not selected (account, transfer log)"},
    {PictureKind::kPng, 311, 121, 31, "tab, not selected (shares)"},
    {PictureKind::kPng, 310, 121, 31, "tab, not selected (settings, the last one)"},
    {PictureKind::kPng, 340, 89, 30, "settings OK/cancel/switch button, normal"},
    {PictureKind::kPng, 341, 89, 30, "settings OK/cancel/switch button, hover"},
    {PictureKind::kPng, 342, 80, 26, "move folder button, normal"},
    {PictureKind::kPng, 343, 80, 26, "move folder button, hover"},
    {PictureKind::kPng, 345, 80, 26, "add/delete share button, normal"},
    {PictureKind::kPng, 346, 80, 26, "add/delete share button, hover"},
    {PictureKind::kBitmap, 296, 13, 13, "transfer list: file received by the PC"},
    {PictureKind::kBitmap, 297, 13, 13, "transfer list: file sent to a device"},
    // Device-login question.
    {PictureKind::kPng, 253, 353, 251, "device-login question face"},
    {PictureKind::kPng, 384, 89, 30, "device-login button, normal"},
    {PictureKind::kPng, 385, 89, 30, "device-login button, hover"},
    // About dialog.
    {PictureKind::kPng, 371, 447, 385, "about dialog face"},
    {PictureKind::kPng, 372, 200, 60, "about logo, Simplified Chinese"},
    {PictureKind::kPng, 373, 200, 60, "about logo, Traditional Chinese"},
    {PictureKind::kPng, 374, 200, 60, "about logo, English"},
    {PictureKind::kPng, 375, 72, 22, "about version badge"},
    // Login dialog.
    {PictureKind::kPng, 232, 400, 240, "login dialog face"},
    {PictureKind::kPng, 379, 91, 28, "login button, normal"},
    {PictureKind::kPng, 380, 91, 28, "login button, hover and pressed"},
    // First-run wizard.
    {PictureKind::kPng, 358, 820, 480, "wizard face, step 1"},
    {PictureKind::kPng, 357, 820, 480, "wizard face, steps 2 and 3"},
    {PictureKind::kPng, 359, 114, 120, "wizard product picture, Simplified Chinese"},
    {PictureKind::kPng, 360, 114, 120, "wizard product picture, Traditional Chinese"},
    {PictureKind::kPng, 361, 114, 120, "wizard product picture, English"},
    {PictureKind::kPng, 362, 44, 22, "wizard browse button, normal and disabled"},
    {PictureKind::kPng, 363, 44, 22, "wizard browse button, hover and pressed"},
    {PictureKind::kPng, 364, 96, 30, "wizard add/delete button, normal and disabled"},
    {PictureKind::kPng, 365, 96, 30, "wizard add/delete button, hover and pressed"},
    {PictureKind::kPng, 366, 89, 30, "wizard back/next/finish button, normal and disabled"},
    {PictureKind::kPng, 367, 89, 30, "wizard back/next/finish button, hover and pressed"},
    // Icons.
    {PictureKind::kIcon, 128, 64, 64, "program window icon"},
    {PictureKind::kIcon, 174, 32, 32, "tray: not logged on, network down, switching"},
    {PictureKind::kIcon, 368, 32, 32, "tray: logged on, no device online"},
    {PictureKind::kIcon, 239, 32, 32, "tray: a device online and idle"},
    {PictureKind::kIcon, 320, 32, 32, "tray: logging on, frame 1"},
    {PictureKind::kIcon, 349, 32, 32, "tray: logging on, frame 2"},
    {PictureKind::kIcon, 350, 32, 32, "tray: logging on, frame 3"},
    {PictureKind::kIcon, 240, 32, 32, "tray: upload, logged on, frame 1"},
    {PictureKind::kIcon, 241, 32, 32, "tray: upload, logged on, frame 2"},
    {PictureKind::kIcon, 355, 32, 32, "tray: upload, logged on, frame 3"},
    {PictureKind::kIcon, 242, 32, 32, "tray: upload, not logged on, frame 1"},
    {PictureKind::kIcon, 243, 32, 32, "tray: upload, not logged on, frame 2"},
    {PictureKind::kIcon, 353, 32, 32, "tray: upload, not logged on, frame 3"},
    {PictureKind::kIcon, 313, 32, 32, "tray: download, logged on, frame 1"},
    {PictureKind::kIcon, 314, 32, 32, "tray: download, logged on, frame 2"},
    {PictureKind::kIcon, 356, 32, 32, "tray: download, logged on, frame 3"},
    {PictureKind::kIcon, 315, 32, 32, "tray: download, not logged on, frame 1"},
    {PictureKind::kIcon, 316, 32, 32, "tray: download, not logged on, frame 2"},
    {PictureKind::kIcon, 354, 32, 32, "tray: download, not logged on, frame 3"},
    {PictureKind::kIcon, 255, 32, 32, "tray: device login waiting, frame 1"},
    {PictureKind::kIcon, 254, 32, 32, "tray: device login waiting, frame 2"},
    // Local banners, by language index.
    {PictureKind::kBanner, 0, 452, 111, "local banner, Simplified Chinese"},
    {PictureKind::kBanner, 1, 452, 111, "local banner, English"},
    {PictureKind::kBanner, 2, 452, 111, "local banner, Traditional Chinese"},
};

inline constexpr std::size_t kPictureCount = sizeof(kPictureTable) / sizeof(kPictureTable[0]);

// The file name tag of a language's banner: 0 "ch", 1 "en", 2 "tw".
inline const char* BannerTag(int language) {
  switch (language) {
    case 0: return "ch";
    case 1: return "en";
    case 2: return "tw";
    default: return nullptr;
  }
}

// The resource path of a picture, e.g. ":/png/263.png", ":/icon/174.png", ":/banner/en.png".
inline std::string PictureResourcePath(const PictureSpec& spec) {
  switch (spec.kind) {
    case PictureKind::kIcon: return ":/icon/" + std::to_string(spec.number) + ".png";
    case PictureKind::kBanner: return std::string(":/banner/") + BannerTag(spec.number) + ".png";
    case PictureKind::kPng:
    case PictureKind::kBitmap: break;
  }
  return ":/png/" + std::to_string(spec.number) + ".png";
}

// The entry of a picture under :/png (kind kPng or kBitmap), or nullptr.
inline const PictureSpec* FindPngPicture(int number) {
  for (const PictureSpec& spec : kPictureTable)
    if ((spec.kind == PictureKind::kPng || spec.kind == PictureKind::kBitmap) &&
        spec.number == number)
      return &spec;
  return nullptr;
}

// The entry of an icon under :/icon, or nullptr.
inline const PictureSpec* FindIconPicture(int number) {
  for (const PictureSpec& spec : kPictureTable)
    if (spec.kind == PictureKind::kIcon && spec.number == number) return &spec;
  return nullptr;
}

}  // namespace tray
