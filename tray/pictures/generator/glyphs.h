// Small pictures: title buttons, control marks, status pictures, menu glyphs, the
// transfer list's marks, the program mark and the tray icon with its frames.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRectF>

namespace picgen {

// The program mark: a cloud, filled with the given colour, fitted into r.
void DrawCloud(QPainter& p, const QRectF& r, const QColor& color);

QImage DrawTitleButton(bool close, bool hover);  // 326-329
QImage DrawRadioMark(bool on);                   // 222, 223
QImage DrawComboFace();                          // 224
QImage DrawComboArrow();                         // 225
QImage DrawStatusReady();                        // 331
QImage DrawStatusWarning();                      // 266
QImage DrawMenuGlyph(int number);                // 280-287, 322
QImage DrawTransferMark(bool toPc);              // 296 (to the PC), 297 (to a device)

// Tray icon states.
enum class TrayBadge { kNone, kOnline, kBusy, kUpload, kDownload, kAttention };
QImage DrawTrayIcon(int size, bool loggedOn, TrayBadge badge, int frame);

}  // namespace picgen
