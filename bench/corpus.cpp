#include "bench/corpus.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "settings/file/iniform1.h"

const ReplaceRule kFirstStartRule1{true, form1_built::kSearch1, form1_built::kReplacement1};
const ReplaceRule kFirstStartRule2{true, form1_built::kSearch2, form1_built::kReplacement2};

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five;
  in >> one >> five;
  return one + " / " + five;
}

double Run(const std::vector<std::string>& args, struct rusage* usage, const char* stdout_to) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    if (stdout_to != nullptr) {
      int fd = open(stdout_to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  double t = Now() - start;
  if (usage != nullptr) *usage = ru;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "command failed: %s\n", args[0].c_str());
  }
  return t;
}

std::vector<std::string> UserRun(const std::string& program, const std::filesystem::path& folder,
                                 const std::vector<std::string>& extra) {
  std::vector<std::string> args = {program, "-q", "-r", "-f", "unix"};
  for (const ReplaceRule* r : {&kFirstStartRule1, &kFirstStartRule2}) {
    args.push_back("--remplacer=" + r->Search);
    args.push_back("--par=" + r->Replacement);
  }
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(folder.string());
  return args;
}

std::string PerlFile(std::mt19937& rng, std::size_t size) {
  static const char* const shebangs[] = {"#!/perl/bin/perl", "#!/PERL/bin/Perl -w",
                                         "#!/Perl/Bin/perl"};
  static const char* const bodies[] = {
      "my $query = new CGI;",
      "print $query->header(-charset => 'iso-8859-1');",
      "foreach my $key (sort keys %ENV) {",
      "print \"<tr><td>$key</td><td>$ENV{$key}</td></tr>\";",
      "}",
      "open(FH, '<', $fichier) or die \"Impossible d'ouvrir $fichier: $!\";",
      "while (my $ligne = <FH>) { chomp $ligne; push @lignes, $ligne; }",
      "close(FH);",
      "# commentaire : mise a jour du catalogue",
      "return wantarray ? @lignes : \\@lignes;",
      "if ($param{'action'} eq 'maj') { &mise_a_jour(); }",
      ""};
  std::string s = shebangs[rng() % 3];
  s += "\r\nuse strict;\r\nUSE LIB 'C:/Perl/lib/' ;\r\n";
  while (s.size() < size) {
    s.append(rng() % 4 * 2, ' ');
    if (rng() % 5 == 0) s += '\t';
    s += bodies[rng() % (sizeof bodies / sizeof *bodies)];
    if (rng() % 3 == 0) s += rng() % 2 ? "  " : " \t";
    s += "\r\n";
  }
  return s;
}

void MakeTree(const std::filesystem::path& root, int files, std::size_t size) {
  std::mt19937 rng(42);
  std::filesystem::create_directories(root);
  for (int i = 0; i < files; ++i) {
    std::filesystem::path dir = root / ("d" + std::to_string(i / 500));
    if (i % 500 == 0) std::filesystem::create_directories(dir);
    std::ofstream(dir / ("script" + std::to_string(i) + ".pl"), std::ios::binary)
        << PerlFile(rng, size);
  }
}

BigScript BigScript::Write(const std::filesystem::path& p, std::size_t gigabytes) {
  BigScript s;
  for (int i = 0; i < 1000; ++i) {
    s.block += "  \tprint \"ligne " + std::to_string(i) + "\";  \r\n";
    s.expected += "print \"ligne " + std::to_string(i) + "\";\n";
  }
  s.block.insert(0, "#!/Perl/bin/perl\r\n");
  s.expected.insert(0, "#!/usr/bin/perl\n");
  s.blocks = gigabytes * (std::size_t{1} << 30) / s.block.size();
  std::ofstream out(p, std::ios::binary);
  for (std::size_t i = 0; i < s.blocks; ++i) out << s.block;
  return s;
}

bool BigScript::ConvertedIn(const std::filesystem::path& p) const {
  std::ifstream in(p, std::ios::binary);
  std::string buf(expected.size(), '\0');
  for (std::size_t i = 0; i < blocks; ++i) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    if (in.gcount() != static_cast<std::streamsize>(buf.size()) || buf != expected) return false;
  }
  return in.peek() == std::char_traits<char>::eof();
}

void ReportBigFile(std::size_t gigabytes, double seconds, const struct rusage& usage, bool ok) {
  std::printf("  (c) one %zu GB file: %.2fs, peak resident memory %ld MB (target < 64), %s\n",
              gigabytes, seconds, usage.ru_maxrss / 1024,
              ok ? "converted correctly" : "WRONG OUTPUT");
}
