// The shares page of the settings dialog: the list 1012 of shared folders (the root
// folder and every folder the service reported), the add button 1017 with the folder
// browser and the delete button 1016. Changes wait in the page until the dialog's OK sends
// them; Cancel takes them back out of the list.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include "share_changes.h"
#include "share_list.h"

class QTreeWidget;
class QTreeWidgetItem;

namespace tray {

class CColorButton;
class IFolderPicker;
class IShellOpen;
class ILanguages;

class CSharePage : public QWidget, private IShareList {
  Q_OBJECT

 public:
  CSharePage(ILanguages* languages, IFolderPicker* picker, IShellOpen* shell, QWidget* parent);
  ~CSharePage() override;

  // Headers and button texts from the language in force.
  void LoadTexts();

  // The add button: the folder browser, then the new row and its pending change; a folder
  // already listed shows a message, a system folder is left out silently.
  void OnBnClickedAddShare();
  // The delete button: the selected row goes unless it is the root folder's.
  void OnBnClickedDeleteShare();
  // A folder the service reported.
  void OnShareFolder(const QString& path);
  // Every pending change taken back out of the list; the move and autostart flags dropped.
  void CancelChanges();
  // Every row but the root folder's, and every pending change, gone (another account's
  // folders follow).
  void ClearRows();

  QStringList Paths() const;
  IShareList& Rows() { return *this; }
  SharePending& Pending() { return m_pending; }
  RootFolder& Root() { return m_root; }

  QTreeWidget* List() const { return m_list; }
  CColorButton* AddButton() const { return m_add; }
  CColorButton* DeleteButton() const { return m_delete; }

 private:
  // IShareList over the list control
  int RowCount() const override;
  QString RowPath(int row) const override;
  void InsertRow(int row, const QString& name, const QString& path) override;
  void RemoveRow(int row) override;

  void UpdateDeleteButton();
  void OnDoubleClicked(QTreeWidgetItem* item);

  ILanguages* m_languages;
  IFolderPicker* m_picker;
  IShellOpen* m_shell;
  QTreeWidget* m_list = nullptr;
  CColorButton* m_add = nullptr;
  CColorButton* m_delete = nullptr;
  SharePending m_pending;
  RootFolder m_root;
};

}  // namespace tray
