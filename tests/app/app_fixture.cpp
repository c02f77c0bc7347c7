#include "app_fixture.h"

#include <cstdlib>
#include <filesystem>

#include "../support/temp_folder.h"
#include "framework/forms.h"

void AppTest::SetUp() {
  ASSERT_TRUE(config.isValid());
  ASSERT_TRUE(work.isValid());
  ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
  ::setenv("XDG_STATE_HOME", (config.path() + "/state").toLocal8Bit().constData(), 1);
  InstallErrorBox();
  SetBoxHook([this](TBoxKind kind, const std::string& text) { boxes.emplace_back(kind, text); });
  SetFolderDialogHook(nullptr);
}

void AppTest::TearDown() {
  // Qt does not list names that are not UTF-8, so it could not remove them.
  std::error_code error;
  std::filesystem::remove_all(work.path().toStdString(), error);
  SetBoxHook(nullptr);
  SetFolderDialogHook(nullptr);
}

std::string AppTest::SettingsFile() const {
  return config.path().toStdString() + "/Terminelle/serie.ini";
}

void AppTest::WriteSettings(const std::string& body) const {
  WriteFileBytes(SettingsFile(), "[Form1]\n" + body);
}

std::vector<std::string> AppTest::Messages() const {
  std::vector<std::string> out;
  for (const auto& [kind, text] : boxes) {
    if (kind == TBoxKind::Message) out.push_back(text);
  }
  return out;
}

std::vector<std::string> AppTest::Errors() const {
  std::vector<std::string> out;
  for (const auto& [kind, text] : boxes) {
    if (kind == TBoxKind::Error) out.push_back(text);
  }
  return out;
}

std::string AppTest::Path(const std::string& relative) const {
  return work.path().toStdString() + "/" + relative;
}

void WriteFileBytes(const std::string& path, const std::string& content) {
  // Paths are bytes, which need not be UTF-8.
  WriteBytes(path, content);
}

std::string ReadFileBytes(const std::string& path) {
  return ReadBytes(path);
}
