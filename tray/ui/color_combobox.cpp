#include "color_combobox.h"

#include <QAbstractItemView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

#include "skin_pictures.h"
#include "skin_rules.h"

namespace tray {
namespace {

// The open list's rows: 21 pixels, white or highlighted, the text near and centred
// vertically on one line.
class ComboRowDelegate : public QStyledItemDelegate {
 public:
  explicit ComboRowDelegate(CColorCombobox* combo) : QStyledItemDelegate(combo), m_combo(combo) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const bool hover = index.row() == m_combo->HoverRow();
    const bool current = option.state & QStyle::State_Selected;
    painter->save();
    painter->fillRect(option.rect, QColor::fromRgba(skin::ComboRowColor(hover, current)));
    painter->setFont(m_combo->font());
    painter->setPen(QColor::fromRgba(m_combo->TextColor()));
    painter->drawText(option.rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                      index.data(Qt::DisplayRole).toString());
    painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override {
    const int textWidth =
        QFontMetrics(m_combo->font()).horizontalAdvance(index.data(Qt::DisplayRole).toString());
    return QSize(textWidth, skin::kComboRowHeight);
  }

 private:
  CColorCombobox* m_combo;
};

}  // namespace

CColorCombobox::CColorCombobox(QWidget* parent) : QComboBox(parent) {
  setItemDelegate(new ComboRowDelegate(this));
  view()->setMouseTracking(true);
  view()->viewport()->installEventFilter(this);
  connect(this, &QComboBox::currentIndexChanged, this, [this] {
    m_changed = true;
    update();
    QueueChangeCheck();
  });
  connect(this, &QComboBox::activated, this, [this] {
    m_activated = true;
    QueueChangeCheck();
  });
}

int CColorCombobox::AddItem(int pos, const QString& text) {
  const int row = pos < 0 || pos > count() ? count() : pos;
  insertItem(row, text);
  return row;
}

QString CColorCombobox::RowText(int row) const {
  return row >= 0 && row < count() ? itemText(row) : QString();
}

void CColorCombobox::SetComboFont(const QFont& font) {
  setFont(font);
  view()->setFont(font);
}

void CColorCombobox::SetTextColor(QRgb argb) {
  m_textColor = argb;
  update();
  view()->viewport()->update();
}

void CColorCombobox::showPopup() {
  SetHoverRow(-1);
  QComboBox::showPopup();
}

void CColorCombobox::SetHoverRow(int row) {
  if (row == m_hoverRow) return;
  m_hoverRow = row;
  view()->viewport()->update();
}

bool CColorCombobox::eventFilter(QObject* watched, QEvent* event) {
  if (watched == view()->viewport()) {
    if (event->type() == QEvent::MouseMove) {
      auto* move = static_cast<QMouseEvent*>(event);
      SetHoverRow(view()->indexAt(move->position().toPoint()).row());
    } else if (event->type() == QEvent::Leave || event->type() == QEvent::Hide) {
      SetHoverRow(-1);
    }
  }
  return QComboBox::eventFilter(watched, event);
}

void CColorCombobox::QueueChangeCheck() {
  if (m_checkQueued) return;
  m_checkQueued = true;
  // The combo box reports the change before the activation; judge both once settled.
  QMetaObject::invokeMethod(
      this,
      [this] {
        m_checkQueued = false;
        const bool chosen = m_changed && m_activated;
        m_changed = m_activated = false;
        if (chosen) emit SelChange(currentIndex());
      },
      Qt::QueuedConnection);
}

void CColorCombobox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QPixmap face = LoadPngResource(skin::kComboFace);
  QPixmap arrow = LoadPngResource(skin::kComboArrow);
  const QPoint origin(0, 1);
  if (face.isNull()) {
    painter.setPen(QColor(0xB0, 0xB0, 0xB0));
    painter.setBrush(Qt::white);
    painter.drawRect(QRect(origin, size() - QSize(1, 2)));
  } else {
    painter.drawPixmap(origin, face);
  }
  const QSize faceSize = face.isNull() ? size() - QSize(0, 1) : face.size();
  if (!arrow.isNull()) painter.drawPixmap(origin + skin::ComboArrowAt(faceSize, arrow.size()), arrow);
  const int arrowWidth = arrow.isNull() ? 0 : arrow.width();
  painter.setFont(font());
  painter.setPen(QColor::fromRgba(m_textColor));
  painter.drawText(QRect(origin, QSize(width() - arrowWidth, height())),
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                   RowText(currentIndex()));
}

}  // namespace tray
