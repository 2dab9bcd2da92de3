#include "norvo/retarget/solve/align.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>

namespace norvo::retarget {

Outcome<std::vector<std::int64_t>> SubtreeEnds(const Skeleton& skeleton) {
  try {
    const std::size_t n = skeleton.joints.size();
    std::vector<std::int64_t> ends(n);
    for (std::size_t j = 0; j < n; ++j) ends[j] = std::int64_t(j) + 1;
    for (std::size_t j = n; j-- > 0;) {
      const std::int64_t parent = skeleton.joints[j].parent;
      if (parent >= 0) ends[std::size_t(parent)] = std::max(ends[std::size_t(parent)], ends[j]);
    }
    return ends;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

namespace {

constexpr double kTiny = 1e-9;

Vector At(const Rig& rig, std::int64_t joint) { return rig.restGlobals[std::size_t(joint)].off; }
bool NonZero(const Vector& v, double tiny) { return Length(v) > tiny; }
bool Within(const std::vector<std::int64_t>& ends, std::int64_t root, std::int64_t joint) {
  return joint > root && joint < ends[std::size_t(root)];
}

// Each joint's place along a line of joints and its end, 0 to 1; empty when
// the line has no length.
std::vector<double> Places(const Rig& rig, const std::vector<std::int64_t>& joints, std::int64_t end) {
  std::vector<double> at(joints.size(), 0.0);
  double total = 0.0;
  for (std::size_t i = 1; i <= joints.size(); ++i) {
    if (i == joints.size() && end < 0) break;
    const std::int64_t next = i < joints.size() ? joints[i] : end;
    total += Length(Subtract(At(rig, next), At(rig, joints[i - 1])));
    if (i < joints.size()) at[i] = total;
  }
  if (!(total > kTiny)) return {};
  for (double& place : at) place /= total;
  return at;
}

// The direction a chain is aligned by: from its first joint to its last when
// both rigs' chains have two joints apart, else to the chain's end.
void ChainDirections(const Chain& chain, const Rig& source, const Rig& target, Vector& fromSource, Vector& fromTarget) {
  const Vector s0 = At(source, chain.source.front()), t0 = At(target, chain.target.front());
  fromSource = Subtract(At(source, chain.source.back()), s0);
  fromTarget = Subtract(At(target, chain.target.back()), t0);
  if (NonZero(fromSource, TinyLength(source)) && NonZero(fromTarget, TinyLength(target))) return;
  fromSource = chain.sourceEnd < 0 ? Vector{} : Subtract(At(source, chain.sourceEnd), s0);
  fromTarget = chain.targetEnd < 0 ? Vector{} : Subtract(At(target, chain.targetEnd), t0);
}

}  // namespace

namespace {

// Whether target joint j qualifies to end a bone: paired, with an own
// offset that is not zero on both rigs.
struct Qualifies {
  const Rig& source;
  const Rig& target;
  const std::vector<std::int64_t>& sourceOfTarget;
  double sourceTiny = TinyLength(source), targetTiny = TinyLength(target);

  bool operator()(std::size_t j) const {
    const std::int64_t s = sourceOfTarget[j];
    return s >= 0 && NonZero(target.skeleton.joints[j].Offset(), targetTiny) &&
           NonZero(source.skeleton.joints[std::size_t(s)].Offset(), sourceTiny);
  }
};

// Per target joint its first qualifying descendant or -1, and how many of
// its children's subtrees hold one.
void FirstQualifying(const Rig& source, const Rig& target, const std::vector<std::int64_t>& sourceOfTarget,
                     std::vector<std::int64_t>& first, std::vector<int>& branches) {
  const std::vector<Joint>& joints = target.skeleton.joints;
  const std::size_t n = joints.size();
  const Qualifies qualifies{source, target, sourceOfTarget};
  // Children are visited last to first, so the first child with one has
  // the last word.
  first.assign(n, -1);
  branches.assign(n, 0);
  for (std::size_t j = n; j-- > 1;) {
    const std::int64_t parent = joints[j].parent;
    if (parent < 0) continue;
    const std::int64_t candidate = qualifies(j) ? std::int64_t(j) : first[j];
    if (candidate < 0) continue;
    first[std::size_t(parent)] = candidate;
    ++branches[std::size_t(parent)];
  }
}

// The aligned global rotation of joint t, and its local one under the
// aligned parent; the offset stays the target's.
void SetAligned(AlignedRest& aligned, const Rig& target, std::size_t t, const std::vector<Matrix>& corrections) {
  const std::int64_t parent = target.skeleton.joints[t].parent;
  const Matrix global = Multiply3x3(corrections[t], target.restGlobals[t]);
  const Matrix parentGlobal = parent < 0 ? Matrix{} : aligned.globals[std::size_t(parent)];
  Matrix local = Multiply3x3(Inverse3x3(parentGlobal), global);
  local.off = target.restLocals[t].off;
  aligned.locals[t] = local;
  aligned.globals[t] = Multiply(parentGlobal, local);
}

}  // namespace

double TinyLength(const Rig& rig) noexcept {
  double reach = 0.0;
  for (std::size_t j = 1; j < rig.restGlobals.size(); ++j)
    reach = std::max(reach, Length(Subtract(rig.restGlobals[j].off, rig.restGlobals[0].off)));
  return std::max(kTiny, 1e-6 * reach);
}

Outcome<std::vector<std::int64_t>> BoneEnds(const Rig& source, const Rig& target,
                                            const std::vector<std::int64_t>& sourceOfTarget) {
  try {
    Outcome<std::vector<std::int64_t>> sourceEnds = SubtreeEnds(source.skeleton);
    if (!sourceEnds) return sourceEnds;
    std::vector<std::int64_t> first;
    std::vector<int> branches;
    FirstQualifying(source, target, sourceOfTarget, first, branches);
    std::vector<std::int64_t> ends(first.size(), -1);
    for (std::size_t t = 0; t < first.size(); ++t) {
      const std::int64_t s = sourceOfTarget[t], d = first[t];
      if (s >= 0 && d >= 0 && Within(sourceEnds.value(), s, sourceOfTarget[std::size_t(d)])) ends[t] = d;
    }
    return ends;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<std::vector<Chain>> FindChains(const Rig& source, const Rig& target,
                                       const std::vector<std::int64_t>& sourceOfTarget,
                                       const std::vector<std::string>& bodyParts) {
  try {
    RETARGET_ASSIGN(std::vector<std::int64_t> sourceEnds, SubtreeEnds(source.skeleton));
    RETARGET_ASSIGN(std::vector<std::int64_t> targetEnds, SubtreeEnds(target.skeleton));
    auto isLine = [](const Rig& rig, const std::vector<std::int64_t>& joints, const std::vector<std::int64_t>& ends) {
      for (std::size_t i = 0; i < joints.size(); ++i) {
        if (rig.skeleton.joints[std::size_t(joints[i])].parent < 0) return false;
        if (i > 0 && !Within(ends, joints[i - 1], joints[i])) return false;
      }
      return !joints.empty();
    };
    std::vector<Chain> chains;
    for (const std::string& name : bodyParts) {
      const int part = FindStandardBodyPart(name);
      if (part < 0) continue;
      Chain chain;
      chain.bodyPart = name;
      chain.source = source.parts.joints[std::size_t(part)];
      chain.target = target.parts.joints[std::size_t(part)];
      if (chain.source.size() == chain.target.size() || !isLine(source, chain.source, sourceEnds) ||
          !isLine(target, chain.target, targetEnds))
        continue;
      // The end: the first paired joint below the chain whose partner lies
      // below the source chain.
      const std::int64_t last = chain.target.back();
      for (std::int64_t t = last + 1; t < targetEnds[std::size_t(last)]; ++t) {
        const std::int64_t s = sourceOfTarget[std::size_t(t)];
        if (s >= 0 && Within(sourceEnds, chain.source.back(), s)) {
          chain.targetEnd = t;
          chain.sourceEnd = s;
          break;
        }
      }
      chain.sourceAt = Places(source, chain.source, chain.sourceEnd);
      chain.targetAt = Places(target, chain.target, chain.targetEnd);
      if (chain.sourceAt.empty() || chain.targetAt.empty()) continue;
      chains.push_back(std::move(chain));
    }
    return chains;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

namespace {

// For a joint with bones below several children: the sum of b * a^T over
// those bones, a the target's direction and b the source's. A child that
// does not qualify stands for the first qualifying joints below it, which
// share one bone's weight: both legs below a hips joint of no length
// count, not the first alone, which biased the fit toward one side.
// The counts of those bones go in `bones`.
Outcome<void> Correlate(const Rig& source, const Rig& target, const std::vector<std::int64_t>& sourceOfTarget,
                        const std::vector<std::int64_t>& first, const std::vector<int>& branches,
                        std::vector<Matrix>& correlation, std::vector<int>& bones) {
  RETARGET_ASSIGN(std::vector<std::int64_t> sourceEnds, SubtreeEnds(source.skeleton));
  RETARGET_ASSIGN(std::vector<std::int64_t> targetEnds, SubtreeEnds(target.skeleton));
  const std::size_t n = target.skeleton.joints.size();
  const Qualifies qualifies{source, target, sourceOfTarget};
  const double sourceTiny = qualifies.sourceTiny, targetTiny = qualifies.targetTiny;
  std::vector<std::int64_t> below;
  std::int64_t budget = 8 * std::int64_t(n) + 64;
  for (std::size_t j = 1; j < n; ++j) {
    const std::int64_t parent = target.skeleton.joints[j].parent;
    if (parent < 0 || branches[std::size_t(parent)] < 2) continue;
    const std::int64_t s = sourceOfTarget[std::size_t(parent)];
    if (s < 0) continue;
    auto add = [&](std::int64_t d, double share) {
      if (!Within(sourceEnds, s, sourceOfTarget[std::size_t(d)])) return;
      const Vector a = Subtract(At(target, d), At(target, parent));
      const Vector b = Subtract(At(source, sourceOfTarget[std::size_t(d)]), At(source, s));
      if (!NonZero(a, targetTiny) || !NonZero(b, sourceTiny)) return;
      const Vector u = Scale(a, 1.0 / Length(a)), v = Scale(b, share / Length(b));
      Matrix& c = correlation[std::size_t(parent)];
      c.v1 = Add(c.v1, Scale(v, u.x));
      c.v2 = Add(c.v2, Scale(v, u.y));
      c.v3 = Add(c.v3, Scale(v, u.z));
      ++bones[std::size_t(parent)];
    };
    if (qualifies(j)) {
      add(std::int64_t(j), 1.0);
      continue;
    }
    // Joints of no length nested under each other could make these looks
    // quadratic in the joints; past a budget linear in them, a child stands
    // for its first qualifying joint alone.
    below.clear();
    for (std::int64_t d = std::int64_t(j) + 1; d < targetEnds[j] && budget > 0; --budget)
      if (qualifies(std::size_t(d))) {
        below.push_back(d);
        d = targetEnds[std::size_t(d)];
      } else {
        ++d;
      }
    if (budget <= 0) {
      if (first[j] >= 0) add(first[j], 1.0);
      continue;
    }
    for (const std::int64_t d : below) add(d, 1.0 / double(below.size()));
  }
  return {};
}

}  // namespace

Outcome<AlignedRest> AlignRest(const Rig& source, const Rig& target, const std::vector<std::int64_t>& sourceOfTarget,
                               const std::vector<Chain>& chains) {
  try {
    RETARGET_ASSIGN(std::vector<std::int64_t> ends, BoneEnds(source, target, sourceOfTarget));
    std::vector<std::int64_t> first;
    std::vector<int> branches;
    FirstQualifying(source, target, sourceOfTarget, first, branches);
    const std::size_t n = target.skeleton.joints.size();
    std::vector<Matrix> correlation(n, kZeroMatrix);
    std::vector<int> bones(n, 0);
    RETARGET_TRY(Correlate(source, target, sourceOfTarget, first, branches, correlation, bones));
    // Chain joints: -1 for none, else the chain; the first joint is marked
    // by the chain's index plus the count of chains.
    std::vector<std::int64_t> chainOf(n, -1);
    for (std::size_t c = 0; c < chains.size(); ++c)
      for (std::size_t i = 0; i < chains[c].target.size(); ++i)
        chainOf[std::size_t(chains[c].target[i])] = std::int64_t(c + (i == 0 ? chains.size() : 0));

    AlignedRest aligned;
    aligned.locals.resize(n);
    aligned.globals.resize(n);
    std::vector<Matrix> corrections(n);
    for (std::size_t t = 0; t < n; ++t) {
      const std::int64_t parent = target.skeleton.joints[t].parent;
      const Matrix parentCorrection = parent < 0 ? Matrix{} : corrections[std::size_t(parent)];
      Vector fromSource, fromTarget;
      const std::int64_t s = sourceOfTarget[t], chain = chainOf[t];
      if (chain >= std::int64_t(chains.size())) {
        ChainDirections(chains[std::size_t(chain) - chains.size()], source, target, fromSource, fromTarget);
      } else if (chain < 0 && bones[t] >= 2) {
        // The rotation that best fits all the bones below it.
        const Matrix fit = FitRotation(Multiply3x3(correlation[t], Transposed(parentCorrection)));
        corrections[t] = Multiply3x3(fit, parentCorrection);
        SetAligned(aligned, target, t, corrections);
        continue;
      } else if (chain < 0 && s >= 0 && ends[t] >= 0) {
        const std::int64_t d = ends[t];
        fromTarget = Subtract(At(target, d), At(target, std::int64_t(t)));
        fromSource = Subtract(At(source, sourceOfTarget[std::size_t(d)]), At(source, s));
      }
      corrections[t] =
          Multiply3x3(RotationBetween(TransformVector(parentCorrection, fromTarget), fromSource), parentCorrection);
      SetAligned(aligned, target, t, corrections);
    }
    return aligned;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
