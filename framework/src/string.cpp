#include "norvo/string.h"

#include <cstring>

namespace norvo {

void String::Destroy(Block* block) noexcept { Free(block); }

Result<String> String::Make(std::string_view text) noexcept {
  String s;
  NORVO_RETURN_IF_ERROR(s.Append(text));
  return s;
}

std::string_view String::View() const noexcept {
  return block_ ? std::string_view(block_->Data(), std::size_t(block_->size)) : std::string_view();
}

Int String::GetLength() const noexcept { return block_ ? block_->size : 0; }
Int String::GetRefCount() const noexcept { return block_ ? block_->refs.load(std::memory_order_acquire) : 0; }

Result<void> String::Append(std::string_view text) noexcept { return Insert(GetLength(), text); }

Result<void> String::Insert(Int position, std::string_view text) noexcept {
  if (text.empty()) return {};
  Int size = GetLength();
  if (position < 0) position = 0;
  if (position > size) position = size;
  Int needed = size + Int(text.size());
  const char* old = block_ ? block_->Data() : nullptr;
  bool aliases = old && text.data() >= old && text.data() < old + block_->capacity;
  if (!block_ || aliases || block_->capacity < needed || block_->refs.load(std::memory_order_acquire) > 1) {
    // A new block; the old one stays alive until copied, since `text` may lie in it.
    Int capacity = block_ && block_->capacity * 2 > needed ? block_->capacity * 2 : needed;
    if (capacity < 16) capacity = 16;
    Block* fresh = static_cast<Block*>(Allocate(sizeof(Block) + std::size_t(capacity)));
    if (!fresh) return OutOfMemoryError();
    fresh->refs.store(1, std::memory_order_relaxed);
    fresh->size = needed;
    fresh->capacity = capacity;
    char* data = fresh->Data();
    if (position) std::memcpy(data, old, std::size_t(position));
    std::memcpy(data + position, text.data(), text.size());
    if (size > position) std::memcpy(data + position + Int(text.size()), old + position, std::size_t(size - position));
    Release();
    block_ = fresh;
    return {};
  }
  char* data = block_->Data();
  std::memmove(data + position + Int(text.size()), data + position, std::size_t(size - position));
  std::memcpy(data + position, text.data(), text.size());
  block_->size = needed;
  return {};
}

Int String::Find(std::string_view part, Int from) const noexcept {
  std::string_view text = View();
  if (from < 0 || from > Int(text.size())) return -1;
  std::size_t at = text.find(part, std::size_t(from));
  return at == std::string_view::npos ? -1 : Int(at);
}

int String::ComparePart(Int start, Int count, std::string_view other) const noexcept {
  std::string_view text = View();
  if (start < 0) start = 0;
  if (start > Int(text.size())) start = Int(text.size());
  std::string_view part = text.substr(std::size_t(start), count < 0 ? std::string_view::npos : std::size_t(count));
  return part.compare(other);
}

Result<String> String::ToUpper() const noexcept {
  String upper;
  NORVO_RETURN_IF_ERROR(upper.Append(View()));
  if (upper.block_) {
    char* data = upper.block_->Data();
    for (Int i = 0; i < upper.block_->size; ++i)
      if (data[i] >= 'a' && data[i] <= 'z') data[i] = char(data[i] - 'a' + 'A');
  }
  return upper;
}

Result<BaseArray<String>> String::Split(std::string_view separator) const noexcept {
  BaseArray<String> parts;
  std::string_view text = View();
  if (text.empty()) return parts;
  if (separator.empty()) {
    NORVO_RETURN_IF_ERROR(parts.Append(*this));
    return parts;
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(separator, start);
    std::string_view piece = text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start);
    NORVO_ASSIGN_OR_RETURN(String part, String::Make(piece));
    NORVO_RETURN_IF_ERROR(parts.Append(std::move(part)));
    if (at == std::string_view::npos) break;
    start = at + separator.size();
  }
  return parts;
}

UInt String::GetHashCode() const noexcept { return HashBytes(View()); }

UInt HashBytes(std::string_view bytes) noexcept { return Fnv1aHash(bytes); }

TextBuilder& TextBuilder::Piece(std::initializer_list<std::string_view> parts) noexcept {
  String piece;
  for (std::string_view part : parts) {
    if (!piece.Append(part)) {
      piece.Clear();
      return *this;
    }
  }
  if (!text_.Append(piece)) text_.Clear();
  return *this;
}

}  // namespace norvo
