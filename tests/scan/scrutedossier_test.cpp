#include "scan/scrutedossier.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "convert/convert.h"
#include "platform/dirlist.h"
#include "platform/dosdate.h"

namespace fs = std::filesystem;

namespace {

// A real folder tree under the temporary folder, removed with everything in it.
class TempTree {
 public:
  explicit TempTree(const std::string& under = fs::temp_directory_path().string()) {
    std::string base = under + "/scan-XXXXXX";
    root_ = mkdtemp(base.data());
  }
  ~TempTree() {
    std::string quoted = "'" + root_ + "'";
    if (std::system(("chmod -R u+rwx " + quoted + " 2>/dev/null; rm -rf " + quoted).c_str()) != 0) {
      ADD_FAILURE() << "could not remove " << root_;
    }
  }
  const std::string& Root() const { return root_; }
  std::string Path(const std::string& rel) const { return root_ + "/" + rel; }
  void Dir(const std::string& rel) const { fs::create_directories(Path(rel)); }
  void File(const std::string& rel, const std::string& content = "") const {
    fs::create_directories(fs::path(Path(rel)).parent_path());
    std::ofstream(Path(rel), std::ios::binary) << content;
  }

 private:
  std::string root_;
};

struct Event {
  char kind;  // 'F' file, 'D' sub-folder, 'X' run start, 'E' run end
  std::string path;
  int32_t depth;
};

// Records every event of a scanner, in order.
struct Recorder {
  std::vector<Event> events;
  // Folders the walk told it could not go through, as "path : message".
  std::vector<std::string> failed;
  explicit Recorder(TScruteDossier& s) {
    s.OnEchec = [this](TObject*, std::string n, std::string m) { failed.push_back(n + " : " + m); };
    s.OnFichier = [this, &s](TObject*, std::string n) { events.push_back({'F', n, s.Profondeur}); };
    s.OnDossier = [this, &s](TObject*, std::string n) { events.push_back({'D', n, s.Profondeur}); };
    s.OnExecute = [this](TObject*) { events.push_back({'X', "", 0}); };
    s.OnFinExecute = [this](TObject*) { events.push_back({'E', "", 0}); };
  }
  // File names reported, by folder, relative to root.
  std::map<std::string, std::multiset<std::string>> Files(const std::string& root) const {
    std::map<std::string, std::multiset<std::string>> out;
    for (const Event& e : events) {
      if (e.kind != 'F') continue;
      fs::path p(e.path);
      out[p.parent_path().lexically_relative(root).string()].insert(p.filename().string());
    }
    return out;
  }
  std::set<std::string> Folders(const std::string& root) const {
    std::set<std::string> out;
    for (const Event& e : events) {
      if (e.kind == 'D') out.insert(fs::path(e.path).lexically_relative(root).string());
    }
    return out;
  }
};

std::string Parent(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}
bool Under(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// The walk's order rules: a level's files before its sub-folders, a
// sub-folder's event before its contents, each sub-folder complete before the next.
void ExpectWalkOrder(const std::vector<Event>& ev, const std::string& root) {
  for (std::size_t i = 0; i < ev.size(); ++i) {
    if (ev[i].kind != 'F' && ev[i].kind != 'D') continue;
    const std::string parent = Parent(ev[i].path);
    bool parentSeen = parent == root;
    for (std::size_t j = 0; j < i; ++j) {
      if (ev[j].kind == 'D' && ev[j].path == parent) parentSeen = true;
      if (ev[i].kind == 'F' && ev[j].kind == 'D' && Parent(ev[j].path) == parent) {
        ADD_FAILURE() << ev[i].path << " reported after sub-folder " << ev[j].path;
      }
    }
    EXPECT_TRUE(parentSeen) << ev[i].path << " reported before its folder";
    if (ev[i].kind != 'D') continue;
    std::size_t end = i + 1;
    while (end < ev.size() && (ev[end].path.empty() || Under(ev[end].path, ev[i].path))) ++end;
    for (std::size_t j = end; j < ev.size(); ++j) {
      EXPECT_FALSE(Under(ev[j].path, ev[i].path)) << ev[j].path << " after leaving its folder";
    }
  }
}

// root: a.pl b.txt README sub.pl/ (x.pl) one/ (c.pl two/ (d.pl three/ (e.pl)))
void MakeSample(const TempTree& t) {
  t.File("a.pl", "1234567");
  t.File("b.txt");
  t.File("README");
  t.File("sub.pl/x.pl");
  t.File("one/c.PL");
  t.File("one/two/d.pl");
  t.File("one/two/three/e.pl");
}

}  // namespace

TEST(ScruteDossier, ConstructorDefaults) {
  TComponent owner;
  TScruteDossier s(&owner);
  EXPECT_EQ(s.Owner(), &owner);
  EXPECT_EQ(s.Dossier(), "/");
  EXPECT_EQ(s.Filtre(), "*.*");
  EXPECT_TRUE(s.SousDossier());
  EXPECT_EQ(s.MaxPenetration(), kDepthLimit);
  EXPECT_FALSE(s.OnFichier || s.OnDossier || s.OnCreate || s.OnExecute || s.OnFinExecute);
  EXPECT_FALSE(s.Pump);
}

TEST(ScruteDossier, WalksWholeTreeInOrderWithOneEventPerFileAndFolder) {
  TempTree t;
  MakeSample(t);
  TScruteDossier s;
  s.SetDossier(t.Root() + "/");  // the final separator is dropped
  s.SetFiltre("*.pl");
  bool created = false;
  s.OnCreate = [&](TObject*) { created = true; };
  Recorder r(s);
  s.Execute();
  ASSERT_GE(r.events.size(), 2u);
  EXPECT_EQ(r.events.front().kind, 'X');
  EXPECT_EQ(r.events.back().kind, 'E');
  using Files = std::map<std::string, std::multiset<std::string>>;
  EXPECT_EQ(r.Files(t.Root()), (Files{{".", {"a.pl"}},
                                      {"sub.pl", {"x.pl"}},
                                      {"one", {"c.PL"}},
                                      {"one/two", {"d.pl"}},
                                      {"one/two/three", {"e.pl"}}}));
  EXPECT_EQ(r.Folders(t.Root()),
            (std::set<std::string>{"sub.pl", "one", "one/two", "one/two/three"}));
  ExpectWalkOrder(r.events, t.Root());
  for (const Event& e : r.events) {
    EXPECT_EQ(e.path.find("//"), std::string::npos) << e.path;
    if (e.kind == 'F') {
      EXPECT_EQ(
          e.depth,
          static_cast<int32_t>(std::count(e.path.begin() + t.Root().size(), e.path.end(), '/')) - 1)
          << e.path;
    }
  }
  EXPECT_FALSE(created);
}

TEST(ScruteDossier, ReportsSizeAndDosTimeOfEachFile) {
  TempTree t;
  t.File("a.pl", "1234567");
  TScruteDossier s;
  s.SetDossier(t.Root());
  std::vector<std::pair<int32_t, int32_t>> seen;
  s.OnFichier = [&](TObject*, std::string) { seen.emplace_back(s.Taille, s.DateHeure); };
  s.Execute();
  struct stat st {};
  ASSERT_EQ(stat(t.Path("a.pl").c_str(), &st), 0);
  int32_t stamp = 0;
  ASSERT_TRUE(DosDateTime(st.st_mtime, &stamp));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], std::make_pair(int32_t{7}, stamp));
  EXPECT_EQ(s.FichierCourant, t.Path("a.pl"));
}

TEST(ScruteDossier, WithoutHandlersFileFieldsStayClearedButFolderIsTracked) {
  TempTree t;
  t.File("a.pl", "123");
  t.File("one/b.pl", "45");
  TScruteDossier s;
  s.SetDossier(t.Root());
  s.FichierCourant = "stale";
  s.Taille = 5;
  s.DateHeure = 6;
  s.Arret = true;
  s.Execute();
  EXPECT_EQ(s.FichierCourant, "");
  EXPECT_EQ(s.Taille, 0);
  EXPECT_EQ(s.DateHeure, 0);
  EXPECT_FALSE(s.Arret);
  EXPECT_EQ(s.DossierCourant, t.Path("one"));
  EXPECT_EQ(s.Profondeur, 0);
}

TEST(ScruteDossier, EachPatternInTurnAndFileReportedOncePerMatch) {
  TempTree t;
  t.File("a.pl");
  t.File("b.txt");
  t.File("one/c.pl");
  t.File("one/d.txt");
  TScruteDossier s;
  s.SetDossier(t.Root());
  s.SetFiltre("*.txt;*.pl;*.*;");  // the final, empty pattern adds nothing
  Recorder r(s);
  s.Execute();
  using Files = std::map<std::string, std::multiset<std::string>>;
  EXPECT_EQ(r.Files(t.Root()), (Files{{".", {"a.pl", "a.pl", "b.txt", "b.txt"}},
                                      {"one", {"c.pl", "c.pl", "d.txt", "d.txt"}}}));
  // Within a folder: the .txt pass, then the .pl pass, then everything.
  for (const std::string& folder : {t.Root(), t.Path("one")}) {
    std::string order;
    for (const Event& e : r.events) {
      if (e.kind == 'F' && Parent(e.path) == folder) order += e.path.substr(e.path.size() - 2);
    }
    EXPECT_TRUE(order == "xtplxtpl" || order == "xtplplxt") << order;
  }
}

TEST(ScruteDossier, EmptyFilterReportsNoFileButStillWalksFolders) {
  TempTree t;
  MakeSample(t);
  TScruteDossier s;
  s.SetDossier(t.Root());
  s.SetFiltre("");
  Recorder r(s);
  s.Execute();
  EXPECT_TRUE(r.Files(t.Root()).empty());
  EXPECT_EQ(r.Folders(t.Root()),
            (std::set<std::string>{"sub.pl", "one", "one/two", "one/two/three"}));
  EXPECT_EQ(r.events.back().kind, 'E');
}

TEST(ScruteDossier, DepthLimitAndSubfolderFlag) {
  TempTree t;
  MakeSample(t);
  struct Case {
    int32_t max;
    bool sub;
    std::set<std::string> folders;
    std::set<std::string> file_folders;
    // Folders a limit kept out although sub-folders were asked for.
    std::vector<std::string> missed;
  };
  const std::vector<Case> cases = {
      {0, true, {"sub.pl", "one"}, {"."}, {}},
      {1,
       true,
       {"sub.pl", "one", "one/two"},
       {".", "sub.pl", "one"},
       {t.Path("one/two") + " : sous-dossiers non parcourus au-delà de 1 niveaux"}},
      {-1,
       true,
       {"sub.pl", "one", "one/two", "one/two/three"},
       {".", "sub.pl", "one", "one/two", "one/two/three"},
       {}},
      {kDepthLimit, false, {"sub.pl", "one"}, {"."}, {}},
  };
  for (const Case& c : cases) {
    TScruteDossier s;
    s.SetDossier(t.Root());
    s.SetFiltre("*.pl");
    s.SetMaxPenetration(c.max);
    s.SetSousDossier(c.sub);
    Recorder r(s);
    s.Execute();
    std::set<std::string> file_folders;
    for (const auto& [folder, names] : r.Files(t.Root())) file_folders.insert(folder);
    EXPECT_EQ(r.Folders(t.Root()), c.folders) << c.max << " " << c.sub;
    EXPECT_EQ(file_folders, c.file_folders) << c.max << " " << c.sub;
    EXPECT_EQ(r.failed, c.missed) << c.max << " " << c.sub;
  }
}

TEST(ScruteDossier, FolderMatchingPatternIsEnteredButNotReportedAsFile) {
  TempTree t;
  t.File("sub.pl/x.pl");
  TScruteDossier s;
  s.SetDossier(t.Root());
  s.SetFiltre("*.pl");
  int pumps = 0;
  s.Pump = [&] { ++pumps; };
  Recorder r(s);
  s.Execute();
  using Files = std::map<std::string, std::multiset<std::string>>;
  EXPECT_EQ(r.Files(t.Root()), (Files{{"sub.pl", {"x.pl"}}}));
  // Root's file listing delivers sub.pl, sub.pl's delivers x.pl, then sub.pl is handled.
  EXPECT_EQ(pumps, 3);
}

TEST(ScruteDossier, EveryNonFolderIsAFileAndLinksAreNeverFollowed) {
  TempTree t;
  t.File("one/a.pl");
  t.File("one/.hidden");
  t.File(".cache/h.pl");
  t.File("target.txt", std::string(100, 't'));
  ASSERT_EQ(mkfifo(t.Path("one/pipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink(t.Root().c_str(), t.Path("one/loop").c_str()), 0);
  ASSERT_EQ(symlink("../target.txt", t.Path("one/link.pl").c_str()), 0);
  ASSERT_EQ(symlink("missing", t.Path("one/dangling.pl").c_str()), 0);
  TScruteDossier s;
  s.SetDossier(t.Root());
  s.SetFiltre("*");
  s.SetMaxPenetration(-1);
  Recorder r(s);
  int32_t link_size = -1;
  s.OnFichier = [&, record = s.OnFichier](TObject* sender, std::string n) {
    if (n == t.Path("one/link.pl")) link_size = s.Taille;
    record(sender, std::move(n));
  };
  s.Execute();
  using Files = std::map<std::string, std::multiset<std::string>>;
  EXPECT_EQ(r.Files(t.Root()),
            (Files{{".", {"target.txt"}},
                   {".cache", {"h.pl"}},
                   {"one", {".hidden", "a.pl", "dangling.pl", "link.pl", "loop", "pipe"}}}));
  EXPECT_EQ(r.Folders(t.Root()), (std::set<std::string>{".cache", "one"}));
  // Its own size: what it leads to is never looked at.
  EXPECT_EQ(link_size, static_cast<int32_t>(std::string("../target.txt").size()));
}

TEST(ScruteDossier, NamesLeftAloneAreMetButNeitherReportedNorEnteredNorMissed) {
  TempTree t;
  t.File(".git/config");
  t.File("wt/.git", "gitdir: /srv/.git/worktrees/wt\n");
  t.File("wt/.svn/entries");
  for (const char* tool : {".hg/h.pl", ".bzr/b.pl", "CVS/c.pl", "_darcs/d.pl"}) t.File(tool);
  t.File("wt/a.pl");
  t.File("wt/a.bak");
  t.File(".GIT/b.pl");
  t.File("Cache/c.pl");
  TScruteDossier s;
  s.SetDossier(t.Root());
  s.SetFiltre("*");
  // wt/.svn lies past the limit: being left alone, it is not missed there.
  s.SetMaxPenetration(1);
  s.Exclude = {"cache", "*.BAK"};
  Recorder r(s);
  s.Execute();
  using Files = std::map<std::string, std::multiset<std::string>>;
  EXPECT_EQ(r.Files(t.Root()), (Files{{".GIT", {"b.pl"}}, {"wt", {"a.pl"}}}));
  EXPECT_EQ(r.Folders(t.Root()), (std::set<std::string>{".git", ".GIT", ".hg", ".bzr", "CVS",
                                                        "_darcs", "Cache", "wt", "wt/.svn"}));
  EXPECT_TRUE(r.failed.empty()) << r.failed.front();
}

TEST(ScruteDossier, OnlyTheWalkRemovesWorkFilesAKilledRunLeft) {
  TempTree t;
  const std::string left = ".terminelle~neuf~aB3cD4eF5gH6iJ7kL8mN";
  t.File(left);
  TScruteDossier s;
  s.ListerFichiers(t.Root(), "*");
  EXPECT_TRUE(fs::exists(t.Path(left)));
  s.SetDossier(t.Root());
  s.Execute();
  EXPECT_FALSE(fs::exists(t.Path(left)));
}

TEST(ScruteDossier, StartingThroughALinkStillStopsAtTheLoop) {
  TempTree t;
  t.File("real/a.pl");
  ASSERT_EQ(symlink("real", t.Path("entry").c_str()), 0);
  ASSERT_EQ(symlink("..", t.Path("real/up").c_str()), 0);
  TScruteDossier s;
  s.SetDossier(t.Path("entry"));
  s.SetMaxPenetration(-1);
  Recorder r(s);
  s.Execute();
  using Files = std::map<std::string, std::multiset<std::string>>;
  // The link inside is a file of its own, which a run leaves alone.
  EXPECT_EQ(r.Files(t.Path("entry")), (Files{{".", {"a.pl", "up"}}}));
  EXPECT_TRUE(r.Folders(t.Path("entry")).empty());
}

TEST(ScruteDossier, AFolderReachedAgainThroughABindMountIsNotWalkedAgain) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  TempTree t;
  t.File("a.pl");
  t.File("one/b.pl");
  t.Dir("one/loop");
  t.Dir("two");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // In a mount namespace of its own, which goes with the process. A bind
    // mount shows its source's device and inode: the parent folder inside
    // itself, and one sibling inside another, whichever is listed first.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(t.Root().c_str(), t.Path("one/loop").c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(t.Path("one").c_str(), t.Path("two").c_str(), nullptr, MS_BIND, nullptr) != 0) {
      _exit(2);
    }
    TScruteDossier s;
    s.SetDossier(t.Root());
    s.SetFiltre("*.pl");
    // Deep enough to go round the loop a few times if it were entered.
    s.SetMaxPenetration(8);
    Recorder r(s);
    s.Execute();
    std::multiset<std::string> names;
    for (const Event& e : r.events) {
      if (e.kind == 'F') names.insert(fs::path(e.path).filename().string());
    }
    const bool once = names == std::multiset<std::string>{"a.pl", "b.pl"} && r.failed.empty();
    _exit(once ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no mount namespace allowed here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ScruteDossier, MissingOrUnreadableFoldersGiveNothingAndTheRunGoesOn) {
  TempTree t;
  t.File("a/x.pl");
  t.File("b/y.pl");
  t.File("c/z.pl");
  TScruteDossier s;
  s.SetDossier(t.Path("nowhere"));
  Recorder r(s);
  s.Execute();
  ASSERT_EQ(r.events.size(), 2u);
  EXPECT_EQ(r.events[1].kind, 'E');
  ASSERT_EQ(r.failed.size(), 1u);
  EXPECT_EQ(r.failed[0].rfind(t.Path("nowhere") + " : impossible d'ouvrir le dossier", 0), 0u);

  // A sub-folder that is gone by the time it is entered.
  r.events.clear();
  s.SetDossier(t.Root());
  std::string removed;
  s.OnDossier = [&](TObject*, std::string n) {
    if (removed.empty()) {
      removed = n;
      fs::remove_all(n);
    }
  };
  r.failed.clear();
  s.Execute();
  std::map<std::string, std::multiset<std::string>> files = r.Files(t.Root());
  EXPECT_EQ(files.size(), 2u);
  EXPECT_EQ(files.count(fs::path(removed).filename().string()), 0u);
  EXPECT_EQ(r.events.back().kind, 'E');
  // Gone is no failure, as for a file that went away.
  EXPECT_TRUE(r.failed.empty());

  // Permissions do not stop the superuser: the walk then runs in a child
  // process that has given up its rights.
  TempTree u;
  u.File("b/y.pl");
  u.File("c/z.pl");
  ASSERT_EQ(chmod(u.Root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(u.Path("b").c_str(), 0), 0);
  s.SetDossier(u.Root());
  auto walk = [&] {
    Recorder unreadable(s);
    s.Execute();
    files = unreadable.Files(u.Root());
    return files.count("b") == 0 && files.count("c") == 1 &&
           unreadable.Folders(u.Root()).size() == 2 && unreadable.events.back().kind == 'E' &&
           unreadable.failed.size() == 1 &&
           unreadable.failed[0].rfind(u.Path("b") + " : impossible d'ouvrir le dossier", 0) == 0;
  };
  if (geteuid() != 0) {
    EXPECT_TRUE(walk());
    return;
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    // The temporary folder itself may be closed to other users.
    if (access(u.Path("c").c_str(), R_OK | X_OK) != 0) _exit(2);
    _exit(walk() ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no unprivileged user can reach " << u.Root();
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ScruteDossier, HandlerErrorLeavesTheWalkAtOnceWithoutFinish) {
  TempTree t;
  MakeSample(t);
  for (char where : {'F', 'D', 'P'}) {
    TScruteDossier s;
    s.SetDossier(t.Root());
    s.SetFiltre("*.pl");
    Recorder r(s);
    std::string thrownAt;
    const std::string deep = t.Path("one/two");
    auto fail = [&](const std::string& path) {
      if (thrownAt.empty() && Under(path, deep)) {
        thrownAt = path;
        throw std::runtime_error("stop");
      }
    };
    if (where == 'F') {
      s.OnFichier = [&](TObject*, std::string n) { fail(n); };
    } else if (where == 'D') {
      s.OnDossier = [&](TObject*, std::string n) { fail(n); };
    } else {
      s.Pump = [&] { fail(s.FichierCourant); };
    }
    EXPECT_THROW(s.Execute(), std::runtime_error) << where;
    EXPECT_FALSE(thrownAt.empty()) << where;
    EXPECT_NE(r.events.back().kind, 'E') << where;
    for (const Event& e : r.events) {
      EXPECT_FALSE(Under(e.path, thrownAt) || e.path == t.Path("one/two/three/e.pl")) << e.path;
    }
    EXPECT_EQ(where == 'D' ? s.DossierCourant : s.FichierCourant, thrownAt) << where;
  }
}

TEST(ScruteDossier, ArretEndsTheWalkButStillFinishes) {
  TempTree t;
  MakeSample(t);
  TScruteDossier s;
  s.SetDossier(t.Root());
  s.SetFiltre("*.pl;*.txt");
  Recorder r(s);
  s.OnDossier = [&](TObject*, std::string) { s.Arret = true; };
  s.Execute();
  EXPECT_EQ(r.events.back().kind, 'E');
  EXPECT_EQ(r.Files(t.Root()).size(), 1u);  // only the start folder's files
  EXPECT_TRUE(s.Arret);
  s.OnDossier = nullptr;
  r.events.clear();
  s.Execute();  // a new run clears the request
  EXPECT_EQ(r.Files(t.Root()).size(), 5u);
}

TEST(ScruteDossier, NestedRunKeepsEachLevelsArguments) {
  TempTree t;
  MakeSample(t);
  TempTree other;
  other.File("n/o.txt");
  TScruteDossier s;
  s.SetDossier(t.Root());
  s.SetFiltre("*.pl");
  Recorder r(s);
  bool nested = false;
  s.OnDossier = [&](TObject*, std::string n) {
    r.events.push_back({'D', n, s.Profondeur});
    if (nested || n != t.Path("one")) return;
    nested = true;
    s.SetDossier(other.Root());
    s.SetFiltre("*.txt");
    s.Execute();
    // Left changed: the outer run must not pick these up.
    s.SetSousDossier(false);
    s.SetFiltre("*.none");
  };
  s.Execute();
  ASSERT_TRUE(nested);
  std::vector<Event> outer, inner;
  for (const Event& e : r.events) {
    (e.path.rfind(other.Root(), 0) == 0 ? inner : outer).push_back(e);
  }
  EXPECT_EQ(std::count_if(r.events.begin(), r.events.end(), [](auto& e) { return e.kind == 'X'; }),
            2);
  EXPECT_EQ(std::count_if(r.events.begin(), r.events.end(), [](auto& e) { return e.kind == 'E'; }),
            2);
  using Files = std::map<std::string, std::multiset<std::string>>;
  std::map<std::string, std::multiset<std::string>> outerFiles;
  for (const Event& e : outer) {
    if (e.kind == 'F')
      outerFiles[fs::path(Parent(e.path)).lexically_relative(t.Root()).string()].insert(
          fs::path(e.path).filename().string());
  }
  EXPECT_EQ(outerFiles, (Files{{".", {"a.pl"}},
                               {"sub.pl", {"x.pl"}},
                               {"one", {"c.PL"}},
                               {"one/two", {"d.pl"}},
                               {"one/two/three", {"e.pl"}}}));
  ASSERT_EQ(inner.size(), 2u);
  EXPECT_EQ(inner[0].path, other.Path("n"));
  EXPECT_EQ(inner[1].path, other.Path("n/o.txt"));
  ExpectWalkOrder(outer, t.Root());
}

TEST(ScruteDossier, RootWhenFolderIsEmptyOrASeparator) {
  for (const std::string& folder : {std::string(), std::string("/")}) {
    TScruteDossier s;
    s.SetDossier(folder);
    s.SetFiltre("");
    s.SetSousDossier(false);
    Recorder r(s);
    s.Execute();
    EXPECT_EQ(r.Folders("/").count("tmp"), 1u);
    for (const Event& e : r.events) {
      if (e.kind == 'D') {
        EXPECT_EQ(e.path.rfind('/'), 0u) << e.path;
      }
    }
  }
}

TEST(ScruteDossier, TwoThousandLevelsPastThePathLengthLimit) {
  TempTree t;
  const std::string name = "dossier-profond";
  constexpr int kLevels = 2000;
  {
    int fd = open(t.Root().c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < kLevels && fd >= 0; ++i) {
      ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
      int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
      close(fd);
      fd = next;
    }
    ASSERT_GE(fd, 0);
    int file = openat(fd, "fond.pl", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    close(file);
    close(fd);
  }
  TScruteDossier s;
  s.SetDossier(t.Root());
  s.SetFiltre("*.pl");
  s.SetMaxPenetration(kDepthLimit);
  int folders = 0, maxDepth = 0;
  std::string found;
  s.OnDossier = [&](TObject*, std::string) { ++folders; };
  s.OnFichier = [&](TObject*, std::string n) {
    found = n;
    maxDepth = s.Profondeur;
  };
  s.Execute();
  EXPECT_EQ(folders, kLevels);
  EXPECT_EQ(maxDepth, kLevels);
  EXPECT_EQ(found.size(), t.Root().size() + kLevels * (name.size() + 1) + 8);
  EXPECT_GT(found.size(), 4096u);
}

TEST(ScruteDossier, DeepWalkWithFewHandlesReopensParkedFoldersWhereTheyStood) {
  // Each level: f.pl, three leaf folders holding f.pl, and "d" going deeper.
  TempTree t;
  constexpr int kLevels = 300;
  std::string folder = t.Root();
  std::set<std::string> expectedFolders, expectedFiles;
  for (int i = 0; i < kLevels; ++i) {
    t.File(fs::path(folder).lexically_relative(t.Root()).string() + "/f.pl");
    expectedFiles.insert(folder + "/f.pl");
    for (const char* leaf : {"s1", "s2", "s3", "d"}) {
      expectedFolders.insert(folder + "/" + leaf);
      if (leaf[0] == 'd') continue;
      t.File(fs::path(folder + "/" + leaf + "/f.pl").lexically_relative(t.Root()).string());
      expectedFiles.insert(folder + "/" + leaf + "/f.pl");
    }
    folder += "/d";
  }
  fs::create_directories(folder);
  auto walk = [&] {
    TScruteDossier s;
    s.SetDossier(t.Root());
    s.SetFiltre("*.pl");
    Recorder r(s);
    // A listing that restarts instead of resuming would walk forever.
    s.OnDossier = [&, record = s.OnDossier](TObject* sender, std::string n) {
      record(sender, n);
      if (r.events.size() > 2 * (expectedFolders.size() + expectedFiles.size())) s.Arret = true;
    };
    s.Execute();
    std::multiset<std::string> folders, files;
    for (const Event& e : r.events) (e.kind == 'D' ? folders : files).insert(e.path);
    files.erase("");
    return folders == std::multiset<std::string>(expectedFolders.begin(), expectedFolders.end()) &&
           files == std::multiset<std::string>(expectedFiles.begin(), expectedFiles.end());
  };
  EXPECT_TRUE(walk());
  // Again in a process allowed 64 handles, so that shallower levels are
  // closed on the way down and reopened on the way up.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit limit {
      64, 64
    };
    _exit(setrlimit(RLIMIT_NOFILE, &limit) == 0 && walk() ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ScruteDossier, DeepTreeOnTmpfsWithFewHandlesConvertsEachFileOnce) {
  // tmpfs gives a converted file, renamed into its folder, a new place in
  // the folder's listing: a listing read while files are converted, or
  // resumed after being closed, meets it again.
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no tmpfs at /dev/shm";
  TempTree t("/dev/shm");
  constexpr int kLevels = 300;
  std::string folder;
  for (int i = 0; i < kLevels; ++i) {
    for (const char* name : {"a.pl", "b.pl", "c.pl"}) t.File(folder + name, "x\n");
    t.Dir(folder + "s1");
    folder += "d/";
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit limit {
      64, 64
    };
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
    TScruteDossier s;
    s.SetDossier(t.Root());
    s.SetFiltre("*.pl");
    Conversion c;
    c.Kind = LineEnding::Unix;
    c.Rule1 = ReplaceRule{true, "x", "xy"};
    s.OnFichier = [&](TObject*, std::string) { ConvertFile(s.Entry, c); };
    s.Execute();
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  int files = 0;
  for (const auto& e : fs::recursive_directory_iterator(t.Root())) {
    if (!e.is_regular_file()) continue;
    ++files;
    std::ifstream in(e.path(), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "xy\n") << e.path();
  }
  EXPECT_EQ(files, 3 * kLevels);
}

TEST(ScruteDossier, AFolderSwappedForALinkIsNeverFollowed) {
  // Another account renames a sub-folder away and puts a link to a folder of
  // its choosing in its place, before the walk enters it or while its files
  // are converted: nothing of that other folder is touched.
  TempTree outside;
  outside.File("f.pl", "secret \n");
  outside.File("g.pl", "secret \n");
  for (char when : {'D', 'F'}) {
    TempTree t;
    t.File("sub/f.pl", "mine \n");
    t.File("sub/g.pl", "mine \n");
    TScruteDossier s;
    s.SetDossier(t.Root());
    s.SetFiltre("*.pl");
    Recorder r(s);
    bool swapped = false;
    auto swap = [&] {
      if (swapped) return;
      swapped = true;
      fs::rename(t.Path("sub"), t.Path("moved"));
      fs::create_directory_symlink(outside.Root(), t.Path("sub"));
    };
    Conversion c;
    c.Kind = LineEnding::Unix;
    if (when == 'D') s.OnDossier = [&](TObject*, std::string) { swap(); };
    s.OnFichier = [&](TObject*, std::string) {
      if (when == 'F') swap();
      ConvertFile(s.Entry, c);
    };
    s.Execute();
    EXPECT_TRUE(swapped);
    std::ifstream f(outside.Path("f.pl")), g(outside.Path("g.pl"));
    std::string fc((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::string gc((std::istreambuf_iterator<char>(g)), std::istreambuf_iterator<char>());
    EXPECT_EQ(fc, "secret \n") << when;
    EXPECT_EQ(gc, "secret \n") << when;
    if (when == 'D') {
      // Never entered, and told.
      ASSERT_EQ(r.failed.size(), 1u);
      EXPECT_EQ(r.failed[0].rfind(t.Path("sub") + " : ", 0), 0u);
    } else {
      // The folder the walk entered is converted where it now is.
      std::ifstream m(t.Path("moved/g.pl"));
      std::string mc((std::istreambuf_iterator<char>(m)), std::istreambuf_iterator<char>());
      EXPECT_EQ(mc, "mine\n");
    }
  }
}
