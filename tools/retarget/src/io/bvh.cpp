#include "norvo/retarget/io/bvh.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <new>
#include <numbers>
#include <vector>

#include "fixedsix.h"
#include "norvo/retarget/base/textfile.h"
#include "../largeblock.h"
#include "../parallel.h"

namespace norvo::retarget {

namespace {

constexpr double kDegrees = 180.0 / std::numbers::pi;
constexpr double kRadians = std::numbers::pi / 180.0;

const Vector& Column(const Matrix& m, int c) noexcept { return c == 0 ? m.v1 : c == 1 ? m.v2 : m.v3; }
Vector& Column(Matrix& m, int c) noexcept { return c == 0 ? m.v1 : c == 1 ? m.v2 : m.v3; }
double Get(const Vector& v, int r) noexcept { return r == 0 ? v.x : r == 1 ? v.y : v.z; }
double& Get(Vector& v, int r) noexcept { return r == 0 ? v.x : r == 1 ? v.y : v.z; }
// Row r, column c of the 3x3 part.
double At(const Matrix& m, int r, int c) noexcept { return Get(Column(m, c), r); }

// The rotation by `radians` about axis 0, 1 or 2.
Matrix AxisRotation(int axis, double radians) noexcept {
  const double s = std::sin(radians), c = std::cos(radians);
  Matrix m;
  const int j = (axis + 1) % 3, k = (axis + 2) % 3;
  Get(Column(m, j), j) = c;
  Get(Column(m, j), k) = s;
  Get(Column(m, k), j) = -s;
  Get(Column(m, k), k) = c;
  return m;
}

// A joint's local matrix from its own channel values: T(offset + positions)
// times the rotations in channel order.
Matrix LocalFromChannels(const Joint& joint, const double* values) noexcept {
  Matrix local;
  local.off = joint.Offset();
  int axes[3] = {0, 1, 2};
  double angles[3] = {0, 0, 0};
  int n = 0;
  for (std::size_t c = 0; c < joint.format.channels.size(); ++c) {
    const Channel channel = joint.format.channels[c];
    if (IsRotation(channel)) {
      axes[n] = ChannelAxis(channel);
      angles[n++] = values[c];
    } else {
      Get(local.off, ChannelAxis(channel)) += values[c];
    }
  }
  const Matrix rotation = RotationFromEuler(axes, angles);
  local.v1 = rotation.v1;
  local.v2 = rotation.v2;
  local.v3 = rotation.v3;
  return local;
}

// `angle` plus the whole turns that bring it closest to `near`.
double Nearest(double angle, double near) noexcept { return angle - 360.0 * std::round((angle - near) / 360.0); }

// Where a joint's channels put its three angles: the axis of each, and the
// channel that holds it.
struct AngleChannels {
  int axes[3] = {0, 1, 2};
  int at[3] = {0, 0, 0};
};
AngleChannels AnglesOf(const std::vector<Channel>& channels) noexcept {
  AngleChannels angles;
  for (int c = 0, n = 0; c < int(channels.size()); ++c)
    if (IsRotation(channels[std::size_t(c)]) && n < 3) {
      angles.axes[n] = ChannelAxis(channels[std::size_t(c)]);
      angles.at[n++] = c;
    }
  return angles;
}

// A joint's channel values from its local matrix, its angles as the
// rotation gives them (KeepNear then moves them near the frame before's).
void ChannelsFromLocal(const Joint& joint, const std::vector<Channel>& channels, const AngleChannels& where,
                       const Matrix& local, double* values) noexcept {
  double angles[3];
  EulerFromRotation(local, where.axes, angles);
  int n = 0;
  for (std::size_t c = 0; c < channels.size(); ++c) {
    const Channel channel = channels[c];
    const int axis = ChannelAxis(channel);
    values[c] = IsRotation(channel) ? angles[n++] : Get(local.off, axis) - Get(joint.Offset(), axis);
  }
}

// A joint's angles moved to those of the same rotation nearest the frame
// before's values.
void KeepNear(const AngleChannels& where, double* values, const double* before) noexcept {
  const int* rotation = where.at;
  double angles[3] = {values[rotation[0]], values[rotation[1]], values[rotation[2]]};
  // Every rotation also has the angles (a + 180, 180 - b, c + 180).
  double other[3] = {angles[0] + 180.0, 180.0 - angles[1], angles[2] + 180.0};
  double distance[2] = {0.0, 0.0};
  for (int i = 0; i < 3; ++i) {
    angles[i] = Nearest(angles[i], before[rotation[i]]);
    other[i] = Nearest(other[i], before[rotation[i]]);
    distance[0] += std::abs(angles[i] - before[rotation[i]]);
    distance[1] += std::abs(other[i] - before[rotation[i]]);
  }
  const double* chosen = distance[1] < distance[0] ? other : angles;
  for (int i = 0; i < 3; ++i) values[rotation[i]] = chosen[i];
}

}  // namespace

bool IsChannelLayout(const std::vector<Channel>& channels) noexcept {
  if (channels.size() != 3 && channels.size() != 6) return false;
  bool seen[6] = {};
  for (std::size_t c = 0; c < channels.size(); ++c) {
    if (seen[int(channels[c])]) return false;
    seen[int(channels[c])] = true;
  }
  return seen[3] && seen[4] && seen[5];
}

bool IsJointName(std::string_view name) noexcept {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; };
  return !name.empty() && name.find('\n') == std::string_view::npos && !blank(name.front()) && !blank(name.back());
}

std::string JointNames::Take(std::string text, const std::string& none) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = '_';
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && blank(text[start])) ++start;
  text.erase(0, start);
  if (text.empty()) text = none;
  std::string unique = text;
  for (int k = 2; taken_.contains(unique); ++k) unique = text + "_" + std::to_string(k);
  taken_.insert(unique);
  return unique;
}

namespace {

using C = Channel;
const std::vector<Channel> kRootChannels = {C::Xposition, C::Yposition, C::Zposition,
                                            C::Zrotation, C::Yrotation, C::Xrotation};
const std::vector<Channel> kJointChannels = {C::Zrotation, C::Yrotation, C::Xrotation};

// The channels a joint is written with.
const std::vector<Channel>& LayoutOf(const Joint& joint) noexcept {
  if (IsChannelLayout(joint.format.channels)) return joint.format.channels;
  return joint.parent < 0 ? kRootChannels : kJointChannels;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits off the first word of `rest`; `rest` keeps the trimmed remainder.
std::string_view NextWord(std::string_view& rest) noexcept {
  rest = Trim(rest);
  std::size_t end = 0;
  while (end < rest.size() && !IsBlank(rest[end])) ++end;
  std::string_view word = rest.substr(0, end);
  rest = Trim(rest.substr(end));
  return word;
}

// A line quoted in a failure, shortened when long.
std::string Quote(std::string_view line) {
  return "'" + (line.size() > 40 ? Excerpt(line, 37) : std::string(line)) + "'";
}

enum class NumberStatus { Ok, NotANumber, NotFinite };

NumberStatus ParseNumber(std::string_view word, double& out) noexcept {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  const char* end = word.data() + word.size();
  auto [ptr, ec] = std::from_chars(word.data(), end, out);
  if (word.empty() || ptr != end) return NumberStatus::NotANumber;
  if (ec == std::errc::result_out_of_range || !std::isfinite(out)) return NumberStatus::NotFinite;
  if (ec != std::errc()) return NumberStatus::NotANumber;
  return NumberStatus::Ok;
}

// The non-blank lines of a text, trimmed, with their numbers.
class Lines {
 public:
  explicit Lines(std::string_view text) : text_(text) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") text_.remove_prefix(3);
  }
  bool Next(std::string_view& line) {
    while (pos_ < text_.size()) {
      std::size_t end = text_.find('\n', pos_);
      if (end == std::string_view::npos) end = text_.size();
      line = Trim(text_.substr(pos_, end - pos_));
      pos_ = end + 1;
      ++number_;
      if (!line.empty()) return true;
    }
    return false;
  }
  std::int64_t Number() const { return number_; }
  std::size_t Remaining() const { return pos_ < text_.size() ? text_.size() - pos_ : 0; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::int64_t number_ = 0;
};

// A block of the hierarchy that is open: a joint, or an End Site of a joint.
struct Open {
  std::int64_t joint;
  bool endSite;
  bool hasOffset = false;
  bool hasChannels = false;
  bool hasChildren = false;
  Vector endSiteOffset;
};

class Parser {
 public:
  Parser(std::string_view text, const std::string& fileName, const BvhLimits& limits)
      : lines_(text), file_(fileName), limits_(limits) {}

  Outcome<Motion> Run(std::int64_t* unread) {
    RETARGET_TRY(Hierarchy());
    RETARGET_TRY(Frames());
    if (unread) *unread = unread_;
    return std::move(motion_);
  }

 private:
  Failure Fail(std::string message) { return Fail(std::move(message), lines_.Number()); }
  Failure Fail(std::string message, std::int64_t line) {
    return MakeFailure(FailureKind::BadInput, std::move(message), file_, line);
  }

  std::string What(const Open& open) const {
    const std::string& name = motion_.skeleton.joints[std::size_t(open.joint)].name;
    return open.endSite ? "the End Site of " + name : "joint " + name;
  }

  // What is wrong with a word that is no finite number, at `line`.
  Failure NoNumber(std::string_view word, NumberStatus status, std::int64_t line) {
    return Fail(Quote(word) + (status == NumberStatus::NotFinite ? " is not a finite number" : " is not a number"),
                line);
  }

  Outcome<void> Number(std::string_view word, double& out) {
    const NumberStatus status = ParseNumber(word, out);
    if (status != NumberStatus::Ok) return NoNumber(word, status, lines_.Number());
    return {};
  }

  // Opens the block of a JOINT or End Site line whose '{' has been read.
  Outcome<void> OpenBlock(std::vector<Open>& stack, bool endSite, std::string& name) {
    if (std::int64_t(stack.size()) >= limits_.depth)
      return Fail("the hierarchy nests deeper than the limit of " + std::to_string(limits_.depth) + " levels");
    if (endSite) {
      stack.push_back(Open{stack.back().joint, true, false, false, false, Vector{}});
    } else {
      if (std::int64_t(motion_.skeleton.joints.size()) >= limits_.joints)
        return Fail("the hierarchy has more joints than the limit of " + std::to_string(limits_.joints));
      Joint joint;
      joint.name = std::move(name);
      joint.parent = stack.empty() ? -1 : stack.back().joint;
      motion_.skeleton.joints.push_back(std::move(joint));
      stack.push_back(Open{std::int64_t(motion_.skeleton.joints.size()) - 1, false, false, false, false, Vector{}});
    }
    return {};
  }

  Outcome<void> Hierarchy() {
    std::string_view line;
    if (!lines_.Next(line)) return Fail("expected HIERARCHY, found an empty file");
    if (line != "HIERARCHY") return Fail("expected HIERARCHY, found " + Quote(line));
    if (!lines_.Next(line)) return Fail("expected ROOT, found the end of the file");
    std::string_view rest = line;
    if (NextWord(rest) != "ROOT") return Fail("expected ROOT, found " + Quote(line));
    if (rest.empty()) return Fail("ROOT needs a name");

    std::vector<Open> stack;
    // A JOINT or End Site line read, whose '{' comes next.
    bool pending = true;
    bool pendingEndSite = false;
    std::string pendingName(rest);
    while (pending || !stack.empty()) {
      if (!lines_.Next(line)) {
        if (pending)
          return Fail("the file ends after " + (pendingEndSite ? std::string("End Site") : "JOINT " + pendingName) +
                      ": expected '{'");
        return Fail("the file ends inside " + What(stack.back()) + ": expected '}'");
      }
      if (pending) {
        if (line != "{") {
          std::string header = pendingEndSite ? "End Site" : (stack.empty() ? "ROOT " : "JOINT ") + pendingName;
          return Fail("expected '{' after " + header + ", found " + Quote(line));
        }
        pending = false;
        RETARGET_TRY(OpenBlock(stack, pendingEndSite, pendingName));
        continue;
      }
      Open& top = stack.back();
      rest = line;
      std::string_view word = NextWord(rest);
      if (word == "OFFSET") {
        if (top.hasOffset) return Fail("a second OFFSET in " + What(top));
        Vector offset;
        RETARGET_TRY(Numbers(rest, "OFFSET", offset));
        if (top.endSite) top.endSiteOffset = offset;
        else motion_.skeleton.joints[std::size_t(top.joint)].rest.off = offset;
        top.hasOffset = true;
      } else if (word == "CHANNELS") {
        if (top.endSite) return Fail("an End Site has no CHANNELS");
        if (top.hasChannels) return Fail("a second CHANNELS in " + What(top));
        if (top.hasChildren) return Fail("the CHANNELS of " + What(top) + " must come before its first JOINT");
        RETARGET_TRY(Channels(rest, motion_.skeleton.joints[std::size_t(top.joint)]));
        top.hasChannels = true;
      } else if (word == "JOINT" || (word == "End" && rest == "Site")) {
        if (top.endSite) return Fail("expected OFFSET or '}' in " + What(top) + ", found " + Quote(line));
        pendingEndSite = word == "End";
        if (!pendingEndSite && rest.empty()) return Fail("JOINT needs a name");
        pendingName = std::string(rest);
        pending = true;
        top.hasChildren = true;
      } else if (line == "}") {
        if (!top.hasOffset) return Fail(What(top) + " has no OFFSET");
        if (top.endSite) {
          Vector offset = top.endSiteOffset;
          stack.pop_back();
          motion_.skeleton.joints[std::size_t(stack.back().joint)].endSites.push_back(offset);
          continue;
        }
        if (!top.hasChannels) return Fail(What(top) + " has no CHANNELS");
        stack.pop_back();
      } else if (top.endSite) {
        return Fail("expected OFFSET or '}' in " + What(top) + ", found " + Quote(line));
      } else {
        return Fail("expected OFFSET, CHANNELS, JOINT, End Site or '}' in " + What(top) + ", found " + Quote(line));
      }
    }
    return {};
  }

  Outcome<void> Numbers(std::string_view rest, const char* keyword, Vector& out) {
    double v[3];
    int count = 0;
    for (std::string_view word = NextWord(rest); !word.empty(); word = NextWord(rest)) {
      if (count == 3) return Fail(std::string(keyword) + " needs 3 numbers, found more");
      RETARGET_TRY(Number(word, v[count]));
      ++count;
    }
    if (count != 3) return Fail(std::string(keyword) + " needs 3 numbers, found " + std::to_string(count));
    out = {v[0], v[1], v[2]};
    return {};
  }

  Outcome<void> Channels(std::string_view rest, Joint& joint) {
    std::string_view countWord = NextWord(rest);
    if (countWord.empty()) return Fail("CHANNELS needs a count");
    int count = 0;
    auto [ptr, ec] = std::from_chars(countWord.data(), countWord.data() + countWord.size(), count);
    if (ec != std::errc() || ptr != countWord.data() + countWord.size())
      return Fail("CHANNELS needs a count, found " + Quote(countWord));
    if (count != 3 && count != 6) return Fail("the CHANNELS count must be 3 or 6, found " + Excerpt(countWord));
    bool seen[6] = {};
    for (std::string_view word = NextWord(rest); !word.empty(); word = NextWord(rest)) {
      if (int(joint.format.channels.size()) == count)
        return Fail("CHANNELS " + std::to_string(count) + " lists more channels");
      std::size_t index = 0;
      while (index < 6 && ChannelName(Channel(index)) != word) ++index;
      if (index == 6) return Fail("unknown channel " + Quote(word));
      if (seen[index]) return Fail("channel " + std::string(word) + " is listed twice");
      seen[index] = true;
      joint.format.channels.push_back(Channel(index));
    }
    if (int(joint.format.channels.size()) != count)
      return Fail("CHANNELS " + std::to_string(count) + " lists " + std::to_string(joint.format.channels.size()) +
                  " channels");
    if (!seen[3] || !seen[4] || !seen[5]) return Fail("CHANNELS 3 must be Xrotation, Yrotation and Zrotation");
    firstValue_.resize(motion_.skeleton.joints.size());
    firstValue_.back() = valueCount_;
    valueCount_ += count;
    return {};
  }

  Outcome<void> Frames() {
    std::string_view line;
    if (!lines_.Next(line)) return Fail("the file has no MOTION section");
    if (line == "ROOT" || line.substr(0, 5) == "ROOT ") return Fail("a second ROOT: one skeleton per file is read");
    if (line != "MOTION") return Fail("expected MOTION after the hierarchy, found " + Quote(line));

    if (!lines_.Next(line) || line.substr(0, 7) != "Frames:") return Fail("expected 'Frames: <count>' after MOTION");
    std::string_view countText = Trim(line.substr(7));
    std::int64_t frameCount = -1;
    auto [ptr, ec] = std::from_chars(countText.data(), countText.data() + countText.size(), frameCount);
    if (ec != std::errc() || ptr != countText.data() + countText.size() || frameCount < 0)
      return Fail("the frame count must be a whole number, found " + Quote(countText));
    if (frameCount > limits_.frames)
      return Fail("Frames says " + std::to_string(frameCount) + ", more than the limit of " +
                  std::to_string(limits_.frames) + " frames");
    std::int64_t framesLine = lines_.Number();

    if (!lines_.Next(line) || line.substr(0, 11) != "Frame Time:")
      return Fail("expected 'Frame Time: <seconds>' after Frames");
    std::string_view timeText = Trim(line.substr(11));
    RETARGET_TRY(Number(timeText, motion_.frameTime));
    if (motion_.frameTime < kShortestFrameTime)
      return Fail("the Frame Time must be at least 0.00001 seconds, found " + Quote(timeText));

    // The frame lines and their numbers first (as many as Frames says), so
    // that they can be read on two threads.
    std::vector<std::string_view> frameLines;
    std::vector<std::int64_t> numbers;
    const std::int64_t perFrame = valueCount_;
    // As many as the rest of the file can hold (a value and its separator
    // take two bytes at least).
    const std::int64_t fit = std::int64_t(lines_.Remaining() / std::size_t(2 * std::max<std::int64_t>(perFrame, 1)));
    frameLines.reserve(std::size_t(std::min(frameCount, fit + 1)));
    numbers.reserve(frameLines.capacity());
    while (std::int64_t(frameLines.size()) < frameCount && lines_.Next(line)) {
      frameLines.push_back(line);
      numbers.push_back(lines_.Number());
    }
    const std::size_t frames = frameLines.size();
    const std::size_t jointCount = motion_.skeleton.joints.size();
    motion_.locals.reserve(frames * jointCount);
    const LargeBlock block(motion_.locals.data(), motion_.locals.capacity() * sizeof(Matrix));
    motion_.locals.resize(frames * jointCount);
    // Each line on its own: the first that is not a frame line is read again
    // below to say why.
    std::atomic<std::size_t> firstBad{frames};
    std::vector<double> values[2] = {std::vector<double>(std::size_t(perFrame)),
                                     std::vector<double>(std::size_t(perFrame))};
    ForEachRun(frames, [&](std::size_t begin, std::size_t end, int worker) {
      double* v = values[worker].data();
      for (std::size_t f = begin; f < end; ++f) {
        const FrameScan scan = ScanFrameLine(frameLines[f], v);
        if (scan.status != NumberStatus::Ok || scan.words != perFrame) {
          for (std::size_t bad = firstBad.load(); f < bad && !firstBad.compare_exchange_weak(bad, f);) {
          }
          return;
        }
        Matrix* locals = motion_.locals.data() + f * jointCount;
        for (std::size_t j = 0; j < jointCount; ++j)
          locals[j] = LocalFromChannels(motion_.skeleton.joints[j], v + firstValue_[j]);
      }
    });
    if (const std::size_t f = firstBad.load(); f < frames) {
      const FrameScan scan = ScanFrameLine(frameLines[f], values[0].data());
      if (scan.status != NumberStatus::Ok) return NoNumber(scan.word, scan.status, numbers[f]);
      return Fail("a frame line with " + std::to_string(scan.words) + " values; the hierarchy has " +
                      std::to_string(perFrame) + " channels",
                  numbers[f]);
    }
    if (std::int64_t(frames) < frameCount)
      return Fail("Frames says " + std::to_string(frameCount) + ", but the file holds " + std::to_string(frames) +
                      " frame lines",
                  framesLine);
    // Other readers take the frames declared; the lines past them are
    // counted, not read.
    while (lines_.Next(line)) ++unread_;
    return {};
  }

  // A frame line read into `values`: how its numbers read, the first word
  // that is no finite number, and how many words it holds (those past the
  // channels are counted, not read).
  struct FrameScan {
    NumberStatus status = NumberStatus::Ok;
    std::string_view word;
    std::int64_t words = 0;
  };
  FrameScan ScanFrameLine(std::string_view line, double* values) const noexcept {
    FrameScan scan;
    std::string_view rest = line;
    for (std::string_view word = NextWord(rest); !word.empty(); word = NextWord(rest), ++scan.words) {
      if (scan.words >= valueCount_) continue;
      scan.status = ParseNumber(word, values[scan.words]);
      if (scan.status != NumberStatus::Ok) {
        scan.word = word;
        return scan;
      }
    }
    return scan;
  }

  Lines lines_;
  const std::string& file_;
  const BvhLimits& limits_;
  Motion motion_;
  std::int64_t unread_ = 0;               // frame lines past the frames declared
  std::vector<std::int64_t> firstValue_;  // per joint, its first value in a frame line
  std::int64_t valueCount_ = 0;           // values in a frame line
};

// Indentation: one tab a level, at most 32, so that deep hierarchies do not
// make the text grow with the square of their depth.
std::string Indent(std::size_t depth) { return std::string(depth < 32 ? depth : 32, '\t'); }

// Six decimals; a value that prints as zero prints without a sign. The
// buffer holds the largest finite double in full (309 digits), so every
// value read is written and reads back.
void AppendNumber(std::string& out, double value) {
  char buffer[320];
  if (const std::size_t length = FormatFixedSix(buffer, value)) {
    out.append(buffer, length);
    return;
  }
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  std::string_view text(buffer, ec == std::errc() ? std::size_t(end - buffer) : 0);
  if (text == "-0.000000") text.remove_prefix(1);
  out.append(text);
}

void AppendOffset(std::string& out, const std::string& indent, const Vector& offset) {
  out += indent;
  out += "OFFSET ";
  AppendNumber(out, offset.x);
  out += ' ';
  AppendNumber(out, offset.y);
  out += ' ';
  AppendNumber(out, offset.z);
  out += '\n';
}

}  // namespace

Matrix RotationFromEuler(const int axes[3], const double degrees[3]) noexcept {
  return Multiply(Multiply(AxisRotation(axes[0], degrees[0] * kRadians), AxisRotation(axes[1], degrees[1] * kRadians)),
                  AxisRotation(axes[2], degrees[2] * kRadians));
}

void EulerFromRotation(const Matrix& m, const int axes[3], double degrees[3]) noexcept {
  // R = Ri(a) * Rj(b) * Rk(c). Row i of R does not depend on a: it holds
  // s*sin(b) at column k and cos(b) times (cos(c), -s*sin(c)) at columns i
  // and j, with s = 1 for a cyclic order (XYZ, YZX, ZXY), -1 otherwise.
  const int i = axes[0], j = axes[1], k = axes[2];
  const double s = (j - i + 3) % 3 == 1 ? 1.0 : -1.0;
  const double cosB = std::hypot(At(m, i, i), At(m, i, j));
  const double b = std::atan2(s * At(m, i, k), cosB);
  const double c = cosB > 1e-12 ? std::atan2(-s * At(m, i, j), At(m, i, i)) : 0.0;
  // What remains, R * Rk(-c) * Rj(-b), is the rotation about axis i.
  const Matrix rest = Multiply(Multiply(m, AxisRotation(k, -c)), AxisRotation(j, -b));
  const double a = std::atan2(s * At(rest, k, j), At(rest, j, j));
  degrees[0] = a * kDegrees;
  degrees[1] = b * kDegrees;
  degrees[2] = c * kDegrees;
}

Outcome<Motion> ParseBvh(std::string_view text, const std::string& fileName, const BvhLimits& limits,
                         std::int64_t* unreadLines) {
  try {
    if (unreadLines) *unreadLines = 0;
    if (std::uint64_t(text.size()) > std::uint64_t(std::max<std::int64_t>(limits.fileBytes, 0)))
      return TooLarge(limits.fileBytes, fileName);
    return Parser(text, fileName, limits).Run(unreadLines);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<Motion> ReadBvhFile(const std::string& path, const BvhLimits& limits, std::int64_t* unreadLines) {
  RETARGET_ASSIGN(const std::string text, ReadTextFile(path, limits.fileBytes));
  return ParseBvh(text, path, limits, unreadLines);
}

Outcome<Motion> MotionFromChannels(const Skeleton& skeleton, double frameTime, std::span<const double> values) {
  try {
    Motion motion;
    motion.skeleton = skeleton;
    motion.frameTime = frameTime;
    std::vector<std::int64_t> first;
    std::int64_t perFrame = 0;
    for (const Joint& joint : skeleton.joints) {
      first.push_back(perFrame);
      perFrame += std::int64_t(LayoutOf(joint).size());
    }
    const std::size_t frames = perFrame ? values.size() / std::size_t(perFrame) : 0;
    motion.locals.reserve(frames * skeleton.joints.size());
    for (std::size_t f = 0; f < frames; ++f)
      for (std::size_t j = 0; j < skeleton.joints.size(); ++j)
        motion.locals.push_back(
            LocalFromChannels(skeleton.joints[j], values.data() + f * std::size_t(perFrame) + first[j]));
    return motion;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

// The text up to the frame lines: the hierarchy, MOTION, Frames and Frame
// Time; and per joint its first value in a frame line.
std::string HierarchyText(const Motion& motion, std::vector<std::int64_t>& first, std::int64_t& perFrame) {
  const std::vector<Joint>& joints = motion.skeleton.joints;
  std::string out = "HIERARCHY\n";
  std::vector<std::int64_t> open;  // joints whose '}' is still to come
  auto close = [&]() {
    const Joint& joint = joints[std::size_t(open.back())];
    std::string indent = Indent(open.size());
    for (const Vector& endSite : joint.endSites) {
      out += indent + "End Site\n" + indent + "{\n";
      AppendOffset(out, indent + '\t', endSite);
      out += indent + "}\n";
    }
    open.pop_back();
    out += Indent(open.size()) + "}\n";
  };
  for (std::size_t j = 0; j < joints.size(); ++j) {
    const Joint& joint = joints[j];
    while (!open.empty() && open.back() != joint.parent) close();
    std::string indent = Indent(open.size());
    out += indent + (open.empty() ? "ROOT " : "JOINT ") + joint.name + "\n" + indent + "{\n";
    AppendOffset(out, indent + '\t', joint.Offset());
    const std::vector<Channel>& channels = LayoutOf(joint);
    out += indent + "\tCHANNELS " + std::to_string(channels.size());
    for (Channel c : channels) (out += ' ') += ChannelName(c);
    out += '\n';
    open.push_back(std::int64_t(j));
    first.push_back(perFrame);
    perFrame += std::int64_t(channels.size());
  }
  while (!open.empty()) close();

  char time[64];
  auto [end, ec] = std::to_chars(time, time + sizeof time, motion.frameTime);
  out += "MOTION\nFrames: " + std::to_string(motion.FrameCount()) +
         "\nFrame Time: " + std::string(time, ec == std::errc() ? std::size_t(end - time) : 0) + "\n";
  return out;
}

// The channel values of frames [start, start + count) of `motion`, a frame
// line's worth each, their angles as the rotations give them.
void BlockValues(const Motion& motion, std::int64_t start, std::size_t count, std::span<const std::int64_t> first,
                 std::span<const AngleChannels> where, std::size_t width, double* values) {
  const std::vector<Joint>& joints = motion.skeleton.joints;
  ForEachRun(count, [&](std::size_t begin, std::size_t end, int) {
    for (std::size_t k = begin; k < end; ++k) {
      const std::span<const Matrix> locals = motion.Frame(start + std::int64_t(k));
      for (std::size_t j = 0; j < joints.size(); ++j)
        ChannelsFromLocal(joints[j], LayoutOf(joints[j]), where[j], locals[j],
                          values + k * width + std::size_t(first[j]));
    }
  });
}

// The lines of the first `count` frames of `values`; false when memory ran out.
bool BlockLines(const double* values, std::size_t count, std::size_t width, std::vector<std::string>& lines) {
  std::atomic<bool> outOfMemory{false};
  ForEachRun(count, [&](std::size_t begin, std::size_t end, int) {
    try {
      for (std::size_t k = begin; k < end; ++k) {
        std::string& line = lines[k];
        line.clear();
        for (std::size_t v = 0; v < width; ++v) {
          if (v) line += ' ';
          AppendNumber(line, values[k * width + v]);
        }
        line += '\n';
      }
    } catch (const std::bad_alloc&) {
      outOfMemory = true;
    }
  });
  return !outOfMemory;
}

Outcome<void> FormatBvhInPieces(const Motion& motion, const TextSink& put, std::int64_t maxBytes) {
  try {
    std::vector<std::int64_t> first;  // per joint, its first value in a frame line
    std::int64_t perFrame = 0;
    std::string out = HierarchyText(motion, first, perFrame);
    const std::vector<Joint>& joints = motion.skeleton.joints;
    std::vector<AngleChannels> where;  // per joint, where its channels put its angles
    for (const Joint& joint : joints) where.push_back(AnglesOf(LayoutOf(joint)));
    // A block of frames at a time: their values (on two threads where the
    // clip may have a second), each frame's angles moved near the frame
    // before's in order, then their lines (on two threads again), handed to
    // `put` in order about a megabyte at a time.
    const std::size_t width = std::size_t(perFrame);
    const std::size_t blockFrames = std::size_t(std::clamp<std::int64_t>(motion.FrameCount(), 1, 1024));
    std::vector<double> values(blockFrames * width), before(width);
    std::vector<std::string> lines(blockFrames);
    constexpr std::size_t kBlock = std::size_t(1) << 20;
    out.reserve(kBlock + 2 * (width + 1) * 16);
    std::int64_t given = 0;  // bytes already handed to `put`
    for (std::int64_t start = 0; start < motion.FrameCount(); start += std::int64_t(blockFrames)) {
      const std::size_t count =
          std::size_t(std::min<std::int64_t>(std::int64_t(blockFrames), motion.FrameCount() - start));
      BlockValues(motion, start, count, first, where, width, values.data());
      // A file that could not be read back is not written: the lines up to
      // the first frame with a value that is not finite.
      std::size_t good = count;
      for (std::size_t k = 0; k < count && good == count; ++k) {
        double* frame = values.data() + k * width;
        if (start + std::int64_t(k) > 0) {
          const double* last = k > 0 ? frame - width : before.data();
          for (std::size_t j = 0; j < joints.size(); ++j) KeepNear(where[j], frame + first[j], last + first[j]);
        }
        if (!std::all_of(frame, frame + width, [](double v) { return std::isfinite(v); })) good = k;
      }
      if (!BlockLines(values.data(), good, width, lines)) return OutOfMemory();
      for (std::size_t k = 0; k < good; ++k) {
        out += lines[k];
        if (given + std::int64_t(out.size()) > maxBytes)
          return MakeFailure(FailureKind::BadInput,
                             "the motion as BVH is larger than " + std::to_string(maxBytes) +
                                 " bytes, the most the BVH reader takes; write fewer frames (--frames A:B)");
        if (out.size() >= kBlock) {
          RETARGET_TRY(put(out));
          given += std::int64_t(out.size());
          out.clear();
        }
      }
      if (good < count)
        return MakeFailure(FailureKind::BadInput, "frame " + std::to_string(start + std::int64_t(good)) +
                                                      " has a value that is not a finite "
                                                      "number; nothing was written");
      std::copy_n(values.data() + (count - 1) * width, width, before.data());
    }
    return put(out);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<std::string> FormatBvh(const Motion& motion, std::int64_t maxBytes) {
  try {
    std::string text;
    RETARGET_TRY(FormatBvhInPieces(motion, AppendingTo(text), maxBytes));
    return text;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> WriteBvhFile(const Motion& motion, const std::string& path, std::int64_t maxBytes) {
  return WriteTextFile(path, [&](const TextSink& put) { return FormatBvhInPieces(motion, put, maxBytes); });
}

}  // namespace norvo::retarget
