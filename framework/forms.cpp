#include "framework/forms.h"

#include <QCloseEvent>
#include <QCoreApplication>

#include <cstdio>
#include <utility>

#include "base/errors.h"
#include "platform/quote.h"

TApplication& TApplication::Instance() {
  static TApplication app;
  return app;
}

void TApplication::DestroyForms() {
  MainForm = nullptr;
  DestroyComponents();
}

std::vector<TForm*> TApplication::Forms() const {
  std::vector<TForm*> out;
  for (TComponent* c : Components()) {
    if (auto* f = dynamic_cast<TForm*>(c)) out.push_back(f);
  }
  return out;
}

void TApplication::ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::Terminate() {
  QCoreApplication::quit();
}

void TApplication::HandleException(std::exception_ptr error) {
  Show(ErrorBoxText(error));
}

TApplication::ErrorBoxFn TApplication::SetErrorBox(ErrorBoxFn box) {
  return std::exchange(error_box_, std::move(box));
}

void TApplication::ShowException(const std::string& message) {
  Show(ErrorBoxText(message));
}

void TApplication::Show(const std::string& text) {
  if (error_box_) {
    error_box_(text);
  } else {
    std::fprintf(stderr, "%s: %s\n", Title.c_str(), text.c_str());
  }
}

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > 0x2E) return message + ".";
  return message;
}

std::string ErrorBoxText(std::exception_ptr error) {
  // A message or a reason may hold a name too.
  std::string text = ErrorBoxText(EscapedText(MessageOf(error)));
  const ErrorDetail detail = DetailOf(error);
  const std::string path = QuotedName(detail.Path);
  if (detail.Reason.empty()) return path.empty() ? text : text + "\n" + path;
  const std::string why = ErrorBoxText(EscapedText(detail.Reason));
  return text + "\n" + (path.empty() ? AsSentence(why) : path + " : " + why);
}

void Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    try {
      Application().HandleException(std::current_exception());
    } catch (...) {
      // The error box itself failed: nothing more can be told to the user.
    }
  }
}

void TEventGate::Fire(const std::function<void()>& slot) {
  if (depth_ > 0) {
    try {
      slot();
    } catch (...) {
      if (!pending_) pending_ = std::current_exception();
    }
  } else {
    Guarded(slot);
  }
}

void TEventGate::FromCode(const std::function<void()>& change) {
  ++depth_;
  try {
    change();
  } catch (...) {
    --depth_;
    pending_ = nullptr;
    throw;
  }
  --depth_;
  if (depth_ == 0 && pending_) {
    std::exception_ptr error = pending_;
    pending_ = nullptr;
    std::rethrow_exception(error);
  }
}

TForm::TForm(QWidget* parent) : QWidget(parent), TComponent(&Application()) {}

TForm::~TForm() {
  if (Application().MainForm == this) Application().MainForm = nullptr;
  DestroyComponents();
}

void TForm::NotifyLoaded() {
  // A component's Loaded may add or remove components: walk a snapshot.
  std::vector<TComponent*> snapshot = Components();
  for (TComponent* c : snapshot) c->Loaded();
}

void TForm::closeEvent(QCloseEvent* event) {
  bool closes = false;
  Guarded([&] {
    TCloseAction action = TCloseAction::caHide;
    if (OnClose) OnClose(this, action);
    closes = action != TCloseAction::caNone;
  });
  if (!closes) {
    event->ignore();
    return;
  }
  event->accept();
  if (Application().MainForm == this) Application().Terminate();
}

TCheckBox::TCheckBox(TComponent* owner, QWidget* parent, const char* name)
    : TControl<QCheckBox>(owner, parent, name) {
  QObject::connect(this, &QCheckBox::toggled, this, [this](bool) {
    gate_.Fire([this] {
      if (OnClick) OnClick(this);
    });
  });
}

void TCheckBox::SetChecked(bool checked) {
  gate_.FromCode([&] { setChecked(checked); });
}

TButton::TButton(TComponent* owner, QWidget* parent, const char* name)
    : TControl<QPushButton>(owner, parent, name) {
  QObject::connect(this, &QPushButton::clicked, this, [this] {
    Guarded([this] {
      if (OnClick) OnClick(this);
    });
  });
}
