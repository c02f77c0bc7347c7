#pragma once
// What every window test shares: a settings folder of its own, the message
// boxes answered and recorded, and small file helpers.

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/choisirdossier.h"
#include "app/messages.h"
#include "platform/codepage.h"

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The folder the settings file lives in for this test.
  std::string SettingsFile() const;
  // Writes the settings file with the given body (lines of the Form1 section).
  void WriteSettings(const std::string& body) const;

  // Every box shown, in order.
  std::vector<std::pair<TBoxKind, std::string>> boxes;
  // Texts of the simple boxes only.
  std::vector<std::string> Messages() const;
  // Texts of the error boxes only.
  std::vector<std::string> Errors() const;

  QTemporaryDir config;
  QTemporaryDir work;
  // A path in the work folder.
  std::string Path(const std::string& relative) const;
};

// Runs the program in cp, as if the locale named it, until destroyed.
class PinnedCodePage {
 public:
  explicit PinnedCodePage(const CodePage& cp) : saved_(CodePage::SetSystem(cp)) {}
  ~PinnedCodePage() { CodePage::SetSystem(saved_); }
  PinnedCodePage(const PinnedCodePage&) = delete;
  PinnedCodePage& operator=(const PinnedCodePage&) = delete;

 private:
  CodePage saved_;
};

// Writes content to path, creating its folders.
void WriteFileBytes(const std::string& path, const std::string& content);
// The content of path; empty when unreadable.
std::string ReadFileBytes(const std::string& path);
