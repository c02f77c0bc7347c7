#include "base/errors.h"

#include <new>

EInOutError::EInOutError(int code) : Exception(MessageFor(code)), ErrorCode(code) {}

EInOutError::EInOutError(int code, std::string path, std::string reason)
    : Exception(MessageFor(code), std::move(path), std::move(reason)), ErrorCode(code) {}

std::string EInOutError::MessageFor(int code) {
  switch (code) {
    case io_code::kFileNotFound:
      return "Fichier introuvable";
    case io_code::kPathNotFound:
      return "Nom de fichier incorrect";
    case io_code::kTooManyOpenFiles:
      return "Trop de fichiers ouverts";
    case io_code::kAccessDenied:
      return "Accès au fichier refusé";
    case io_code::kReadBeyondEnd:
      return "Lecture au-delà de la fin de fichier";
    case io_code::kDiskWriteError:
      return "Disque plein";
    case io_code::kInvalidNumber:
      return "Saisie numérique incorrecte";
    default:
      return "Erreur E/S " + std::to_string(code);
  }
}

EFOpenError::EFOpenError(const std::string& path, const std::string& reason)
    : EFileStreamError("Impossible d'ouvrir le fichier \"" + path + "\". " + AsSentence(reason)) {}

EOutOfMemory::EOutOfMemory() : EHeapException("Mémoire insuffisante") {}

std::string AsSentence(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') {
    text[0] = static_cast<char>(text[0] - 'a' + 'A');
  }
  return text;
}

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

ErrorDetail DetailOf(std::exception_ptr error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return {e.Path(), e.Reason()};
  } catch (...) {
    return {};
  }
}
