#include "norvo/serialize.h"

#include <cstring>
#include <new>

#include "norvo/internedid.h"
#include "norvo/matrix.h"
#include "norvo/string.h"
#include "norvo/uuid.h"

namespace norvo {

Result<void> RecordingStream::DescribeElement(std::string_view name, std::string_view dataType, MemberRef member,
                                              const ContainerAccessor* accessor, std::uint32_t flags) noexcept {
  if (seen_++ == failAt_) return failure_;
  try {
    calls_.push_back(Call{std::string(name), std::string(dataType), member.IsSet(), member.IsSet() ? member.offset : 0,
                          accessor != nullptr, flags});
  } catch (const std::bad_alloc&) {
    return OutOfMemoryError();
  }
  return {};
}

}  // namespace norvo

// ---- Codecs of the framework's values -------------------------------------

namespace norvo {
namespace {

using Shape = ValueView::Shape;

template <class T>
constexpr ValueCodec MakeCodec(Shape shape, void (*get)(const void*, ValueView&) noexcept,
                               Result<void> (*set)(void*, const ValueView&) noexcept) {
  return ValueCodec{shape,
                    sizeof(T),
                    alignof(T),
                    [](void* value) noexcept { ::new (value) T(); },
                    [](void* value) noexcept { static_cast<T*>(value)->~T(); },
                    get,
                    set};
}

const ValueCodec kBoolCodec = MakeCodec<Bool>(
    Shape::kBool, [](const void* v, ValueView& view) noexcept { view.boolean = *static_cast<const Bool*>(v); },
    [](void* v, const ValueView& view) noexcept -> Result<void> {
      *static_cast<Bool*>(v) = view.boolean;
      return {};
    });

const ValueCodec kIntCodec = MakeCodec<Int>(
    Shape::kInt, [](const void* v, ValueView& view) noexcept { view.integer = *static_cast<const Int*>(v); },
    [](void* v, const ValueView& view) noexcept -> Result<void> {
      *static_cast<Int*>(v) = view.integer;
      return {};
    });

const ValueCodec kFloat64Codec = MakeCodec<Float64>(
    Shape::kFloat64, [](const void* v, ValueView& view) noexcept { view.number = *static_cast<const Float64*>(v); },
    [](void* v, const ValueView& view) noexcept -> Result<void> {
      *static_cast<Float64*>(v) = view.number;
      return {};
    });

// The empty Uuid is the empty text.
const ValueCodec kUuidCodec = MakeCodec<Uuid>(
    Shape::kText,
    [](const void* v, ValueView& view) noexcept {
      const Uuid& uuid = *static_cast<const Uuid*>(v);
      if (uuid.IsEmpty()) {
        view.text = {};
        return;
      }
      char text[Uuid::kTextLength];
      uuid.Format(text);
      std::memcpy(view.buffer, text, Uuid::kTextLength);
      view.text = std::string_view(view.buffer, Uuid::kTextLength);
    },
    [](void* v, const ValueView& view) noexcept -> Result<void> {
      Uuid& uuid = *static_cast<Uuid*>(v);
      if (view.text.empty()) {
        uuid = Uuid();
        return {};
      }
      Result<Uuid> parsed = Uuid::Parse(view.text);
      if (!parsed)
        return parsed.error().kind() == ErrorKind::OutOfMemory ? parsed.error() : IllegalArgumentError("not a Uuid");
      uuid = std::move(parsed).value();
      return {};
    });

const ValueCodec kStringCodec = MakeCodec<String>(
    Shape::kText, [](const void* v, ValueView& view) noexcept { view.text = static_cast<const String*>(v)->View(); },
    [](void* v, const ValueView& view) noexcept -> Result<void> {
      NORVO_ASSIGN_OR_RETURN(*static_cast<String*>(v), String::Make(view.text));
      return {};
    });

// The unset id is the empty text.
const ValueCodec kInternedIdCodec = MakeCodec<InternedId>(
    Shape::kText,
    [](const void* v, ValueView& view) noexcept { view.text = static_cast<const InternedId*>(v)->View(); },
    [](void* v, const ValueView& view) noexcept -> Result<void> {
      NORVO_ASSIGN_OR_RETURN(*static_cast<InternedId*>(v), InternedId::Make(view.text));
      return {};
    });

// o, a1, a2, a3, each x, y, z.
const ValueCodec kMatrixCodec = MakeCodec<Matrix>(
    Shape::kNumbers,
    [](const void* v, ValueView& view) noexcept {
      const Matrix& m = *static_cast<const Matrix*>(v);
      const Vector* vectors[] = {&m.off, &m.v1, &m.v2, &m.v3};
      view.count = 0;
      for (const Vector* vector : vectors) {
        view.numbers[view.count++] = vector->x;
        view.numbers[view.count++] = vector->y;
        view.numbers[view.count++] = vector->z;
      }
    },
    [](void* v, const ValueView& view) noexcept -> Result<void> {
      if (view.count != 12) return IllegalArgumentError("a matrix has 12 numbers");
      Matrix& m = *static_cast<Matrix*>(v);
      Vector* vectors[] = {&m.off, &m.v1, &m.v2, &m.v3};
      const Float64* n = view.numbers;
      for (Vector* vector : vectors) {
        *vector = Vector{n[0], n[1], n[2]};
        n += 3;
      }
      return {};
    });

}  // namespace

const ValueCodec* FindValueCodec(std::string_view dataType) noexcept {
  struct Entry {
    std::string_view dataType;
    const ValueCodec* codec;
  };
  static const Entry kCodecs[] = {
      {datatype::kBool, &kBoolCodec},       {datatype::kInt, &kIntCodec},
      {datatype::kFloat64, &kFloat64Codec}, {datatype::kUuid, &kUuidCodec},
      {datatype::kString, &kStringCodec},   {datatype::kInternedId, &kInternedIdCodec},
      {datatype::kMatrix, &kMatrixCodec},
  };
  for (const Entry& entry : kCodecs)
    if (entry.dataType == dataType) return entry.codec;
  return nullptr;
}

}  // namespace norvo
