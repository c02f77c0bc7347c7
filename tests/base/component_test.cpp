#include "base/component.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A component that notes when it goes.
class Noted : public TComponent {
 public:
  Noted(TComponent* owner, const char* name, std::vector<std::string>* gone)
      : TComponent(owner), gone_(gone) {
    Name = name;
  }
  ~Noted() override { gone_->push_back(Name); }

 private:
  std::vector<std::string>* gone_;
};

TEST(TComponent, OwnerListsInCreationOrderAndDestroysWhatItStillOwnsNewestFirst) {
  std::vector<std::string> gone;
  auto owner = std::make_unique<TComponent>();
  auto* a = new Noted(owner.get(), "a", &gone);
  auto b = std::make_unique<Noted>(owner.get(), "b", &gone);
  auto* c = new Noted(owner.get(), "c", &gone);
  auto* c1 = new Noted(c, "c1", &gone);
  ASSERT_EQ(owner->Components(), (std::vector<TComponent*>{a, b.get(), c}));
  EXPECT_EQ(c1->Owner(), c);
  // One that goes first leaves the list.
  b.reset();
  EXPECT_EQ(owner->Components(), (std::vector<TComponent*>{a, c}));
  owner.reset();
  EXPECT_EQ(gone, (std::vector<std::string>{"b", "c", "c1", "a"}));
}

}  // namespace
