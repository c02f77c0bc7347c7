#include "app/messages.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

#include <utility>

#include "framework/forms.h"
#include "framework/localtext.h"

namespace {

QString Title() {
  return QString::fromUtf8(Application().Title);
}

// Ctrl+C alone: a beep, and the box on the clipboard as plain text.
bool CopiedOnCtrlC(const QKeyEvent* event, const QString& caption, const QString& message,
                   const QStringList& buttons) {
  if (event->key() != Qt::Key_C || event->modifiers() != Qt::ControlModifier) return false;
  QApplication::beep();
  QApplication::clipboard()->setText(MessageBoxClipboardText(caption, message, buttons));
  return true;
}

}  // namespace

QString BoxText(const std::string& bytes) {
  return FromMessageBytes(bytes);
}

QString MessageBoxClipboardText(const QString& caption, const QString& message,
                                const QStringList& buttons) {
  const QString rule(27, QLatin1Char('-'));
  const QString eol = QStringLiteral("\r\n");
  QString captions;
  for (QString b : buttons) captions += b.remove(QLatin1Char('&')) + QStringLiteral("   ");
  return rule + eol + caption + eol + rule + eol + message + eol + rule + eol + captions + eol +
         rule + eol;
}

int CaptionWidth(const QString& caption) {
  // Title bars commonly use a bold face somewhat larger than the dialog text.
  QFont title = QApplication::font();
  title.setBold(true);
  if (title.pixelSize() > 0) {
    title.setPixelSize(title.pixelSize() * 5 / 4);
  } else {
    title.setPointSizeF(title.pointSizeF() * 1.25);
  }
  QFontMetrics metrics(title);
  return metrics.horizontalAdvance(caption) + 6 * metrics.height();
}

TMessageForm::TMessageForm(const QString& text, const QString& details)
    : message_(new QLabel(text, this)), ok_(new QPushButton(QStringLiteral("OK"), this)) {
  setWindowTitle(Title());
  setWindowModality(Qt::ApplicationModal);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFont(QApplication::font("QMessageBox"));

  QScreen* screen = QGuiApplication::primaryScreen();
  const int halfScreen = screen != nullptr ? screen->availableGeometry().width() / 2 : 640;
  message_->setTextFormat(Qt::PlainText);
  message_->setWordWrap(true);
  QFontMetrics metrics(font());
  QRect bounds =
      metrics.boundingRect(QRect(0, 0, halfScreen, 100000), Qt::TextWordWrap | Qt::AlignLeft, text);
  message_->setFixedSize(std::min(bounds.width() + 2, halfScreen), bounds.height());

  ok_->setDefault(true);
  ok_->setAutoDefault(true);
  QObject::connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  buttons->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->setContentsMargins(16, 16, 16, 12);
  layout->setSpacing(14);
  layout->addWidget(message_);
  if (!details.isEmpty()) {
    // A list as long as it is: it scrolls within half the screen.
    details_ = new QPlainTextEdit(details, this);
    details_->setReadOnly(true);
    details_->setLineWrapMode(QPlainTextEdit::NoWrap);
    const int lines = static_cast<int>(details.count(QLatin1Char('\n'))) + 1;
    const int halfHeight = screen != nullptr ? screen->availableGeometry().height() / 2 : 400;
    details_->setFixedSize(
        halfScreen, std::min(halfHeight, (std::min(lines, 20) + 1) * metrics.lineSpacing() + 8));
    layout->addWidget(details_);
  }
  layout->addLayout(buttons);
  const QMargins margins = layout->contentsMargins();
  layout->addStrut(CaptionWidth(windowTitle()) - margins.left() - margins.right());
  adjustSize();
  if (screen != nullptr) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

void TMessageForm::keyPressEvent(QKeyEvent* event) {
  // Ctrl+C in the details copies what is selected there.
  if (details_ != nullptr && details_->hasFocus()) {
    QDialog::keyPressEvent(event);
    return;
  }
  const QString message = details_ != nullptr
                              ? message_->text() + QLatin1Char('\n') + details_->toPlainText()
                              : message_->text();
  if (CopiedOnCtrlC(event, windowTitle(), message, {ok_->text()})) return;
  QDialog::keyPressEvent(event);
}

TErrorForm::TErrorForm(const QString& text)
    : QMessageBox(QMessageBox::Critical, Title(), text, QMessageBox::Ok) {
  setWindowModality(Qt::ApplicationModal);
  // The box sizes itself to its layout, so the caption's room goes there.
  if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
    grid->addItem(new QSpacerItem(CaptionWidth(Title()), 0, QSizePolicy::Minimum), grid->rowCount(),
                  0, 1, grid->columnCount());
  }
}

void TErrorForm::keyPressEvent(QKeyEvent* event) {
  if (CopiedOnCtrlC(event, windowTitle(), text(), {button(QMessageBox::Ok)->text()})) return;
  QMessageBox::keyPressEvent(event);
}

namespace {
BoxHook& CurrentBoxHook() {
  static BoxHook hook;
  return hook;
}
}  // namespace

BoxHook SetBoxHook(BoxHook hook) {
  return std::exchange(CurrentBoxHook(), std::move(hook));
}

void ShowMessage(const std::string& text) {
  if (const BoxHook& hook = CurrentBoxHook()) {
    hook(TBoxKind::Message, text);
    return;
  }
  TMessageForm box(BoxText(text));
  box.exec();
}

void ShowMessage(const std::string& text, const std::string& details) {
  if (const BoxHook& hook = CurrentBoxHook()) {
    hook(TBoxKind::Message, details.empty() ? text : text + "\n" + details);
    return;
  }
  TMessageForm box(BoxText(text), BoxText(details));
  box.exec();
}

void ShowErrorBox(const std::string& text) {
  if (const BoxHook& hook = CurrentBoxHook()) {
    hook(TBoxKind::Error, text);
    return;
  }
  TErrorForm box(BoxText(text));
  box.exec();
}

void InstallErrorBox() {
  Application().SetErrorBox(ShowErrorBox);
}
