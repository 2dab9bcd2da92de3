// HashMap: a chained hash table from K to V with insert-or-replace. Keys are
// hashed by HashOf (their GetHashCode(), or Fnv1aHash for a text view) and
// compared with ==. Growth of the bucket table is best effort: when it cannot
// grow, the chains just get longer; it never shrinks. Iteration order follows
// the buckets, and within a bucket the insertion order, so that maps filled
// with the same keys in the same order iterate alike.
#pragma once
#include <concepts>
#include <string_view>
#include <utility>

#include "norvo/hash.h"
#include "norvo/memory.h"
#include "norvo/result.h"
#include "norvo/types.h"

namespace norvo {

// The hash of a key: its GetHashCode(); for a text view the hash of its bytes,
// which is also the hash of a String holding that text.
template <class K>
  requires requires(const K& key) {
    { key.GetHashCode() } -> std::convertible_to<UInt>;
  }
UInt HashOf(const K& key) noexcept { return UInt(key.GetHashCode()); }
inline UInt HashOf(std::string_view text) noexcept { return Fnv1aHash(text); }

// A key of type Q by which a map with keys of type K can be searched without
// making a K: it compares with K and hashes as the K it equals (a
// std::string_view for String keys).
template <class Q, class K>
concept LookupKeyFor = requires(const Q& q, const K& k) {
  { HashOf(q) } -> std::same_as<UInt>;
  { k == q } -> std::convertible_to<bool>;
};

template <class K, class V>
class HashMap {
  // The key's hash is kept beside it: a chain is walked by hashes, and a key
  // is compared only where its hash matches (keys such as Uuids keep their
  // bytes in blocks of their own, far apart in memory).
  struct Node {
    Node* next;
    UInt hash;
    K key;
    V value;
  };

 public:
  HashMap() = default;
  HashMap(const HashMap&) = delete;
  HashMap& operator=(const HashMap&) = delete;
  HashMap(HashMap&& other) noexcept
      : buckets_(std::exchange(other.buckets_, nullptr)), bucketCount_(std::exchange(other.bucketCount_, 0)),
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
    // Appended to its chain, so that a chain keeps the insertion order.
    ::new (node) Node{nullptr, HashOf(key), key, value};
    *Link(key) = node;
    ++count_;
    return {};
  }

  // The value stored under `key`, or nullptr.
  const V* Find(const K& key) const noexcept { return FindValue(key); }
  V* Find(const K& key) noexcept { return const_cast<V*>(FindValue(key)); }
  template <class Q>
    requires LookupKeyFor<Q, K>
  const V* Find(const Q& key) const noexcept { return FindValue(key); }
  template <class Q>
  requires LookupKeyFor<Q, K> V* Find(const Q& key) noexcept { return const_cast<V*>(FindValue(key)); }

  // Removes the entry of `key` and returns whether there was one. Never
  // allocates; the bucket table keeps its size.
  bool Erase(const K& key) noexcept { return EraseKey(key); }
  template <class Q>
    requires LookupKeyFor<Q, K>
  bool Erase(const Q& key) noexcept { return EraseKey(key); }

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
  Int Index(UInt hash) const noexcept { return Int(hash % UInt(bucketCount_)); }

  // The link that points at the node of `key`, or at the null end of its
  // chain when there is none. Needs a bucket table.
  template <class Q>
  Node** Link(const Q& key) const noexcept {
    const UInt hash = HashOf(key);
    Node** link = &buckets_[Index(hash)];
    while (*link && !((*link)->hash == hash && (*link)->key == key)) link = &(*link)->next;
    return link;
  }

  template <class Q>
  const V* FindValue(const Q& key) const noexcept {
    if (count_ == 0) return nullptr;
    Node* node = *Link(key);
    return node ? &node->value : nullptr;
  }

  template <class Q>
  bool EraseKey(const Q& key) noexcept {
    if (count_ == 0) return false;
    Node** link = Link(key);
    Node* node = *link;
    if (!node) return false;
    *link = node->next;
    node->~Node();
    Free(node);
    --count_;
    return true;
  }

  void Rehash(Int newCount) noexcept {
    Node** fresh = static_cast<Node**>(Allocate(std::size_t(newCount) * sizeof(Node*)));
    if (!fresh) return;
    for (Int b = 0; b < newCount; ++b) fresh[b] = nullptr;
    Node** old = buckets_;
    Int oldCount = bucketCount_;
    buckets_ = fresh;
    bucketCount_ = newCount;
    // Nodes keep their order within a chain, so that two maps filled with
    // the same keys in the same order iterate alike.
    for (Int b = 0; b < oldCount; ++b) {
      for (Node* n = old[b]; n;) {
        Node* next = n->next;
        Node** end = &buckets_[Index(n->hash)];
        while (*end) end = &(*end)->next;
        n->next = nullptr;
        *end = n;
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
