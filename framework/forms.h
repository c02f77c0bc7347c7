#pragma once
// The small window framework the program is written against: an application
// object that knows its windows and shows escaping errors, windows that list
// their components and have a close event, and controls whose events are
// plain slots that may be empty.

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/component.h"

// What a window does once its close event has run.
enum class TCloseAction { caNone, caHide, caFree, caMinimize };
// A window's close event: Action may be changed by the handler.
using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;

class TForm;

// The application object. It owns the windows, in creation order, and is
// the one place where escaping errors are shown.
class TApplication : public TComponent {
 public:
  // The process-wide application object.
  static TApplication& Instance();

  // Builds a window owned by the application; the first one becomes MainForm.
  template <class F, class... Args>
  F* CreateForm(Args&&... args) {
    F* form = new F(std::forward<Args>(args)...);
    if (MainForm == nullptr) MainForm = form;
    return form;
  }
  // Destroys the windows the application still owns, newest first (before
  // Qt itself goes).
  void DestroyForms();
  // The windows the application owns, in creation order.
  std::vector<TForm*> Forms() const;

  // Dispatches every waiting event without waiting for one.
  void ProcessMessages();
  // Asks the event loop to end (a quit message).
  void Terminate();
  // Shows the error box for the error in flight, with what it is about and why.
  void HandleException(std::exception_ptr error);
  // Shows the error box for message (the full stop rule applied).
  void ShowException(const std::string& message);
  // Shows an error box's text.
  using ErrorBoxFn = std::function<void(const std::string& text)>;
  // Makes box the error box from now on (the program installs the real one,
  // tests a double; an empty one writes to stderr); returns the one it replaces.
  ErrorBoxFn SetErrorBox(ErrorBoxFn box);

  // The program's title; the caption of its message boxes.
  std::string Title = "Terminelle";
  // The first window built, once it is built.
  TForm* MainForm = nullptr;

 private:
  TApplication() = default;
  void Show(const std::string& text);
  ErrorBoxFn error_box_;
};

// The process-wide application object.
inline TApplication& Application() {
  return TApplication::Instance();
}

// The error box text: a "." is added when the last byte is above ".".
std::string ErrorBoxText(const std::string& message);
// The error box text for error: its message as above, then, on a line of
// its own, what it is about and why ("PATH : reason."), when it says.
std::string ErrorBoxText(std::exception_ptr error);
// Runs a handler that Qt called; an escaping error goes to the error box.
void Guarded(const std::function<void()>& handler);

// Runs an event slot. When the event was raised by our own code (a setter of
// ours is on the stack) an error is handed back to that code; otherwise it is
// shown in the error box, since Qt is the caller and must not see it.
class TEventGate {
 public:
  // Runs slot under the rule above.
  void Fire(const std::function<void()>& slot);
  // Runs change (which may fire events through Qt) and rethrows their error.
  void FromCode(const std::function<void()>& change);

 private:
  int depth_ = 0;
  std::exception_ptr pending_;
};

// A top-level window whose components are listed in the order they were built.
class TForm : public QWidget, public TComponent {
 public:
  // A window owned by the application object.
  explicit TForm(QWidget* parent = nullptr);
  // Destroys its components while it is still a whole window.
  ~TForm() override;
  // Sends Loaded to each owned component, in order.
  void NotifyLoaded();
  // The close event; the store chains it.
  TCloseEvent OnClose;

 protected:
  void closeEvent(QCloseEvent* event) override;
};

// Any Qt widget made a named component of a window.
template <class W>
class TControl : public W, public TComponent {
 public:
  // A widget named name, listed by owner and shown inside parent.
  TControl(TComponent* owner, QWidget* parent, const char* name) : W(parent), TComponent(owner) {
    Name = name;
    this->setObjectName(QString::fromUtf8(name));
  }
};

// A check box whose click event fires on every change of state, by the user
// or by code, and never when the state is set to the one it has.
class TCheckBox : public TControl<QCheckBox> {
 public:
  TCheckBox(TComponent* owner, QWidget* parent, const char* name);
  bool Checked() const { return isChecked(); }
  // Sets the state from code; a click handler's error comes back to the caller.
  void SetChecked(bool checked);
  TNotifyEvent OnClick;

 private:
  TEventGate gate_;
};

// A push button with a click event.
class TButton : public TControl<QPushButton> {
 public:
  TButton(TComponent* owner, QWidget* parent, const char* name);
  TNotifyEvent OnClick;
};

// A single-line edit.
class TEdit : public TControl<QLineEdit> {
 public:
  TEdit(TComponent* owner, QWidget* parent, const char* name)
      : TControl<QLineEdit>(owner, parent, name) {}
};
