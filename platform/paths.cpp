#include "platform/paths.h"

#include <filesystem>
#include <system_error>

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FullPathName(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  if (ec) return path;
  std::string out = p.lexically_normal().string();
  // lexically_normal keeps a trailing separator for "dir/."; the name of the
  // folder itself is what callers want to show.
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}
