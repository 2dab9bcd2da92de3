// Matrix and Vector. A Matrix is twelve doubles: the offset o, then the axis
// vectors a1, a2, a3. A default Matrix is the identity: o = (0,0,0),
// a1 = (1,0,0), a2 = (0,1,0), a3 = (0,0,1). Through an empty reference a
// matrix accessor yields all zeros (EmptyValue<Matrix>).
#pragma once
#include "norvo/object.h"
#include "norvo/string.h"
#include "norvo/types.h"

namespace norvo {

struct Vector {
  Float64 x = 0.0;
  Float64 y = 0.0;
  Float64 z = 0.0;
  friend bool operator==(const Vector&, const Vector&) = default;
};

struct Matrix {
  Vector off{0.0, 0.0, 0.0};
  Vector v1{1.0, 0.0, 0.0};
  Vector v2{0.0, 1.0, 0.0};
  Vector v3{0.0, 0.0, 1.0};
  friend bool operator==(const Matrix&, const Matrix&) = default;
};

inline constexpr Matrix kZeroMatrix{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}};

template <>
inline const Matrix& EmptyValue<Matrix>() noexcept {
  return kZeroMatrix;
}

// "(" x "," y "," z ")", each number through FloatToString(-1, -3, false, '0').
String VectorToString(const Vector& v, const FormatStatement* format = nullptr) noexcept;
// "(" a1 "," a2 "," a3 "," o ")": the identity prints ((1,0,0),(0,1,0),(0,0,1),(0,0,0)).
String MatrixToString(const Matrix& m, const FormatStatement* format = nullptr) noexcept;

}  // namespace norvo
