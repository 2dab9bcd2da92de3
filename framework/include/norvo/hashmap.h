// HashMap: a chained hash table from K to V with insert-or-replace. Keys are
// hashed by their GetHashCode() and compared with ==. Growth of the bucket
// table is best effort: when it cannot grow, the chains just get longer.
// Iteration order follows the buckets and is not the insertion order.
#pragma once
#include <utility>

#include "norvo/memory.h"
#include "norvo/result.h"
#include "norvo/types.h"

namespace norvo {

template <class K, class V>
class HashMap {
  struct Node {
    Node* next;
    K key;
    V value;
  };

 public:
  HashMap() = default;
  HashMap(const HashMap&) = delete;
  HashMap& operator=(const HashMap&) = delete;
  HashMap(HashMap&& other) noexcept
      : buckets_(std::exchange(other.buckets_, nullptr)),
        bucketCount_(std::exchange(other.bucketCount_, 0)),
        count_(std::exchange(other.count_, 0)) {}
  HashMap& operator=(HashMap&& other) noexcept {
    if (this != &other) {
      Reset();
      buckets_ = std::exchange(other.buckets_, nullptr);
      bucketCount_ = std::exchange(other.bucketCount_, 0);
      count_ = std::exchange(other.count_, 0);
    }
    return *this;
  }
  ~HashMap() { Reset(); }

  Int GetCount() const noexcept { return count_; }
  bool IsEmpty() const noexcept { return count_ == 0; }

  // Stores value under key, replacing (and releasing) an earlier value.
  // On failure the map is unchanged.
  Result<void> Insert(const K& key, const V& value) noexcept {
    if (V* existing = Find(key)) {
      *existing = value;
      return {};
    }
    if (count_ >= bucketCount_) Rehash(bucketCount_ < 8 ? 8 : bucketCount_ * 2);
    if (bucketCount_ == 0) return OutOfMemoryError();
    Node* node = static_cast<Node*>(Allocate(sizeof(Node)));
    if (!node) return OutOfMemoryError();
    Node** bucket = &buckets_[Index(key)];
    ::new (node) Node{*bucket, key, value};
    *bucket = node;
    ++count_;
    return {};
  }

  const V* Find(const K& key) const noexcept {
    if (count_ == 0) return nullptr;
    for (Node* n = buckets_[Index(key)]; n; n = n->next)
      if (n->key == key) return &n->value;
    return nullptr;
  }
  V* Find(const K& key) noexcept { return const_cast<V*>(std::as_const(*this).Find(key)); }

  // Replaces the entries by copies of those of `source`; on failure this map
  // is empty.
  Result<void> CopyFrom(const HashMap& source) noexcept {
    if (&source == this) return {};
    Reset();
    for (const auto& entry : source) {
      if (auto r = Insert(entry.key, entry.value); !r) {
        Reset();
        return r.error();
      }
    }
    return {};
  }

  void Reset() noexcept {
    for (Int b = 0; b < bucketCount_; ++b) {
      for (Node* n = buckets_[b]; n;) {
        Node* next = n->next;
        n->~Node();
        Free(n);
        n = next;
      }
    }
    Free(buckets_);
    buckets_ = nullptr;
    bucketCount_ = 0;
    count_ = 0;
  }

  struct Entry {
    const K& key;
    V& value;
  };
  class Iterator {
   public:
    Iterator(const HashMap* map, Int bucket, Node* node) : map_(map), bucket_(bucket), node_(node) { Settle(); }
    Entry operator*() const { return {node_->key, node_->value}; }
    Iterator& operator++() {
      node_ = node_->next;
      Settle();
      return *this;
    }
    bool operator==(const Iterator& other) const { return node_ == other.node_; }

   private:
    void Settle() {
      while (!node_ && ++bucket_ < map_->bucketCount_) node_ = map_->buckets_[bucket_];
    }
    const HashMap* map_;
    Int bucket_;
    Node* node_;
  };
  Iterator begin() const { return Iterator(this, -1, nullptr); }
  Iterator end() const { return Iterator(this, bucketCount_, nullptr); }

 private:
  Int Index(const K& key) const noexcept { return Int(UInt(key.GetHashCode()) % UInt(bucketCount_)); }

  void Rehash(Int newCount) noexcept {
    Node** fresh = static_cast<Node**>(Allocate(std::size_t(newCount) * sizeof(Node*)));
    if (!fresh) return;
    for (Int b = 0; b < newCount; ++b) fresh[b] = nullptr;
    Node** old = buckets_;
    Int oldCount = bucketCount_;
    buckets_ = fresh;
    bucketCount_ = newCount;
    for (Int b = 0; b < oldCount; ++b) {
      for (Node* n = old[b]; n;) {
        Node* next = n->next;
        Node** bucket = &buckets_[Index(n->key)];
        n->next = *bucket;
        *bucket = n;
        n = next;
      }
    }
    Free(old);
  }

  Node** buckets_ = nullptr;
  Int bucketCount_ = 0;
  Int count_ = 0;
};

}  // namespace norvo
