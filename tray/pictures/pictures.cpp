#include "pictures.h"

#include <QtCore/qglobal.h>

// The resource list compiled by rcc under this name.
inline void InitPictureResources() { Q_INIT_RESOURCE(tirvan_tray_pictures); }

namespace tray {

void InitPictures() {
  static const bool once = [] {
    InitPictureResources();
    return true;
  }();
  (void)once;
}

}  // namespace tray
