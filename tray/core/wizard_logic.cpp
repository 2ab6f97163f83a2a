#include "wizard_logic.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

#include "default_folders.h"
#include "share_list.h"

namespace tray::wizard {

namespace {

constexpr QChar kSep = QLatin1Char('/');

}  // namespace

QString ProposedBase() {
  QString home = DefaultBase();
  if (!home.isEmpty() && QFileInfo(home).isAbsolute()) return QDir::cleanPath(home);
  return QDir::rootPath();
}

QString ProductFolder(const QString& base) { return JoinFolder(base, QLatin1String(kDataFolderName), kSep); }

bool IsSystemFolder(const QString& path, const QString& programPrefix) {
  // The shares page's rule, with the program's own folder tree as given.
  SystemFolders folders = SystemFolders::Default();
  folders.program = programPrefix;
  return !IsAllowedShareFolder(path, folders);
}

QString FolderDisplayName(const QString& path) { return GetFolderDisplayName(path); }

WizardLogic::WizardLogic(QString proposal, QString programPrefix)
    : m_programPrefix(std::move(programPrefix)), m_folderText(proposal), m_default(proposal) {}

void WizardLogic::Next() {
  if (m_step >= 3) return;
  ++m_step;
  m_chosen = m_folderText;
  if (m_step == 2) FillDefaultShares();
}

void WizardLogic::Back() {
  if (m_step > 1) --m_step;
}

void WizardLogic::ChooseDefault(const QString& proposal) {
  m_own = false;
  m_folderText = proposal;
  m_default = proposal;
}

void WizardLogic::ChooseOwn() { m_own = true; }

void WizardLogic::Browsed(const QString& path) {
  if (!m_own || path.isEmpty()) return;
  m_chosen = m_folderText = path;
}

void WizardLogic::FillDefaultShares() {
  m_rows.clear();
  const QString data = DataRowPath();
  m_rows.push_back({FolderDisplayName(data), data});
  auto listed = [&](const QString& path) {
    return std::any_of(m_rows.begin(), m_rows.end(), [&](const Row& r) { return r.path == path; });
  };
  for (const QString& path : m_shared) {
    if (!path.isEmpty() && !listed(path)) m_rows.push_back({FolderDisplayName(path), path});
  }
  // The folders added earlier are still sent at the finish, so they stay listed.
  for (const std::string& added : m_added) {
    QString path = QString::fromStdString(added);
    if (!listed(path)) m_rows.push_back({FolderDisplayName(path), path});
  }
}

AddResult WizardLogic::Add(const QString& path) {
  if (IsSystemFolder(path, m_programPrefix)) return kSystemFolder;
  auto same = [&](const Row& r) { return r.path == path; };
  if (std::any_of(m_rows.begin(), m_rows.end(), same)) return kAlreadyListed;
  m_rows.push_back({FolderDisplayName(path), path});
  m_added.push_back(path.toStdString());
  return kAdded;
}

void WizardLogic::Delete(std::vector<int> rows) {
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  // From the back, so the indexes still to go stay valid.
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    if (*it < 0 || *it >= static_cast<int>(m_rows.size())) continue;
    if (m_shared.contains(m_rows[static_cast<size_t>(*it)].path)) continue;  // the shares page's to remove
    const std::string path = m_rows[static_cast<size_t>(*it)].path.toStdString();
    m_rows.erase(m_rows.begin() + *it);
    auto added = std::find(m_added.begin(), m_added.end(), path);
    if (added != m_added.end()) m_added.erase(added);
  }
}

bool WizardLogic::DeleteAllowed(int row) const {
  if (row < 0 || row >= static_cast<int>(m_rows.size())) return false;
  const QString& path = m_rows[static_cast<size_t>(row)].path;
  return path != DataRowPath() && !m_shared.contains(path);
}

void WizardLogic::FinishClicked(IWizardTarget* target) {
  m_chosen = m_own ? m_folderText : m_default;
  Finish(target);
}

void WizardLogic::Finish(IWizardTarget* target) const {
  if (!target) return;
  if (!m_chosen.isEmpty()) target->SetDefShare(m_chosen);
  target->SetShare(m_added);
}

}  // namespace tray::wizard
