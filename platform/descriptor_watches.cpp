#include "platform/descriptor_watches.h"

namespace vt {
namespace event_queue_detail {

void TDescriptorWatches::AddLocked(std::unique_ptr<TWatch> watch) {
  std::unique_ptr<TWatch>& slot = live_[watch->fd];
  if (slot) EndWatchLocked(std::move(slot));
  slot = std::move(watch);
  changes_.fetch_add(1, std::memory_order_release);
}

void TDescriptorWatches::EndLocked(int fd) {
  auto it = live_.find(fd);
  if (it == live_.end()) return;
  EndWatchLocked(std::move(it->second));
  live_.erase(it);
}

void TDescriptorWatches::EndWatchLocked(std::unique_ptr<TWatch> watch) {
  watch->ended.store(true, std::memory_order_release);
  ended_.push_back(std::move(watch));
  has_ended_.store(true, std::memory_order_release);
  changes_.fetch_add(1, std::memory_order_release);
}

void TDescriptorWatches::TakeAllLocked(std::vector<std::unique_ptr<TWatch>>& out) {
  for (auto& entry : live_) out.push_back(std::move(entry.second));
  live_.clear();
  for (auto& watch : ended_) out.push_back(std::move(watch));
  ended_.clear();
  has_ended_.store(false, std::memory_order_relaxed);
  changes_.fetch_add(1, std::memory_order_release);
}

TWatch* TDescriptorWatches::LookUp(int fd) {
  std::lock_guard lock(lock_);
  auto it = live_.find(fd);
  last_fd_ = fd;
  last_watch_ = it == live_.end() ? nullptr : it->second.get();
  last_changes_ = changes_.load(std::memory_order_relaxed);
  return last_watch_;
}

void TDescriptorWatches::FreeEndedNow() {
  std::vector<std::unique_ptr<TWatch>> ended;  // freed outside the lock
  std::lock_guard lock(lock_);
  ended.swap(ended_);
  has_ended_.store(false, std::memory_order_relaxed);
}

TWatchOwners& TWatchOwners::Process() {
  static TWatchOwners* owners = new TWatchOwners;
  return *owners;
}

void TWatchOwners::Set(int fd, std::shared_ptr<EventQueue> queue) {
  std::lock_guard lock(mutex_);
  owners_[fd] = std::move(queue);
}

std::shared_ptr<EventQueue> TWatchOwners::Take(int fd) {
  std::lock_guard lock(mutex_);
  auto it = owners_.find(fd);
  if (it == owners_.end()) return nullptr;
  std::shared_ptr<EventQueue> queue = it->second.lock();
  owners_.erase(it);
  return queue;
}

}  // namespace event_queue_detail
}  // namespace vt
