#include "convert/visit.h"

#include <functional>

std::size_t FileKeyHash::operator()(const FileKey& k) const {
  if (k.Inode == 0) return std::hash<std::string>()(k.Path);
  return std::hash<std::uint64_t>()(k.Inode * 0x9E3779B97F4A7C15ULL ^ k.Device);
}
