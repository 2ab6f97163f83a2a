// A language file that names only the four default folders, for tests of the data folder.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QString>

#include "languages.h"

namespace traytest {

// Writes English.qzl with the default folders' names into dir and points the language
// store at it, in English.
inline void UseShareNamesLanguage(const QString& dir) {
  QFile f(QDir(dir).filePath(QStringLiteral("English.qzl")));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("[DEFAULTSHARE]\nSHARE_PICTURE=Pictures\nSHARE_MUSIC=Music\nSHARE_AUDIO=Videos\nSHARE_DOCUMENT=Documents\n");
  f.close();
  tray::SetLanguageFolder(dir);
  tray::SetSystemLocaleOverride("en_US");
}

}  // namespace traytest
