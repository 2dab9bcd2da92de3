#include "norvo/retarget/analysis/report.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string_view>
#include <unordered_map>

#include "jsontext.h"
#include "norvo/retarget/base/textfile.h"

namespace norvo::retarget {

namespace {

ReportRig DescribeRig(const Rig& rig, const std::string& file) {
  ReportRig out;
  out.file = file;
  out.name = rig.name;
  out.preset = rig.preset.name;
  out.score = rig.preset.score;
  out.candidates = rig.preset.candidates;
  out.presetTie = rig.preset.tie;
  out.presetWeak = rig.preset.weak;
  out.joints = rig.JointCount();
  out.jointsInBodyParts = rig.parts.covered;
  out.emptyRequired = rig.parts.emptyRequired;
  std::span<const BodyPartSpec> standard = StandardBodyParts();
  std::vector<bool> taken(rig.skeleton.joints.size(), false);
  for (std::size_t i = 0; i < standard.size(); ++i) {
    ReportBodyPart part{std::string(standard[i].identifier), standard[i].required, {}};
    for (std::int64_t joint : rig.parts.joints[i]) {
      const std::string& name = rig.skeleton.joints[std::size_t(joint)].name;
      const std::string* keyword = i < rig.preset.parts.size() ? TakingKeyword(rig.preset.parts[i], name) : nullptr;
      // The generic choice took each joint by its name's word or by the
      // skeleton's shape.
      std::string by = keyword ? *keyword : std::string();
      if (rig.preset.name == kGenericPreset)
        by = std::binary_search(rig.preset.byStructure.begin(), rig.preset.byStructure.end(), joint) ? "by structure"
                                                                                                     : "by name";
      part.joints.push_back({name, std::move(by)});
      taken[std::size_t(joint)] = true;
    }
    out.bodyParts.push_back(std::move(part));
  }
  for (std::size_t j = 0; j < taken.size(); ++j) {
    if (taken[j]) continue;
    ReportUntaken untaken{rig.skeleton.joints[j].name, {}, {}, {}};
    for (std::size_t i = 0; i < rig.preset.parts.size() && untaken.bodyPart.empty(); ++i) {
      const BodyPartKeywords& part = rig.preset.parts[i];
      auto keyword = std::find_if(part.keywords.begin(), part.keywords.end(),
                                  [&](const std::string& k) { return KeywordMatches(k, untaken.name); });
      auto discard = std::find_if(part.discard.begin(), part.discard.end(),
                                  [&](const std::string& k) { return KeywordMatches(k, untaken.name); });
      if (keyword == part.keywords.end() || discard == part.discard.end()) continue;
      untaken.bodyPart = std::string(standard[i].identifier);
      untaken.keyword = *keyword;
      untaken.discard = *discard;
    }
    out.untakenJoints.push_back(std::move(untaken));
  }
  return out;
}

void WriteRig(const ReportRig& rig, jsontext::Writer& out) {
  out.Open('{');
  out.Key("file").Value(rig.file);
  out.Key("rig").Value(rig.name);
  out.Key("preset").Value(rig.preset);
  out.Key("score").Value(rig.score);
  out.Key("presetScores").Open('{');
  // One member per preset name, with the score of the last preset of that
  // name (two preset files may carry one name).
  std::unordered_map<std::string_view, std::int64_t> scores;
  for (const PresetChoice::Candidate& candidate : rig.candidates) scores[candidate.preset] = candidate.score;
  for (const PresetChoice::Candidate& candidate : rig.candidates)
    if (auto score = scores.find(candidate.preset); score != scores.end()) {
      out.Key(candidate.preset).Value(score->second);
      scores.erase(score);
    }
  out.Close('}');
  out.Key("presetTie").Value(rig.presetTie);
  out.Key("presetWeak").Value(rig.presetWeak);
  out.Key("joints").Value(rig.joints);
  out.Key("jointsInBodyParts").Value(rig.jointsInBodyParts);
  out.Key("bodyParts").Open('[');
  for (const ReportBodyPart& part : rig.bodyParts) {
    out.Open('{');
    out.Key("bodyPart").Value(part.name);
    out.Key("required").Value(part.required);
    out.Key("joints").Open('[');
    for (const ReportJoint& joint : part.joints) {
      out.Open('{');
      out.Key("joint").Value(joint.name);
      out.Key("keyword").Value(joint.keyword);
      out.Close('}');
    }
    out.Close(']');
    out.Close('}');
  }
  out.Close(']');
  out.Key("untakenJoints").Open('[');
  for (const ReportUntaken& joint : rig.untakenJoints) {
    out.Open('{');
    out.Key("joint").Value(joint.name);
    if (!joint.bodyPart.empty()) {
      out.Key("discarded").Open('{');
      out.Key("bodyPart").Value(joint.bodyPart);
      out.Key("keyword").Value(joint.keyword);
      out.Key("discard").Value(joint.discard);
      out.Close('}');
    }
    out.Close('}');
  }
  out.Close(']');
  out.Key("emptyRequiredBodyParts").Texts(rig.emptyRequired);
  out.Close('}');
}

std::string Join(const std::vector<std::string>& items, const char* none = "none") {
  if (items.empty()) return none;
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + Printable(item);
  return text;
}

std::string Padded(const std::string& name, std::size_t width) {
  const std::string text = Printable(name);
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// Per segment measured "mean / largest", and the segments not measured.
void SegmentsText(const SegmentFigures& figures, std::string& out) {
  for (const SegmentFigure& segment : figures.segments) {
    if (!segment.measured) continue;
    char text[64];
    std::snprintf(text, sizeof text, "%.2f / %.2f", segment.figure.mean, segment.figure.max);
    out += "    " + Padded(segment.name, 16) + text + (segment.counted ? "" : " (not counted)") + "\n";
  }
  const std::vector<std::string> unmeasured = figures.NotMeasured();
  if (!unmeasured.empty()) out += "    not measured: " + Join(unmeasured) + "\n";
}

void RigText(const char* role, const ReportRig& rig, std::string& out) {
  out += std::string(role) + " " + Printable(rig.name) + " (" + Printable(rig.file) + "): preset " +
         Printable(rig.preset) + ", score " + std::to_string(rig.score);
  if (!rig.candidates.empty()) {
    std::vector<std::string> others;
    for (const PresetChoice::Candidate& candidate : rig.candidates)
      if (candidate.preset != rig.preset) others.push_back(candidate.preset + " " + std::to_string(candidate.score));
    out += " (chosen among " + std::to_string(rig.candidates.size()) + "; others: " + Join(others) + ")";
    if (rig.presetTie) out += "; a TIE";
    else if (rig.presetWeak) out += "; a WEAK choice";
  }
  out += "\n  " + std::to_string(rig.jointsInBodyParts) + " of " + std::to_string(rig.joints) +
         " joints in body parts; each joint with the keyword that took it:\n";
  for (const ReportBodyPart& part : rig.bodyParts) {
    std::string joints;
    for (const ReportJoint& joint : part.joints)
      joints += (joints.empty() ? "" : ", ") + Printable(joint.name) + " [" + Printable(joint.keyword) + "]";
    if (joints.empty()) joints = part.required ? "- (required, EMPTY)" : "-";
    out += "    " + Padded(part.name, 15) + joints + "\n";
  }
  std::vector<std::string> untaken;
  for (const ReportUntaken& joint : rig.untakenJoints)
    untaken.push_back(joint.bodyPart.empty() ? joint.name
                                             : joint.name + " (" + joint.bodyPart + " keyword " + joint.keyword +
                                                   ", discarded by " + joint.discard + ")");
  out += "  taken by no body part: " + Join(untaken) + "\n";
  out += "  required body parts left empty: " + Join(rig.emptyRequired) + "\n";
}

}  // namespace

Outcome<MatchReport> BuildMatchReport(const Rig& source, const std::string& sourceFile, const Rig& target,
                                      const std::string& targetFile, const Retargeter& retargeter) {
  try {
    MatchReport report;
    report.source = DescribeRig(source, sourceFile);
    report.target = DescribeRig(target, targetFile);
    report.counters = retargeter.Statistics();
    report.pairedSourceJoints = retargeter.PairedSourceJoints();
    report.drivenTargetJoints = retargeter.DrivenTargetJoints();
    const CharacterAssociation& association = retargeter.Association();
    std::span<const BodyPartSpec> standard = StandardBodyParts();
    for (std::size_t i = 0; i < standard.size(); ++i) {
      const std::vector<std::int64_t>& s = source.parts.joints[i];
      const std::vector<std::int64_t>& d = target.parts.joints[i];
      if (s.empty() && d.empty()) continue;
      ReportPairing pairing{std::string(standard[i].identifier), {}, {}, {}};
      const std::size_t n = std::min(s.size(), d.size());
      // Partners as the association holds them.
      for (std::size_t k = 0; k < n; ++k) {
        const std::string& from = source.skeleton.joints[std::size_t(s[k])].name;
        Result<Uuid> partner = association.GetAssociatedUuid(source.JointUuid(s[k]));
        auto found = partner ? target.jointOfUuid.find(partner.value()) : target.jointOfUuid.end();
        pairing.pairs.emplace_back(from, found == target.jointOfUuid.end()
                                             ? std::string()
                                             : target.skeleton.joints[std::size_t(found->second)].name);
      }
      for (std::size_t k = n; k < s.size(); ++k)
        pairing.unpairedSource.push_back(source.skeleton.joints[std::size_t(s[k])].name);
      for (std::size_t k = n; k < d.size(); ++k)
        pairing.unpairedTarget.push_back(target.skeleton.joints[std::size_t(d[k])].name);
      report.pairings.push_back(std::move(pairing));
    }
    return report;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

namespace {

void WriteFigure(const AngleFigure& figure, jsontext::Writer& out, bool close = true) {
  out.Open('{');
  out.Key("mean").Value(figure.mean);
  out.Key("p95").Value(figure.p95);
  out.Key("max").Value(figure.max);
  out.Key("count").Value(figure.count);
  if (close) out.Close('}');
}

// The counted segments' figure, then per segment measured its mean, largest
// and count (and whether it is counted), and the segments not measured.
void WriteSegments(const SegmentFigures& figures, jsontext::Writer& out) {
  WriteFigure(figures.all, out, false);
  out.Key("segments").Open('{');
  for (const SegmentFigure& segment : figures.segments) {
    if (!segment.measured) continue;
    out.Key(segment.name).Open('{');
    out.Key("mean").Value(segment.figure.mean);
    out.Key("max").Value(segment.figure.max);
    out.Key("count").Value(segment.figure.count);
    out.Key("counted").Value(segment.counted);
    out.Close('}');
  }
  out.Close('}');
  out.Key("notMeasured").Texts(figures.NotMeasured());
  out.Close('}');
}

// The sliding alone, as "footSliding" gives it.
void WriteSliding(const FeetFigures& feet, jsontext::Writer& out) {
  out.Open('{');
  out.Key("left").Value(feet.sliding[0]);
  out.Key("right").Value(feet.sliding[1]);
  out.Key("contactFrames").Open('[');
  out.Value(feet.contactFrames[0]);
  out.Value(feet.contactFrames[1]);
  out.Close(']');
  out.Close('}');
}

void WriteFloor(const FeetFigures& floor, jsontext::Writer& out) {
  out.Open('{');
  for (const auto& [name, values] : {std::pair{"sliding", floor.sliding}, std::pair{"deepest", floor.deepest},
                                     std::pair{"plantedHighest", floor.planted}}) {
    out.Key(name).Open('[');
    out.Value(values[0]);
    out.Value(values[1]);
    out.Close(']');
  }
  out.Close('}');
}

// "left 0.29, right 0.60" of a figure of both feet.
std::string FeetText(const double values[2]) {
  char text[64];
  std::snprintf(text, sizeof text, "left %.3f, right %.3f", values[0], values[1]);
  return text;
}

std::string DegreesText(const AngleFigure& figure) {
  char text[96];
  std::snprintf(text, sizeof text, "%.2f / %.2f / %.2f", figure.mean, figure.p95, figure.max);
  return text;
}

}  // namespace

Outcome<std::string> ReportJson(const MatchReport& report) {
  try {
    // Laid out as the JSON library lays out a value with an indent of two;
    // a text that is not UTF-8 (an old exporter's Latin-1 joint name) keeps
    // its place with U+FFFD.
    jsontext::Writer out({.indent = 2, .replaceFaultyText = true});
    out.Open('{');
    WriteRig(report.source, out.Key("source"));
    WriteRig(report.target, out.Key("target"));
    out.Key("pairs").Open('[');
    for (const ReportPairing& pairing : report.pairings) {
      out.Open('{');
      out.Key("bodyPart").Value(pairing.bodyPart);
      out.Key("pairs").Open('[');
      for (const auto& [from, to] : pairing.pairs) {
        out.Open('[');
        out.Value(from);
        out.Value(to);
        out.Close(']');
      }
      out.Close(']');
      out.Key("unpairedSource").Texts(pairing.unpairedSource);
      out.Key("unpairedTarget").Texts(pairing.unpairedTarget);
      out.Close('}');
    }
    out.Close(']');
    const AssociationStatistics& c = report.counters;
    out.Key("counters").Open('{');
    out.Key("visitedBodyParts").Value(c.visitedBodyParts);
    out.Key("associatedBodyParts").Value(c.associatedBodyParts);
    out.Key("sourceNodes").Value(c.sourceNodes);
    out.Key("targetNodes").Value(c.targetNodes);
    out.Key("associatedNodes").Value(c.associatedNodes);
    out.Key("pairedSourceJoints").Value(report.pairedSourceJoints);
    out.Key("drivenTargetJoints").Value(report.drivenTargetJoints);
    out.Close('}');
    // Angles in degrees; foot sliding in leg lengths per second.
    if (report.quality) WriteSegments(*report.quality, out.Key("quality"));
    const bool feet = report.sourceFeet && report.resultFeet && report.sourceFeet->measured &&
                      report.resultFeet->measured;
    if (feet) {
      out.Key("footSliding").Open('{');
      WriteSliding(*report.sourceFeet, out.Key("source"));
      WriteSliding(*report.resultFeet, out.Key("result"));
      out.Close('}');
    }
    if (report.roundTrip) WriteSegments(*report.roundTrip, out.Key("roundTrip"));
    // Contacts as frames [first, last) per foot; the feet's figures over
    // them in leg lengths (per second for sliding), left then right.
    if (report.contacts && report.contacts->measured) {
      out.Key("contacts").Open('{');
      out.Key("floor").Value(report.contacts->floor);
      for (int side = 0; side < 2; ++side) {
        out.Key(side == 0 ? "left" : "right").Open('[');
        for (const auto& [first, last] : report.contacts->feet[side]) {
          out.Open('[');
          out.Value(first);
          out.Value(last);
          out.Close(']');
        }
        out.Close(']');
      }
      out.Close('}');
    }
    if (feet) {
      out.Key("floor").Open('{');
      WriteFloor(*report.sourceFeet, out.Key("source"));
      WriteFloor(*report.resultFeet, out.Key("result"));
      out.Close('}');
    }
    out.Close('}');
    return std::move(out.text) + "\n";
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<std::string> ReportText(const MatchReport& report) {
  try {
    std::string out;
    RigText("source", report.source, out);
    RigText("target", report.target, out);
    out += "pairs by body part (source -> target), joints paired by their place in the chain:\n";
    for (const ReportPairing& pairing : report.pairings) {
      std::string line;
      for (const auto& [from, to] : pairing.pairs)
        line += (line.empty() ? "" : ", ") + Printable(from) + " -> " + Printable(to);
      if (line.empty()) line = "-";
      if (!pairing.unpairedSource.empty()) line += "; unpaired source: " + Join(pairing.unpairedSource);
      if (!pairing.unpairedTarget.empty()) line += "; unpaired target: " + Join(pairing.unpairedTarget);
      out += "    " + Padded(pairing.bodyPart, 15) + line + "\n";
    }
    const AssociationStatistics& c = report.counters;
    out += "counters: " + std::to_string(c.visitedBodyParts) + " body parts visited, " +
           std::to_string(c.associatedBodyParts) + " associated; " + std::to_string(c.sourceNodes) + " source and " +
           std::to_string(c.targetNodes) + " target nodes in them, " + std::to_string(c.associatedNodes) +
           " node pairs; " + std::to_string(report.pairedSourceJoints) + " source joints drive " +
           std::to_string(report.drivenTargetJoints) + " of " + std::to_string(report.target.joints) +
           " target joints\n";
    if (report.quality) {
      out += "quality: landmark segments against the source's in degrees (mean / 95th percentile / largest): " +
             DegreesText(report.quality->all) + "\n";
      SegmentsText(*report.quality, out);
    }
    if (report.contacts && report.contacts->measured)
      for (int side = 0; side < 2; ++side) {
        std::string frames;
        for (const auto& [first, last] : report.contacts->feet[side])
          frames += (frames.empty() ? "" : ", ") + std::to_string(first) + "-" + std::to_string(last - 1);
        out += std::string(side == 0 ? "contacts left: " : "contacts right: ") + (frames.empty() ? "-" : frames) + "\n";
      }
    if (report.sourceFeet && report.resultFeet && report.sourceFeet->measured && report.resultFeet->measured) {
      const FeetFigures& s = *report.sourceFeet;
      const FeetFigures& r = *report.resultFeet;
      out += "feet, in leg lengths: sliding in contact per second: source " + FeetText(s.sliding) + "; result " +
             FeetText(r.sliding) + "\n";
      out += "    deepest below the floor: source " + FeetText(s.deepest) + "; result " + FeetText(r.deepest) + "\n";
      out += "    planted foot highest above it: source " + FeetText(s.planted) + "; result " + FeetText(r.planted) +
             "\n";
    }
    if (report.roundTrip) {
      out += "round trip: landmark segments against the clip's in degrees (mean / 95th percentile / largest): " +
             DegreesText(report.roundTrip->all) + "\n";
      SegmentsText(*report.roundTrip, out);
    }
    return out;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> WriteReport(const MatchReport& report, const std::string& path) {
  RETARGET_ASSIGN(std::string text, path == "-" ? ReportText(report) : ReportJson(report));
  if (path == "-") {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return {};
  }
  return WriteTextFile(path, text, "report");
}

}  // namespace norvo::retarget
