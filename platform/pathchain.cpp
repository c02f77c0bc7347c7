#include "platform/pathchain.h"

#include <utility>

#include "platform/paths.h"

struct PathChain::Link {
  Link(std::shared_ptr<const Link> up, std::string piece)
      : folder(std::move(up)), name(std::move(piece)) {}
  // A chain thousands of links long would otherwise be released by as many
  // nested calls, enough to overflow the stack: each link this one alone
  // holds is let go here, one after the other.
  ~Link() {
    std::shared_ptr<const Link> up = std::move(folder);
    while (up != nullptr && up.use_count() == 1) {
      std::shared_ptr<const Link> next = std::move(up->folder);
      up = std::move(next);
    }
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Mutable only so that the last owner can take it apart.
  mutable std::shared_ptr<const Link> folder;
  std::string name;
};

PathChain::PathChain(std::string whole)
    : last_(std::make_shared<const Link>(nullptr, std::move(whole))) {}

PathChain::PathChain(const PathChain& folder, std::string name)
    : last_(std::make_shared<const Link>(folder.last_, std::move(name))) {}

const std::string& PathChain::Name() const {
  static const std::string none;
  return last_ != nullptr ? last_->name : none;
}

std::string PathChain::Text() const {
  std::size_t size = 0;
  for (const Link* l = last_.get(); l != nullptr; l = l->folder.get()) {
    size += l->name.size() + (l->folder != nullptr ? 1 : 0);
  }
  // Filled from its end, so that no list of the links is needed.
  std::string text(size, '/');
  for (const Link* l = last_.get(); l != nullptr; l = l->folder.get()) {
    size -= l->name.size();
    l->name.copy(text.data() + size, l->name.size());
    if (l->folder != nullptr) --size;
  }
  return text;
}

PathChain PathChain::Folder() const {
  if (last_ == nullptr) return PathChain();
  if (last_->folder != nullptr) return PathChain(last_->folder);
  return PathChain(FolderOf(last_->name));
}
