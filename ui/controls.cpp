#include "ui/controls.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>
#include <QWidget>
#include <algorithm>

namespace vt {

namespace {

bool IsTextEntry(const QWidget* control) {
  if (qobject_cast<const QLineEdit*>(control)) return true;
  const auto* list = qobject_cast<const QComboBox*>(control);
  return list && list->isEditable();
}

void SetTextEntryColours(QWidget* control, bool enabled) {
  const QPalette standard = QApplication::palette(control);
  QPalette palette = control->palette();
  palette.setColor(QPalette::Base,
                   standard.color(QPalette::Active, enabled ? QPalette::Base : QPalette::Button));
  control->setPalette(palette);
}

void SetCaptionColours(QWidget* group) {
  const QPalette standard = QApplication::palette(group);
  QPalette palette = group->palette();
  for (auto colour_group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    palette.setColor(colour_group, QPalette::WindowText, standard.color(colour_group, QPalette::WindowText));
  }
  group->setPalette(palette);
}

}  // namespace

void SetControlEnabled(QWidget* control, bool enabled) {
  if (!control) return;
  control->setEnabled(enabled);
  if (IsTextEntry(control)) SetTextEntryColours(control, enabled);
  if (qobject_cast<QGroupBox*>(control)) SetCaptionColours(control);
  const auto children = control->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (QWidget* child : children) {
    // Windows owned by the control (a list's popup) are not inside it.
    if (!child->isWindow()) SetControlEnabled(child, enabled);
  }
}

bool IsDiscardedByDigitFilter(const QKeyEvent& event) {
  const QString text = event.text();
  for (const QChar c : text) {
    const char16_t code = c.unicode();
    const bool digit = code >= u'0' && code <= u'9';
    const bool control_key = code < 32 || code == 127;  // backspace (8), Enter (13), Tab, Escape, Ctrl+...
    if (!digit && !control_key) return true;
  }
  return false;
}

void TDigitKeyFilter::Install(QWidget* field) {
  field->installEventFilter(new TDigitKeyFilter(field));
  // An editable list hands the keys it gets on to its line edit directly,
  // but a key sent to the line edit itself must be filtered too.
  if (auto* list = qobject_cast<QComboBox*>(field); list && list->lineEdit()) {
    list->lineEdit()->installEventFilter(new TDigitKeyFilter(list->lineEdit()));
  }
}

bool TDigitKeyFilter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && IsDiscardedByDigitFilter(*static_cast<QKeyEvent*>(event))) {
    return true;
  }
  return QObject::eventFilter(watched, event);
}

void BindButtonToAction(QAbstractButton* button, QAction* action) {
  const auto update = [button, action] {
    button->setText(action->text());
    button->setEnabled(action->isEnabled());
  };
  update();
  QObject::connect(action, &QAction::changed, button, update);
  QObject::connect(button, &QAbstractButton::clicked, action, &QAction::trigger);
}

QString ToQString(const std::string& text) { return QString::fromStdString(text); }

std::string FieldText(const QString& now, const std::string& original) {
  if (now == ToQString(original)) return original;
  return now.toStdString();
}

void SetFieldText(QLineEdit* field, const QString& text, int max_length) {
  field->setMaxLength(std::max(max_length, static_cast<int>(text.size())));
  field->setText(text);
}

}  // namespace vt
