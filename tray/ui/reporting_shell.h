// The shell as the tray program uses it: what cannot be opened (no browser or file manager
// could be started) is said in a message box that shows the address or the folder as
// selectable text, so that the user can open it by hand. Help falls back to the help
// file next to the program.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

#include "shell.h"

namespace tray {

class ILanguages;

class ReportingShell final : public IShellOpen {
 public:
  // The box: its message and its selectable lines. ShowDiyMessageBox by default.
  using Report = std::function<void(const QString& message, const QStringList& details)>;
  // inner opens (not owned); helpFolder holds the three help files.
  ReportingShell(IShellOpen& inner, ILanguages* languages, QString helpFolder, Report report = {});

  bool OpenUrl(const QString& url) override;
  bool OpenFolder(const QString& path) override;
  bool OpenFile(const QString& path) override;
  // The help page; when no browser opens it, the help file of language next to the
  // program; when neither opens, a box names both.
  bool OpenHelp(const QString& url, int language);
  QString HelpFile(int language) const;

 private:
  void Tell(const char* key, const QStringList& details) const;

  IShellOpen& m_inner;
  ILanguages* m_languages;
  QString m_helpFolder;
  Report m_report;
};

}  // namespace tray
