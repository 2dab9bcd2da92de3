#include "norvo/matrix.h"

#include "norvo/number.h"

namespace norvo {
namespace {
// Appends the vector's text to `text` without allocating per number.
Result<void> AppendVector(String& text, const Vector& v) noexcept {
  char buffer[3][kFloatTextCapacity];
  std::size_t length[3] = {FormatFloat(buffer[0], v.x, -1, -3, false, '0'),
                           FormatFloat(buffer[1], v.y, -1, -3, false, '0'),
                           FormatFloat(buffer[2], v.z, -1, -3, false, '0')};
  NORVO_RETURN_IF_ERROR(text.Append("("));
  for (int i = 0; i < 3; ++i) {
    if (i) NORVO_RETURN_IF_ERROR(text.Append(","));
    NORVO_RETURN_IF_ERROR(text.Append(std::string_view(buffer[i], length[i])));
  }
  return text.Append(")");
}
}  // namespace

String VectorToString(const Vector& v, const FormatStatement*) noexcept {
  String text;
  if (!AppendVector(text, v)) text.Clear();
  return text;
}

String MatrixToString(const Matrix& m, const FormatStatement*) noexcept {
  String text;
  Result<void> r = text.Append("(");
  const Vector* parts[] = {&m.v1, &m.v2, &m.v3, &m.off};
  for (int i = 0; r && i < 4; ++i) {
    if (i) r = text.Append(",");
    if (r) r = AppendVector(text, *parts[i]);
  }
  if (r) r = text.Append(")");
  if (!r) text.Clear();
  return text;
}

}  // namespace norvo
