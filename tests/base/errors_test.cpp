#include "base/errors.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace {

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

TEST(MessageOf, TellsEachKindOfError) {
  auto of = [](auto error) { return MessageOf(std::make_exception_ptr(error)); };
  EXPECT_EQ(of(EInOutError(5)), "Accès au fichier refusé");
  EXPECT_EQ(of(std::bad_alloc()), "Mémoire insuffisante");
  EXPECT_EQ(of(std::runtime_error("boom")), "boom");
  EXPECT_EQ(of(42), "Erreur inconnue");
}

}  // namespace
