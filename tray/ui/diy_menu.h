// CDiyMenu, a tray menu: one action per command with its text and icon, so a desktop whose
// tray draws the menu itself still offers every command with its icon and enabled state.
// Where Qt draws the menu, rows are our own: 27 pixels high with a light icon column, the
// text in Arial 8 points, thin separators and two highlight colours.
#pragma once

#include <QMenu>
#include <QString>

#include <map>
#include <memory>

class QProxyStyle;

namespace tray {

class CDiyMenu : public QMenu {
  Q_OBJECT

 public:
  explicit CDiyMenu(QWidget* parent = nullptr);
  ~CDiyMenu() override;

  // Fills the menu with the commands of menu 139 or 145 (texts empty until ModifyItem);
  // false, and the menu unchanged, for any other id.
  bool LoadMenu(int menuId);
  QAction* AddItem(unsigned command, const QString& text = QString());
  QAction* AddSeparatorItem();

  // Sets a command's text and remembers it; false when the menu has no such command.
  bool ModifyItem(unsigned command, const QString& text);
  QString ItemText(unsigned command) const;
  void EnableItem(unsigned command, bool enabled);
  QAction* Action(unsigned command) const;

  // A mobile device is online: the status line's icon shows it.
  void SetOnlineMark(bool online);
  bool OnlineMark() const { return m_online; }

  // The font the rows are drawn and measured in.
  static QFont RowFont();

 signals:
  void CommandTriggered(unsigned command);

 private:
  void RefreshIcon(QAction* action);

  bool m_online = false;
  std::map<unsigned, QString> m_texts;
  std::unique_ptr<QProxyStyle> m_style;
};

}  // namespace tray
