#pragma once
// A path held as its last name and the path of the folder that holds it, each
// folder's shared by everything in it: a walk thousands of folders deep keeps
// each name once, and the whole text is put together only to be shown.

#include <memory>
#include <string>
#include <utility>

class PathChain {
 public:
  // No path.
  PathChain() = default;
  // A path as it was written (the start of a walk, a path the user gave),
  // kept as one piece.
  explicit PathChain(std::string whole);
  // name inside folder.
  PathChain(const PathChain& folder, std::string name);

  bool Empty() const { return last_ == nullptr; }
  // The last piece: the name of the entry, or the whole path given as one.
  const std::string& Name() const;
  // The whole path, each name after its folder's path and a separator.
  std::string Text() const;
  // The path of the folder that holds it: the chain above its last name,
  // or, for a path given whole, what comes before its last name.
  PathChain Folder() const;

 private:
  struct Link;
  explicit PathChain(std::shared_ptr<const Link> last) : last_(std::move(last)) {}
  std::shared_ptr<const Link> last_;
};
