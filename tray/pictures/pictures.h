// The tray program's pictures as Qt resources (:/png/<n>.png, :/icon/<n>.png,
// :/banner/<tag>.png); the sizes are in picture_table.h.
#pragma once

namespace tray {

// Registers the pictures with Qt's resource system. Call once before the first picture is
// loaded (the program's start, a test's set-up); later calls do nothing.
void InitPictures();

}  // namespace tray
