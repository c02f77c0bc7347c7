// terminelle-cli --reglages with the settings file the window itself wrote.
#include <sys/stat.h>
#include <unistd.h>

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

TEST_F(CliSettings, SettingsAnotherAccountCouldHaveWrittenChooseNothing) {
  WriteFileBytes(Path("a.pl"), "x \r\n");
  const std::string saved = "[Form1]\npath_c=" + Path("") + "\nfiltre_c=*.pl\nunix_c=1\n";
  struct Case {
    const char* what;
    bool needs_root;
    mode_t mode;
    uid_t owner;
  };
  for (const Case& c : {Case{"others may write it", false, 0666, ::geteuid()},
                        Case{"another account's", true, 0644, 65534}}) {
    if (c.needs_root && ::geteuid() != 0) continue;
    SCOPED_TRACE(c.what);
    WriteFileBytes(SettingsFile(), saved);
    ASSERT_EQ(::chmod(SettingsFile().c_str(), c.mode), 0);
    ASSERT_EQ(::chown(SettingsFile().c_str(), c.owner, static_cast<gid_t>(-1)), 0);
    CliResult r = RunCli({"--reglages", "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fichier de réglages"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFileBytes(Path("a.pl")), "x \r\n");
    // Nor does the window take its fields from it, or save over it.
    {
      TForm1 form;
      EXPECT_NE(form.path_c->text(), QString::fromLocal8Bit(Path("").c_str()));
      form.close();
    }
    EXPECT_EQ(ReadFileBytes(SettingsFile()), saved);
  }
}
