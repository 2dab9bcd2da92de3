// The matrix arithmetic of the framework that the solver and its hosts use:
// known answers, round trips and singular input.
#include "solver_support.h"

namespace norvo::test {
namespace {

TEST(MatrixArithmetic, QuarterTurnAboutZ) {
  Matrix turn{{1, 2, 3}, {0, 1, 0}, {-1, 0, 0}, {0, 0, 1}};
  EXPECT_EQ(Determinant(turn), 1.0);
  EXPECT_EQ(TransformPoint(turn, {1, 0, 0}), (Vector{1, 3, 3}));
  EXPECT_EQ(TransformVector(turn, {1, 0, 0}), (Vector{0, 1, 0}));
  // The inverse turns back and undoes the offset.
  Matrix inverse = AffineInverse(turn);
  EXPECT_EQ(inverse, (Matrix{{-2, 1, -3}, {0, -1, 0}, {1, 0, 0}, {0, 0, 1}}));
  EXPECT_EQ(Inverse3x3(turn), (Matrix{{0, 0, 0}, {0, -1, 0}, {1, 0, 0}, {0, 0, 1}}));
  EXPECT_EQ(Multiply(turn, inverse), Matrix{});
}

TEST(MatrixArithmetic, ProductsApplyTheRightFactorFirst) {
  Matrix move{{5, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  Matrix scale{{0, 0, 0}, {2, 0, 0}, {0, 3, 0}, {0, 0, 4}};
  EXPECT_EQ(TransformPoint(Multiply(move, scale), {1, 1, 1}), (Vector{7, 3, 4}));
  EXPECT_EQ(TransformPoint(Multiply(scale, move), {1, 1, 1}), (Vector{12, 3, 4}));
  EXPECT_EQ(Multiply3x3(move, scale), (Matrix{{0, 0, 0}, {2, 0, 0}, {0, 3, 0}, {0, 0, 4}}));
  EXPECT_EQ(Determinant(scale), 24.0);
  EXPECT_EQ(AffineInverse(Multiply(move, scale)), (Matrix{{-2.5, 0, 0}, {0.5, 0, 0}, {0, 1.0 / 3, 0}, {0, 0, 0.25}}));
}

TEST(MatrixArithmetic, RoundTrips) {
  RandomRig rig(5);
  for (int i = 0; i < 100; ++i) {
    Matrix m = rig.Local({rig.Uniform(0.5, 2), rig.Uniform(0.5, 2), rig.Uniform(0.5, 2)});
    m.v2 = Add(m.v2, Scale(m.v1, rig.Uniform(-0.5, 0.5)));  // some shear
    EXPECT_LE(MaxDifference(Multiply(m, AffineInverse(m)), Matrix{}), 1e-14);
    EXPECT_LE(MaxDifference(Multiply(AffineInverse(m), m), Matrix{}), 1e-14);
    EXPECT_LE(MaxDifference(Multiply3x3(Inverse3x3(m), m), Matrix{}), 1e-14);
    EXPECT_EQ(Inverse3x3(m).off, (Vector{0, 0, 0}));
  }
}

TEST(MatrixArithmetic, ExactlySingularInvertsToTheIdentity) {
  Matrix flat{{1, 2, 3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}};
  Matrix repeated{{1, 2, 3}, {1, 2, 3}, {1, 2, 3}, {0, 0, 1}};
  for (const Matrix& m : {kZeroMatrix, flat, repeated}) {
    EXPECT_EQ(Determinant(m), 0.0);
    EXPECT_EQ(Inverse3x3(m), Matrix{});
    EXPECT_EQ(AffineInverse(m), Matrix{});
  }
  // Nearly singular is not singular: no tolerance.
  Matrix tiny{{1, 0, 0}, {0x1p-600, 0, 0}, {0, 0x1p-400, 0}, {0, 0, 1}};
  EXPECT_EQ(Determinant(tiny), 0x1p-1000);
  EXPECT_EQ(AffineInverse(tiny), (Matrix{{-0x1p600, 0, 0}, {0x1p600, 0, 0}, {0, 0x1p400, 0}, {0, 0, 1}}));
}

}  // namespace
}  // namespace norvo::test
