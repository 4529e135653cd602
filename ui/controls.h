#pragma once

// Helpers shared by the program's windows: enabling groups of controls, the
// digits-only key filter, and moving texts between the settings (byte
// strings) and Qt's fields (QString) without losing anything.
//
// Main thread only, like every widget.

#include <QObject>
#include <QString>
#include <string>

class QAbstractButton;
class QAction;
class QEvent;
class QKeyEvent;
class QLineEdit;
class QWidget;

namespace vt {

// Enables or disables `control` and, recursively, every widget inside it.
// A text field or editable list also gets the text-entry background when
// enabled and the button-face colour when disabled. A group box gets the
// window-text colour for its caption while enabled and the disabled-text
// grey while disabled (set per colour group, so that widgets inside it that
// are disabled on their own still draw grey).
void SetControlEnabled(QWidget* control, bool enabled);

// The key filter of the number fields: true when `event` types a printable
// character other than the digits 0 to 9, which the field must discard.
// Backspace, Enter, and keys that type no printable character (Tab, Escape,
// arrows, Delete, shortcuts such as Ctrl+V) pass, so that the dialog's
// keyboard handling keeps working. Text pasted into the field is not
// filtered; the field's reader copes with it.
bool IsDiscardedByDigitFilter(const QKeyEvent& event);

// Installs IsDiscardedByDigitFilter on a widget (and, for an editable list,
// on its line edit too). Owned by the widget it filters.
class TDigitKeyFilter : public QObject {
 public:
  static void Install(QWidget* field);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  using QObject::QObject;
};

// Binds `button` to `action`: the button shows the action's caption (with
// its access key) and enabled state, follows every later change of them, and triggers the action when
// clicked. Several buttons and menus may share one action; they then agree on its state everywhere.
void BindButtonToAction(QAbstractButton* button, QAction* action);

// A settings text for a Qt field (UTF-8).
QString ToQString(const std::string& text);

// The settings text for what a field holds now. When the field still shows
// `original` unchanged, `original` itself is returned: a byte string that is
// no valid UTF-8 (a Linux file name may be anything) would otherwise change
// on the way through the field even though the user did not touch it.
std::string FieldText(const QString& now, const std::string& original);

// Puts `text` into `field`, whose typing limit is `max_length` characters.
// The limit only restricts typing: a longer stored value is shown whole
// (and saved back whole) rather than cut.
void SetFieldText(QLineEdit* field, const QString& text, int max_length);

}  // namespace vt
