// Small language files for widget tests in a temporary folder: the three files with the
// UI texts given (per language) and a default font that exists on Debian. While it lives
// the store reads from there, in English unless a test sets another language.
#pragma once

#include <QString>
#include <QTemporaryDir>

#include <string>

#include "languages.h"

namespace traytest {

class FixtureLanguages {
 public:
  // extra: more lines for every file (e.g. "[MESSAGEBOX]\nMSGBOX_X=...\n"); each file
  // also names its language in UI/LANGUAGE_NAME and has the message box button texts.
  explicit FixtureLanguages(const std::string& extra = {});
  ~FixtureLanguages();
  FixtureLanguages(const FixtureLanguages&) = delete;
  FixtureLanguages& operator=(const FixtureLanguages&) = delete;

  // Replaces one file (0 to 2) and reloads the store when that language is current.
  void Write(int index, const std::string& text);
  tray::ILanguages* Store() const { return m_store.get(); }
  QString Folder() const { return m_dir.path(); }

 private:
  QTemporaryDir m_dir;
  tray::LanguagesRef m_store;
};

}  // namespace traytest
