#include "app/messages.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

#include "widgets/forms.h"
#include "widgets/localtext.h"

namespace {

QString Title() {
  return QString::fromUtf8(Application().Title);
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

TMessageForm::TMessageForm(const QString& text)
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
  layout->addLayout(buttons);
  adjustSize();
  if (screen != nullptr) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

void TMessageForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_C && event->modifiers() == Qt::ControlModifier) {
    QApplication::beep();
    QApplication::clipboard()->setText(
        MessageBoxClipboardText(windowTitle(), message_->text(), {ok_->text()}));
    return;
  }
  QDialog::keyPressEvent(event);
}

void ShowMessage(const std::string& text) {
  if (BoxHook) {
    BoxHook(TBoxKind::Message, text);
    return;
  }
  TMessageForm box(BoxText(text));
  box.exec();
}

void ShowErrorBox(const std::string& text) {
  if (BoxHook) {
    BoxHook(TBoxKind::Error, text);
    return;
  }
  QMessageBox box(QMessageBox::Critical, Title(), BoxText(text), QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

void InstallErrorBox() {
  Application().ErrorBox = ShowErrorBox;
}
