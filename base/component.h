#pragma once
// The framework's object model as far as this program needs it: objects that
// are named, tagged and owned by another component, and the completion
// notification sent once a window's components are all built.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Root of everything passed as an event's Sender.
class TObject {
 public:
  virtual ~TObject() = default;
};

// An event taking only its Sender; an empty slot is skipped.
using TNotifyEvent = std::function<void(TObject* Sender)>;

// A named component, listed by its owner in the order it was created. The
// owner owns it: a component still listed when its owner goes is destroyed
// with it, newest first. One that goes first (a member, a local) leaves the
// list as it goes.
class TComponent : public TObject {
 public:
  // Registers the new component at the end of owner's list (owner may be null).
  explicit TComponent(TComponent* owner = nullptr);
  // Destroys the components still owned, then leaves the owner's list.
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // The owner given at construction, null once that owner is gone.
  TComponent* Owner() const { return owner_; }
  // The owned components, in creation order.
  const std::vector<TComponent*>& Components() const { return components_; }
  // Called once the owner's whole definition has been built.
  virtual void Loaded() {}
  // Destroys the components still owned, newest first.
  void DestroyComponents();

  std::string Name;
  int32_t Tag = 0;

 private:
  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
};
