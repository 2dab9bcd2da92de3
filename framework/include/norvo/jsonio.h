// Saving and loading objects as JSON text. The writer and the reader know no
// class of their own: each object's class description (DescribeClass) names
// its members, their data types and where they lie in the object; framework
// values move through their codecs (FindValueCodec), object members through
// references between the objects of the file.
//
// The file is one JSON object:
//   {"format": "norvo.objects", "version": 1, "root": <index>,
//    "objects": [{"class": <class id>, <member>: <value>, ...}, ...],
//    "sections": {<name>: <any JSON value>, ...}}          ("sections" optional)
// - An object member is the index of an object in "objects", or null. An
//   object held in several places is listed once, and every object is listed
//   after the objects its members refer to.
// - A hierarchy object lists its children by index ("_children"), so a
//   hierarchy of any depth is a flat list without nesting.
// - Arrays are JSON arrays; a map is an array of [key, value] pairs in the
//   map's iteration order, which a reader keeps by inserting them in turn. A Matrix is its 12 numbers: o, a1, a2, a3.
// - A number is the shortest text that reads back to the same double;
//   non-finite numbers are the texts "NaN", "Infinity" and "-Infinity". An
//   empty Uuid and an unset InternedId are "".
// - "sections" carries what a host keeps beside the objects, as it wrote it.
#pragma once
#include <span>
#include <string_view>

#include "norvo/array.h"
#include "norvo/object.h"
#include "norvo/result.h"
#include "norvo/string.h"

namespace norvo {

inline constexpr std::string_view kJsonFormatName = "norvo.objects";
inline constexpr Int kJsonFormatVersion = 1;

// A host's own part of a file: its name and its JSON text.
struct JsonSection {
  String name;
  String json;
};

struct JsonDocument {
  ObjectRef root;
  BaseArray<JsonSection> sections;
};

// The text of `root` and of every object it reaches through its members and
// children, with `sections` beside them. NullptrError for an empty root;
// IllegalArgumentError when a section is not JSON, a text is not UTF-8, or
// objects refer to each other in a cycle; OutOfMemoryError.
Result<String> SaveJson(const ObjectRef& root, std::span<const JsonSection> sections = {}) noexcept;

// What LoadJson accepts at most. A text past a limit is refused as
// IllegalArgumentError whose message says which limit ("text too long",
// "nesting too deep", "too many objects", "array too long"); the full text
// of `problem` gives the path and the limit. A caller that reads untrusted
// text can set them lower. Nesting is bounded by kMaxJsonNesting whatever
// the limit says, as reading walks nested values recursively.
inline constexpr Int kMaxJsonNesting = 1000;
struct JsonLimits {
  Int textBytes = Int(1) << 30;  // the size of the text
  Int nesting = 64;              // objects and arrays open at once, the file's own object included
  Int objects = 10000000;        // entries of "objects"
  Int arrayLength = 10000000;    // elements of any other array
};

// Reads a file written by SaveJson. All or nothing: any fault of the text
// (malformed JSON, a wrong type, a missing or unknown member, an unknown
// format, version or class id, a dangling object reference, a cycle in a
// hierarchy, a value its type cannot hold, a number out of range) is
// IllegalArgumentError, whose message names the kind of fault; `problem`,
// when given, receives the full text: the member's path (a JSON pointer,
// "/objects/3/_objectID") or, for malformed JSON, the byte position, then
// the fault. OutOfMemoryError when memory runs out. Nothing that was built
// survives a failure.
Result<JsonDocument> LoadJson(std::string_view text, String* problem = nullptr, const JsonLimits& limits = {}) noexcept;

}  // namespace norvo
