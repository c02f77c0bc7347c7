// Entry point of the GUI test programs: GoogleTest inside a QApplication.
#include <QApplication>

#include <gtest/gtest.h>

#include "framework/forms.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  int status = RUN_ALL_TESTS();
  Application().DestroyForms();
  return status;
}
