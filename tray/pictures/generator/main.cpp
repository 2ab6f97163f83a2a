// Draws every picture of the tray program into a folder, with the resource file that
// lists them, and optionally a contact sheet of all of them for a person to look at.
//   tirvan_tray_picture_gen <output folder> [<contact sheet.png>]
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QRegularExpression>
#include <QTextStream>

#include <cstdio>

#include "art.h"
#include "faces.h"
#include "glyphs.h"
#include "paint_kit.h"
#include "picture_table.h"

namespace {

using picgen::ButtonLook;
using picgen::ButtonState;
using picgen::TrayBadge;

struct ButtonRole {
  int number;
  ButtonLook look;
  ButtonState state;
};

// Which look and state each button picture shows. Where one picture serves two states
// (normal and disabled, hover and pressed) it is drawn as the first of them.
constexpr ButtonRole kButtons[] = {
    {219, ButtonLook::kSecondary, ButtonState::kNormal},
    {220, ButtonLook::kSecondary, ButtonState::kHover},
    {221, ButtonLook::kSecondary, ButtonState::kPressed},
    {259, ButtonLook::kSecondary, ButtonState::kNormal},
    {260, ButtonLook::kSecondary, ButtonState::kHover},
    {261, ButtonLook::kSecondary, ButtonState::kPressed},
    {276, ButtonLook::kPrimary, ButtonState::kPressed},
    {277, ButtonLook::kPrimary, ButtonState::kHover},
    {278, ButtonLook::kPrimary, ButtonState::kNormal},
    {332, ButtonLook::kSecondary, ButtonState::kNormal},
    {333, ButtonLook::kSecondary, ButtonState::kHover},
    {334, ButtonLook::kSecondary, ButtonState::kNormal},
    {335, ButtonLook::kSecondary, ButtonState::kHover},
    {340, ButtonLook::kSecondary, ButtonState::kNormal},
    {341, ButtonLook::kSecondary, ButtonState::kHover},
    {342, ButtonLook::kSecondary, ButtonState::kNormal},
    {343, ButtonLook::kSecondary, ButtonState::kHover},
    {345, ButtonLook::kSecondary, ButtonState::kNormal},
    {346, ButtonLook::kSecondary, ButtonState::kHover},
    {364, ButtonLook::kSecondary, ButtonState::kNormal},
    {365, ButtonLook::kSecondary, ButtonState::kHover},
    {366, ButtonLook::kPrimary, ButtonState::kNormal},
    {367, ButtonLook::kPrimary, ButtonState::kHover},
    {379, ButtonLook::kSecondary, ButtonState::kNormal},
    {380, ButtonLook::kSecondary, ButtonState::kHover},
    {384, ButtonLook::kSecondary, ButtonState::kNormal},
    {385, ButtonLook::kSecondary, ButtonState::kHover},
};

// The wizard's browse button shows only its picture: a folder on a button.
QImage DrawBrowseButton(QSize size, bool hover) {
  QImage image = picgen::DrawButton(size, ButtonLook::kSecondary,
                                    hover ? ButtonState::kHover : ButtonState::kNormal);
  QPainter p(&image);
  picgen::Smooth(p);
  const QImage folder = picgen::DrawMenuGlyph(287);
  p.drawImage(QPointF((size.width() - 16) / 2.0, (size.height() - 16) / 2.0), folder);
  return image;
}

struct TrayState {
  int number;
  bool loggedOn;
  TrayBadge badge;
  int frame;
};

constexpr TrayState kTrayIcons[] = {
    {174, false, TrayBadge::kNone, 0},     {368, true, TrayBadge::kNone, 0},
    {239, true, TrayBadge::kOnline, 0},    {320, true, TrayBadge::kBusy, 0},
    {349, true, TrayBadge::kBusy, 1},      {350, true, TrayBadge::kBusy, 2},
    {240, true, TrayBadge::kUpload, 0},    {241, true, TrayBadge::kUpload, 1},
    {355, true, TrayBadge::kUpload, 2},    {242, false, TrayBadge::kUpload, 0},
    {243, false, TrayBadge::kUpload, 1},   {353, false, TrayBadge::kUpload, 2},
    {313, true, TrayBadge::kDownload, 0},  {314, true, TrayBadge::kDownload, 1},
    {356, true, TrayBadge::kDownload, 2},  {315, false, TrayBadge::kDownload, 0},
    {316, false, TrayBadge::kDownload, 1}, {354, false, TrayBadge::kDownload, 2},
    {255, true, TrayBadge::kAttention, 0}, {254, true, TrayBadge::kAttention, 1},
};

QImage DrawPng(int n, QSize size) {
  for (const ButtonRole& b : kButtons)
    if (b.number == n) return picgen::DrawButton(size, b.look, b.state);
  switch (n) {
    case 326: return picgen::DrawTitleButton(true, false);
    case 327: return picgen::DrawTitleButton(true, true);
    case 328: return picgen::DrawTitleButton(false, false);
    case 329: return picgen::DrawTitleButton(false, true);
    case 344: return picgen::DrawTitleLogo(0);
    case 376: return picgen::DrawTitleLogo(1);
    case 377: return picgen::DrawTitleLogo(2);
    case 369: return picgen::DrawFieldFrame(size);
    case 370: return picgen::DrawSettingsDecoration(size);
    case 222: return picgen::DrawRadioMark(true);
    case 223: return picgen::DrawRadioMark(false);
    case 224: return picgen::DrawComboFace();
    case 225: return picgen::DrawComboArrow();
    case 266: return picgen::DrawStatusWarning();
    case 331: return picgen::DrawStatusReady();
    case 296: return picgen::DrawTransferMark(true);
    case 297: return picgen::DrawTransferMark(false);
    case 338: case 308: case 310: case 311: return picgen::DrawTab(n, size);
    case 372: return picgen::DrawAboutLogo(0);
    case 373: return picgen::DrawAboutLogo(2);
    case 374: return picgen::DrawAboutLogo(1);
    case 375: return picgen::DrawVersionBadge();
    case 359: return picgen::DrawProductPicture(0);
    case 360: return picgen::DrawProductPicture(2);
    case 361: return picgen::DrawProductPicture(1);
    case 362: return DrawBrowseButton(size, false);
    case 363: return DrawBrowseButton(size, true);
    case 280: case 281: case 282: case 283: case 284: case 285: case 286: case 287: case 322:
      return picgen::DrawMenuGlyph(n);
    case 232: case 234: case 253: case 263: case 272: case 295: case 337: case 357: case 358:
    case 371:
      return picgen::DrawDialogFace(n, size);
    default: return {};
  }
}

QImage DrawPicture(const tray::PictureSpec& spec) {
  const QSize size(spec.width, spec.height);
  switch (spec.kind) {
    case tray::PictureKind::kBanner: return picgen::DrawBanner(spec.number);
    case tray::PictureKind::kIcon:
      if (spec.number == 128) return picgen::DrawTrayIcon(size.width(), true, TrayBadge::kNone, 0);
      for (const TrayState& t : kTrayIcons)
        if (t.number == spec.number) return picgen::DrawTrayIcon(size.width(), t.loggedOn, t.badge, t.frame);
      return {};
    case tray::PictureKind::kPng:
    case tray::PictureKind::kBitmap: return DrawPng(spec.number, size);
  }
  return {};
}

QString RelativeFile(const tray::PictureSpec& spec) {
  // The resource path without its ":/" is also the file's place in the output folder.
  return QString::fromStdString(tray::PictureResourcePath(spec)).mid(2);
}

// Pictures in rows, each on the ground it is shown on (the title strip for the title's
// pictures, the page colour for the rest; a checkered ground shows through where the
// picture is transparent), with its number and size. scale > 1 enlarges small pictures
// pixel by pixel so a person can judge them.
bool OnTitleStrip(const tray::PictureSpec& spec) {
  if (spec.kind != tray::PictureKind::kPng) return false;
  switch (spec.number) {
    case 326: case 327: case 328: case 329: case 344: case 376: case 377: return true;
    default: return false;
  }
}

QImage ContactSheet(const std::vector<std::pair<const tray::PictureSpec*, QImage>>& pictures, int scale) {
  const int sheetWidth = 1700;
  const int pad = 14;
  const int label = 16;
  std::vector<QPoint> places;
  int x = pad, y = pad, rowHeight = 0;
  for (const auto& [spec, image] : pictures) {
    const int w = std::max(image.width() * scale, 60);
    if (x + w > sheetWidth - pad) { x = pad; y += rowHeight + label + pad; rowHeight = 0; }
    places.emplace_back(x, y);
    x += w + pad;
    rowHeight = std::max(rowHeight, image.height() * scale);
  }
  QImage sheet(sheetWidth, y + rowHeight + label + pad, QImage::Format_ARGB32_Premultiplied);
  sheet.fill(QColor(0x60, 0x66, 0x6C));
  QPainter p(&sheet);
  QFont font("Liberation Sans");
  font.setPixelSize(11);
  p.setFont(font);
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const auto& [spec, image] = pictures[i];
    const QRect box(places[i], image.size() * scale);
    if (OnTitleStrip(*spec)) {
      p.fillRect(box, QColor(0x2E, 0x8A, 0xD6));
    } else {
      p.fillRect(box, picgen::palette::kBody);
      for (int cy = box.top(); cy <= box.bottom(); cy += 8)
        for (int cx = box.left(); cx <= box.right(); cx += 8)
          if (((cx - box.left()) / 8 + (cy - box.top()) / 8) % 2)
            p.fillRect(QRect(cx, cy, 8, 8).intersected(box), QColor(0xDD, 0xDE, 0xDC));
    }
    p.drawImage(box, image);
    p.setPen(Qt::white);
    const QString name = spec->kind == tray::PictureKind::kBanner
                             ? QString("banner/%1").arg(tray::BannerTag(spec->number))
                         : spec->kind == tray::PictureKind::kIcon ? QString("icon %1").arg(spec->number)
                                                                  : QString::number(spec->number);
    p.drawText(QPoint(box.left(), box.bottom() + 13),
               QString("%1  %2x%3").arg(name).arg(spec->width).arg(spec->height));
  }
  return sheet;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <output folder> [<contact sheet.png>]\n", argv[0]);
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  for (const char* sub : {"png", "icon", "banner"})
    if (!out.mkpath(sub)) {
      std::fprintf(stderr, "cannot create %s/%s\n", argv[1], sub);
      return 1;
    }

  std::vector<std::pair<const tray::PictureSpec*, QImage>> drawn;
  QString qrc;
  QTextStream q(&qrc);
  q << "<!DOCTYPE RCC><RCC version=\"1.0\">\n<qresource prefix=\"/\">\n";
  int failures = 0;
  for (const tray::PictureSpec& spec : tray::kPictureTable) {
    QImage image = DrawPicture(spec);
    const QString file = RelativeFile(spec);
    if (image.size() != QSize(spec.width, spec.height)) {
      std::fprintf(stderr, "%s: drawn %dx%d, the table says %dx%d\n", qPrintable(file),
                   image.width(), image.height(), spec.width, spec.height);
      ++failures;
      continue;
    }
    if (spec.kind == tray::PictureKind::kBitmap) image = image.convertToFormat(QImage::Format_RGB888);
    else image = image.convertToFormat(QImage::Format_ARGB32);
    if (!image.save(out.filePath(file), "PNG", 9)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(out.filePath(file)));
      ++failures;
      continue;
    }
    q << "  <file>" << file << "</file>\n";
    drawn.emplace_back(&spec, image);
  }
  q << "</qresource>\n</RCC>\n";
  if (failures > 0) return 1;

  QFile list(out.filePath("pictures.qrc"));
  const QByteArray bytes = qrc.toUtf8();
  if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate) || list.write(bytes) != bytes.size()) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(list.fileName()));
    return 1;
  }
  list.close();
  if (argc >= 3) {
    // The whole set at natural size, and the small pictures enlarged four times beside it.
    const QString sheet = QString::fromLocal8Bit(argv[2]);
    std::vector<std::pair<const tray::PictureSpec*, QImage>> small;
    for (const auto& entry : drawn)
      if (entry.second.width() <= 122 && entry.second.height() <= 64) small.push_back(entry);
    QString zoomed = sheet;
    zoomed.replace(QRegularExpression("\\.png$"), "_x4.png");
    if (!ContactSheet(drawn, 1).save(sheet, "PNG") || !ContactSheet(small, 4).save(zoomed, "PNG")) {
      std::fprintf(stderr, "cannot write %s\n", argv[2]);
      return 1;
    }
  }
  return 0;
}
