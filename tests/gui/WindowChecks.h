// What every window's test asks of it: each control has a name an assistive tool can say, the
// Tab chain runs as the eye reads, and no caption is cut at the window's current size.
#pragma once

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QStringList>
#include <QWidget>

namespace quillet::test {

inline QString Describe(QAccessibleInterface* a) {
  QObject* o = a->object();
  return QStringLiteral("%1 (role %2)")
      .arg(o && !o->objectName().isEmpty() ? o->objectName() : a->text(QAccessible::Name))
      .arg(int(a->role()));
}

// The controls under window, as the accessibility tree shows them, that have no name: a
// control that holds a value (a drop-down, a text field, a slider, a bar) needs a name of its
// own or a label that names it (on Linux a drop-down's name is its current setting, which says
// nothing of what it sets); any other control its own text.
inline QStringList UnnamedControls(QWidget* window) {
  QStringList unnamed;
  QList<QAccessibleInterface*> pending{QAccessible::queryAccessibleInterface(window)};
  while (!pending.isEmpty()) {
    QAccessibleInterface* a = pending.takeLast();
    if (!a || !a->isValid()) continue;
    for (int i = 0; i < a->childCount(); ++i) pending << a->child(i);
    if (a->state().invisible) continue;
    const QAccessible::Role role = a->role();
    const bool holdsValue = role == QAccessible::ComboBox || role == QAccessible::EditableText ||
                            role == QAccessible::Slider || role == QAccessible::ProgressBar ||
                            role == QAccessible::SpinBox;
    const bool control = holdsValue || role == QAccessible::PushButton ||
                         role == QAccessible::CheckBox || role == QAccessible::RadioButton ||
                         role == QAccessible::Link || role == QAccessible::PageTab ||
                         role == QAccessible::MenuItem;
    if (!control) continue;
    auto* widget = qobject_cast<QWidget*>(a->object());
    const bool ownName = widget && !widget->accessibleName().trimmed().isEmpty();
    const bool labelled = !a->relations(QAccessible::Label).isEmpty();
    const bool named = holdsValue ? ownName || labelled
                                  : !a->text(QAccessible::Name).trimmed().isEmpty();
    if (!named) unnamed << Describe(a);
  }
  return unnamed;
}

// The Tab chain from first, once round: the object names of the controls Tab reaches (shown,
// enabled, taking focus by Tab), without a window manager to hand the focus round.
inline QStringList TabChain(QWidget* first) {
  QStringList chain;
  QWidget* w = first;
  do {
    if (w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) &&
        !w->focusProxy())
      chain << w->objectName();
    w = w->nextInFocusChain();
  } while (w && w != first && chain.size() < 200);
  return chain;
}

// The captions under window that do not fit their widget: a label's text (wrapped ones in
// their height), a button's or check box's caption, a group's title, a drop-down made to show
// its longest entry, and a drop-down's list narrower than its longest entry.
inline QStringList ClippedCaptions(QWidget* window) {
  QStringList clipped;
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (!w->isVisible()) continue;
    bool fits = true;
    QString text;
    if (auto* label = qobject_cast<QLabel*>(w)) {
      text = label->text();
      if (text.isEmpty()) continue;
      fits = label->wordWrap() ? label->heightForWidth(label->width()) <= label->height()
                               : label->sizeHint().width() <= label->width();
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      text = button->text();
      if (text.isEmpty()) continue;
      fits = button->sizeHint().width() <= button->width();
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
      text = group->title();
      fits = group->minimumSizeHint().width() <= group->width();
    } else if (auto* box = qobject_cast<QComboBox*>(w)) {
      text = box->currentText();
      if (box->sizeAdjustPolicy() == QComboBox::AdjustToContents)
        fits = box->sizeHint().width() <= box->width();
      fits = fits && (box->count() == 0 ||
                      box->view()->sizeHintForColumn(0) <= box->view()->minimumWidth() ||
                      box->view()->sizeHintForColumn(0) <= box->width());
    } else {
      continue;
    }
    if (!fits) clipped << w->objectName() + ": " + text;
  }
  return clipped;
}

}  // namespace quillet::test
