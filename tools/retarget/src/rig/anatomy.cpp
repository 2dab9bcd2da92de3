#include "norvo/retarget/rig/anatomy.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <new>
#include <string>
#include <string_view>

#include "norvo/retarget/rig/preset.h"

namespace norvo::retarget {

namespace {

constexpr std::size_t kMostJoints = 4096;
constexpr std::size_t kMostPairs = 16;

double Norm(const Vector& v) { return std::sqrt(Dot(v, v)); }
Vector Unit(const Vector& v) {
  const double n = Norm(v);
  return n > 0.0 ? Scale(v, 1.0 / n) : Vector{};
}

std::string Lower(std::string_view text) {
  std::string out;
  for (const char c : text)
    if (std::isalnum(static_cast<unsigned char>(c))) out += char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// 0 for a name that marks the left side, 1 the right, -1 neither.
int SideOfName(std::string_view name) {
  const std::string lower = [&] {
    std::string s;
    for (const char c : name) s += char(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }();
  for (int side = 0; side < 2; ++side) {
    const std::string word = side == 0 ? "left" : "right";
    if (lower.find(word) != std::string::npos) return side;
  }
  // A side letter standing alone: "_l", ".L", " L ", "L_" at the start, or
  // a lower-case prefix before a capital ("lShldr").
  const auto separator = [](char c) { return c == '_' || c == '.' || c == ' ' || c == '-' || c == ':'; };
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = char(std::tolower(static_cast<unsigned char>(name[i])));
    if (c != 'l' && c != 'r') continue;
    const bool before = i == 0 || separator(name[i - 1]);
    const bool after = i + 1 == name.size() || separator(name[i + 1]);
    const bool prefix = i == 0 && i + 1 < name.size() && std::islower(static_cast<unsigned char>(name[i])) &&
                        std::isupper(static_cast<unsigned char>(name[i + 1]));
    if ((before && after) || prefix) return c == 'l' ? 0 : 1;
  }
  return -1;
}

// Words that name a body part's joints; a side's body parts share them.
struct Words {
  const char* part;  // without its side
  std::vector<std::string_view> words;
};
const std::vector<Words>& PartWords() {
  static const std::vector<Words> kWords = {
      {"Hips", {"hip", "pelvis", "root"}},
      {"Spine", {"spine", "abdomen", "back", "torso", "waist"}},
      {"Chest", {"chest", "spine", "torso", "thorax"}},
      {"Neck", {"neck"}},
      {"Head", {"head", "neck"}},
      {"Shoulder", {"clavicle", "collar", "shoulder"}},
      {"UpperArm", {"upperarm", "uparm", "arm", "shoulder", "shldr"}},
      {"ForeArm", {"forearm", "elbow", "lowerarm", "loarm"}},
      {"Hand", {"hand", "wrist"}},
      {"UpperLeg", {"hip", "thigh", "upleg", "upperleg"}},
      {"LowerLeg", {"knee", "shin", "calf", "leg"}},
      {"Foot", {"ankle", "foot"}},
      {"Toes", {"toe", "ball"}},
      {"Thumb", {"thumb"}},
      {"Index", {"index"}},
      {"Middle", {"middle"}},
      {"Ring", {"ring"}},
      {"Little", {"little", "pinky", "pinkie"}},
  };
  return kWords;
}

// Whether a name holds one of the words of a body part (its side left off).
bool Named(std::string_view name, std::string_view part) {
  const std::string lower = Lower(name);
  for (const Words& words : PartWords())
    if (part.ends_with(words.part))
      for (std::string_view word : words.words)
        if (lower.find(word) != std::string::npos) return true;
  return false;
}

class Shape {
 public:
  Shape(const Skeleton& skeleton, const std::vector<Matrix>& globals) : skeleton_(skeleton), globals_(globals) {
    const std::size_t n = skeleton.joints.size();
    children_.resize(n);
    ends_.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
      ends_[j] = std::int64_t(j) + 1;
      if (skeleton.joints[j].parent >= 0) children_[std::size_t(skeleton.joints[j].parent)].push_back(std::int64_t(j));
    }
    for (std::size_t j = n; j-- > 0;)
      if (skeleton.joints[j].parent >= 0) {
        std::int64_t& end = ends_[std::size_t(skeleton.joints[j].parent)];
        end = std::max(end, ends_[j]);
      }
    for (std::size_t j = 1; j < n; ++j) extent_ = std::max(extent_, Norm(Subtract(At(std::int64_t(j)), At(0))));
  }

  bool Run(AnatomyMap& map) {
    map.parts.assign(StandardBodyParts().size(), {});
    // A humanoid has a few dozen joints, a few hundred with a face rig; the
    // looks below scan subtrees, so a skeleton far larger is not searched.
    if (skeleton_.joints.size() < 10 || skeleton_.joints.size() > kMostJoints || !(extent_ > 0.0)) return false;
    const std::vector<Pair> pairs = Pairs();
    // Of every two pairs apart from each other, the legs hang down from
    // where they meet, away from where the other pair meets.
    double best = 0.5;
    for (const Pair& legs : pairs)
      for (const Pair& arms : pairs) {
        if (&legs == &arms || Inside(legs, arms.joint) || Inside(arms, legs.joint) || legs.joint == arms.joint)
          continue;
        const Vector up = Unit(Subtract(At(arms.joint), At(legs.joint)));
        if (!(Norm(up) > 0.0)) continue;
        double down = 0.0;
        for (const std::int64_t branch : {legs.a, legs.b}) {
          const Vector to = Subtract(At(Farthest(branch, At(legs.joint))), At(legs.joint));
          down -= Dot(to, up) / std::max(Norm(to), 1e-300) / 2.0;
        }
        if (down > best) {
          best = down;
          legs_ = legs;
          arms_ = arms;
          up_ = up;
        }
      }
    if (legs_.joint < 0) return false;
    return Limbs(map) && Trunk(map);
  }

 private:
  struct Pair {
    std::int64_t joint = -1, a = -1, b = -1;  // the joint they leave, and the two first joints
    double reach = 0.0;
  };

  Vector At(std::int64_t j) const { return globals_[std::size_t(j)].off; }
  bool Within(std::int64_t root, std::int64_t j) const { return j >= root && j < ends_[std::size_t(root)]; }
  bool Inside(const Pair& pair, std::int64_t j) const { return Within(pair.a, j) || Within(pair.b, j); }

  // The joint of a subtree farthest from a point.
  std::int64_t Farthest(std::int64_t root, const Vector& from) const {
    std::int64_t best = root;
    double far = -1.0;
    for (std::int64_t d = root; d < ends_[std::size_t(root)]; ++d) {
      const double distance = Norm(Subtract(At(d), from));
      if (distance > far) {
        far = distance;
        best = d;
      }
    }
    return best;
  }
  double Reach(std::int64_t root, const Vector& from) const { return Norm(Subtract(At(Farthest(root, from)), from)); }

  // Two children of a joint whose subtrees reach about as far, hold about
  // as many joints, and reach a fifth of the skeleton's extent.
  std::vector<Pair> Pairs() const {
    std::vector<Pair> pairs;
    std::vector<double> reach;
    for (std::size_t j = 0; j < children_.size(); ++j) {
      const std::vector<std::int64_t>& kids = children_[j];
      if (kids.size() < 2) continue;
      reach.clear();
      for (const std::int64_t kid : kids) reach.push_back(Reach(kid, At(std::int64_t(j))));
      for (std::size_t x = 0; x < kids.size(); ++x)
        for (std::size_t y = x + 1; y < kids.size(); ++y) {
          const double ra = reach[x], rb = reach[y];
          const double na = double(ends_[std::size_t(kids[x])] - kids[x]),
                       nb = double(ends_[std::size_t(kids[y])] - kids[y]);
          if (std::min(ra, rb) < 0.85 * std::max(ra, rb) || std::min(ra, rb) < 0.2 * extent_) continue;
          if (std::min(na, nb) < 0.6 * std::max(na, nb)) continue;
          pairs.push_back({std::int64_t(j), kids[x], kids[y], std::min(ra, rb)});
        }
    }
    // The limbs are among the farthest reaching pairs.
    std::stable_sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.reach > b.reach; });
    if (pairs.size() > kMostPairs) pairs.resize(kMostPairs);
    return pairs;
  }

  // The joints from `root` down to `end`, in order.
  std::vector<std::int64_t> Path(std::int64_t root, std::int64_t end) const {
    std::vector<std::int64_t> path;
    for (std::int64_t j = end; j >= 0; j = skeleton_.joints[std::size_t(j)].parent) {
      path.push_back(j);
      if (j == root) break;
    }
    std::reverse(path.begin(), path.end());
    return path;
  }

  // The roles along a leg; false when it has no thigh or no knee.
  bool Leg(std::int64_t branch, int side, AnatomyMap& map) {
    const std::vector<std::int64_t> q = Path(branch, Farthest(branch, At(legs_.joint)));
    const std::size_t n = q.size();
    const double length = Norm(Subtract(At(q.back()), At(q.front())));
    if (n < 3 || !(length > 0.0)) return false;
    auto height = [&](std::size_t i) { return Dot(At(q[i]), up_); };
    auto segment = [&](std::size_t i) { return Subtract(At(q[i + 1]), At(q[i])); };
    auto downward = [&](std::size_t i) { return -Dot(segment(i), up_) / std::max(Norm(segment(i)), 1e-300); };
    std::size_t hip = n, ankle = n - 1, toe = n;
    for (std::size_t i = 0; i + 1 < n && hip == n; ++i)
      if (Norm(segment(i)) > 0.25 * length && downward(i) > 0.5) hip = i;
    if (hip + 2 > n) return false;
    for (std::size_t i = hip + 1; i + 1 < n; ++i)
      if (Norm(segment(i)) > 0.02 * length && downward(i) < 0.8 &&
          height(i) < height(hip) - 0.5 * (height(hip) - height(n - 1))) {
        ankle = i;
        break;
      }
    std::size_t knee = n;
    double nearest = 1e300;
    const double middle = 0.5 * (height(hip) + height(ankle));
    for (std::size_t i = hip + 1; i < ankle; ++i)
      if (std::abs(height(i) - middle) < nearest) {
        nearest = std::abs(height(i) - middle);
        knee = i;
      }
    if (knee == n) return false;
    for (std::size_t i = ankle + 1; i < n && toe == n; ++i)
      if (Norm(Subtract(At(q[i]), At(q[ankle]))) > 0.02 * length) toe = i;
    const std::string s = side == 0 ? "Left" : "Right";
    Put(map, s + "UpperLeg", q, hip, knee);
    Put(map, s + "LowerLeg", q, knee, ankle);
    Put(map, s + "Foot", q, ankle, toe);
    if (toe < n) Put(map, s + "Toes", q, toe, n);
    if (toe < n) forward_ = Add(forward_, Subtract(At(q[toe]), At(q[ankle])));
    return true;
  }

  // The roles along an arm; false when it has no elbow.
  bool Arm(std::int64_t branch, int side, AnatomyMap& map) {
    const double reach = Reach(branch, At(arms_.joint));
    std::vector<std::int64_t> q = {branch};
    for (;;) {
      const std::int64_t at = q.back();
      // Fingers branch off near the arm's end; twist joints nearer its start.
      const bool far = Norm(Subtract(At(at), At(arms_.joint))) >= 0.65 * reach;
      if (children_[std::size_t(at)].empty() || (children_[std::size_t(at)].size() >= 2 && far)) break;
      std::int64_t next = children_[std::size_t(at)].front();
      for (const std::int64_t child : children_[std::size_t(at)])
        if (Reach(child, At(at)) > Reach(next, At(at))) next = child;
      q.push_back(next);
    }
    const std::size_t w = q.size() - 1;
    if (w < 2) return false;
    // The upper arm's start: where the upper arm comes out near 1.1 times
    // the forearm, the elbow being the joint nearest the middle.
    std::size_t shoulder = w, elbow = w;
    double cost = 1e300;
    for (std::size_t s = 0; s + 2 <= w; ++s) {
      const Vector middle = Scale(Add(At(q[s]), At(q[w])), 0.5);
      std::size_t e = s + 1;
      for (std::size_t i = s + 1; i < w; ++i)
        if (Norm(Subtract(At(q[i]), middle)) < Norm(Subtract(At(q[e]), middle))) e = i;
      const double upper = Norm(Subtract(At(q[e]), At(q[s]))), fore = Norm(Subtract(At(q[w]), At(q[e])));
      if (!(upper > 0.05 * reach) || !(fore > 0.05 * reach)) continue;
      const double c = std::abs(std::log(upper / fore / 1.1));
      if (c < cost) {
        cost = c;
        shoulder = s;
        elbow = e;
      }
    }
    if (shoulder == w) return false;
    const std::string s = side == 0 ? "Left" : "Right";
    if (shoulder > 0) Put(map, s + "Shoulder", q, shoulder - 1, shoulder);
    Put(map, s + "UpperArm", q, shoulder, elbow);
    Put(map, s + "ForeArm", q, elbow, w);
    Put(map, s + "Hand", q, w, w + 1);
    // Fingers by their names.
    for (const std::int64_t child : children_[std::size_t(q[w])])
      for (const char* finger : {"Thumb", "Index", "Middle", "Ring", "Little"}) {
        if (!Named(skeleton_.joints[std::size_t(child)].name, finger)) continue;
        std::vector<std::int64_t> chain = {child};
        while (!children_[std::size_t(chain.back())].empty()) chain.push_back(children_[std::size_t(chain.back())][0]);
        Put(map, s + finger, chain, 0, chain.size());
        break;
      }
    return true;
  }

  bool Limbs(AnatomyMap& map) {
    // The legs as the pair lists them, then their sides: across the way the
    // toes point, or by name.
    forward_ = {};
    if (!Leg(legs_.a, 0, map) || !Leg(legs_.b, 1, map)) return false;
    const Vector left = Cross(up_, Unit(Subtract(forward_, Scale(up_, Dot(forward_, up_)))));
    const double across =
        Dot(Subtract(At(Farthest(legs_.a, At(legs_.joint))), At(Farthest(legs_.b, At(legs_.joint)))), left);
    int swapped = -1;
    if (Norm(left) > 0.5 && std::abs(across) > 1e-6 * extent_) {
      swapped = across < 0.0;
    } else {
      const int named = SideOfName(skeleton_.joints[std::size_t(legs_.a)].name);
      if (named >= 0) swapped = named == 1;
    }
    if (swapped < 0) return false;
    if (swapped)
      for (const char* part : {"UpperLeg", "LowerLeg", "Foot", "Toes"})
        std::swap(map.parts[std::size_t(FindStandardBodyPart(std::string("Left") + part))],
                  map.parts[std::size_t(FindStandardBodyPart(std::string("Right") + part))]);
    // The arms by the same left, from the legs' sides.
    const Vector hipsLeft = Subtract(At(map.parts[std::size_t(FindStandardBodyPart("LeftUpperLeg"))].front()),
                                     At(map.parts[std::size_t(FindStandardBodyPart("RightUpperLeg"))].front()));
    const bool armsSwapped =
        Dot(Subtract(At(Farthest(arms_.a, At(arms_.joint))), At(Farthest(arms_.b, At(arms_.joint)))), hipsLeft) < 0.0;
    return Arm(arms_.a, armsSwapped ? 1 : 0, map) && Arm(arms_.b, armsSwapped ? 0 : 1, map);
  }

  bool Trunk(AnatomyMap& map) {
    std::int64_t base = legs_.joint, chest = arms_.joint;
    while (base >= 0 && !Within(base, chest)) base = skeleton_.joints[std::size_t(base)].parent;
    // The arms meet above the legs, never below them.
    if (base < 0 || base == chest) return false;
    std::vector<std::int64_t> hips = {base};
    if (legs_.joint != base) hips.push_back(legs_.joint);
    std::vector<std::int64_t> spine = Path(base, chest);
    spine.erase(spine.begin());
    spine.pop_back();
    map.parts[std::size_t(FindStandardBodyPart("Hips"))] = hips;
    if (spine.empty()) {
      map.parts[std::size_t(FindStandardBodyPart("Spine"))] = {chest};
    } else {
      map.parts[std::size_t(FindStandardBodyPart("Spine"))] = spine;
      map.parts[std::size_t(FindStandardBodyPart("Chest"))] = {chest};
    }
    // The neck: the other branch of the chest that reaches highest.
    std::int64_t neck = -1;
    double top = 0.0;
    for (const std::int64_t child : children_[std::size_t(chest)]) {
      if (child == arms_.a || child == arms_.b) continue;
      for (std::int64_t d = child; d < ends_[std::size_t(child)]; ++d) {
        const double high = Dot(Subtract(At(d), At(chest)), up_);
        if (high > top) {
          top = high;
          neck = child;
        }
      }
    }
    if (neck < 0) return true;
    std::vector<std::int64_t> chain = {neck};
    while (children_[std::size_t(chain.back())].size() == 1) chain.push_back(children_[std::size_t(chain.back())][0]);
    // A last joint that only marks the top of the head is not the head.
    const std::string last = Lower(skeleton_.joints[std::size_t(chain.back())].name);
    if (chain.size() >= 2 && children_[std::size_t(chain.back())].empty() &&
        (last.find("end") != std::string::npos || last.find("top") != std::string::npos ||
         last.find("nub") != std::string::npos || last.find("tip") != std::string::npos))
      chain.pop_back();
    map.parts[std::size_t(FindStandardBodyPart("Head"))] = {chain.back()};
    chain.pop_back();
    map.parts[std::size_t(FindStandardBodyPart("Neck"))] = chain;
    return true;
  }

  void Put(AnatomyMap& map, const std::string& part, const std::vector<std::int64_t>& q, std::size_t from,
           std::size_t to) const {
    std::vector<std::int64_t>& joints = map.parts[std::size_t(FindStandardBodyPart(part))];
    joints.assign(q.begin() + std::ptrdiff_t(from), q.begin() + std::ptrdiff_t(std::min(to, q.size())));
  }

  const Skeleton& skeleton_;
  const std::vector<Matrix>& globals_;
  std::vector<std::vector<std::int64_t>> children_;
  std::vector<std::int64_t> ends_;
  double extent_ = 0.0;
  Pair legs_, arms_;
  Vector up_, forward_;
};

}  // namespace

Outcome<AnatomyMap> MapAnatomy(const Skeleton& skeleton, const std::vector<Matrix>& globals) {
  try {
    AnatomyMap map;
    if (globals.size() != skeleton.joints.size()) return map;
    Shape shape(skeleton, globals);
    map.found = shape.Run(map);
    if (!map.found) {
      map.parts.assign(StandardBodyParts().size(), {});
      return map;
    }
    std::vector<bool> byName(skeleton.joints.size(), false), placed(skeleton.joints.size(), false);
    for (std::size_t p = 0; p < map.parts.size(); ++p)
      for (const std::int64_t j : map.parts[p]) {
        placed[std::size_t(j)] = true;
        if (Named(skeleton.joints[std::size_t(j)].name, StandardBodyParts()[p].identifier))
          byName[std::size_t(j)] = true;
      }
    for (std::size_t j = 0; j < skeleton.joints.size(); ++j)
      if (placed[j] && !byName[j]) map.byStructure.push_back(std::int64_t(j));
    return map;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
