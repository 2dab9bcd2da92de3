// Serialization description. The static DescribeIO of a component tells a
// DataSerializeInterface stream its members, in declaration order, each by
// name, data type, place in the component and container support, so that a
// writer and a reader can move the component's data without knowing its type.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "norvo/array.h"
#include "norvo/hashmap.h"
#include "norvo/result.h"
#include "norvo/types.h"

namespace norvo {

inline constexpr std::uint32_t kDescribeFlagMap = 1024;
inline constexpr std::uint32_t kDescribeFlagArray = 2048;

// Data type ids of the framework's values. Public types of modules use their
// type names ("norvo::CharacterPose").
namespace datatype {
inline constexpr std::string_view kBool = "bool";
inline constexpr std::string_view kInt = "int64";
inline constexpr std::string_view kFloat64 = "float64";
inline constexpr std::string_view kInternedId = "net.norvo.datatype.internedid";
inline constexpr std::string_view kUuid = "net.norvo.datatype.uuid";
inline constexpr std::string_view kString = "net.norvo.datatype.string";
inline constexpr std::string_view kMatrix = "net.norvo.datatype.matrix";
// The children of a hierarchy object, in order. Described without a member:
// a writer walks the children through the hierarchy functions.
inline constexpr std::string_view kHierarchyChildren = "net.norvo.datatype.hierarchychildren";
}  // namespace datatype

// A framework value as a writer sees it and a reader hands it over: one
// boolean, integer, number or text, or a short list of numbers (a Matrix:
// o, a1, a2, a3, each x, y, z).
struct ValueView {
  enum class Shape : std::uint8_t { kBool, kInt, kFloat64, kText, kNumbers };
  static constexpr Int kMaxNumbers = 12;
  Shape shape = Shape::kBool;
  Bool boolean = false;
  Int integer = 0;
  Float64 number = 0.0;
  // The text; it points into `buffer` or into the value, and stays valid
  // while both are unchanged.
  std::string_view text;
  char buffer[40] = {};
  Float64 numbers[kMaxNumbers] = {};
  Int count = 0;
};

// How a writer and a reader move a value of a framework type: its storage
// (for array elements, map keys and values) and its conversion to and from
// a ValueView of its shape.
struct ValueCodec {
  ValueView::Shape shape;
  std::size_t size;
  std::size_t align;
  void (*construct)(void* value) noexcept;
  void (*destruct)(void* value) noexcept;
  void (*get)(const void* value, ValueView& view) noexcept;
  // Sets the value from a view of the codec's shape; IllegalArgumentError
  // for a value the type cannot hold (a text that is not a Uuid),
  // OutOfMemoryError when storage cannot be had.
  Result<void> (*set)(void* value, const ValueView& view) noexcept;
};

// The codec of a framework value type ("bool", "int64", "float64", Uuid,
// String, InternedId, Matrix), or nullptr. Other data types are the public
// types of modules, whose members are object references.
const ValueCodec* FindValueCodec(std::string_view dataType) noexcept;

// Where a member lies inside its component's data.
struct MemberRef {
  static constexpr std::size_t kNone = SIZE_MAX;
  std::size_t offset = kNone;
  bool IsSet() const noexcept { return offset != kNone; }
};
#define NORVO_MEMBER(Type, member) (::norvo::MemberRef{offsetof(Type, member)})

// Access to a container member for writers and readers. Arrays use count,
// element, append and clear; maps use count, forEach, insert and clear.
struct ContainerAccessor {
  Int (*count)(const void* container) noexcept = nullptr;
  const void* (*element)(const void* container, Int index) noexcept = nullptr;
  Result<void> (*append)(void* container, const void* element) noexcept = nullptr;
  void (*forEach)(const void* container, void (*visit)(const void* key, const void* value, void* context),
                  void* context) noexcept = nullptr;
  Result<void> (*insert)(void* container, const void* key, const void* value) noexcept = nullptr;
  void (*clear)(void* container) noexcept = nullptr;
};

template <class T>
const ContainerAccessor& ArrayAccessor() noexcept {
  static const ContainerAccessor accessor{
      [](const void* c) noexcept { return static_cast<const BaseArray<T>*>(c)->GetCount(); },
      [](const void* c, Int i) noexcept -> const void* { return &(*static_cast<const BaseArray<T>*>(c))[i]; },
      [](void* c, const void* e) noexcept { return static_cast<BaseArray<T>*>(c)->Append(*static_cast<const T*>(e)); },
      nullptr,
      nullptr,
      [](void* c) noexcept { static_cast<BaseArray<T>*>(c)->Reset(); }};
  return accessor;
}

template <class K, class V>
const ContainerAccessor& MapAccessor() noexcept {
  static const ContainerAccessor accessor{
      [](const void* c) noexcept { return static_cast<const HashMap<K, V>*>(c)->GetCount(); },
      nullptr,
      nullptr,
      [](const void* c, void (*visit)(const void*, const void*, void*), void* context) noexcept {
        for (auto entry : *static_cast<const HashMap<K, V>*>(c)) visit(&entry.key, &entry.value, context);
      },
      [](void* c, const void* k, const void* v) noexcept {
        return static_cast<HashMap<K, V>*>(c)->Insert(*static_cast<const K*>(k), *static_cast<const V*>(v));
      },
      [](void* c) noexcept { static_cast<HashMap<K, V>*>(c)->Reset(); }};
  return accessor;
}

class DataSerializeInterface {
 public:
  virtual ~DataSerializeInterface() = default;
  // One member: its name, its data type (of the element for containers), its
  // place (none on the second call of a map member), the container accessor
  // (nullptr for plain members) and the flags.
  virtual Result<void> DescribeElement(std::string_view name, std::string_view dataType, MemberRef member,
                                       const ContainerAccessor* accessor, std::uint32_t flags) noexcept = 0;
  // Announces the component whose members follow and where its data lies in
  // the object (bytes from the object's start); the members' offsets stay
  // relative to their component. DescribeClass calls it before each
  // component's description; a stream that needs no layout ignores it.
  virtual void BeginComponent(std::string_view componentId, std::size_t offset) noexcept {
    (void)componentId;
    (void)offset;
  }
};

// A stream that records the calls it gets; for tests. It can be told to fail
// one call.
class RecordingStream final : public DataSerializeInterface {
 public:
  struct Call {
    std::string name;
    std::string dataType;
    bool hasMember = false;
    std::size_t offset = 0;
    bool hasAccessor = false;
    std::uint32_t flags = 0;
  };

  Result<void> DescribeElement(std::string_view name, std::string_view dataType, MemberRef member,
                               const ContainerAccessor* accessor, std::uint32_t flags) noexcept override;

  // The call with this index (0 for the first) fails with `error`.
  void FailCall(Int index, Error error) noexcept {
    failAt_ = index;
    failure_ = error;
  }
  const std::vector<Call>& GetCalls() const noexcept { return calls_; }

 private:
  std::vector<Call> calls_;
  Int seen_ = 0;
  Int failAt_ = -1;
  Error failure_ = UnexpectedError("recording stream failure");
};

}  // namespace norvo
