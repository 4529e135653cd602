#pragma once

// Components that refer to each other without owning each other.
//
// A server's log component, or one log forwarding to another, is only
// referenced: when the referenced component is destroyed first, the referrer
// must forget it instead of keeping a dangling pointer. A referrer asks for
// this with FreeNotification; the dying component then calls the referrer's
// Notification before it is gone. Both sides unregister themselves in their
// destructors, so either may die first.
//
// Threads: components and their references are used on one thread (the main
// thread in this program); nothing here is guarded.

#include <algorithm>
#include <vector>

namespace vt {

class TComponent {
 public:
  TComponent() = default;
  virtual ~TComponent() {
    // Copy first: a notified component may unregister itself meanwhile.
    const std::vector<TComponent*> referrers = referrers_;
    for (TComponent* referrer : referrers) {
      referrer->Forget(this);
      referrer->Notification(this);
    }
    for (TComponent* referenced : referenced_) referenced->Forget(this);
  }
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // The class name as the system prints it ("TLog").
  virtual const char* ClassName() const { return "TComponent"; }

  // Asks `component` to call this->Notification(component) when it is
  // destroyed.
  void FreeNotification(TComponent* component) {
    if (!component || component == this) return;
    AddOnce(component->referrers_, this);
    AddOnce(referenced_, component);
  }

  // Withdraws a FreeNotification request.
  void RemoveFreeNotification(TComponent* component) {
    if (!component) return;
    Remove(component->referrers_, this);
    Remove(referenced_, component);
  }

 protected:
  // `component` (one this component asked about) is being destroyed.
  virtual void Notification(TComponent* component) { (void)component; }

 private:
  static void AddOnce(std::vector<TComponent*>& list, TComponent* item) {
    if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
  }
  static void Remove(std::vector<TComponent*>& list, TComponent* item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
  }
  void Forget(TComponent* other) {
    Remove(referrers_, other);
    Remove(referenced_, other);
  }

  std::vector<TComponent*> referrers_;   // want to hear of this one's end
  std::vector<TComponent*> referenced_;  // this one wants to hear of their end
};

}  // namespace vt
