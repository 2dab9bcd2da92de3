// What the FBX reader process (fbx/) hands the tool through a pipe: a
// skeleton and its frames as plain numbers, or why the file was not read.
// Both ends are built from this one layout; the tool still checks every
// count against the bytes it got.
//
//   "NRFX" u32 version
//   u8 status: 0 read, 1 bad input, 2 usage; for 1 and 2 a text follows
//   read:  f64 frame time, u64 frames, u64 joints,
//          per joint: text name, i64 parent, 12 f64 rest (offset, axes),
//          frames * joints * 12 f64 locals,
//          text animation, u64 count and as many texts (the others),
//          f64 centimetres per unit, i32 up axis (0 X, 1 Y, 2 Z), i32 its sign,
//          u8 whether the file holds an animation
//   text:  u64 length, bytes
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace norvo::retarget::fbxwire {

inline constexpr char kMagic[4] = {'N', 'R', 'F', 'X'};
inline constexpr std::uint32_t kVersion = 1;
enum Status : std::uint8_t { kRead = 0, kBadInput = 1, kUsage = 2 };

template <class T>
void Put(std::string& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}
inline void PutText(std::string& out, std::string_view text) {
  Put(out, std::uint64_t(text.size()));
  out.append(text);
}

// Reads values off the front of the bytes; false once they run out.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  template <class T>
  bool Get(T& value) {
    if (bytes_.size() < sizeof value) return false;
    std::memcpy(&value, bytes_.data(), sizeof value);
    bytes_.remove_prefix(sizeof value);
    return true;
  }
  bool GetText(std::string& text, std::uint64_t maxLength) {
    std::uint64_t length = 0;
    if (!Get(length) || length > maxLength || length > bytes_.size()) return false;
    text.assign(bytes_.substr(0, std::size_t(length)));
    bytes_.remove_prefix(std::size_t(length));
    return true;
  }
  std::size_t Left() const noexcept { return bytes_.size(); }

 private:
  std::string_view bytes_;
};

}  // namespace norvo::retarget::fbxwire
