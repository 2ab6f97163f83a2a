#include "share_page.h"

#include <QHeaderView>
#include <QTreeWidget>

#include "folder_picker.h"
#include "language_font.h"
#include "languages.h"
#include "message_box.h"
#include "shell.h"
#include "skin_buttons.h"

namespace tray {

namespace {

constexpr int kPathColumn = 1;

// The list controls of the pages: report view, one row selected at a time, white.
void StyleList(QTreeWidget* list, const QFont& font) {
  list->setRootIsDecorated(false);
  list->setUniformRowHeights(true);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setAllColumnsShowFocus(true);
  list->setFont(font);
  list->header()->setFont(font);
  list->header()->setStretchLastSection(false);
  list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list->header()->setSectionsMovable(false);
  list->setStyleSheet(QStringLiteral("QTreeWidget { background: white; border: 1px solid #c8c8c8; }"));
}

}  // namespace

CSharePage::CSharePage(ILanguages* languages, IFolderPicker* picker, IShellOpen* shell, QWidget* parent)
    : QWidget(parent), m_languages(languages), m_picker(picker), m_shell(shell) {
  setObjectName(QStringLiteral("SharePage"));
  QFont listFont = font(), buttonFont = font();
  SetLanguageFont(listFont, "FONT_DEFAULT", false, logicalDpiY());
  SetLanguageFont(buttonFont, "FONT_SETTING_BUTTON", false, logicalDpiY());

  m_list = new QTreeWidget(this);
  m_list->setObjectName(QStringLiteral("1012"));
  m_list->setColumnCount(2);
  StyleList(m_list, listFont);
  m_list->setColumnWidth(0, 130);
  m_list->setColumnWidth(1, 218);
  m_list->setGeometry(20, 13, 444, 166);
  connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateDeleteButton(); });
  connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { OnDoubleClicked(item); });

  m_add = new CColorButton(this);
  m_add->setObjectName(QStringLiteral("1017"));
  m_delete = new CColorButton(this);
  m_delete->setObjectName(QStringLiteral("1016"));
  for (CColorButton* b : {m_add, m_delete}) {
    b->SetPictures(345, 346, 346, 345);
    b->SetTextColor(0xFF434343);
    b->SetButtonFont(buttonFont);
  }
  m_add->setGeometry(20, 203, 80, 26);
  m_delete->setGeometry(108, 203, 80, 26);
  m_delete->setEnabled(false);
  connect(m_add, &QAbstractButton::clicked, this, [this] { OnBnClickedAddShare(); });
  connect(m_delete, &QAbstractButton::clicked, this, [this] { OnBnClickedDeleteShare(); });
}

// The list goes with the page's children, after the page's own members: it must not call
// back into them then.
CSharePage::~CSharePage() { m_list->disconnect(this); }

void CSharePage::LoadTexts() {
  m_list->setHeaderLabels({m_languages->GetString("UI", "SETTING_LISTBOX_FOLDER"),
                           m_languages->GetString("UI", "SETTING_LISTBOX_PATH")});
  m_add->SetButtonText(m_languages->GetString("UI", "SETTING_BUTTON_ADD"));
  m_delete->SetButtonText(m_languages->GetString("UI", "SETTING_BUTTON_DELETE"));
}

void CSharePage::OnBnClickedAddShare() {
  std::optional<QString> path = m_picker->PickFolder(window(), m_languages->GetString("OTHER", "OTHER_SELECTFLODER"));
  if (!path) return;
  switch (AddShareListItem(*path, -1, *this)) {
    case 1:
      m_pending.Added(*path);
      break;
    case -1:
      ShowDiyMessageBox(m_languages, m_languages->GetString("MESSAGEBOX", "MSGBOX_SHARESAMEFOLDER"),
                        m_languages->GetString("UI", "DIALOG_TITLE"), 0);
      break;
    default:  // a system folder: not offered, nothing said
      qInfo("not shared, a system folder: %s", qUtf8Printable(*path));
      break;
  }
}

void CSharePage::OnBnClickedDeleteShare() {
  const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
  for (QTreeWidgetItem* item : selected) {
    const QString path = item->text(kPathColumn);
    if (path == m_root.Root()) continue;
    DeleteShareListItem(*this, path);
    m_pending.Removed(path);
  }
  UpdateDeleteButton();
}

void CSharePage::OnShareFolder(const QString& path) { ShowShareListItem(path, -1, *this); }

void CSharePage::CancelChanges() {
  m_pending.Cancel(*this);
  UpdateDeleteButton();
}

void CSharePage::ClearRows() {
  m_pending.Clear();
  for (int row = RowCount() - 1; row >= 0; --row) {
    if (RowPath(row) != m_root.Root()) RemoveRow(row);
  }
  UpdateDeleteButton();
}

QStringList CSharePage::Paths() const {
  QStringList out;
  for (int i = 0; i < RowCount(); ++i) out << RowPath(i);
  return out;
}

int CSharePage::RowCount() const { return m_list->topLevelItemCount(); }

QString CSharePage::RowPath(int row) const {
  QTreeWidgetItem* item = m_list->topLevelItem(row);
  return item ? item->text(kPathColumn) : QString();
}

void CSharePage::InsertRow(int row, const QString& name, const QString& path) {
  auto* item = new QTreeWidgetItem({name, path});
  item->setToolTip(kPathColumn, path);
  m_list->insertTopLevelItem(row, item);
}

void CSharePage::RemoveRow(int row) { delete m_list->takeTopLevelItem(row); }

void CSharePage::UpdateDeleteButton() {
  // Only a selected folder other than the root folder can go.
  const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
  const bool can = !selected.isEmpty() && selected.front()->text(kPathColumn) != m_root.Root();
  if (m_delete->isEnabled() != can) {
    m_delete->setEnabled(can);
    m_delete->update();
  }
}

void CSharePage::OnDoubleClicked(QTreeWidgetItem* item) {
  if (item && m_shell) m_shell->OpenFolder(item->text(kPathColumn));
}

}  // namespace tray
