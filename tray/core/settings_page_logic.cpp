#include "settings_page_logic.h"

#include <system_error>

namespace tray {

AutoStartSetting::AutoStartSetting(IAutostart& autostart, QString program)
    : m_autostart(autostart), m_program(std::move(program)) {}

void AutoStartSetting::Reload() {
  m_checked = m_autostart.IsEnabled();
  m_changed = false;
}

void AutoStartSetting::OnBnClickedAutoStart(bool checked) {
  m_checked = checked;
  m_changed = true;
}

bool AutoStartSetting::ApplyAutoStart() {
  const bool ok = m_checked ? m_autostart.Enable(m_program) : m_autostart.Disable();
  if (!ok) qWarning("cannot %s the autostart entry", m_checked ? "write" : "remove");
  return ok;
}

bool AutoStartSetting::ApplyIfChanged() {
  if (!m_changed) return true;
  m_changed = false;
  return ApplyAutoStart();
}

void AutoStartSetting::Cancel() { Reload(); }

void RenameDefaultFolders(const DefShare& from, const DefShare& to, IFileOps& files,
                          std::vector<FolderRename>& renamed, std::vector<FolderRename>& failed) {
  const std::pair<const QString*, const QString*> pairs[] = {
      {&from.doc, &to.doc}, {&from.music, &to.music}, {&from.pic, &to.pic}, {&from.video, &to.video}};
  for (const auto& [oldPath, newPath] : pairs) {
    if (*oldPath == *newPath || oldPath->isEmpty() || newPath->isEmpty()) continue;
    if (!files.IsDir(*oldPath)) continue;  // nothing to rename; the new one is created
    FolderRename rename{*oldPath, *newPath, {}};
    // An empty folder of the new name (made by the service, or by an earlier change) gives
    // way, as the rename replaces it; anything else of that name is left as it is, and so
    // is ours.
    if (files.Exists(*newPath) && !files.IsEmptyDir(*newPath)) {
      rename.error = QString::fromStdString(std::make_error_code(std::errc::file_exists).message());
    } else {
      if (!files.Rename(*oldPath, *newPath, &rename.error) && rename.error.isEmpty()) {
        rename.error = QStringLiteral("rename failed");
      }
    }
    if (rename.error.isEmpty()) {
      renamed.push_back(rename);
    } else {
      qWarning("cannot rename %s to %s: %s", qUtf8Printable(rename.from), qUtf8Printable(rename.to),
               qUtf8Printable(rename.error));
      failed.push_back(rename);
    }
  }
}

LanguageChange ChangeLanguage(int index, const QString& base, DataFolderContext& context,
                              ILanguages& languages, ISettingsStore& store) {
  LanguageChange change;
  // The sub-folders carry the names of the language in force until now.
  const DefShare before = BuildDefShare(base, context.sep, languages);
  if (index >= kLanguageChineseSimplified && index <= kLanguageChineseTrad) {
    languages.SetLanguage(index);
    change.stored = store.SetDword(QLatin1String(kLanguageValue), static_cast<uint32_t>(index));
    if (!change.stored) qWarning("the language cannot be kept for the next start: no settings key");
  }
  change.language = languages.GetLanguage();
  if (base.isEmpty()) return change;

  change.folderKnown = true;
  const DefShare after = BuildDefShare(base, context.sep, languages);
  RenameDefaultFolders(before, after, context.files, change.renamed, change.failed);
  if (!change.failed.empty()) {
    QStringList lines;
    for (const FolderRename& f : change.failed) lines << QStringLiteral("%1 \u2192 %2 (%3)").arg(f.from, f.to, f.error);
    change.notices.push_back({QStringLiteral("MSGBOX_RENAMEFOLDERFAIL"), lines.join(QLatin1Char('\n'))});
  }
  // The same base: nothing moves; the folders of the new names are made where missing and
  // the service keeps them.
  change.service = SetDataFolderBase(context, base, base);
  if (!change.service.messageKey.isEmpty()) {
    change.notices.push_back({change.service.messageKey, change.service.detail});
  }
  return change;
}

bool RestoreLanguage(ILanguages& languages, const ISettingsStore& store) {
  std::optional<uint32_t> kept = store.GetDword(QLatin1String(kLanguageValue));
  if (!kept || *kept > static_cast<uint32_t>(kLanguageChineseTrad)) return false;
  languages.SetLanguage(static_cast<int>(*kept));
  return true;
}

}  // namespace tray
