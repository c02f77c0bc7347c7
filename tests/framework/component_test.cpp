#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/component.h"
#include "base/errors.h"
#include "platform/oserror.h"

namespace {

// A component that notes when it goes.
class Noted : public TComponent {
 public:
  Noted(TComponent* owner, const char* name, std::vector<std::string>* gone)
      : TComponent(owner), gone_(gone) {
    Name = name;
  }
  ~Noted() override { gone_->push_back(Name); }

 private:
  std::vector<std::string>* gone_;
};

TEST(TComponent, OwnerListsInCreationOrderAndDestroysWhatItStillOwnsNewestFirst) {
  std::vector<std::string> gone;
  auto owner = std::make_unique<TComponent>();
  auto* a = new Noted(owner.get(), "a", &gone);
  auto b = std::make_unique<Noted>(owner.get(), "b", &gone);
  auto* c = new Noted(owner.get(), "c", &gone);
  auto* c1 = new Noted(c, "c1", &gone);
  ASSERT_EQ(owner->Components(), (std::vector<TComponent*>{a, b.get(), c}));
  EXPECT_EQ(c1->Owner(), c);
  // One that goes first leaves the list.
  b.reset();
  EXPECT_EQ(owner->Components(), (std::vector<TComponent*>{a, c}));
  owner.reset();
  EXPECT_EQ(gone, (std::vector<std::string>{"b", "c", "c1", "a"}));
}

TEST(EInOutError, MessagesFollowTheCodeTable) {
  EXPECT_EQ(EInOutError(2).Message(), "Fichier introuvable");
  EXPECT_EQ(EInOutError(3).Message(), "Nom de fichier incorrect");
  EXPECT_EQ(EInOutError(4).Message(), "Trop de fichiers ouverts");
  EXPECT_EQ(EInOutError(5).Message(), "Accès au fichier refusé");
  EXPECT_EQ(EInOutError(100).Message(), "Lecture au-delà de la fin de fichier");
  EXPECT_EQ(EInOutError(101).Message(), "Disque plein");
  EXPECT_EQ(EInOutError(106).Message(), "Saisie numérique incorrecte");
  EXPECT_EQ(EInOutError(32).Message(), "Erreur E/S 32");
  EXPECT_EQ(EInOutError(112).ErrorCode, 112);
  EXPECT_EQ(EOutOfMemory().Message(), "Mémoire insuffisante");
  EXPECT_EQ(EFOpenError("/a/b", "No such file").Message(),
            "Impossible d'ouvrir le fichier \"/a/b\". No such file");
}

TEST(OsErrorCode, LinuxErrorsBecomeTheirWindowsCodes) {
  EXPECT_EQ(OsErrorCode(ENOENT), 2);
  EXPECT_EQ(OsErrorCode(EMFILE), 4);
  EXPECT_EQ(OsErrorCode(ENFILE), 4);
  EXPECT_EQ(OsErrorCode(EACCES), 5);
  EXPECT_EQ(OsErrorCode(EPERM), 5);
  EXPECT_EQ(OsErrorCode(EROFS), 19);
  EXPECT_EQ(OsErrorCode(EBUSY), 32);
  EXPECT_EQ(OsErrorCode(ETXTBSY), 32);
  EXPECT_EQ(OsErrorCode(ENOSPC), 112);
  EXPECT_EQ(OsErrorCode(EDQUOT), 112);
  EXPECT_EQ(OsErrorCodeForPath(ENOENT, "/no/such/folder/file"), 3);
  EXPECT_EQ(OsErrorCodeForPath(ENOENT, "/tmp/no-such-file-here"), 2);
}

TEST(SystemErrorText, DropsTrailingFullStopsAndBlanks) {
  std::string text = SystemErrorText(ENOENT);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '.');
  EXPECT_NE(text.back(), ' ');
}

TEST(FullPathName, ResolvesDotsByNameAgainstTheCurrentFolder) {
  EXPECT_EQ(FullPathName("/a/./b/../c"), "/a/c");
  EXPECT_EQ(FullPathName("/a/b/"), "/a/b");
  std::string relative = FullPathName("x.pl");
  EXPECT_EQ(relative.front(), '/');
  EXPECT_EQ(relative.substr(relative.size() - 5), "/x.pl");
}

}  // namespace
