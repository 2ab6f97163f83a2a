#include "reporting_shell.h"

#include <QDir>

#include "languages.h"
#include "message_box.h"
#include "shell_folder.h"
#include "web_config.h"

namespace tray {

ReportingShell::ReportingShell(IShellOpen& inner, ILanguages* languages, QString helpFolder, Report report)
    : m_inner(inner), m_languages(languages), m_helpFolder(std::move(helpFolder)), m_report(std::move(report)) {}

void ReportingShell::Tell(const char* key, const QStringList& details) const {
  const QString message = m_languages ? m_languages->GetString("MESSAGEBOX", key) : QString::fromLatin1(key);
  if (m_report) {
    m_report(message, details);
    return;
  }
  ShowDiyMessageBox(m_languages, message, m_languages ? m_languages->GetString("UI", "DIALOG_TITLE") : QString(), 0,
                    details);
}

bool ReportingShell::OpenUrl(const QString& url) {
  if (m_inner.OpenUrl(url)) return true;
  // The whole address, as a browser would be given it.
  Tell("MSGBOX_OPENURLFAIL", {ResolveWebUrl(CurrentWebConfig(), url)});
  return false;
}

bool ReportingShell::OpenFolder(const QString& path) {
  if (m_inner.OpenFolder(path)) return true;
  Tell("MSGBOX_OPENFOLDERFAIL", {QDir::toNativeSeparators(path)});
  return false;
}

bool ReportingShell::OpenFile(const QString& path) {
  if (m_inner.OpenFile(path)) return true;
  Tell("MSGBOX_OPENFILEFAIL", {QDir::toNativeSeparators(path)});
  return false;
}

QString ReportingShell::HelpFile(int language) const {
  QString name = HelpFileName(language);
  if (name.isEmpty()) name = HelpFileName(1);
  return QDir(m_helpFolder).filePath(name);
}

bool ReportingShell::OpenHelp(const QString& url, int language) {
  if (m_inner.OpenUrl(url)) return true;
  const QString file = HelpFile(language);
  qInfo("the help page did not open; the help file instead: %s", qUtf8Printable(file));
  if (m_inner.OpenFile(file)) return true;
  Tell("MSGBOX_OPENHELPFAIL", {ResolveWebUrl(CurrentWebConfig(), url), QDir::toNativeSeparators(file)});
  return false;
}

}  // namespace tray
