// The match report: what each rig's preset put into which body part and by
// which keyword, which joints no body part took, which required body parts
// stayed empty, the joints the association paired per body part and the
// ones a chain of other length left unpaired, and the counters. Plain data,
// written as JSON or as readable text.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "norvo/retarget/solve/feet.h"
#include "norvo/retarget/analysis/measure.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/solve/pipeline.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

struct ReportJoint {
  std::string name;
  std::string keyword;  // the preset keyword that took it
};

struct ReportBodyPart {
  std::string name;
  bool required = false;
  std::vector<ReportJoint> joints;  // in tree order
};

// A joint no body part took. When a body part's keyword matched it but a
// discard keyword kept it out, which ones (the first such body part).
struct ReportUntaken {
  std::string name;
  std::string bodyPart, keyword, discard;  // empty when no keyword matched
};

struct ReportRig {
  std::string file;
  std::string name;
  std::string preset;
  std::int64_t score = 0;
  std::vector<PresetChoice::Candidate> candidates;  // empty when the preset was given
  bool presetTie = false;
  bool presetWeak = false;
  std::int64_t joints = 0;
  std::int64_t jointsInBodyParts = 0;
  std::vector<ReportBodyPart> bodyParts;  // every standard body part
  std::vector<ReportUntaken> untakenJoints;
  std::vector<std::string> emptyRequired;
};

// The joints of one body part of both rigs, paired by position.
struct ReportPairing {
  std::string bodyPart;
  std::vector<std::pair<std::string, std::string>> pairs;   // source joint, its partner in the association
  std::vector<std::string> unpairedSource, unpairedTarget;  // the rest of the longer chain
};

// The figures of a run, when they were taken: how far the result's
// segments point from the source's (measure.h), the way back onto the
// source, the source's contacts and how the feet of the source and the
// result meet the floor during them (feet.h). A clip's result and its report
// hold the same ones.
struct ClipFigures {
  std::optional<SegmentFigures> quality, roundTrip;
  std::optional<FootContacts> contacts;
  std::optional<FeetFigures> sourceFeet, resultFeet;
};

struct MatchReport : ClipFigures {
  ReportRig source, target;
  std::vector<ReportPairing> pairings;  // body parts with joints on either side
  AssociationStatistics counters;
  std::int64_t pairedSourceJoints = 0;
  std::int64_t drivenTargetJoints = 0;
};

// The report of a retargeter made from the two rigs.
Outcome<MatchReport> BuildMatchReport(const Rig& source, const std::string& sourceFile, const Rig& target,
                                      const std::string& targetFile, const Retargeter& retargeter);
// The JSON text (two-space indent) and the readable text of a report.
Outcome<std::string> ReportJson(const MatchReport& report);
Outcome<std::string> ReportText(const MatchReport& report);
// Writes the report: "-" prints the text on stdout, any other path gets JSON.
Outcome<void> WriteReport(const MatchReport& report, const std::string& path);

}  // namespace norvo::retarget
