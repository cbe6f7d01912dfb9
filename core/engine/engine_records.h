// KeyRecords: the engine's per-key bookkeeping (requested fingerprints, failures, attempts, keys
// waiting for a reload) as a map with a size limit. Writing a key makes it the newest; past the
// limit the oldest written key is dropped, so a process that lives for weeks holds at most
// `limit` keys of each kind whatever it sees. Reading does not change the order.
//
// A plain value type without a lock of its own: the engine guards each instance with its mutex.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

namespace qy {

template <typename Value>
class KeyRecords {
 public:
  explicit KeyRecords(size_t limit) : limit_(limit < 1 ? 1 : limit) {}

  const Value* find(const std::string& key) const {
    auto it = items_.find(key);
    return it == items_.end() ? nullptr : &it->second.first;
  }
  bool contains(const std::string& key) const { return items_.count(key) > 0; }

  // The key's value (default-made when absent), now the newest record; may drop the oldest.
  Value& put(const std::string& key) {
    auto it = items_.find(key);
    if (it != items_.end()) {
      order_.splice(order_.end(), order_, it->second.second);
      return it->second.first;
    }
    order_.push_back(key);
    auto& item = items_[key];
    item.second = std::prev(order_.end());
    while (items_.size() > limit_) {
      items_.erase(order_.front());
      order_.pop_front();
    }
    return item.first;
  }

  // Whether the key was there.
  bool erase(const std::string& key) {
    auto it = items_.find(key);
    if (it == items_.end()) return false;
    order_.erase(it->second.second);
    items_.erase(it);
    return true;
  }

  size_t size() const { return items_.size(); }

 private:
  size_t limit_;
  std::list<std::string> order_;  // oldest first
  std::unordered_map<std::string, std::pair<Value, std::list<std::string>::iterator>> items_;
};

}  // namespace qy
