// Joint matrices of a BVH skeleton: Euler channels to matrices and back, in
// each joint's own channel order, and forward kinematics.
//
// A Matrix is the framework's: offset o and the columns a1, a2, a3 of its
// 3x3 part; a point p maps to o + a1*p.x + a2*p.y + a3*p.z. A joint's local
// matrix is T(offset + position channels) * R, with R the product of its
// rotations in channel order: "Zrotation Yrotation Xrotation" gives
// R = Rz * Ry * Rx. Its global matrix is Multiply(parent global, local), with
// the framework's matrix arithmetic (norvo/matrix.h).
#pragma once
#include <cstdint>

#include "norvo/matrix.h"
#include "norvo/retarget/bvh.h"

namespace norvo::retarget {

// R_axes[0](degrees[0]) * R_axes[1](degrees[1]) * R_axes[2](degrees[2]),
// axes 0, 1, 2 for X, Y, Z; zero offset.
Matrix RotationFromEuler(const int axes[3], const double degrees[3]) noexcept;
// Angles whose RotationFromEuler gives the rotation part of m (three
// distinct axes). The middle angle lies in [-90, 90]; at +-90 the last
// angle is 0. Only the 3x3 part of m is read; it should be a rotation.
void EulerFromRotation(const Matrix& m, const int axes[3], double degrees[3]) noexcept;

// The joint's rotation axes in channel order.
void RotationAxes(const BvhJoint& joint, int axes[3]) noexcept;
// The joint's local matrix in a frame; a null frame gives the rest (the
// offset, no rotation).
Matrix LocalMatrix(const BvhJoint& joint, const double* frame) noexcept;
// Stores the channel values of `local` into a frame: the rotation as angles
// in the joint's order, the positions as the local offset minus the joint's
// offset. With the previous frame's values given, the angles are the ones of
// the rotation's two angle triples, each turned by whole turns, that lie
// closest to the previous angles, so that a clip does not jump by 360 degrees
// where its rotation does not.
void StoreLocalMatrix(const BvhJoint& joint, const Matrix& local, double* frame,
                      const double* previousFrame = nullptr) noexcept;

// globals[j] = globals[parent] * locals[j]; a root's parent is the identity.
void ForwardKinematics(const BvhSkeleton& skeleton, const Matrix* locals, Matrix* globals) noexcept;

}  // namespace norvo::retarget
