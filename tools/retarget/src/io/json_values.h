// JSON values that stay safe when memory runs out.
//
// The JSON library frees a value that still holds elements by first moving
// them onto a vector that it allocates, inside the value's destructor, where
// running out of memory ends the process; an empty array or object frees
// without allocating. So the tool's JSON values are:
// - emptied from the inside out before they are freed (`Drained`);
// - built in place inside one guarded value, never in temporaries that hold
//   elements (an object written as an initializer list is such a temporary),
//   and with every array and object made before it is filled: a null value
//   that becomes one on its first element is left broken when that fails;
// - parsed by events into a value the caller guards (`ParseJson`), so that a
//   parse cut short leaves nothing for the library to free.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvo::retarget {

// Empties `value` from its innermost arrays and objects outward. The
// recursion goes as deep as the value nests, which the readers bound.
template <class Json>
void Drain(Json& value) noexcept {
  if (!value.is_structured()) return;
  for (Json& child : value) Drain(child);
  value.clear();
}

// Empties a value on every way out of its scope; declared right after it.
template <class Json>
class Drained {
 public:
  explicit Drained(Json& value) noexcept : value_(value) {}
  Drained(const Drained&) = delete;
  Drained& operator=(const Drained&) = delete;
  ~Drained() { Drain(value_); }

 private:
  Json& value_;
};

// Why a text is not JSON.
struct JsonSyntaxError {
  std::size_t byte = 0;  // the bytes read when the fault was seen
  std::string message;   // the JSON library's text
};

// Parses `text` into `out`, which the caller guards with `Drained`. False,
// with `error` filled, when the text is not JSON; a member given twice keeps
// its last value. Throws std::bad_alloc, leaving `out` partly built.
template <class Json>
bool ParseJson(std::string_view text, Json& out, JsonSyntaxError& error) {
  class Builder final : public nlohmann::json_sax<Json> {
   public:
    using typename nlohmann::json_sax<Json>::number_integer_t;
    using typename nlohmann::json_sax<Json>::number_unsigned_t;
    using typename nlohmann::json_sax<Json>::number_float_t;
    using typename nlohmann::json_sax<Json>::string_t;
    using typename nlohmann::json_sax<Json>::binary_t;

    Builder(Json& root, JsonSyntaxError& error) : root_(root), error_(error) {}

    bool null() override { return Put(Json(nullptr)); }
    bool boolean(bool value) override { return Put(Json(value)); }
    bool number_integer(number_integer_t value) override { return Put(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return Put(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return Put(Json(value)); }
    bool string(string_t& value) override { return Put(Json(std::move(value))); }
    bool binary(binary_t&) override { return false; }  // text JSON has none
    bool start_object(std::size_t) override { return Open(nlohmann::json::value_t::object); }
    bool start_array(std::size_t) override { return Open(nlohmann::json::value_t::array); }
    bool key(string_t& name) override {
      member_ = &(*open_.back())[name];
      return true;
    }
    bool end_object() override {
      open_.pop_back();
      return true;
    }
    bool end_array() override { return end_object(); }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& fault) override {
      error_.byte = position;
      error_.message = fault.what();
      return false;
    }

   private:
    // Where the next value goes: the root, the member just named, or a new
    // element of the innermost array. A member given twice is emptied before
    // it is overwritten.
    Json& Place() {
      if (open_.empty()) {
        Drain(root_);
        return root_;
      }
      Json& top = *open_.back();
      if (!top.is_array()) {
        Drain(*member_);
        return *member_;
      }
      top.emplace_back();
      return top.back();
    }
    bool Put(Json&& value) {
      Place() = std::move(value);
      return true;
    }
    bool Open(nlohmann::json::value_t type) {
      Json& place = Place();
      place = Json(type);
      open_.push_back(&place);
      return true;
    }

    Json& root_;
    JsonSyntaxError& error_;
    std::vector<Json*> open_;  // the containers open, outermost first
    Json* member_ = nullptr;
  };
  Builder builder(out, error);
  return Json::sax_parse(text, &builder);
}

}  // namespace norvo::retarget
