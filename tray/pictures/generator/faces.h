// Dialog faces, the settings dialog's tabs and the faces' decorations.
#pragma once

#include <QImage>
#include <QSize>

namespace picgen {

QImage DrawDialogFace(int number, QSize size);  // 232, 234, 253, 263, 272, 295, 337, 357, 358, 371
QImage DrawTab(int number, QSize size);         // 338 selected; 308, 310, 311 not selected
QImage DrawFieldFrame(QSize size);              // 369
QImage DrawSettingsDecoration(QSize size);      // 370

}  // namespace picgen
