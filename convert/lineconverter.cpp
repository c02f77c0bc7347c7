#include "convert/lineconverter.h"

PreparedRule CachedRule(const ReplaceRule& rule, const CodePage& cp) {
  struct Last {
    std::string search;
    // The set by its place and its name: the system's may be replaced in place.
    const CodePage* cp = nullptr;
    std::string charset;
    PreparedRule prepared;
  };
  thread_local Last last[2];
  thread_local std::size_t next = 0;
  for (Last& l : last) {
    if (l.cp == &cp && l.charset == cp.Name() && l.search == rule.Search) {
      PreparedRule p = l.prepared;
      p.Replacement = rule.Replacement;
      return p;
    }
  }
  Last& l = last[next];
  next = (next + 1) % 2;
  l.search = rule.Search;
  l.cp = &cp;
  l.charset = cp.Name();
  l.prepared = PrepareRule(l.search, rule.Replacement, cp);
  PreparedRule p = l.prepared;
  p.Replacement = rule.Replacement;
  return p;
}
