#include "norvo/retarget/bvh.h"

#include <array>
#include <charconv>
#include <algorithm>
#include <cmath>
#include <new>

#include "norvo/retarget/textfile.h"

namespace norvo::retarget {

namespace {

constexpr std::array<std::string_view, 6> kChannelNames = {"Xposition", "Yposition", "Zposition",
                                                           "Xrotation", "Yrotation", "Zrotation"};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits off the first word of `rest`; `rest` keeps the trimmed remainder.
std::string_view NextWord(std::string_view& rest) {
  rest = Trim(rest);
  std::size_t end = 0;
  while (end < rest.size() && !IsBlank(rest[end])) ++end;
  std::string_view word = rest.substr(0, end);
  rest = Trim(rest.substr(end));
  return word;
}

// A line quoted in a failure, shortened when long.
std::string Quote(std::string_view line) {
  if (line.size() > 40) return "'" + std::string(line.substr(0, 37)) + "...'";
  return "'" + std::string(line) + "'";
}

enum class NumberStatus { Ok, NotANumber, NotFinite };

NumberStatus ParseNumber(std::string_view word, double& out) {
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

  Outcome<BvhClip> Run() {
    RETARGET_TRY(Hierarchy());
    RETARGET_TRY(Motion());
    return std::move(clip_);
  }

 private:
  Failure Fail(std::string message) { return Fail(std::move(message), lines_.Number()); }
  Failure Fail(std::string message, std::int64_t line) {
    return MakeFailure(FailureKind::BadInput, std::move(message), file_, line);
  }

  std::string What(const Open& open) const {
    const std::string& name = clip_.skeleton.joints[std::size_t(open.joint)].name;
    return open.endSite ? "the End Site of " + name : "joint " + name;
  }

  Outcome<void> Number(std::string_view word, double& out) {
    switch (ParseNumber(word, out)) {
      case NumberStatus::Ok:
        return {};
      case NumberStatus::NotANumber:
        return Fail(Quote(word) + " is not a number");
      case NumberStatus::NotFinite:
        return Fail(Quote(word) + " is not a finite number");
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
        if (std::int64_t(stack.size()) >= limits_.depth)
          return Fail("the hierarchy nests deeper than the limit of " + std::to_string(limits_.depth) + " levels");
        if (pendingEndSite) {
          stack.push_back(Open{stack.back().joint, true, false, false, false, Vector{}});
        } else {
          if (std::int64_t(clip_.skeleton.joints.size()) >= limits_.joints)
            return Fail("the hierarchy has more joints than the limit of " + std::to_string(limits_.joints));
          BvhJoint joint;
          joint.name = std::move(pendingName);
          joint.parent = stack.empty() ? -1 : stack.back().joint;
          clip_.skeleton.joints.push_back(std::move(joint));
          stack.push_back(Open{std::int64_t(clip_.skeleton.joints.size()) - 1, false, false, false, false, Vector{}});
        }
        continue;
      }
      Open& top = stack.back();
      rest = line;
      std::string_view word = NextWord(rest);
      if (word == "OFFSET") {
        if (top.hasOffset) return Fail("a second OFFSET in " + What(top));
        Vector offset;
        RETARGET_TRY(Numbers(rest, "OFFSET", offset));
        if (top.endSite)
          top.endSiteOffset = offset;
        else
          clip_.skeleton.joints[std::size_t(top.joint)].offset = offset;
        top.hasOffset = true;
      } else if (word == "CHANNELS") {
        if (top.endSite) return Fail("an End Site has no CHANNELS");
        if (top.hasChannels) return Fail("a second CHANNELS in " + What(top));
        if (top.hasChildren) return Fail("the CHANNELS of " + What(top) + " must come before its first JOINT");
        RETARGET_TRY(Channels(rest, clip_.skeleton.joints[std::size_t(top.joint)]));
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
          clip_.skeleton.joints[std::size_t(stack.back().joint)].endSites.push_back(offset);
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

  Outcome<void> Channels(std::string_view rest, BvhJoint& joint) {
    std::string_view countWord = NextWord(rest);
    if (countWord.empty()) return Fail("CHANNELS needs a count");
    int count = 0;
    auto [ptr, ec] = std::from_chars(countWord.data(), countWord.data() + countWord.size(), count);
    if (ec != std::errc() || ptr != countWord.data() + countWord.size())
      return Fail("CHANNELS needs a count, found " + Quote(countWord));
    if (count != 3 && count != 6) return Fail("the CHANNELS count must be 3 or 6, found " + std::string(countWord));
    bool seen[6] = {};
    for (std::string_view word = NextWord(rest); !word.empty(); word = NextWord(rest)) {
      if (int(joint.channels.size()) == count)
        return Fail("CHANNELS " + std::to_string(count) + " lists more channels");
      std::size_t index = 0;
      while (index < kChannelNames.size() && kChannelNames[index] != word) ++index;
      if (index == kChannelNames.size()) return Fail("unknown channel " + Quote(word));
      if (seen[index]) return Fail("channel " + std::string(word) + " is listed twice");
      seen[index] = true;
      joint.channels.push_back(Channel(index));
    }
    if (int(joint.channels.size()) != count)
      return Fail("CHANNELS " + std::to_string(count) + " lists " + std::to_string(joint.channels.size()) +
                  " channels");
    if (!seen[3] || !seen[4] || !seen[5]) return Fail("CHANNELS 3 must be Xrotation, Yrotation and Zrotation");
    joint.firstValue = clip_.skeleton.valueCount;
    clip_.skeleton.valueCount += count;
    return {};
  }

  Outcome<void> Motion() {
    std::string_view line;
    if (!lines_.Next(line)) return Fail("the file has no MOTION section");
    if (line == "ROOT" || line.substr(0, 5) == "ROOT ") return Fail("a second ROOT: one skeleton per file is read");
    if (line != "MOTION") return Fail("expected MOTION after the hierarchy, found " + Quote(line));

    if (!lines_.Next(line) || line.substr(0, 7) != "Frames:")
      return Fail("expected 'Frames: <count>' after MOTION");
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
    RETARGET_TRY(Number(timeText, clip_.frameTime));
    if (clip_.frameTime <= 0.0) return Fail("the Frame Time must be more than 0 seconds, found " + Quote(timeText));

    const std::int64_t perFrame = clip_.skeleton.valueCount;
    std::int64_t frames = 0;
    while (lines_.Next(line)) {
      if (frames == frameCount)
        return Fail("more frame lines than the " + std::to_string(frameCount) + " that Frames says");
      std::int64_t count = 0;
      std::string_view rest = line;
      for (std::string_view word = NextWord(rest); !word.empty(); word = NextWord(rest), ++count) {
        if (count >= perFrame) continue;  // counted, reported below
        double value = 0.0;
        RETARGET_TRY(Number(word, value));
        clip_.values.push_back(value);
      }
      if (count != perFrame)
        return Fail("a frame line with " + std::to_string(count) + " values; the hierarchy has " +
                    std::to_string(perFrame) + " channels");
      ++frames;
    }
    if (frames < frameCount)
      return Fail("Frames says " + std::to_string(frameCount) + ", but the file holds " + std::to_string(frames) +
                      " frame lines",
                  framesLine);
    return {};
  }

  Lines lines_;
  const std::string& file_;
  const BvhLimits& limits_;
  BvhClip clip_;
};

// Indentation: one tab a level, at most 32, so that deep hierarchies do not
// make the text grow with the square of their depth.
std::string Indent(std::size_t depth) { return std::string(depth < 32 ? depth : 32, '\t'); }

// Six decimals; a value that prints as zero prints without a sign. The
// buffer holds the largest finite double in full (309 digits), so every
// value read is written and reads back.
void AppendNumber(std::string& out, double value) {
  char buffer[320];
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

std::string_view ChannelName(Channel channel) noexcept { return kChannelNames[std::size_t(channel)]; }

void BvhSkeleton::AddJoint(std::string name, std::int64_t parent, Vector offset, std::vector<Channel> channels) {
  BvhJoint joint;
  joint.name = std::move(name);
  joint.parent = parent;
  joint.offset = offset;
  joint.firstValue = valueCount;
  valueCount += std::int64_t(channels.size());
  joint.channels = std::move(channels);
  joints.push_back(std::move(joint));
}

Outcome<BvhClip> ParseBvh(std::string_view text, const std::string& fileName, const BvhLimits& limits) {
  try {
    if (std::uint64_t(text.size()) > std::uint64_t(std::max<std::int64_t>(limits.fileBytes, 0)))
      return TooLarge(limits.fileBytes, fileName);
    return Parser(text, fileName, limits).Run();
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<BvhClip> ReadBvhFile(const std::string& path, const BvhLimits& limits) {
  Outcome<std::string> text = ReadTextFile(path, limits.fileBytes);
  if (!text) return std::move(text).failure();
  return ParseBvh(text.value(), path, limits);
}

Outcome<std::string> FormatBvh(const BvhClip& clip) {
  try {
    const std::vector<BvhJoint>& joints = clip.skeleton.joints;
    std::string out = "HIERARCHY\n";
    std::vector<std::int64_t> open;  // joints whose '}' is still to come
    auto close = [&]() {
      const BvhJoint& joint = joints[std::size_t(open.back())];
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
      const BvhJoint& joint = joints[j];
      while (!open.empty() && open.back() != joint.parent) close();
      std::string indent = Indent(open.size());
      out += indent + (open.empty() ? "ROOT " : "JOINT ") + joint.name + "\n" + indent + "{\n";
      AppendOffset(out, indent + '\t', joint.offset);
      out += indent + "\tCHANNELS " + std::to_string(joint.channels.size());
      for (Channel c : joint.channels) (out += ' ') += ChannelName(c);
      out += '\n';
      open.push_back(std::int64_t(j));
    }
    while (!open.empty()) close();

    char time[64];
    auto [end, ec] = std::to_chars(time, time + sizeof time, clip.frameTime);
    out += "MOTION\nFrames: " + std::to_string(clip.FrameCount()) + "\nFrame Time: " +
           std::string(time, ec == std::errc() ? std::size_t(end - time) : 0) + "\n";
    const std::int64_t perFrame = clip.skeleton.valueCount;
    for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
      const double* values = clip.Frame(f);
      for (std::int64_t v = 0; v < perFrame; ++v) {
        // A file that could not be read back is not written.
        if (!std::isfinite(values[v]))
          return MakeFailure(FailureKind::BadInput, "frame " + std::to_string(f) + " has a value that is not a finite "
                                                    "number; nothing was written");
        if (v) out += ' ';
        AppendNumber(out, values[v]);
      }
      out += '\n';
    }
    return out;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> WriteBvhFile(const BvhClip& clip, const std::string& path) {
  Outcome<std::string> text = FormatBvh(clip);
  if (!text) return std::move(text).failure();
  return WriteTextFile(path, text.value());
}

}  // namespace norvo::retarget
