#include <gtest/gtest.h>

#include "app/form1.h"

TEST(Form1, BuildsWithUnixChosen) {
  TForm1 form;
  EXPECT_TRUE(form.unix_c->Checked());
}
