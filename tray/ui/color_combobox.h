// CColorCombobox, the drop-down list of the settings page: a closed face of two pictures
// (the face and its arrow) with the current row's text, and rows 21 pixels high that are
// white, or blue for the row under the mouse and the current row.
#pragma once

#include <QComboBox>
#include <QFont>
#include <QRgb>
#include <QString>

namespace tray {

class CColorCombobox : public QComboBox {
  Q_OBJECT

 public:
  explicit CColorCombobox(QWidget* parent = nullptr);

  // Inserts a row at pos (-1 appends); the text stays with its row. The row's index.
  int AddItem(int pos, const QString& text);
  QString RowText(int row) const;
  void SetComboFont(const QFont& font);
  void SetTextColor(QRgb argb);
  QRgb TextColor() const { return m_textColor; }
  // The open list's row under the mouse, -1 for none; reset whenever the list opens.
  int HoverRow() const { return m_hoverRow; }

  void showPopup() override;

 signals:
  // The user chose another row (by the list, the keys or the wheel): once per choice,
  // posted, never for a change made by the program.
  void SelChange(int index);

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void SetHoverRow(int row);
  void QueueChangeCheck();

  QRgb m_textColor = 0xFF000000;
  int m_hoverRow = -1;
  bool m_changed = false;
  bool m_activated = false;
  bool m_checkQueued = false;
};

}  // namespace tray
