#pragma once
// A replacement rule applied to a line that comes in pieces, as a line too
// long to hold is converted: only what a match may still need is held back,
// the search's length and a character's tail, so memory does not grow with
// the line.

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "convert/replace.h"
#include "platform/codepage.h"

class RuleStream {
 public:
  void Begin(const PreparedRule* rule) {
    rule_ = rule;
    pending_.clear();
    done_ = 0;
    rest_ = 0;
  }
  // The next bytes of the line; what is settled goes to emit.
  template <class Emit>
  void Feed(const char* p, std::size_t n, Emit& emit) {
    pending_.append(p, n);
    Settle(false, emit);
  }
  // The line is over: the rest is settled.
  template <class Emit>
  void Finish(Emit& emit) {
    Settle(true, emit);
    pending_.clear();
    done_ = 0;
    rest_ = 0;
  }

 private:
  template <class Emit>
  void Settle(bool final, Emit& emit) {
    constexpr std::size_t kTail = kLongestCharacterTail;
    const std::size_t size = pending_.size();
    const std::size_t m = rule_->Upper.size();
    // Whether a byte is inside a character, and its capital, depend on the
    // bytes of a character's tail after it.
    const std::size_t limit = final ? size : (size > kTail ? size - kTail : 0);
    const CodePage& cp = *rule_->Cp;
    std::string_view hay = pending_;
    if (!rule_->OnRawText) {
      upper_.resize(size);
      cp.UpperCase(pending_.data(), size, upper_.data());
      hay = upper_;
    }
    std::size_t pos = done_;
    RuleMatches matches(*rule_, hay.data(), limit);
    for (;;) {
      const char* at = pos < limit ? matches.From(hay.data() + pos) : nullptr;
      while (at != nullptr && !cp.MayStartAt(hay.data() + rest_, size - rest_,
                                             static_cast<std::size_t>(at - hay.data()) - rest_)) {
        at = matches.From(at + 1);
      }
      if (at == nullptr) break;
      const auto found = static_cast<std::size_t>(at - hay.data());
      emit(pending_.data() + pos, found - pos);
      emit(rule_->Replacement.data(), rule_->Replacement.size());
      pos = found + m;
      rest_ = pos;
    }
    // What no match can start in any more is settled.
    const std::size_t settled = final ? size : std::max(pos, limit + 1 > m ? limit + 1 - m : 0);
    emit(pending_.data() + pos, settled - pos);
    // A character's tail stays before the rest, to read its first character.
    const std::size_t cut = settled > kTail ? settled - kTail : 0;
    pending_.erase(0, cut);
    done_ = settled - cut;
    rest_ = rest_ > cut ? rest_ - cut : 0;
  }

  const PreparedRule* rule_ = nullptr;
  // Bytes of the line from a little before the first not settled.
  std::string pending_;
  // Where the bytes not settled begin in pending_.
  std::size_t done_ = 0;
  // Where the text after the last match begins in pending_ (0 when before it).
  std::size_t rest_ = 0;
  std::string upper_;
};
