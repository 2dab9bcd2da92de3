// The JSON writer and reader. Both follow the class descriptions only: a
// class's members are gathered once per call into a layout (name, data type,
// place in the object, kind), and every object of that class is written or
// read through it. The reader takes the text as a stream of parse events and
// builds one object entry of "objects" at a time, so that a file of a
// million objects never holds more than one entry as a JSON value, and
// nothing recurses over the depth of a hierarchy.
#include "norvo/jsonio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "jsontext.h"
#include "norvo/hash.h"
#include "norvo/hashmap.h"
#include "norvo/hierarchy.h"
#include "norvo/registry.h"
#include "norvo/serialize.h"

namespace norvo {
namespace {

using Json = jsontext::Value;

// ---- Layouts ------------------------------------------------------------

struct Member {
  enum Kind : std::uint8_t { kValue, kObject, kValueArray, kObjectArray, kValueMap, kChildren };
  std::string name;
  Kind kind = kValue;
  std::size_t offset = 0;  // from the object's start
  const ValueCodec* codec = nullptr;
  const InterfaceDecl* iface = nullptr;  // what an object member must carry
  const ContainerAccessor* accessor = nullptr;
};

using Layout = std::vector<Member>;

// Gathers a class's description into a layout.
class LayoutStream final : public DataSerializeInterface {
 public:
  explicit LayoutStream(Layout& layout) noexcept : layout_(layout) {}

  void BeginComponent(std::string_view, std::size_t offset) noexcept override { componentOffset_ = offset; }

  Result<void> DescribeElement(std::string_view name, std::string_view dataType, MemberRef member,
                               const ContainerAccessor* accessor, std::uint32_t flags) noexcept override {
    try {
      return Add(name, dataType, member, accessor, flags);
    } catch (const std::bad_alloc&) {
      return OutOfMemoryError();
    }
  }

 private:
  Result<void> Add(std::string_view name, std::string_view dataType, MemberRef member,
                   const ContainerAccessor* accessor, std::uint32_t flags) {
    // The second call of a map member repeats the first without a place.
    if ((flags & kDescribeFlagMap) && !member.IsSet()) {
      if (layout_.empty() || layout_.back().name != name || layout_.back().kind != Member::kValueMap)
        return IllegalArgumentError("a map member is described out of order");
      return {};
    }
    for (const Member& m : layout_)
      if (m.name == name) return IllegalArgumentError("a class describes a member name twice");
    Member m;
    m.name = std::string(name);
    if (dataType == datatype::kHierarchyChildren) {
      m.kind = Member::kChildren;
      layout_.push_back(std::move(m));
      return {};
    }
    if (!member.IsSet()) return IllegalArgumentError("a member is described without its place");
    m.offset = componentOffset_ + member.offset;
    m.codec = FindValueCodec(dataType);
    if (!m.codec) {
      m.iface = internal::FindDataType(dataType);
      if (!m.iface) return IllegalArgumentError("a member has a data type that is not registered");
    }
    m.accessor = accessor;
    if (flags & kDescribeFlagMap) {
      if (!m.codec || !accessor || !accessor->forEach || !accessor->insert || !accessor->clear)
        return IllegalArgumentError("a map member needs a value type and a map accessor");
      m.kind = Member::kValueMap;
    } else if (flags & kDescribeFlagArray) {
      if (!accessor || !accessor->count || !accessor->element || !accessor->append || !accessor->clear)
        return IllegalArgumentError("an array member needs an array accessor");
      m.kind = m.codec ? Member::kValueArray : Member::kObjectArray;
    } else {
      m.kind = m.codec ? Member::kValue : Member::kObject;
    }
    layout_.push_back(std::move(m));
    return {};
  }

  Layout& layout_;
  std::size_t componentOffset_ = 0;
};

// A class or an object as a key of a HashMap: its address.
struct AddressKey {
  const void* address;
  UInt GetHashCode() const noexcept {
    return Fnv1aHash(std::string_view(reinterpret_cast<const char*>(&address), sizeof address));
  }
  bool operator==(const AddressKey&) const = default;
};

// The layouts of the classes met in one call.
class Layouts {
 public:
  Result<const Layout*> Get(const Class& cls) {
    if (const Layout* const* found = byClass_.Find(AddressKey{&cls})) return *found;
    Layout layout;
    LayoutStream stream(layout);
    NORVO_RETURN_IF_ERROR(DescribeClass(cls.GetId(), stream));
    layouts_.push_back(std::move(layout));
    if (auto added = byClass_.Insert(AddressKey{&cls}, &layouts_.back()); !added) {
      layouts_.pop_back();
      return added.error();
    }
    return &layouts_.back();
  }

 private:
  std::deque<Layout> layouts_;  // in place as it grows
  HashMap<AddressKey, const Layout*> byClass_;
};

char* DataOf(Object* object, const Member& member) noexcept { return reinterpret_cast<char*>(object) + member.offset; }

// Every object-valued type of a description is a typed reference, which is
// an ObjectRef and nothing more.
const ObjectRef& RefAt(const void* place) noexcept { return *static_cast<const ObjectRef*>(place); }

// ---- Writing ------------------------------------------------------------

// How deep a section may nest when it is written.
constexpr std::size_t kMaxSectionNesting = 64;

class Writer {
 public:
  Result<String> Save(Object* root, std::span<const JsonSection> sections) {
    NORVO_RETURN_IF_ERROR(Order(root));
    out_.Open('{');
    out_.Key("format").Value(kJsonFormatName);
    out_.Key("version").Value(kJsonFormatVersion);
    out_.Key("root").Value(IndexOf(root));
    out_.Key("objects").Open('[', true);
    for (Object* object : order_) NORVO_RETURN_IF_ERROR(WriteObject(object));
    out_.Close(']');
    if (!sections.empty()) {
      // By name, as a reader lists them.
      std::vector<const JsonSection*> sorted;
      for (const JsonSection& section : sections) sorted.push_back(&section);
      std::sort(sorted.begin(), sorted.end(),
                [](const JsonSection* a, const JsonSection* b) { return a->name.View() < b->name.View(); });
      out_.Key("sections").Open('{');
      for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i && sorted[i]->name == sorted[i - 1]->name) return IllegalArgumentError("a section name is given twice");
        NORVO_RETURN_IF_ERROR(WriteKey(sorted[i]->name.View()));
        NORVO_RETURN_IF_ERROR(WriteSection(sorted[i]->json.View()));
      }
      out_.Close('}');
    }
    out_.Close('}');
    out_.text += '\n';
    return String::Make(out_.text);
  }

 private:
  // Gives every reachable object its index: the objects an object's members
  // refer to come before it, and a hierarchy's children follow their parent
  // in pre-order. An explicit stack keeps deep hierarchies off the call
  // stack. An index of -1 marks an object whose members are being ordered.
  Result<void> Order(Object* root) {
    enum Step : std::uint8_t { kVisit, kVisitChild, kEmit };
    std::vector<std::pair<Object*, Step>> stack{{root, kVisit}};
    std::vector<Object*> refs;
    while (!stack.empty()) {
      auto [object, step] = stack.back();
      stack.pop_back();
      if (step == kEmit) {
        NORVO_RETURN_IF_ERROR(index_.Insert(AddressKey{object}, Int(order_.size())));
        order_.push_back(object);
        const std::size_t first = stack.size();
        for (Object* child = HierarchyFirstChild(object); child; child = HierarchyNext(child))
          stack.emplace_back(child, kVisitChild);
        std::reverse(stack.begin() + std::ptrdiff_t(first), stack.end());
        continue;
      }
      if (const Int* index = index_.Find(AddressKey{object})) {
        if (step == kVisit && *index < 0) return IllegalArgumentError("the objects refer to each other in a cycle");
        continue;
      }
      NORVO_RETURN_IF_ERROR(index_.Insert(AddressKey{object}, -1));
      stack.emplace_back(object, kEmit);
      NORVO_ASSIGN_OR_RETURN(const Layout* layout, layouts_.Get(object->GetClass()));
      refs.clear();
      for (const Member& m : *layout) {
        const char* data = DataOf(object, m);
        if (m.kind == Member::kObject) {
          refs.push_back(RefAt(data).Get());
        } else if (m.kind == Member::kObjectArray) {
          for (Int i = 0, n = m.accessor->count(data); i < n; ++i)
            refs.push_back(RefAt(m.accessor->element(data, i)).Get());
        }
      }
      for (auto ref = refs.rbegin(); ref != refs.rend(); ++ref)
        if (*ref) stack.emplace_back(*ref, kVisit);
    }
    return {};
  }

  // Every object is ordered before it is written.
  Int IndexOf(const Object* object) const noexcept { return *index_.Find(AddressKey{object}); }

  Result<void> WriteObject(Object* object) {
    out_.Open('{');
    NORVO_RETURN_IF_ERROR(WriteKey("class"));
    NORVO_RETURN_IF_ERROR(WriteText(object->GetClass().GetId()));
    NORVO_ASSIGN_OR_RETURN(const Layout* layout, layouts_.Get(object->GetClass()));
    for (const Member& m : *layout) {
      NORVO_RETURN_IF_ERROR(WriteKey(m.name));
      NORVO_RETURN_IF_ERROR(WriteMember(object, m));
    }
    out_.Close('}');
    return {};
  }

  Result<void> WriteMember(Object* object, const Member& m) {
    const char* data = DataOf(object, m);
    switch (m.kind) {
      case Member::kValue: return WriteValue(*m.codec, data);
      case Member::kObject: WriteRef(RefAt(data)); return {};
      case Member::kValueArray:
      case Member::kObjectArray:
        out_.Open('[');
        for (Int i = 0, n = m.accessor->count(data); i < n; ++i) {
          const void* element = m.accessor->element(data, i);
          if (m.kind == Member::kObjectArray) WriteRef(RefAt(element));
          else NORVO_RETURN_IF_ERROR(WriteValue(*m.codec, element));
        }
        out_.Close(']');
        return {};
      case Member::kValueMap: return WriteMap(m, data);
      case Member::kChildren:
        out_.Open('[');
        for (Object* child = HierarchyFirstChild(object); child; child = HierarchyNext(child))
          out_.Value(IndexOf(child));
        out_.Close(']');
        return {};
    }
    return {};
  }

  // [key, value] pairs in the map's own order; a reader that inserts them
  // in this order gets a map that iterates alike.
  Result<void> WriteMap(const Member& m, const char* data) {
    struct Entries {
      std::vector<std::pair<const void*, const void*>> pairs;
      bool complete = true;
    } entries;
    m.accessor->forEach(
        data,
        [](const void* key, const void* value, void* context) {
          auto& e = *static_cast<Entries*>(context);
          try {
            e.pairs.emplace_back(key, value);
          } catch (const std::bad_alloc&) {
            e.complete = false;
          }
        },
        &entries);
    if (!entries.complete) return OutOfMemoryError();
    out_.Open('[');
    for (const auto& [key, value] : entries.pairs) {
      out_.Open('[');
      NORVO_RETURN_IF_ERROR(WriteValue(*m.codec, key));
      NORVO_RETURN_IF_ERROR(WriteValue(*m.codec, value));
      out_.Close(']');
    }
    out_.Close(']');
    return {};
  }

  void WriteRef(const ObjectRef& ref) {
    if (ref) out_.Value(IndexOf(ref.Get()));
    else out_.Value(nullptr);
  }

  Result<void> WriteValue(const ValueCodec& codec, const void* value) {
    ValueView view;
    view.shape = codec.shape;
    codec.get(value, view);
    switch (codec.shape) {
      case ValueView::Shape::kBool: out_.Value(view.boolean); return {};
      case ValueView::Shape::kInt: out_.Value(view.integer); return {};
      case ValueView::Shape::kFloat64: out_.Value(view.number); return {};
      case ValueView::Shape::kText: return WriteText(view.text);
      case ValueView::Shape::kNumbers:
        out_.Open('[');
        for (Int i = 0; i < view.count; ++i) out_.Value(view.numbers[i]);
        out_.Close(']');
        return {};
    }
    return {};
  }

  Result<void> WriteText(std::string_view text) {
    if (!out_.Value(text)) return IllegalArgumentError("a text is not UTF-8");
    return {};
  }
  Result<void> WriteKey(std::string_view name) {
    if (out_.Key(name).Refused()) return IllegalArgumentError("a text is not UTF-8");
    return {};
  }

  // A section's text, checked and written on one line as the JSON library
  // writes it.
  Result<void> WriteSection(std::string_view text) {
    jsontext::Builder section;
    jsontext::ParseFault fault;
    if (!jsontext::Parse(text, section, fault, kMaxSectionNesting))
      return IllegalArgumentError("a section is not JSON");
    out_.Parsed(section.Get());
    return {};
  }

  HashMap<AddressKey, Int> index_;
  std::vector<Object*> order_;
  Layouts layouts_;
  jsontext::Writer out_{{.scalars = jsontext::Writer::Style::Scalars::kExact}};
};

// ---- Reading ------------------------------------------------------------

// "/" + the member name as a JSON pointer token.
void AppendToken(std::string& path, std::string_view token) {
  path += '/';
  for (char c : token) {
    if (c == '~') path += "~0";
    else if (c == '/') path += "~1";
    else path += c;
  }
}

std::string Joined(std::string path, std::string_view token) {
  AppendToken(path, token);
  return path;
}

std::string Joined(std::string path, std::size_t index) { return Joined(std::move(path), std::to_string(index)); }

struct Problem {
  Error error;
  std::string text;
};

// The fault of a member at `path`: IllegalArgumentError with `what` as its
// message.
Problem Fault(const std::string& path, const char* what) {
  return Problem{IllegalArgumentError(what), (path.empty() ? std::string("/") : path) + ": " + what};
}

// A limit passed at `path`: IllegalArgumentError with `what` as its
// message, the limit in the full text.
Problem PastLimit(const std::string& path, const char* what, Int limit, const char* unit) {
  Problem p = Fault(path, what);
  p.text += " (the limit is " + std::to_string(limit) + unit + ")";
  return p;
}

Problem Failure(const Error& error, const std::string& path) {
  if (error.kind() == ErrorKind::IllegalArgument) return Problem{error, path + ": " + error.message()};
  return Problem{error, std::string(ErrorKindName(error.kind())) + (*error.message() ? ": " : "") + error.message()};
}

// A JSON number (or one of the texts of non-finite numbers) as a double.
std::optional<const char*> ReadNumber(const Json& value, Float64& number) {
  if (value.is_number_float()) {
    number = value.get<Float64>();
    if (!std::isfinite(number)) return "number out of range";
    return std::nullopt;
  }
  if (value.is_number_unsigned()) {
    number = Float64(value.get<std::uint64_t>());
    return std::nullopt;
  }
  if (value.is_number_integer()) {
    number = Float64(value.get<std::int64_t>());
    return std::nullopt;
  }
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    if (text == "NaN") number = std::nan("");
    else if (text == "Infinity") number = HUGE_VAL;
    else if (text == "-Infinity") number = -HUGE_VAL;
    else return "not a number";
    return std::nullopt;
  }
  return "not a number";
}

// Reads the parse events of a whole file.
class Reader final {
 public:
  explicit Reader(const JsonLimits& limits) : limits_(limits) {}

  std::optional<Problem> problem;

  // Checks what the end of the text needs, then links the hierarchies.
  Result<JsonDocument> Finish() {
    if (!seenFormat_) return Stop(Fault("/format", "missing member"));
    if (!seenVersion_) return Stop(Fault("/version", "missing member"));
    if (!seenRoot_) return Stop(Fault("/root", "missing member"));
    if (!seenObjects_) return Stop(Fault("/objects", "missing member"));
    if (root_ >= objects_.size()) return Stop(Fault("/root", "dangling object reference"));
    if (auto linked = LinkHierarchies(); !linked) return linked.error();
    JsonDocument document;
    document.root = objects_[root_];
    document.sections = std::move(sections_);
    return document;
  }

  // ---- Parse events (jsontext::ParseEvents) ----

  bool Scalar(Json&& value) {
    if (builder_.IsBuilding()) {
      if (!RoomInArray()) return false;
      builder_.Scalar(std::move(value));
      return true;
    }
    switch (level_) {
      case kDocument: return DocumentMember(value);
      case kObjects: return Fail(Fault(Path(), "the value has the wrong type"));
      default: return Fail(Fault("", "the value has the wrong type"));
    }
  }

  bool Open(Json::value_t type) {
    const Int nesting = std::clamp<Int>(limits_.nesting, 0, kMaxJsonNesting);
    if (depth_ >= nesting) return Fail(PastLimit(Path(), "nesting too deep", nesting, " levels"));
    ++depth_;
    if (builder_.IsBuilding()) {
      if (!RoomInArray()) return false;
      builder_.Open(type);
      return true;
    }
    const bool isObject = type == Json::value_t::object;
    switch (level_) {
      case kBefore:
        if (!isObject) return Fail(Fault("", "the value has the wrong type"));
        level_ = kDocument;
        return true;
      case kDocument:
        if (topKey_ == "objects") {
          if (isObject) return Fail(Fault("/objects", "the value has the wrong type"));
          level_ = kObjects;
          return true;
        }
        builder_.Open(type);
        return true;
      case kObjects:
        if (!isObject) return Fail(Fault(Path(), "the value has the wrong type"));
        if (objects_.size() >= std::size_t(std::max<Int>(limits_.objects, 0)))
          return Fail(PastLimit(Path(), "too many objects", limits_.objects, ""));
        builder_.Open(type);
        return true;
      default: return Fail(Fault("", "the value has the wrong type"));
    }
  }

  bool Close() {
    --depth_;
    if (builder_.IsBuilding()) {
      if (!builder_.Close()) return true;
      Json& value = builder_.Get();
      return level_ == kObjects ? ReadObject(value) : DocumentMember(value);
    }
    level_ = level_ == kObjects ? kDocument : kAfter;
    return true;
  }

  bool Key(const std::string& name) {
    if (builder_.IsBuilding()) {
      if (!builder_.Key(name)) return Fail(Fault(Joined(Path(), name), "duplicate member"));
      return true;
    }
    // A member of the document.
    topKey_ = name;
    bool* seen = SeenFlag(name);
    if (!seen) return Fail(Fault(Joined("", name), "unknown member"));
    if (*seen) return Fail(Fault(Joined("", name), "duplicate member"));
    *seen = true;
    return true;
  }

  void SyntaxError(std::size_t byte, const char*) {
    if (!problem)
      problem = Problem{IllegalArgumentError("malformed JSON"), "byte " + std::to_string(byte) + ": malformed JSON"};
  }

 private:
  enum Level : std::uint8_t { kBefore, kDocument, kObjects, kAfter };

  bool Fail(Problem p) {
    if (!problem) problem = std::move(p);
    return false;
  }
  Result<JsonDocument> Stop(Problem p) {
    Fail(std::move(p));
    return problem->error;
  }

  // Where the value being built sits; good enough for messages.
  std::string Path() const {
    if (level_ == kObjects) return Joined("/objects", objects_.size());
    return level_ == kDocument ? Joined("", topKey_) : std::string();
  }

  bool* SeenFlag(const std::string& name) {
    if (name == "format") return &seenFormat_;
    if (name == "version") return &seenVersion_;
    if (name == "root") return &seenRoot_;
    if (name == "objects") return &seenObjects_;
    if (name == "sections") return &seenSections_;
    return nullptr;
  }

  // Whether one more element fits the innermost array being built.
  bool RoomInArray() {
    if (builder_.ArrayLength() < std::size_t(std::max<Int>(limits_.arrayLength, 0))) return true;
    return Fail(PastLimit(Path(), "array too long", limits_.arrayLength, " elements"));
  }

  bool DocumentMember(const Json& value) {
    const std::string path = Joined("", topKey_);
    if (topKey_ == "format") {
      if (!value.is_string() || value.get_ref<const std::string&>() != kJsonFormatName)
        return Fail(Fault(path, "unknown format"));
    } else if (topKey_ == "version") {
      if (!value.is_number_integer() || value.get<std::int64_t>() != kJsonFormatVersion)
        return Fail(Fault(path, "unsupported version"));
    } else if (topKey_ == "root") {
      if (!value.is_number_unsigned()) return Fail(Fault(path, "the value has the wrong type"));
      root_ = value.get<std::uint64_t>();
    } else if (topKey_ == "sections") {
      if (!value.is_object()) return Fail(Fault(path, "the value has the wrong type"));
      for (const auto& [name, section] : value.items()) {
        JsonSection entry;
        Result<String> made = String::Make(name);
        if (made) entry.name = std::move(made).value();
        if (made) made = String::Make(section.dump());
        if (made) entry.json = std::move(made).value();
        if (!made) return Fail(Failure(made.error(), path));
        if (auto appended = sections_.Append(std::move(entry)); !appended) return Fail(Failure(appended.error(), path));
      }
    } else {
      return Fail(Fault(path, "the value has the wrong type"));  // "objects" given as a scalar
    }
    return true;
  }

  // ---- One object entry ----

  bool ReadObject(Json& entry) {
    const std::size_t index = objects_.size();
    const std::string path = Joined("/objects", index);
    auto classId = entry.find("class");
    if (classId == entry.end()) return Fail(Fault(Joined(path, "class"), "missing member"));
    if (!classId->is_string()) return Fail(Fault(Joined(path, "class"), "the value has the wrong type"));
    Result<ObjectRef> created = CreateObject(classId->get_ref<const std::string&>());
    if (!created) {
      if (created.error().kind() == ErrorKind::Unresolved)
        return Fail(Fault(Joined(path, "class"), "unknown class id"));
      return Fail(Failure(created.error(), path));
    }
    Object* object = created.value().Get();
    Result<const Layout*> layout = layouts_.Get(object->GetClass());
    if (!layout) return Fail(Failure(layout.error(), path));

    for (const auto& item : entry.items()) {
      if (item.key() == "class") continue;
      bool described = false;
      for (const Member& m : *layout.value()) described = described || m.name == item.key();
      if (!described) return Fail(Fault(Joined(path, item.key()), "unknown member"));
    }
    childStart_.push_back(links_.size());
    for (const Member& m : *layout.value()) {
      auto value = entry.find(m.name);
      const std::string memberPath = Joined(path, m.name);
      if (value == entry.end()) return Fail(Fault(memberPath, "missing member"));
      if (!ReadMember(object, m, *value, memberPath)) return false;
    }
    objects_.push_back(std::move(created).value());
    return true;
  }

  bool ReadMember(Object* object, const Member& m, const Json& value, const std::string& path) {
    char* data = DataOf(object, m);
    if (m.kind == Member::kValue) return ReadValue(*m.codec, data, value, path);
    if (m.kind == Member::kObject) {
      ObjectRef ref;
      if (!ReadRef(value, *m.iface, path, ref)) return false;
      *reinterpret_cast<ObjectRef*>(data) = std::move(ref);
      return true;
    }
    if (!value.is_array()) return Fail(Fault(path, "the value has the wrong type"));
    if (m.kind == Member::kChildren) {
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (!value[i].is_number_integer()) return Fail(Fault(Joined(path, i), "the value has the wrong type"));
        links_.push_back(
            Link{objects_.size(), i, value[i].is_number_unsigned() ? value[i].get<std::uint64_t>() : UINT64_MAX});
      }
      return true;
    }
    m.accessor->clear(data);
    for (std::size_t i = 0; i < value.size(); ++i) {
      const std::string elementPath = Joined(path, i);
      if (m.kind == Member::kObjectArray) {
        ObjectRef ref;
        if (!ReadRef(value[i], *m.iface, elementPath, ref)) return false;
        if (auto appended = m.accessor->append(data, &ref); !appended)
          return Fail(Failure(appended.error(), elementPath));
      } else if (m.kind == Member::kValueArray) {
        Temporary element(*m.codec);
        if (!element.Ready()) return Fail(Failure(OutOfMemoryError(), elementPath));
        if (!ReadValue(*m.codec, element.Get(), value[i], elementPath)) return false;
        if (auto appended = m.accessor->append(data, element.Get()); !appended)
          return Fail(Failure(appended.error(), elementPath));
      } else {  // a map: [key, value] pairs
        const Json& pair = value[i];
        if (!pair.is_array() || pair.size() != 2) return Fail(Fault(elementPath, "the value has the wrong type"));
        Temporary key(*m.codec), mapped(*m.codec);
        if (!key.Ready() || !mapped.Ready()) return Fail(Failure(OutOfMemoryError(), elementPath));
        if (!ReadValue(*m.codec, key.Get(), pair[0], Joined(elementPath, std::size_t{0})) ||
            !ReadValue(*m.codec, mapped.Get(), pair[1], Joined(elementPath, std::size_t{1})))
          return false;
        if (auto inserted = m.accessor->insert(data, key.Get(), mapped.Get()); !inserted)
          return Fail(Failure(inserted.error(), elementPath));
      }
    }
    return true;
  }

  // A value of a codec's type, built and destroyed in place.
  class Temporary {
   public:
    explicit Temporary(const ValueCodec& codec) : codec_(codec) {
      if (codec.size <= sizeof storage_ && codec.align <= alignof(std::max_align_t)) {
        codec.construct(storage_);
        ready_ = true;
      }
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() {
      if (ready_) codec_.destruct(storage_);
    }
    bool Ready() const noexcept { return ready_; }
    void* Get() noexcept { return storage_; }

   private:
    const ValueCodec& codec_;
    alignas(std::max_align_t) unsigned char storage_[128];
    bool ready_ = false;
  };

  bool ReadValue(const ValueCodec& codec, void* target, const Json& value, const std::string& path) {
    ValueView view;
    view.shape = codec.shape;
    switch (codec.shape) {
      case ValueView::Shape::kBool:
        if (!value.is_boolean()) return Fail(Fault(path, "the value has the wrong type"));
        view.boolean = value.get<bool>();
        break;
      case ValueView::Shape::kInt:
        if (value.is_number_unsigned() && value.get<std::uint64_t>() > std::uint64_t(INT64_MAX))
          return Fail(Fault(path, "number out of range"));
        if (!value.is_number_integer()) return Fail(Fault(path, "the value has the wrong type"));
        view.integer = value.get<std::int64_t>();
        break;
      case ValueView::Shape::kFloat64:
        if (auto fault = ReadNumber(value, view.number)) return Fail(Fault(path, *fault));
        break;
      case ValueView::Shape::kText:
        if (!value.is_string()) return Fail(Fault(path, "the value has the wrong type"));
        view.text = value.get_ref<const std::string&>();
        break;
      case ValueView::Shape::kNumbers:
        if (!value.is_array() || value.size() > std::size_t(ValueView::kMaxNumbers))
          return Fail(Fault(path, "the value has the wrong type"));
        for (const Json& number : value)
          if (auto fault = ReadNumber(number, view.numbers[view.count++])) return Fail(Fault(path, *fault));
        break;
    }
    if (auto set = codec.set(target, view); !set) return Fail(Failure(set.error(), path));
    return true;
  }

  // An object member: null, or the index of an object listed before, whose
  // class carries the member's interface.
  bool ReadRef(const Json& value, const InterfaceDecl& iface, const std::string& path, ObjectRef& ref) {
    if (value.is_null()) return true;
    if (!value.is_number_integer()) return Fail(Fault(path, "the value has the wrong type"));
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() >= objects_.size())
      return Fail(Fault(path, "dangling object reference"));
    const ObjectRef& found = objects_[value.get<std::uint64_t>()];
    if (!found.Carries(iface)) return Fail(Fault(path, "object of the wrong class"));
    ref = found;
    return true;
  }

  // ---- Hierarchies ----

  struct Link {
    std::size_t parent;
    std::size_t position;  // in the parent's list
    std::uint64_t child;
  };

  // Checks the children lists (each index names an object listed anywhere,
  // each object has at most one parent, no object is its own ancestor),
  // then links them top-down, so that no insertion has to walk up a deep
  // chain.
  Result<void> LinkHierarchies() {
    const std::size_t n = objects_.size();
    childStart_.push_back(links_.size());
    std::vector<std::size_t> parent(n, SIZE_MAX);
    for (const Link& link : links_) {
      const std::string path = Joined(Joined(Joined("/objects", link.parent), "_children"), link.position);
      if (link.child >= n) return Stop(Fault(path, "dangling object reference")).error();
      if (!objects_[link.child].Carries(HierarchyObjectInterface::kDecl))
        return Stop(Fault(path, "not a hierarchy object")).error();
      if (parent[link.child] != SIZE_MAX) return Stop(Fault(path, "an object is a child twice")).error();
      parent[link.child] = link.parent;
    }
    // 0: not seen, 1: on the walk from the current object, 2: checked.
    std::vector<std::uint8_t> state(n, 0);
    for (std::size_t start = 0; start < n; ++start) {
      std::size_t at = start;
      while (at != SIZE_MAX && state[at] == 0) {
        state[at] = 1;
        at = parent[at];
      }
      if (at != SIZE_MAX && state[at] == 1)
        return Stop(Fault(Joined(Joined("/objects", parent[at]), "_children"), "the hierarchy has a cycle")).error();
      for (at = start; at != SIZE_MAX && state[at] == 1; at = parent[at]) state[at] = 2;
    }
    std::vector<std::size_t> queue;
    for (std::size_t i = 0; i < n; ++i)
      if (parent[i] == SIZE_MAX) queue.push_back(i);
    for (std::size_t q = 0; q < queue.size(); ++q) {
      const std::size_t p = queue[q];
      for (std::size_t l = childStart_[p]; l < childStart_[p + 1]; ++l) {
        const std::size_t child = std::size_t(links_[l].child);
        NORVO_RETURN_IF_ERROR(HierarchyInsert(objects_[p].Get(), objects_[child].Get(), nullptr, true));
        queue.push_back(child);
      }
    }
    return {};
  }

  const JsonLimits& limits_;
  Int depth_ = 0;  // objects and arrays open in the text
  Level level_ = kBefore;
  std::string topKey_;
  bool seenFormat_ = false, seenVersion_ = false, seenRoot_ = false, seenObjects_ = false, seenSections_ = false;
  std::uint64_t root_ = 0;
  jsontext::Builder builder_;
  Layouts layouts_;
  std::vector<ObjectRef> objects_;
  std::vector<std::size_t> childStart_;  // per object, its first link
  std::vector<Link> links_;
  BaseArray<JsonSection> sections_;
};

}  // namespace

Result<String> SaveJson(const ObjectRef& root, std::span<const JsonSection> sections) noexcept {
  if (!root) return NullptrError("no object to save");
  try {
    Writer writer;
    return writer.Save(root.Get(), sections);
  } catch (const std::bad_alloc&) {
    return OutOfMemoryError();
  } catch (const std::exception&) {
    return IllegalArgumentError("the objects cannot be written");
  }
}

Result<JsonDocument> LoadJson(std::string_view text, String* problem, const JsonLimits& limits) noexcept {
  std::optional<Problem> fault;
  Result<JsonDocument> document = OutOfMemoryError();
  try {
    Reader reader(limits);
    if (text.size() > std::uint64_t(std::max<Int>(limits.textBytes, 0))) {
      reader.problem = PastLimit("", "text too long", limits.textBytes, " bytes");
    } else if (jsontext::ParseEvents(text, reader)) {
      document = reader.Finish();
    } else if (!reader.problem) {
      reader.problem = Problem{IllegalArgumentError("malformed JSON"), "malformed JSON"};
    }
    fault = std::move(reader.problem);
    if (fault) document = fault->error;
  } catch (const std::bad_alloc&) {
    document = OutOfMemoryError();
    fault.reset();
  } catch (const std::exception&) {
    document = IllegalArgumentError("malformed JSON");
    fault.reset();
  }
  if (problem) {
    problem->Clear();
    if (!document) {
      try {
        const std::string text = fault ? fault->text : document.error().message();
        if (Result<String> made = String::Make(text)) *problem = std::move(made).value();
      } catch (const std::bad_alloc&) {
      }
    }
  }
  return document;
}

}  // namespace norvo
