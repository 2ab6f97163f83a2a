#include "translog_page.h"

#include <QHeaderView>
#include <QTreeWidget>

#include "language_font.h"
#include "languages.h"
#include "skin_pictures.h"
#include "trans_log.h"

namespace tray {

namespace {

// The direction pictures in their list order: 297 sent to a device, 296 received by the PC.
QIcon DirectionIcon(int image) {
  static const int kPictures[] = {297, 296};
  return QIcon(LoadPngResource(kPictures[image == 1 ? 1 : 0]));
}

}  // namespace

CTransLogPage::CTransLogPage(ILanguages* languages, QWidget* parent) : QWidget(parent), m_languages(languages) {
  setObjectName(QStringLiteral("TransLogPage"));
  QFont listFont = font();
  SetLanguageFont(listFont, "FONT_DEFAULT", false, logicalDpiY());
  m_list = new QTreeWidget(this);
  m_list->setObjectName(QStringLiteral("1132"));
  m_list->setColumnCount(3);
  m_list->setRootIsDecorated(false);
  m_list->setUniformRowHeights(true);
  m_list->setSelectionMode(QAbstractItemView::SingleSelection);
  m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_list->setIconSize(QSize(13, 13));
  m_list->setFont(listFont);
  m_list->header()->setFont(listFont);
  m_list->header()->setStretchLastSection(false);
  m_list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_list->header()->setSectionsMovable(false);
  m_list->setStyleSheet(QStringLiteral("QTreeWidget { background: white; border: 1px solid #c8c8c8; }"));
  m_list->setColumnWidth(0, 219);
  m_list->setColumnWidth(1, 76);
  m_list->setColumnWidth(2, 138);
  m_list->setGeometry(20, 13, 444, 166);
}

void CTransLogPage::LoadTexts() {
  m_list->setHeaderLabels({m_languages->GetString("UI", "SETTING_LISTBOX_TRANS_FILENAME"),
                           m_languages->GetString("UI", "SETTING_LISTBOX_TRANS_SIZE"),
                           m_languages->GetString("UI", "SETTING_LISTBOX_TRANS_TIME")});
}

void CTransLogPage::OnTransLog(const TransLogRecord& record) {
  std::optional<TransLogRow> row = MakeTransLogRow(record);
  if (!row) return;
  auto* item = new QTreeWidgetItem({row->name, row->size, row->time});
  item->setIcon(0, DirectionIcon(row->image));
  item->setData(0, Qt::UserRole, row->image);
  m_list->insertTopLevelItem(0, item);
}

void CTransLogPage::Clear() { m_list->clear(); }

}  // namespace tray
