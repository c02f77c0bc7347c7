// terminelle-cli --reglages with the settings file the window itself wrote.
#include <gtest/gtest.h>

#include "app/form1.h"
#include "app_fixture.h"
#include "run_cli.h"

using CliSettings = AppTest;

TEST_F(CliSettings, RunsWhatTheWindowSaved) {
  const std::string script = "#!/Perl/bin/perl\r\nuse lib 'c:/perl/lib/' ;\r\n";
  WriteFileBytes(Path("a.cgi"), script);
  WriteFileBytes(Path("done.cgi"), "ok\n");
  WriteFileBytes(Path("b.pl"), script);
  WriteFileBytes(Path("sub/c.cgi"), script);
  {
    // First start: Windows, both rules on, sub-folders included.
    TForm1 form;
    form.path_c->setText(QString::fromLocal8Bit(Path("").c_str()));
    form.filtre_c->setText("*.cgi");
    form.inclure_rep->click();
    form.unix_c->click();
    form.remplacer_2->click();
    form.close();
  }
  CliResult tried = RunCli({"--reglages", "--essai"});
  EXPECT_EQ(tried.status, 0) << tried.err;
  EXPECT_EQ(tried.out, "à changer (2 lignes) : " + Path("a.cgi") + "\n");
  CliResult done = RunCli({"--reglages", "-q"});
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(ReadFileBytes(Path("a.cgi")), "#!/usr/bin/perl\nuse lib 'c:/perl/lib/' ;\n");
  EXPECT_EQ(ReadFileBytes(Path("sub/c.cgi")), script);
  EXPECT_EQ(ReadFileBytes(Path("b.pl")), script);
}
