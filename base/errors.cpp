#include "base/errors.h"

#include <new>

EInOutError::EInOutError(int code) : Exception(MessageFor(code)), ErrorCode(code) {}

std::string EInOutError::MessageFor(int code) {
  switch (code) {
    case 2:
      return "Fichier introuvable";
    case 3:
      return "Nom de fichier incorrect";
    case 4:
      return "Trop de fichiers ouverts";
    case 5:
      return "Accès au fichier refusé";
    case 100:
      return "Lecture au-delà de la fin de fichier";
    case 101:
      return "Disque plein";
    case 106:
      return "Saisie numérique incorrecte";
    default:
      return "Erreur E/S " + std::to_string(code);
  }
}

EFOpenError::EFOpenError(const std::string& path, const std::string& reason)
    : EFileStreamError("Impossible d'ouvrir le fichier \"" + path + "\". " + reason) {}

EOutOfMemory::EOutOfMemory() : EHeapException("Mémoire insuffisante") {}

std::string MessageOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::bad_alloc&) {
    return EOutOfMemory().Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Erreur inconnue";
  }
}
