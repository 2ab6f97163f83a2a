// The one QApplication of a test program, made on first use, on the offscreen platform
// unless QT_QPA_PLATFORM names another.
#pragma once

class QApplication;

namespace traytest {

QApplication& TestApp();

}  // namespace traytest
