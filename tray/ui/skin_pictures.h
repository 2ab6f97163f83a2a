// The skin's pictures: PNG resources of the program, ":/png/<number>.png".
#pragma once

#include <QPixmap>

#include <functional>

namespace tray {

// The picture of that number, decoded; a null pixmap when there is none.
QPixmap LoadPngResource(int id);

// Replaces where pictures come from (tests hand in fixture pictures); an empty function
// restores the program's resources.
using PictureSource = std::function<QPixmap(int id)>;
void SetPictureSource(PictureSource source);

}  // namespace tray
