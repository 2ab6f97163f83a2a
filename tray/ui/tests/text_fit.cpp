#include "text_fit.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTextLayout>
#include <QTreeView>

#include <algorithm>
#include <cmath>

#include "color_combobox.h"
#include "diy_static.h"
#include "skin_buttons.h"
#include "skin_pictures.h"
#include "skin_rules.h"

namespace traytest {

namespace {

using tray::CColorButton;
using tray::CColorCombobox;
using tray::CDiyStatic;
using tray::CSettingButton;

std::string Name(const QWidget& w) {
  std::string name = w.objectName().toStdString();
  if (name.empty()) name = w.metaObject()->className();
  return name;
}

std::string Describe(const QRect& r) {
  return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" +
         std::to_string(r.height());
}

// The size text takes when laid out as the skinned label lays it out (wrapped at width
// unless noWrap), and the number of lines.
QSize LaidOut(const QString& text, const QFont& font, int width, bool noWrap, int* lines) {
  QString t = text;
  t.replace(QLatin1String("\r\n"), QString(QChar::LineSeparator));
  t.replace(QLatin1Char('\n'), QChar::LineSeparator);
  QTextLayout layout(t, font);
  QTextOption option;
  option.setWrapMode(noWrap ? QTextOption::ManualWrap : QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  qreal y = 0, w = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(noWrap ? 1e6 : std::max(1, width));
    line.setPosition(QPointF(0, y));
    y += line.height();
    w = std::max(w, line.naturalTextWidth());
  }
  layout.endLayout();
  *lines = layout.lineCount();
  return QSize(static_cast<int>(std::ceil(w - 0.01)), static_cast<int>(std::ceil(y - 0.01)));
}

// What a control of a known class shows; false for controls without text of their own.
bool TextOfKnown(const QWidget& w, ShownText& s) {
  const QRect r = w.rect();
  if (auto* label = qobject_cast<const CDiyStatic*>(&w)) {
    const tray::StringFormat& f = label->Format();
    s = {label->text(), std::nullopt, r, static_cast<int>(f.horizontal | f.vertical), !f.noWrap};
    return true;
  }
  if (auto* label = qobject_cast<const QLabel*>(&w)) {
    if (label->textFormat() == Qt::RichText || !label->pixmap().isNull()) return false;
    const int margin = label->margin() + std::max(0, label->indent());
    s = {label->text(), std::nullopt, label->contentsRect().adjusted(margin, margin, -margin, -margin),
         static_cast<int>(label->alignment()), label->wordWrap()};
    return true;
  }
  if (auto* b = qobject_cast<const CColorButton*>(&w)) {
    if (b->Kind() == tray::skin::kKindPush) {
      s = {b->ButtonText(), std::nullopt, r, Qt::AlignCenter, false};
    } else {
      s = {b->ButtonText(), std::nullopt,
           QRect(tray::skin::kMarkTextX, 0, r.width() - tray::skin::kMarkTextX, r.height()),
           Qt::AlignLeft | Qt::AlignVCenter, false};
    }
    return true;
  }
  if (auto* tab = qobject_cast<const CSettingButton*>(&w)) {
    const int x = tab->Layout().textX;
    s = {tab->ButtonText(), std::nullopt, QRect(x, 0, r.width() - x, r.height()), Qt::AlignLeft | Qt::AlignVCenter,
         false};
    return true;
  }
  if (auto* combo = qobject_cast<const CColorCombobox*>(&w)) {
    QPixmap arrow = tray::LoadPngResource(tray::skin::kComboArrow);
    s = {combo->currentText(), std::nullopt, QRect(0, 1, r.width() - (arrow.isNull() ? 0 : arrow.width()), r.height()),
         Qt::AlignLeft | Qt::AlignVCenter, false};
    return true;
  }
  if (auto* b = qobject_cast<const QAbstractButton*>(&w)) {
    if (qobject_cast<const tray::CTransparentButton*>(&w)) return false;
    s = {b->text(), std::nullopt, r, Qt::AlignLeft | Qt::AlignVCenter, false};
    return true;
  }
  return false;
}

// A line edit scrolls its text sideways but cannot show a line taller than its inside.
void CheckLineEdit(const QLineEdit& edit, std::vector<std::string>& out) {
  const QFontMetrics fm(edit.font());
  const QMargins m = edit.textMargins();
  int frame = 0;
  if (edit.hasFrame()) frame = edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &edit);
  const int inside = edit.contentsRect().height() - m.top() - m.bottom() - 2 * frame - 2;
  if (fm.height() > inside) {
    out.push_back(Name(edit) + ": a line " + std::to_string(fm.height()) + " px high in a field " +
                  std::to_string(inside) + " px high inside");
  }
}

// Each header section's label within its section.
void CheckHeader(const QHeaderView& header, std::vector<std::string>& out) {
  const QFontMetrics fm(header.font());
  const int margin = header.style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, &header);
  for (int i = 0; i < header.count(); ++i) {
    if (header.isSectionHidden(i)) continue;
    const QString text = header.model()->headerData(i, header.orientation()).toString();
    if (text.isEmpty()) continue;
    const QSize need = fm.size(Qt::TextSingleLine, text) + QSize(2 * margin, 0);
    const QSize has(header.sectionSize(i), header.height());
    if (need.width() > has.width() || need.height() > has.height()) {
      out.push_back(Name(*header.parentWidget()) + " header " + std::to_string(i) + " \"" + text.toStdString() +
                    "\": needs " + std::to_string(need.width()) + "x" + std::to_string(need.height()) + ", has " +
                    std::to_string(has.width()) + "x" + std::to_string(has.height()));
    }
  }
}

bool ShownIn(const QWidget& w, const QWidget& window) {
  for (const QWidget* p = &w; p && p != &window; p = p->parentWidget()) {
    if (p->isHidden()) return false;
  }
  return true;
}

// The widget's ancestors from the window down to the widget itself.
std::vector<const QWidget*> Chain(const QWidget* w, const QWidget& window) {
  std::vector<const QWidget*> chain;
  for (; w && w != &window; w = w->parentWidget()) chain.push_back(w);
  chain.push_back(&window);
  std::reverse(chain.begin(), chain.end());
  return chain;
}

struct Placed {
  const QWidget* control;
  QRect text;  // in the window
};

}  // namespace

std::vector<std::string> ClippedTexts(QWidget& window, const TextOf& extra) {
  std::vector<std::string> out;
  std::vector<Placed> placed;
  for (QWidget* w : window.findChildren<QWidget*>()) {
    if (!ShownIn(*w, window) || w->isWindow()) continue;
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
      // A combo box's own editor is the combo's business.
      if (!qobject_cast<QAbstractButton*>(w->parentWidget())) CheckLineEdit(*edit, out);
      continue;
    }
    if (auto* header = qobject_cast<QHeaderView*>(w)) {
      CheckHeader(*header, out);
      continue;
    }
    ShownText s;
    if (!(extra && extra(*w, s)) && !TextOfKnown(*w, s)) continue;
    if (s.text.trimmed().isEmpty()) continue;
    const QFont font = s.font.value_or(w->font());
    int lines = 1;
    QSize need;
    if (s.wrap) {
      need = LaidOut(s.text, font, s.area.width(), false, &lines);
    } else {
      need = LaidOut(s.text, font, s.area.width(), true, &lines);
    }
    const std::string what = Name(*w) + " \"" + s.text.toStdString() + "\"";
    if (need.width() > s.area.width() || need.height() > s.area.height()) {
      out.push_back(what + ": needs " + std::to_string(need.width()) + "x" + std::to_string(need.height()) +
                    (lines > 1 ? " (" + std::to_string(lines) + " lines)" : std::string()) + ", has " +
                    Describe(s.area));
    }
    const QRect text = QStyle::alignedRect(Qt::LeftToRight, Qt::Alignment(s.alignment), need, s.area);
    // Every parent cuts what lies outside it.
    QRect seen(w->mapTo(&window, text.topLeft()), text.size());
    for (const QWidget* p = w->parentWidget(); p; p = p->parentWidget()) {
      const QRect parent(p == &window ? QPoint(0, 0) : p->mapTo(&window, QPoint(0, 0)), p->size());
      if (!parent.contains(seen)) {
        out.push_back(what + ": at " + Describe(seen) + ", cut by " + Name(*p) + " at " + Describe(parent));
        break;
      }
      if (p == &window) break;
    }
    placed.push_back({w, seen});
  }
  // No text over another one, nor under a control that paints its own background.
  for (size_t i = 0; i < placed.size(); ++i) {
    for (size_t j = i + 1; j < placed.size(); ++j) {
      const QWidget* a = placed[i].control;
      const QWidget* b = placed[j].control;
      if (a->isAncestorOf(b) || b->isAncestorOf(a)) continue;
      if (placed[i].text.intersects(placed[j].text)) {
        out.push_back(Name(*a) + " and " + Name(*b) + ": their texts overlap at " +
                      Describe(placed[i].text.intersected(placed[j].text)));
      }
    }
  }
  for (const Placed& p : placed) {
    for (QWidget* other : window.findChildren<QWidget*>()) {
      if (other == p.control || !ShownIn(*other, window) || other->isWindow()) continue;
      if (other->isAncestorOf(p.control) || p.control->isAncestorOf(other)) continue;
      const bool opaque = other->autoFillBackground() || qobject_cast<QAbstractScrollArea*>(other) ||
                          qobject_cast<QLineEdit*>(other);
      if (!opaque || qobject_cast<QAbstractScrollArea*>(other->parentWidget())) continue;
      const QRect at(other->mapTo(&window, QPoint(0, 0)), other->size());
      // Only a control stacked above the text's control covers it: below their common
      // parent, the branch that is the later child lies above.
      const std::vector<const QWidget*> a = Chain(p.control, window), b = Chain(other, window);
      size_t k = 0;
      while (k < a.size() && k < b.size() && a[k] == b[k]) ++k;
      if (k == 0 || k >= a.size() || k >= b.size()) continue;
      const QObjectList& siblings = a[k - 1]->children();
      if (siblings.indexOf(const_cast<QWidget*>(b[k])) < siblings.indexOf(const_cast<QWidget*>(a[k]))) continue;
      if (at.intersects(p.text)) {
        out.push_back(Name(*p.control) + ": its text at " + Describe(p.text) + " lies under " + Name(*other) + " at " +
                      Describe(at));
      }
    }
  }
  return out;
}

std::vector<std::string> Geometries(QWidget& window) {
  std::vector<std::string> out;
  for (QWidget* w : window.findChildren<QWidget*>()) {
    if (!ShownIn(*w, window) || w->isWindow() || w->objectName().isEmpty()) continue;
    out.push_back(Name(*w) + " " + Describe(QRect(w->mapTo(&window, QPoint(0, 0)), w->size())));
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace traytest
