#include "diy_menu.h"

#include <QAction>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>

#include "skin_pictures.h"
#include "skin_rules.h"

namespace tray {
namespace {

constexpr QRgb kMenuFrame = skin::kMenuSeparator;

// Draws and measures the menu's rows; everything else is the application's style.
class DiyMenuStyle : public QProxyStyle {
 public:
  int pixelMetric(PixelMetric metric, const QStyleOption* option,
                  const QWidget* widget) const override {
    switch (metric) {
      case PM_MenuPanelWidth: return 1;
      case PM_MenuHMargin:
      case PM_MenuVMargin:
      case PM_MenuDesktopFrameWidth: return 0;
      default: return QProxyStyle::pixelMetric(metric, option, widget);
    }
  }

  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element == PE_PanelMenu || element == PE_FrameMenu) {
      painter->save();
      painter->fillRect(option->rect, QColor::fromRgba(skin::MenuRowColorsFor(false).textArea));
      painter->setPen(QColor::fromRgba(kMenuFrame));
      painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
      painter->restore();
      return;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
  }

  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                         const QWidget* widget) const override {
    if (type == CT_MenuItem) {
      if (const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option)) {
        const bool separator = item->menuItemType == QStyleOptionMenuItem::Separator;
        const int textWidth =
            separator ? 0 : QFontMetrics(CDiyMenu::RowFont()).horizontalAdvance(item->text);
        return skin::MenuItemSize(separator, textWidth);
      }
    }
    return QProxyStyle::sizeFromContents(type, option, contents, widget);
  }

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override {
    const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
    if (element != CE_MenuItem || !item) {
      QProxyStyle::drawControl(element, option, painter, widget);
      return;
    }
    const QRect r = item->rect;
    const bool separator = item->menuItemType == QStyleOptionMenuItem::Separator;
    const bool highlighted = !separator && (item->state & State_Selected);
    const skin::MenuRowColors colors = skin::MenuRowColorsFor(highlighted);
    painter->save();
    const QRect column(r.left(), r.top(), skin::kMenuIconColumn, r.height());
    const QRect text(r.left() + skin::kMenuIconColumn, r.top(), r.width() - skin::kMenuIconColumn,
                     r.height());
    painter->fillRect(column, QColor::fromRgba(colors.iconColumn));
    if (separator) {
      painter->fillRect(QRect(text.left(), r.top(), text.width(), 1),
                        QColor::fromRgba(skin::kMenuSeparator));
      painter->restore();
      return;
    }
    painter->fillRect(text, QColor::fromRgba(colors.textArea));
    if (!item->icon.isNull()) {
      QPixmap icon = item->icon.pixmap(item->icon.actualSize(QSize(r.height(), r.height())));
      const QSize natural = icon.deviceIndependentSize().toSize();
      painter->drawPixmap(r.topLeft() + skin::CenteredAt(QSize(r.height(), r.height()), natural),
                          icon);
    }
    painter->setFont(CDiyMenu::RowFont());
    painter->setPen(QColor::fromRgba(skin::MenuTextColor(!(item->state & State_Enabled))));
    painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, item->text);
    painter->restore();
  }
};

}  // namespace

CDiyMenu::CDiyMenu(QWidget* parent) : QMenu(parent), m_style(std::make_unique<DiyMenuStyle>()) {
  setStyle(m_style.get());
  setFont(RowFont());
  connect(this, &QMenu::triggered, this, [this](QAction* action) {
    bool ok = false;
    unsigned command = action->data().toUInt(&ok);
    if (ok && command != 0) emit CommandTriggered(command);
  });
}

CDiyMenu::~CDiyMenu() {
  // The style must outlive the widget's use of it.
  clear();
  setStyle(nullptr);
}

QFont CDiyMenu::RowFont() {
  QFont font(QStringLiteral("Arial"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

bool CDiyMenu::LoadMenu(int menuId) {
  const std::vector<unsigned> layout = skin::MenuLayout(menuId);
  if (layout.empty()) return false;
  clear();
  m_texts.clear();
  for (unsigned command : layout) {
    if (command == 0)
      AddSeparatorItem();
    else
      AddItem(command);
  }
  setObjectName(QString::number(menuId));
  return true;
}

QAction* CDiyMenu::AddItem(unsigned command, const QString& text) {
  QAction* action = addAction(text);
  action->setData(command);
  action->setObjectName(QString::number(command));
  if (!text.isEmpty()) m_texts[command] = text;
  RefreshIcon(action);
  return action;
}

QAction* CDiyMenu::AddSeparatorItem() {
  // Drawn by the menu, never chosen.
  QAction* action = addSeparator();
  action->setText(QStringLiteral("-"));
  action->setData(0u);
  action->setEnabled(false);
  return action;
}

QAction* CDiyMenu::Action(unsigned command) const {
  if (command == 0) return nullptr;
  for (QAction* action : actions())
    if (!action->isSeparator() && action->data().toUInt() == command) return action;
  return nullptr;
}

bool CDiyMenu::ModifyItem(unsigned command, const QString& text) {
  QAction* action = Action(command);
  if (!action) return false;
  m_texts[command] = text;
  action->setText(text);
  return true;
}

QString CDiyMenu::ItemText(unsigned command) const {
  auto it = m_texts.find(command);
  return it == m_texts.end() ? QString() : it->second;
}

void CDiyMenu::EnableItem(unsigned command, bool enabled) {
  if (QAction* action = Action(command)) action->setEnabled(enabled);
}

void CDiyMenu::SetOnlineMark(bool online) {
  m_online = online;
  if (QAction* status = Action(skin::kCmdMobileStatus)) RefreshIcon(status);
}

void CDiyMenu::RefreshIcon(QAction* action) {
  int picture = skin::MenuIconFor(action->data().toUInt(), m_online);
  QPixmap pixmap = LoadPngResource(picture);
  action->setIcon(pixmap.isNull() ? QIcon() : QIcon(pixmap));
}

}  // namespace tray
