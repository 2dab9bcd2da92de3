#include "norvo/uuid.h"

#include <cstring>
#include <new>
#include <memory>
#include <random>

#include "norvo/memory.h"

namespace norvo {

namespace {
// Seeding the generator may allocate (the random device); running out of
// memory there is OutOfMemoryError like any other allocation.
Result<void> RandomBytes(Uuid::Bytes& bytes) noexcept {
  try {
    // On the heap: a library loaded into a running program (the Python
    // extension) has little room for thread-local storage.
    thread_local std::unique_ptr<std::mt19937_64> engine;
    if (!engine) {
      std::random_device device;
      std::seed_seq seed{device(), device(), device(), device()};
      engine = std::make_unique<std::mt19937_64>(seed);
    }
    for (int i = 0; i < 16; i += 8) {
      UInt word = (*engine)();
      std::memcpy(bytes.data() + i, &word, 8);
    }
  } catch (const std::bad_alloc&) {
    return OutOfMemoryError();
  } catch (...) {
    return UnexpectedError("no random source");
  }
  bytes[6] = std::uint8_t((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = std::uint8_t((bytes[8] & 0x3f) | 0x80);  // variant 1
  return {};
}

int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

void Uuid::Destroy(Block* block) noexcept { Delete(block); }

Result<Uuid> Uuid::FromBytes(const Bytes& bytes) noexcept {
  Uuid uuid;
  uuid.block_ = New<Block>();
  if (!uuid.block_) return OutOfMemoryError();
  uuid.block_->refs.store(1, std::memory_order_relaxed);
  uuid.block_->bytes = bytes;
  uuid.block_->hash = HashBytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  return uuid;
}

Result<Uuid> Uuid::Random() noexcept {
  Bytes bytes{};
  NORVO_RETURN_IF_ERROR(RandomBytes(bytes));
  return FromBytes(bytes);
}

Result<Uuid> Uuid::Parse(std::string_view text) noexcept {
  if (text.size() != kTextLength) return IllegalArgumentError("a Uuid text has 36 characters");
  Bytes bytes{};
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return IllegalArgumentError("a Uuid text is grouped 8-4-4-4-12");
      ++i;
      continue;
    }
    int high = HexValue(text[i]), low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return IllegalArgumentError("a Uuid text holds hexadecimal digits");
    bytes[byte++] = std::uint8_t(high * 16 + low);
    i += 2;
  }
  return FromBytes(bytes);
}

Uuid::Bytes Uuid::GetBytes() const noexcept { return block_ ? block_->bytes : Bytes{}; }

Result<void> Uuid::MakeWritable() noexcept {
  if (block_ && block_->refs.load(std::memory_order_acquire) == 1) return {};
  Bytes bytes{};
  if (block_) {
    bytes = block_->bytes;
  } else {
    NORVO_RETURN_IF_ERROR(RandomBytes(bytes));
  }
  NORVO_ASSIGN_OR_RETURN(*this, FromBytes(bytes));
  return {};
}

void Uuid::Format(char (&text)[kTextLength]) const noexcept {
  static constexpr char kDigits[] = "0123456789abcdef";
  Bytes bytes = GetBytes();
  std::size_t at = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[at++] = '-';
    text[at++] = kDigits[bytes[i] >> 4];
    text[at++] = kDigits[bytes[i] & 15];
  }
}

String Uuid::ToString(const FormatStatement*) const noexcept {
  char text[kTextLength];
  Format(text);
  Result<String> s = String::Make(std::string_view(text, kTextLength));
  return s ? std::move(s).value() : String();
}

bool Uuid::SameBytes(const Block* a, const Block* b) noexcept {
  if (!a || !b || a->hash != b->hash) return false;
  std::uint64_t x[2], y[2];
  std::memcpy(x, a->bytes.data(), 16);
  std::memcpy(y, b->bytes.data(), 16);
  return x[0] == y[0] && x[1] == y[1];
}

Int Uuid::GetRefCount() const noexcept { return block_ ? block_->refs.load(std::memory_order_acquire) : 0; }

}  // namespace norvo
