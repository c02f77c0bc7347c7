#include "convert/strands.h"

bool Strands::Enter(VisitSlot* slot) {
  auto [strand, fresh] = strands_.try_emplace(slot->Item.Key);
  if (fresh) return true;
  if (strand->second.empty()) ++waiting_;
  strand->second.push_back(slot);
  return false;
}

VisitSlot* Strands::Leave(const FileKey& key) {
  auto strand = strands_.find(key);
  if (strand == strands_.end()) return nullptr;
  if (strand->second.empty()) {
    strands_.erase(strand);
    return nullptr;
  }
  VisitSlot* next = strand->second.front();
  strand->second.pop_front();
  if (strand->second.empty()) --waiting_;
  return next;
}

bool Strands::Waits(const FileKey& key) const {
  auto strand = strands_.find(key);
  return strand != strands_.end() && !strand->second.empty();
}
