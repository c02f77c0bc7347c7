#pragma once
// The two boxes through which the program speaks to the user: the simple
// message box (caption, text, one "OK") and the error box (stop icon).

#include <QDialog>
#include <QMessageBox>
#include <QString>

#include <functional>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// Which box is being shown.
enum class TBoxKind { Message, Error };

// Receives a box instead of the user.
using BoxHook = std::function<void(TBoxKind kind, const std::string& text)>;
// Puts hook in place of the user for every box from now on (an empty one
// gives the boxes back to the user); returns the one it replaces.
BoxHook SetBoxHook(BoxHook hook);

// The text of a box: the program's own messages are UTF-8, while a path in
// them may be in another locale charset; bytes that are not UTF-8 are read
// in the locale's charset.
QString BoxText(const std::string& bytes);
// Shows text in the simple message box and returns once it is closed.
void ShowMessage(const std::string& text);
// As ShowMessage, with details under the text in a list the user may scroll
// through, select and copy, however long; a hook receives the text, a line
// break and the details.
void ShowMessage(const std::string& text, const std::string& details);
// Shows text, as given, in the error box and returns once it is closed.
void ShowErrorBox(const std::string& text);
// Makes the error box the one the application shows escaping errors in.
void InstallErrorBox();

// The box as Ctrl+C copies it: caption, message and button captions between
// lines of dashes, every line ended by CR LF.
QString MessageBoxClipboardText(const QString& caption, const QString& message,
                                const QStringList& buttons);

// The width a box needs for a window manager to show caption whole: the
// caption in a large title font, with room for three title-bar buttons on
// each side, since many centre the caption.
int CaptionWidth(const QString& caption);

// The simple message box: a word-wrapped text at most half the screen wide
// and one "OK" that Enter and Escape both press.
class TMessageForm : public QDialog {
 public:
  // The box for text, captioned with the application's title, with details
  // under it when they are not empty.
  explicit TMessageForm(const QString& text, const QString& details = QString());
  // The label holding the text.
  QLabel* Message() const { return message_; }
  // The list of details; null when the box has none.
  QPlainTextEdit* Details() const { return details_; }
  QPushButton* OkButton() const { return ok_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QLabel* message_;
  QPlainTextEdit* details_ = nullptr;
  QPushButton* ok_;
};

// The error box: the stop icon, the text and one "OK"; Ctrl+C copies it as
// the simple box does.
class TErrorForm : public QMessageBox {
 public:
  // The box for text, captioned with the application's title.
  explicit TErrorForm(const QString& text);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};
