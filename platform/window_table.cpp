#include "platform/window_table.h"

namespace vt {
namespace event_queue_detail {

TWindowTable& TWindowTable::Process() {
  static TWindowTable* table = new TWindowTable;
  return *table;
}

void TWindowTable::Add(HWindow window, EventQueue* queue) {
  std::unique_lock lock(mutex_);
  table_[window] = queue;
}

void TWindowTable::Remove(HWindow window) {
  std::unique_lock lock(mutex_);
  table_.erase(window);
}

void TWindowTable::Remove(const std::vector<HWindow>& windows) {
  std::unique_lock lock(mutex_);
  for (HWindow window : windows) table_.erase(window);
}

bool TWindowTable::Exists(HWindow window) const {
  std::shared_lock lock(mutex_);
  return table_.count(window) != 0;
}

std::vector<HWindow> TQueueWindows::ListLocked() const {
  std::vector<HWindow> windows;
  windows.reserve(objects_.size());
  for (const auto& entry : objects_) windows.push_back(entry.first);
  return windows;
}

std::vector<HWindow> TQueueWindows::ClearLocked() {
  std::vector<HWindow> windows = ListLocked();
  objects_.clear();
  changes_.fetch_add(1, std::memory_order_release);
  return windows;
}

TWindowHandle* TQueueWindows::LookUp(HWindow window) {
  // The lock only keeps the table whole while another thread removes a
  // window; a removal also moves changes_.
  std::lock_guard lock(lock_);
  auto it = objects_.find(window);
  if (it == objects_.end()) return nullptr;
  last_window_ = window;
  last_target_ = it->second;
  last_changes_ = changes_.load(std::memory_order_relaxed);
  return last_target_;
}

}  // namespace event_queue_detail
}  // namespace vt
