#include "framework/localtext.h"

#include "platform/codepage.h"

namespace {

void Append(QString& text, char32_t c) {
  if (c < 0x10000) {
    text += QChar(static_cast<char16_t>(c));
  } else {
    text += QChar(QChar::highSurrogate(c));
    text += QChar(QChar::lowSurrogate(c));
  }
}

}  // namespace

QString FromLocalBytes(const std::string& bytes) {
  const CodePage& cp = CodePage::System();
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t c = 0;
    i += cp.Decode(bytes.data() + i, bytes.size() - i, &c);
    Append(text, c);
  }
  return text;
}

std::string ToLocalBytes(const QString& text) {
  const CodePage& cp = CodePage::System();
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    char32_t c = text[i].unicode();
    // A lone surrogate is kept as it is: it may stand for a byte.
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      c = QChar::surrogateToUcs4(text[i], text[i + 1]);
      ++i;
    }
    cp.Encode(c, bytes);
  }
  return bytes;
}

QString FromMessageBytes(const std::string& bytes) {
  static const CodePage utf8 = CodePage::Utf8();
  const CodePage& cp = CodePage::System();
  QString text;
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t c = 0;
    std::size_t len = utf8.Decode(bytes.data() + i, bytes.size() - i, &c);
    if (QChar::isSurrogate(c)) len = cp.Decode(bytes.data() + i, 1, &c);
    Append(text, c);
    i += len;
  }
  return text;
}
