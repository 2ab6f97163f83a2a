// The transfer log page of the settings dialog: the list 1132 of finished transfers, one
// row per file with the direction's picture, the name, the size and the time, the newest
// at the top.
#pragma once

#include <QWidget>

#include "ui_data.h"

class QTreeWidget;

namespace tray {

class ILanguages;

class CTransLogPage : public QWidget {
  Q_OBJECT

 public:
  CTransLogPage(ILanguages* languages, QWidget* parent);

  void LoadTexts();
  // One record of the service's log, at the top; a record without a file adds nothing.
  void OnTransLog(const TransLogRecord& record);
  void Clear();

  QTreeWidget* List() const { return m_list; }

 private:
  ILanguages* m_languages;
  QTreeWidget* m_list = nullptr;
};

}  // namespace tray
