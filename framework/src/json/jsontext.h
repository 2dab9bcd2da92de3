// JSON text for the framework's object files and the retargeting tool's
// presets, rig files and report: parsed values that stay safe when memory
// runs out, and one writer.
//
// The JSON library (nlohmann-json) frees a value that still holds elements
// by first moving them onto a vector it allocates, inside the value's
// destructor, where running out of memory ends the process; an empty array
// or object frees without allocating. So a parsed value is built by a
// `Builder` from parse events, without recursion, into a value the builder
// owns and empties from the inside out (`Drain`) before it is freed; every
// array and object is made before it is filled (a null value that becomes
// one on its first element is left broken when that fails), and none sits
// in a temporary that holds elements.
//
// Everything here may throw std::bad_alloc; its users catch it at their
// public functions. Not installed: see framework/CMakeLists.txt.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvo::jsontext {

// A parsed value: objects list their members in name order.
using Value = nlohmann::json;

// Empties `value` from its innermost arrays and objects outward. The
// recursion goes as deep as the value nests, which its readers bound.
inline void Drain(Value& value) noexcept {
  if (!value.is_structured()) return;
  for (Value& child : value) Drain(child);
  value.clear();
}

// Reads `text` as parse events, calling on `sink`:
//   bool Scalar(Value&&), bool Open(Value::value_t) (an object or an array),
//   bool Key(std::string&), bool Close(), and, for a syntax error,
//   void SyntaxError(std::size_t byte, const char* what) with the bytes read and
//   the JSON library's text.
// An event that returns false stops the reading. Returns whether the whole
// text was read as one value.
template <class Sink>
bool ParseEvents(std::string_view text, Sink& sink) {
  class Events final : public nlohmann::json_sax<Value> {
   public:
    explicit Events(Sink& sink) : sink_(sink) {}
    bool null() override { return sink_.Scalar(Value(nullptr)); }
    bool boolean(bool value) override { return sink_.Scalar(Value(value)); }
    bool number_integer(number_integer_t value) override { return sink_.Scalar(Value(value)); }
    bool number_unsigned(number_unsigned_t value) override { return sink_.Scalar(Value(value)); }
    bool number_float(number_float_t value, const string_t&) override { return sink_.Scalar(Value(value)); }
    bool string(string_t& value) override { return sink_.Scalar(Value(std::move(value))); }
    bool binary(binary_t&) override { return false; }  // text JSON has none
    bool start_object(std::size_t) override { return sink_.Open(Value::value_t::object); }
    bool start_array(std::size_t) override { return sink_.Open(Value::value_t::array); }
    bool key(string_t& name) override { return sink_.Key(name); }
    bool end_object() override { return sink_.Close(); }
    bool end_array() override { return sink_.Close(); }
    bool parse_error(std::size_t byte, const std::string&, const nlohmann::detail::exception& fault) override {
      sink_.SyntaxError(byte, fault.what());
      return false;
    }

   private:
    Sink& sink_;
  } events(sink);
  return Value::sax_parse(text, &events);
}

// Builds one value at a time from parse events. The value built last stays
// the builder's until the next one begins, so that it is always emptied
// before it is freed.
class Builder {
 public:
  // What a member name given twice in one object does.
  enum class Duplicates : std::uint8_t { kRefuse, kKeepLast };

  explicit Builder(Duplicates duplicates = Duplicates::kRefuse) noexcept : duplicates_(duplicates) {}
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;
  ~Builder() { Drain(root_); }

  bool IsBuilding() const noexcept { return !open_.empty(); }
  // The arrays and objects open.
  std::size_t Depth() const noexcept { return open_.size(); }
  // The element count of the innermost open container when it is an array.
  std::size_t ArrayLength() const noexcept { return open_.back()->is_array() ? open_.back()->size() : 0; }

  // The events. A scalar or an array or object opened while nothing is
  // being built begins a new value. Scalar and Close return whether the
  // value is complete; Key returns false for a member given twice when
  // that is refused.
  bool Scalar(Value&& value) {
    Place() = std::move(value);
    return open_.empty();
  }
  void Open(Value::value_t type) {
    Value& place = Place();
    place = Value(type);
    open_.push_back(&place);
  }
  bool Key(const std::string& name) {
    key_ = name;
    return duplicates_ == Duplicates::kKeepLast || !open_.back()->contains(name);
  }
  bool Close() {
    open_.pop_back();
    return open_.empty();
  }

  Value& Get() noexcept { return root_; }
  const Value& Get() const noexcept { return root_; }

 private:
  // Where the next value goes: the root, the member just named (emptied
  // first when it is given again), or a new element of the innermost array.
  Value& Place() {
    if (open_.empty()) {
      Drain(root_);
      return root_;
    }
    Value& top = *open_.back();
    if (top.is_array()) {
      top.emplace_back();
      return top.back();
    }
    Value& member = top[key_];
    Drain(member);
    return member;
  }

  Value root_;
  std::vector<Value*> open_;  // outermost first
  std::string key_;
  Duplicates duplicates_;
};

// Why a text was not read.
struct ParseFault {
  enum class Kind : std::uint8_t { kSyntax, kDuplicate, kTooDeep };
  Kind kind = Kind::kSyntax;
  std::size_t byte = 0;  // a syntax error's: the bytes read when it was seen
  std::string message;   // a syntax error's: the JSON library's text; a duplicate's: the member name
};

// Reads `text` into `into`, with at most `maxDepth` arrays and objects open
// at once. False with `fault` filled when the text is not one JSON value,
// names a member twice (when `into` refuses that) or nests too deep.
inline bool Parse(std::string_view text, Builder& into, ParseFault& fault, std::size_t maxDepth = SIZE_MAX) {
  struct Sink {
    Builder& builder;
    ParseFault& fault;
    std::size_t maxDepth;
    bool Scalar(Value&& value) {
      builder.Scalar(std::move(value));
      return true;
    }
    bool Open(Value::value_t type) {
      if (builder.Depth() >= maxDepth) return Stop(ParseFault::Kind::kTooDeep);
      builder.Open(type);
      return true;
    }
    bool Key(const std::string& name) {
      if (builder.Key(name)) return true;
      fault.message = name;
      return Stop(ParseFault::Kind::kDuplicate);
    }
    bool Close() {
      builder.Close();
      return true;
    }
    void SyntaxError(std::size_t byte, const char* what) {
      fault.kind = ParseFault::Kind::kSyntax;
      fault.byte = byte;
      fault.message = what;
    }
    bool Stop(ParseFault::Kind kind) {
      fault.kind = kind;
      return false;
    }
  } sink{into, fault, maxDepth};
  return ParseEvents(text, sink);
}

// Whether `text` is UTF-8: no stray or missing continuation byte, no
// overlong form, no surrogate, nothing past U+10FFFF.
inline bool IsUtf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || end - p <= extra) return false;
    std::uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[i] & 0x3F);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

// Writes JSON text as it goes: Open a container, Key a member, Value a
// scalar, Close. Nothing is held as a parsed value.
class Writer {
 public:
  struct Style {
    // Spaces per level, each element and member on a line of its own and
    // ": " after a key, as the JSON library lays out a value with that
    // indent; -1 writes one line, without spaces.
    int indent = -1;
    // kLibrary: scalars as the JSON library writes them (a non-finite
    // number as null). kExact: numbers as the shortest text that reads back
    // to the same double, with ".0" where it would read as an integer, and
    // the texts "NaN", "Infinity" and "-Infinity"; every control character
    // of a text as \u00XX.
    enum class Scalars : std::uint8_t { kLibrary, kExact } scalars = Scalars::kLibrary;
    // A text that is not UTF-8 is written with U+FFFD for its faulty bytes
    // (as the JSON library replaces them); else it is refused.
    bool replaceFaultyText = false;
  };

  Writer() = default;
  explicit Writer(Style style) : style_(style) {}

  std::string text;  // what is written

  // Whether a text was refused for not being UTF-8.
  bool Refused() const noexcept { return refused_; }

  Writer& Key(std::string_view name) {
    Item();
    Text(name);
    text += style_.indent < 0 ? ":" : ": ";
    keyed_ = true;
    return *this;
  }
  // A bool, a number, nullptr or a text. False when the text is refused.
  template <class T>
  bool Value(const T& value) {
    Item();
    if constexpr (std::is_same_v<T, bool>) {
      text += value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::nullptr_t>) {
      text += "null";
    } else if constexpr (std::is_integral_v<T>) {
      char digits[24];
      text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    } else if constexpr (std::is_floating_point_v<T>) {
      Number(double(value));
    } else {
      return Text(std::string_view(value));
    }
    return true;
  }
  // A list of texts.
  template <class List>
  bool Texts(const List& values) {
    Open('[');
    bool written = true;
    for (const auto& value : values) written = Value(value) && written;
    Close(']');
    return written;
  }
  // A parsed value, as the JSON library writes it on one line (`indent`
  // must be -1).
  void Parsed(const jsontext::Value& value) {
    Item();
    text += value.dump();
  }
  // `lineEach` puts each element on a line of its own in a one-line style.
  void Open(char bracket, bool lineEach = false) {
    Item();
    text += bracket;
    lines_.push_back(lineEach || style_.indent >= 0);
    empty_ = true;
  }
  void Close(char bracket) {
    const bool lines = lines_.back();
    lines_.pop_back();
    if (!empty_ && lines) NewLine();
    text += bracket;
    empty_ = false;
  }

 private:
  // Before an element or a member: a comma after the one before, and a
  // line of its own where the container has those; a member's value follows
  // its key.
  void Item() {
    if (keyed_) {
      keyed_ = false;
      return;
    }
    if (lines_.empty()) return;
    if (!empty_) text += ',';
    if (lines_.back()) NewLine();
    empty_ = false;
  }
  void NewLine() {
    text += '\n';
    if (style_.indent > 0) text.append(lines_.size() * std::size_t(style_.indent), ' ');
  }

  void Number(double value) {
    if (style_.scalars == Style::Scalars::kLibrary) {
      text += jsontext::Value(value).dump();
    } else if (std::isnan(value)) {
      text += "\"NaN\"";
    } else if (std::isinf(value)) {
      text += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    } else {
      char digits[40];
      const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
      const std::string_view written(digits, std::size_t(end - digits));
      text += written;
      if (written.find_first_of(".e") == std::string_view::npos) text += ".0";  // -0 keeps its sign too
    }
  }

  bool Text(std::string_view value) {
    if (!IsUtf8(value)) {
      if (!style_.replaceFaultyText) {
        refused_ = true;
        return false;
      }
      text += jsontext::Value(std::string(value)).dump(-1, ' ', false, jsontext::Value::error_handler_t::replace);
      return true;
    }
    const bool shortForms = style_.scalars == Style::Scalars::kLibrary;
    text += '"';
    for (char c : value) {
      const char* escape = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : nullptr;
      if (shortForms && !escape) {
        escape = c == '\b'   ? "\\b"
                 : c == '\f' ? "\\f"
                 : c == '\n' ? "\\n"
                 : c == '\r' ? "\\r"
                 : c == '\t' ? "\\t"
                             : nullptr;
      }
      if (escape) {
        text += escape;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        static constexpr char kHex[] = "0123456789abcdef";
        text += "\\u00";
        text += kHex[(c >> 4) & 0xF];
        text += kHex[c & 0xF];
      } else {
        text += c;
      }
    }
    text += '"';
    return true;
  }

  Style style_{};
  std::vector<bool> lines_;  // per open container: whether its elements take lines of their own
  bool empty_ = true;        // nothing written yet in the innermost open container
  bool keyed_ = false;
  bool refused_ = false;
};

}  // namespace norvo::jsontext
