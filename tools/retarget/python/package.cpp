// norvo_retarget: the tool's library for Python. A clip goes through the
// same clip job as on the command line (job.h), with the same options under
// Python names (optiontable.h), so that a file written from Python has the
// bytes the command line writes. Motion crosses as numpy arrays of 4x4
// matrices; failures become exceptions; the GIL is released while a clip is
// retargeted.
#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <string_view>
#include <thread>
#include <variant>
#include <unordered_set>
#include <vector>

#include "norvo/retarget/app/arguments.h"
#include "norvo/retarget/app/batch.h"
#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/app/install.h"
#include "norvo/retarget/app/job.h"
#include "norvo/retarget/app/optiontable.h"
#include "norvo/retarget/analysis/report.h"

namespace py = pybind11;
using namespace norvo;
using namespace norvo::retarget;

namespace {

// ---- Failures as exceptions ------------------------------------------------

struct Exceptions {
  py::object error, input, usage, file;
};
Exceptions& Classes() {
  static Exceptions* classes = new Exceptions;  // lives as long as the interpreter
  return *classes;
}

// The command line's option names in a text ("--lock-axis") as Python's
// keyword arguments ("lock_axis").
std::string PythonNames(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool option = text.compare(i, 2, "--") == 0 && i + 2 < text.size() && std::islower(text[i + 2]) &&
                        (i == 0 || text[i - 1] == ' ' || text[i - 1] == '\'');
    if (!option) {
      out += text[i];
      continue;
    }
    for (i += 2; i < text.size() && (std::islower(text[i]) || text[i] == '-'); ++i)
      out += text[i] == '-' ? '_' : text[i];
    --i;
  }
  return out;
}

[[noreturn]] void Raise(const Failure& failure) {
  if (failure.kind == FailureKind::OutOfMemory) throw std::bad_alloc();
  const Exceptions& classes = Classes();
  const py::object& type = failure.kind == FailureKind::BadInput ? classes.input
                           : failure.kind == FailureKind::Usage  ? classes.usage
                           : failure.kind == FailureKind::Io     ? classes.file
                                                                 : classes.error;
  py::object exception = type(failure.kind == FailureKind::Usage ? PythonNames(failure.Text()) : failure.Text());
  exception.attr("file") = failure.file.empty() ? py::object(py::none()) : py::str(failure.file);
  exception.attr("line") = failure.line ? py::object(py::int_(failure.line)) : py::object(py::none());
  exception.attr("exit_code") = ExitCode(failure.kind);
  PyErr_SetObject(type.ptr(), exception.ptr());
  throw py::error_already_set();
}

template <class T>
T Take(Outcome<T> outcome) {
  if (!outcome) Raise(outcome.failure());
  return std::move(outcome).value();
}
void Take(Outcome<void> outcome) {
  if (!outcome) Raise(outcome.failure());
}

[[noreturn]] void RaiseUsage(const std::string& message) { Raise(retarget::Usage(message)); }

// ---- What every call shares ------------------------------------------------

const std::vector<Preset>& Shipped() {
  static std::vector<Preset>* shipped = nullptr;  // read once, under the GIL
  if (!shipped) shipped = new std::vector<Preset>(Take(ShippedPresets()));
  return *shipped;
}

// A path as the system takes it: a str, bytes or path-like object, as its
// bytes.
std::string PathText(const py::handle& path) {
  return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

// ---- Motion -----------------------------------------------------------------

// A motion and what it is on: the rig, when known, names a VRM animation's
// bones. Immutable once made, so that its arrays are made once and shared.
struct PyMotion {
  std::shared_ptr<const Motion> motion;
  std::shared_ptr<const Rig> rig;
  py::object locals, globals, rest;
};

void ToRows(const Matrix& m, double* out) {
  const double rows[16] = {m.v1.x, m.v2.x, m.v3.x, m.off.x, m.v1.y, m.v2.y, m.v3.y, m.off.y,
                           m.v1.z, m.v2.z, m.v3.z, m.off.z, 0.0,    0.0,    0.0,    1.0};
  std::memcpy(out, rows, sizeof rows);
}

// An array of shape `shape` + (4, 4), to be filled and then sealed.
py::array_t<double> MatrixArray(std::vector<py::ssize_t> shape) {
  shape.push_back(4);
  shape.push_back(4);
  return py::array_t<double>(shape);
}

py::array Sealed(py::array array) {
  array.attr("flags").attr("writeable") = false;
  return array;
}

// Matrices as a read-only array of shape `shape` + (4, 4).
py::array ToArray(const Matrix* matrices, std::size_t count, std::vector<py::ssize_t> shape) {
  py::array_t<double> array = MatrixArray(std::move(shape));
  double* out = array.mutable_data();
  for (std::size_t i = 0; i < count; ++i) ToRows(matrices[i], out + 16 * i);
  return Sealed(std::move(array));
}

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The matrices of an array of shape `shape` + (4, 4), into `matrices`;
// ValueError naming `what` when it has another shape or a matrix is not
// affine and finite.
void FromArray(const py::handle& object, const std::vector<py::ssize_t>& shape, const char* what,
               std::vector<Matrix>& matrices) {
  // Running out of memory while converting is said as such.
  const Doubles array = [&] {
    try {
      return Doubles(py::reinterpret_borrow<py::object>(object));
    } catch (py::error_already_set& error) {
      if (error.matches(PyExc_MemoryError)) throw;
      throw py::value_error(std::string(what) + " must be an array of numbers");
    }
  }();
  std::vector<py::ssize_t> want = shape;
  want.push_back(4);
  want.push_back(4);
  bool fits = array.ndim() == py::ssize_t(want.size());
  for (std::size_t d = 0; fits && d < want.size(); ++d) fits = want[d] < 0 || array.shape(py::ssize_t(d)) == want[d];
  if (!fits) {
    std::string text;
    for (const py::ssize_t size : want) text += (text.empty() ? "" : ", ") + (size < 0 ? "n" : std::to_string(size));
    throw py::value_error(std::string(what) + " must have the shape (" + text + ")");
  }
  const std::size_t count = std::size_t(array.size() / 16);
  matrices.resize(count);
  const double* in = array.data();
  for (std::size_t i = 0; i < count; ++i, in += 16) {
    for (int k = 0; k < 16; ++k)
      if (!std::isfinite(in[k])) throw py::value_error(std::string(what) + " must hold finite numbers");
    if (in[12] != 0.0 || in[13] != 0.0 || in[14] != 0.0 || in[15] != 1.0)
      throw py::value_error(std::string(what) + " must hold affine matrices: a last row of 0, 0, 0, 1");
    matrices[i] = {{in[3], in[7], in[11]}, {in[0], in[4], in[8]}, {in[1], in[5], in[9]}, {in[2], in[6], in[10]}};
  }
}

std::int64_t Joints(const PyMotion& m) { return m.motion->skeleton.Count(); }

py::object Locals(PyMotion& m) {
  if (!m.locals)
    m.locals = ToArray(m.motion->locals.data(), m.motion->locals.size(),
                       {py::ssize_t(m.motion->FrameCount()), py::ssize_t(Joints(m))});
  return m.locals;
}

py::object Globals(PyMotion& m) {
  if (!m.globals) {
    // A frame at a time, straight into the array.
    const Motion& motion = *m.motion;
    py::array_t<double> array = MatrixArray({py::ssize_t(motion.FrameCount()), py::ssize_t(Joints(m))});
    double* out = array.mutable_data();
    std::vector<Matrix> globals(motion.skeleton.joints.size());
    for (std::int64_t f = 0; f < motion.FrameCount(); ++f) {
      FrameGlobals(motion, f, globals);
      for (const Matrix& global : globals) {
        ToRows(global, out);
        out += 16;
      }
    }
    m.globals = Sealed(std::move(array));
  }
  return m.globals;
}

py::object Rest(PyMotion& m) {
  if (!m.rest) {
    std::vector<Matrix> rest;
    for (const Joint& joint : m.motion->skeleton.joints) rest.push_back(joint.rest);
    m.rest = ToArray(rest.data(), rest.size(), {py::ssize_t(rest.size())});
  }
  return m.rest;
}

PyMotion Wrap(Motion motion, std::shared_ptr<const Rig> rig = {}) {
  return {std::make_shared<const Motion>(std::move(motion)), std::move(rig), {}, {}, {}};
}

// A motion made from arrays. Joints are in pre-order: each parent before
// its children, the root first. A joint gets position channels when it
// moves away from its rest offset.
PyMotion MakeMotion(const std::vector<std::string>& names, const std::vector<std::int64_t>& parents,
                    const py::object& restArray, const py::object& localsArray, double frameTime) {
  const std::size_t count = names.size();
  if (count == 0) throw py::value_error("a motion needs at least one joint");
  if (parents.size() != count) throw py::value_error("parents must have one entry per joint name");
  std::unordered_set<std::string_view> seen;
  for (std::size_t j = 0; j < count; ++j) {
    if (j == 0 ? parents[j] != -1 : parents[j] < 0 || std::size_t(parents[j]) >= j)
      throw py::value_error("parents must list the root first (parent -1) and each parent before its children; "
                            "joint " +
                            std::to_string(j) + " has parent " + std::to_string(parents[j]));
    const std::string& name = names[j];
    if (name.empty()) throw py::value_error("joint " + std::to_string(j) + " has no name");
    for (const unsigned char c : name)
      if (c < ' ' || c == 127)
        throw py::value_error("joint name '" + Printable(Excerpt(name)) + "' holds a control character");
    if (!seen.insert(name).second) throw py::value_error("two joints are named '" + Printable(Excerpt(name)) + "'");
  }
  if (!(frameTime >= kShortestFrameTime) || !std::isfinite(frameTime))
    throw py::value_error("frame_time must be a number of seconds from 0.00001 on");
  std::vector<Matrix> rest, locals;
  FromArray(restArray, {py::ssize_t(count)}, "rest", rest);
  if (!localsArray.is_none()) FromArray(localsArray, {-1, py::ssize_t(count)}, "locals", locals);
  Motion motion;
  motion.frameTime = frameTime;
  for (std::size_t j = 0; j < count; ++j) {
    bool moves = j == 0;
    for (std::size_t i = j; !moves && i < locals.size(); i += count) moves = !(locals[i].off == rest[j].off);
    std::vector<Channel> channels = {Channel::Zrotation, Channel::Xrotation, Channel::Yrotation};
    if (moves) channels.insert(channels.begin(), {Channel::Xposition, Channel::Yposition, Channel::Zposition});
    motion.skeleton.AddJoint(names[j], parents[j], rest[j].off, std::move(channels));
    motion.skeleton.joints[j].rest = rest[j];
  }
  motion.locals = std::move(locals);
  return Wrap(std::move(motion));
}

// A sampling rate, as the command line takes it.
double Rate(double fps) {
  if (!(fps >= 1e-3 && fps <= 1e4)) throw py::value_error("fps takes a number from 0.001 to 10000");
  return fps;
}

PyMotion LoadMotion(const py::object& path, std::int64_t skin, const std::string& animation, double fps) {
  if (fps != 0.0) Rate(fps);  // 0: the rate of the file's keys
  ReadOptions read;
  read.skin = skin;
  read.animation = animation;
  read.fps = fps;
  const std::string file = PathText(path);
  Outcome<Asset> asset = [&] {
    py::gil_scoped_release released;
    return ReadAsset(file, read);
  }();
  Asset taken = Take(std::move(asset));
  std::shared_ptr<const Rig> rig;
  if (taken.rig) rig = std::make_shared<const Rig>(std::move(*taken.rig));
  return Wrap(std::move(taken.motion), std::move(rig));
}

// A warning as the command line would print it.
void Warn(const std::string& message) {
  const py::object category = py::module_::import("norvo_retarget").attr("RetargetWarning");
  py::module_::import("warnings").attr("warn")(message, category, 2);
}

void SaveMotion(PyMotion& m, const py::object& path, const std::string& preset) {
  const std::string file = PathText(path);
  Take(CheckMotionOutput(file));
  // A VRM animation names its bones by the rig's body parts: the motion's
  // own rig, or one filled with the preset given or the best one.
  std::shared_ptr<const Rig> rig = m.rig;
  if (FormatOf(file) && FormatOf(file)->extension == ".vrma" && (!rig || !preset.empty())) {
    const std::optional<Preset> chosen = Take(PresetArgument(preset, Shipped()));
    rig = std::make_shared<const Rig>(Take(MakeRig(Stem(file), m.motion->skeleton, chosen, Shipped())));
    for (const std::string& warning : PresetWarnings("motion", *rig, "preset")) Warn(warning);
  }
  const MotionContext context{rig.get(), Stem(file)};
  Outcome<void> written = [&] {
    py::gil_scoped_release released;
    return WriteMotion(*m.motion, file, context);
  }();
  Take(std::move(written));
}

// ---- Options ------------------------------------------------------------------

// The calls that take keyword arguments: Retargeter, retarget and batch.
enum Call { kRetargeter, kRetarget, kBatch };

// Whether `call` takes the options of `runs` as keyword arguments.
bool Takes(Call call, OptionRuns runs) {
  switch (runs) {
    case OptionRuns::Any: return true;
    case OptionRuns::Outputs: return call != kRetargeter;
    case OptionRuns::Batch: return call == kBatch;
    case OptionRuns::CommandLine: return false;
  }
  return false;
}

// The option table as Python sees it, for callers that build their own
// interface on the package (a panel's fields).
py::list OptionList() {
  static constexpr const char* kTypes[] = {"text", "text_or_number", "flag", "list", "whole", "number", "shard"};
  static constexpr const char* kRuns[] = {"command_line", "any", "outputs", "batch"};
  py::list out;
  for (const OptionDescriptor& option : OptionTable()) {
    if (!option.keyword) continue;
    py::dict row;
    row["keyword"] = option.keyword;
    row["name"] = std::string(LongName(option));
    row["type"] = kTypes[static_cast<int>(option.type)];
    row["runs"] = kRuns[static_cast<int>(option.runs)];
    row["help"] = option.help;
    row["default"] = option.shown ? py::object(py::str(option.shown)) : py::object(py::none());
    const OptionRange& range = option.keywordRange;
    row["range"] = range.words ? py::object(py::make_tuple(range.low, range.high)) : py::object(py::none());
    out.append(row);
  }
  return out;
}

std::string TypeName(const py::handle& value) { return py::str(py::type::of(value).attr("__name__")); }

bool IsInteger(const py::handle& value) { return py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value); }

// A real number other than True and False: Python's or NumPy's.
bool IsNumber(const py::handle& value) {
  return !py::isinstance<py::bool_>(value) && !py::isinstance(value, py::module_::import("numpy").attr("bool_")) &&
         py::isinstance(value, py::module_::import("numbers").attr("Real"));
}
bool IsWhole(const py::handle& value) { return py::isinstance(value, py::module_::import("numbers").attr("Integral")); }

// A whole number from 0 up to `most`; ValueError saying what it is for.
std::int64_t Count(const py::handle& value, std::int64_t most, const std::string& what) {
  if (!IsInteger(value) || value.cast<py::int_>() < py::int_(0) || value.cast<py::int_>() > py::int_(most))
    throw py::value_error(what);
  return value.cast<std::int64_t>();
}

// A text option's value: a str or a path, or for `number` also a number.
void SetText(std::string& into, const std::string& name, const py::handle& value, bool number) {
  if (number && IsNumber(value)) {
    // The number itself (a NumPy scalar's repr names its type).
    const py::object builtins = py::module_::import("builtins");
    into = IsWhole(value) ? std::string(py::str(builtins.attr("int")(value)))
                          : std::string(py::repr(builtins.attr("float")(value)));
  } else if (py::isinstance<py::str>(value) || py::hasattr(value, "__fspath__")) {
    into = PathText(value);
  } else {
    throw py::type_error(name + " takes a text" + (number ? " or a number" : "") + ", not " + TypeName(value));
  }
}

// An option from its keyword argument's value. A flag takes only True or
// False; None leaves any other option as it is.
void SetOption(Arguments& arguments, const OptionDescriptor& option, const std::string& name, const py::handle& value) {
  const OptionMember& member = option.member;
  if (option.type == OptionType::Flag) {
    if (!py::isinstance<py::bool_>(value)) throw py::type_error(name + " takes True or False, not " + TypeName(value));
    arguments.*std::get<bool Arguments::*>(member) = value.cast<bool>();
    return;
  }
  if (value.is_none()) return;
  const OptionRange& range = option.keywordRange;
  switch (option.type) {
    case OptionType::Flag: break;
    case OptionType::Text:
    case OptionType::TextOrNumber:
      SetText(arguments.*std::get<std::string Arguments::*>(member), name, value,
              option.type == OptionType::TextOrNumber);
      break;
    case OptionType::List: {  // a list of names, or "A,B", or "none"
      std::optional<std::string>& into = arguments.*std::get<std::optional<std::string> Arguments::*>(member);
      if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
        std::string list;
        for (const py::handle item : value) list += (list.empty() ? "" : ",") + std::string(py::str(item));
        into = list.empty() ? "none" : list;
      } else {
        SetText(into.emplace(), name, value, false);
      }
      break;
    }
    case OptionType::Whole: {
      const std::int64_t count = Count(value, std::int64_t(range.high), name + " takes " + range.words);
      if (const auto* whole = std::get_if<std::int64_t Arguments::*>(&member)) arguments.** whole = count;
      else arguments.*std::get<unsigned Arguments::*>(member) = unsigned(count);
      break;
    }
    case OptionType::Number: {
      const double number = IsNumber(value) ? py::module_::import("builtins").attr("float")(value).cast<double>() : 0.0;
      if (!(number >= range.low && number <= range.high)) throw py::value_error(name + " takes " + range.words);
      arguments.*std::get<double Arguments::*>(member) = number;
      break;
    }
    case OptionType::Shard: {  // "I/N" or (I, N)
      std::string& into = arguments.*std::get<std::string Arguments::*>(member);
      if (py::isinstance<py::tuple>(value) && py::len(value) == 2)
        into = std::string(py::str(value[py::int_(0)])) + "/" + std::string(py::str(value[py::int_(1)]));
      else SetText(into, name, value, false);
      break;
    }
  }
}

// The arguments of a call's keyword arguments, by the option table.
Arguments ParseArguments(const py::kwargs& options, Call call, const char* function) {
  Arguments arguments;
  for (const auto& [key, value] : options) {
    const std::string name = py::str(key);
    const auto option = std::find_if(OptionTable().begin(), OptionTable().end(), [&](const OptionDescriptor& o) {
      return o.keyword && name == o.keyword && Takes(call, o.runs);
    });
    if (option == OptionTable().end())
      throw py::type_error(std::string(function) + "() got an unexpected keyword argument '" + name + "'");
    SetOption(arguments, *option, name, value);
  }
  return arguments;
}

// ---- Results -----------------------------------------------------------------

struct PyResult {
  py::object motion, statistics, figures, warnings, report;
  std::int64_t first = 0, last = 0;
  double seconds = 0.0, translationScale = 1.0;
};

PyResult MakeResult(ClipResult clip) {
  PyResult result;
  result.first = clip.first;
  result.last = clip.last;
  result.seconds = clip.seconds;
  result.translationScale = clip.translationScale;
  result.warnings = py::cast(clip.warnings);
  const py::object loads = py::module_::import("json").attr("loads");
  py::dict report = loads(Take(ReportJson(*clip.report)));
  py::dict statistics = report["counters"].attr("copy")();
  statistics["translationScale"] = clip.translationScale;
  result.statistics = statistics;
  py::dict figures;
  for (const char* key : {"quality", "footSliding", "roundTrip", "contacts", "floor"})
    figures[key] = report.contains(key) ? py::object(report[key]) : py::object(py::none());
  result.figures = figures;
  result.report = report;
  result.motion = clip.motion.skeleton.joints.empty() ? py::object(py::none())
                                                      : py::cast(Wrap(std::move(clip.motion), clip.target));
  for (const std::string& message : clip.warnings) Warn(message);
  return result;
}

// A rig argument: a path (a motion file or a rig file) or a Motion.
std::shared_ptr<const Rig> RigOf(const py::object& from, const std::optional<Preset>& preset, const ReadOptions& read,
                                 const char* role) {
  if (py::isinstance<PyMotion>(from)) {
    const PyMotion& m = from.cast<const PyMotion&>();
    if (m.rig && !preset) return m.rig;
    return std::make_shared<const Rig>(Take(MakeRig(role, m.motion->skeleton, preset, Shipped())));
  }
  const std::string path = PathText(from);
  Outcome<std::shared_ptr<const Rig>> rig = [&] {
    py::gil_scoped_release released;
    return LoadRig(path, preset, Shipped(), read);
  }();
  return Take(std::move(rig));
}

// Runs a clip without the GIL.
ClipResult Run(const ClipRequest& request) {
  Outcome<ClipResult> result = [&] {
    py::gil_scoped_release released;
    return RunClip(request);
  }();
  return Take(std::move(result));
}

PyResult Retarget(const py::object& source, const py::object& target, const py::object& output, bool figures,
                  const py::kwargs& options) {
  const Arguments arguments = ParseArguments(options, kRetarget, "retarget");
  ClipRequest request = Take(MakeRequest(arguments, Shipped()));
  request.figures.take = figures;
  request.figures.keepReport = true;
  request.outputs.motion = output.is_none() ? std::string() : PathText(output);
  if (request.outputs.motion == "-" || request.outputs.report == "-" || request.outputs.svg == "-" ||
      request.outputs.rig == "-" || request.outputs.page == "-")
    RaiseUsage("- writes to standard output on the command line; give a file name");
  std::shared_ptr<const Motion> keep;
  if (py::isinstance<PyMotion>(source)) {
    keep = source.cast<const PyMotion&>().motion;
    request.sourceMotion = keep.get();
    request.source = "motion";
  } else {
    request.source = PathText(source);
  }
  if (py::isinstance<PyMotion>(target)) {
    request.targetRig = RigOf(target, request.targetPreset, {}, "target");
    request.target = "motion";
  } else {
    request.target = PathText(target);
  }
  return MakeResult(Run(request));
}

// ---- Batches ------------------------------------------------------------------

// One clip of a batch as it finished, kept on the workers without the GIL.
struct BatchLine {
  std::string input, output, status, message;
  int exitCode = 0;
  std::int64_t frames = 0;
  double seconds = 0.0;
  std::vector<std::string> warnings;
};

// Runs the batch; `interrupted` tells whether a signal stopped it, with its
// Python exception set.
Outcome<FolderBatchTotals> RunStoppable(FolderBatch& batch, const FolderBatchEvents& events, bool& interrupted) {
  // The batch runs on a thread of its own while this one, without the GIL
  // but for a moment every tenth of a second, looks for a signal, so that
  // Ctrl-C stops a long batch: no further clip starts, the ones running
  // finish, and KeyboardInterrupt is raised.
  std::atomic<bool> stop{false};
  batch.stop = &stop;
  Outcome<FolderBatchTotals> ran = OutOfMemory();
  interrupted = false;
  {
    py::gil_scoped_release released;
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    std::optional<std::thread> runner;
    try {
      runner.emplace([&] {
        Outcome<FolderBatchTotals> outcome = RunFolderBatch(batch, events);
        std::lock_guard<std::mutex> lock(mutex);
        ran = std::move(outcome);
        finished = true;
        changed.notify_one();
      });
    } catch (const std::system_error&) {
      ran = RunFolderBatch(batch, events);  // no thread: no stopping either
      finished = true;
    }
    std::unique_lock<std::mutex> lock(mutex);
    while (!changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return finished; })) {
      if (interrupted) continue;
      lock.unlock();
      {
        py::gil_scoped_acquire held;
        interrupted = PyErr_CheckSignals() != 0;  // the exception stays set
      }
      if (interrupted) stop = true;
      lock.lock();
    }
    lock.unlock();
    if (runner) runner->join();
  }
  batch.stop = nullptr;
  return ran;
}

// The batch's dict: its clips, in the order they finished, and its totals.
py::dict BatchResult(const std::vector<BatchLine>& lines, const FolderBatchTotals& totals) {
  py::list clips;
  for (const BatchLine& line : lines) {
    py::dict clip;
    clip["input"] = line.input;
    clip["output"] = line.output;
    clip["status"] = line.status;
    clip["exit_code"] = line.exitCode;
    clip["message"] = line.message;
    clip["frames"] = line.frames;
    clip["seconds"] = line.seconds;
    clip["warnings"] = line.warnings;
    clips.append(clip);
  }
  py::list skipped;
  for (const FolderEntry& entry : totals.skipped) skipped.append(py::make_tuple(entry.path, entry.why));
  py::dict result;
  result["clips"] = clips;
  result["already_done"] = totals.alreadyDone;
  result["skipped"] = skipped;
  result["written"] = totals.written;
  result["failed"] = totals.failed;
  result["frames"] = totals.frames;
  result["workers"] = totals.workers;
  return result;
}

py::dict Batch(const py::object& folder, const py::object& target, const py::object& outputFolder, bool figures,
               const py::kwargs& options) {
  Arguments arguments = ParseArguments(options, kBatch, "batch");
  arguments.batch = PathText(folder);
  arguments.target = PathText(target);
  arguments.output = PathText(outputFolder);
  FolderBatch batch = Take(MakeFolderBatch(arguments, Shipped()));
  batch.clip.figures.take = figures;
  std::vector<BatchLine> lines;
  FolderBatchEvents events;
  events.done = [&](const BatchClip& clip) {
    try {
      BatchLine line{clip.input, clip.outputs.motion, clip.failure ? "failed" : "done", "", 0, 0, clip.seconds, {}};
      if (clip.failure) {
        line.message = clip.failure->Text();
        line.exitCode = ExitCode(clip.failure->kind);
      } else {
        line.frames = clip.result->last - clip.result->first;
        line.warnings = clip.result->warnings;
      }
      lines.push_back(std::move(line));
    } catch (const std::bad_alloc&) {
      // The clip's line is in the manifest, when there is one.
    }
  };
  bool interrupted = false;
  Outcome<FolderBatchTotals> ran = RunStoppable(batch, events, interrupted);
  if (interrupted) throw py::error_already_set();
  const FolderBatchTotals totals = Take(std::move(ran));
  return BatchResult(lines, totals);
}

// ---- Retargeter ----------------------------------------------------------------

struct PyRetargeter {
  std::shared_ptr<const Rig> source, target;
  std::unique_ptr<Retargeter> run;
  ClipRequest request;  // for whole clips: the options and the target
  std::vector<Matrix> in, out;
};

std::unique_ptr<PyRetargeter> MakeRetargeter(const py::object& sourceRig, const py::object& targetRig,
                                             const py::kwargs& options) {
  const Arguments arguments = ParseArguments(options, kRetargeter, "Retargeter");
  auto made = std::make_unique<PyRetargeter>();
  made->request = Take(MakeRequest(arguments, Shipped()));
  ClipRequest& request = made->request;
  request.figures.take = false;  // a whole clip gives its motion alone
  made->source = RigOf(sourceRig, request.sourcePreset, request.read, "source");
  made->target = RigOf(targetRig, request.targetPreset, ReadOptionsOf(arguments, false), "target");
  request.targetRig = made->target;
  request.target = py::isinstance<PyMotion>(targetRig) ? "motion" : PathText(targetRig);
  if (!py::isinstance<PyMotion>(sourceRig) && FormatOf(PathText(sourceRig)) &&
      FormatOf(PathText(sourceRig))->extension == ".json")
    request.sourceRig = PathText(sourceRig);
  made->run = Take(Retargeter::Create(*made->source, *made->target, request.retarget));
  made->in.resize(std::size_t(made->source->JointCount()));
  made->out.resize(std::size_t(made->target->JointCount()));
  return made;
}

PyMotion RetargetMotion(PyRetargeter& self, const PyMotion& motion) {
  if (motion.motion->skeleton.Count() != self.source->JointCount())
    throw py::value_error("the motion has " + std::to_string(motion.motion->skeleton.Count()) +
                          " joints; the source rig has " + std::to_string(self.source->JointCount()));
  ClipRequest request = self.request;
  const std::shared_ptr<const Motion> keep = motion.motion;
  request.sourceMotion = keep.get();
  request.source = "motion";
  ClipResult result = Run(request);
  for (const std::string& message : result.warnings) Warn(message);
  return Wrap(std::move(result.motion), self.target);
}

py::array Frame(PyRetargeter& self, const py::object& locals) {
  FromArray(locals, {py::ssize_t(self.in.size())}, "locals", self.in);  // the shape keeps its size
  Take(self.run->RetargetFrame(self.in, self.out));
  // In the target's world, as a whole clip comes out.
  if (self.run->WorldRotation() != Matrix{}) RotateRoots(self.target->skeleton, self.out, self.run->WorldRotation());
  return ToArray(self.out.data(), self.out.size(), {py::ssize_t(self.out.size())});
}

// The exception classes, and the warning class.
void DefineErrors(py::module_& m) {
  py::dict scope = m.attr("__dict__");
  py::exec(R"(
class Error(Exception):
    """A failure of the tool: its text is the command line's message; `file`, `line` and `exit_code` (the command
    line's) say more."""
    file = None
    line = None
    exit_code = 3

class InputError(Error):
    """A file that no reader accepts: malformed, or not what it should be."""

class UsageError(Error, ValueError):
    """An option that makes no sense, as the command line's usage errors."""

class FileError(Error, OSError):
    """A file that cannot be read or written."""

class RetargetWarning(UserWarning):
    """What the command line prints as a warning."""
)",
           scope);
  Exceptions& classes = Classes();
  classes.error = m.attr("Error");
  classes.input = m.attr("InputError");
  classes.usage = m.attr("UsageError");
  classes.file = m.attr("FileError");
  for (const char* name : {"Error", "InputError", "UsageError", "FileError", "RetargetWarning"})
    m.attr(name).attr("__module__") = "norvo_retarget";
}

void DefineMotion(py::module_& m) {
  py::class_<PyMotion>(m, "Motion",
                       "A skeleton's motion: per frame, one local 4x4 matrix per joint (End Sites are not joints). "
                       "Immutable; its arrays are read-only and made once.")
      .def(py::init(&MakeMotion), py::arg("joint_names"), py::arg("parents"), py::arg("rest"),
           py::arg("locals") = py::none(), py::arg("frame_time") = 1.0 / 30.0,
           "A motion from arrays: joint names, each joint's parent index (the root first with -1, each parent "
           "before its children), the rest (joints x 4 x 4) and the locals (frames x joints x 4 x 4).")
      .def_property_readonly(
          "joint_names",
          [](const PyMotion& self) {
            std::vector<std::string> names;
            for (const Joint& joint : self.motion->skeleton.joints) names.push_back(joint.name);
            return names;
          },
          "The joints' names, in pre-order.")
      .def_property_readonly(
          "parents",
          [](const PyMotion& self) {
            std::vector<std::int64_t> parents;
            for (const Joint& joint : self.motion->skeleton.joints) parents.push_back(joint.parent);
            return parents;
          },
          "Each joint's parent index; -1 for the root.")
      .def_property_readonly(
          "frame_time", [](const PyMotion& self) { return self.motion->frameTime; }, "Seconds per frame.")
      .def_property_readonly(
          "frame_count", [](const PyMotion& self) { return self.motion->FrameCount(); }, "The number of frames.")
      .def_property_readonly("rest", &Rest, "The local matrices at rest: joints x 4 x 4.")
      .def_property_readonly("locals", &Locals, "The local matrices: frames x joints x 4 x 4.")
      .def_property_readonly("globals", &Globals, "The global matrices: frames x joints x 4 x 4.")
      .def("save", &SaveMotion, py::arg("path"), py::kw_only(), py::arg("preset") = std::string(),
           "Writes the motion in the format of the path's extension (.bvh, .glb, .gltf, .vrm, .vrma), to a temporary "
           "file beside it that then replaces it. A VRM animation names the bones of the motion's rig (a model's "
           "humanoid table, a retargeted motion's target) or of `preset` (a shipped preset's name or a JSON file; "
           "by default the best).")
      // Pickled as its arrays (for process pools and clusters): the BVH
      // channel layout and the glTF model it was read with stay behind.
      .def(py::pickle(
          [](PyMotion& self) {
            return py::make_tuple(py::cast(self).attr("joint_names"), py::cast(self).attr("parents"), Rest(self),
                                  Locals(self), self.motion->frameTime);
          },
          [](const py::tuple& state) {
            if (py::len(state) != 5) throw py::value_error("not the state of a Motion");
            return MakeMotion(state[0].cast<std::vector<std::string>>(), state[1].cast<std::vector<std::int64_t>>(),
                              state[2], state[3], state[4].cast<double>());
          }))
      .def("__repr__", [](const PyMotion& self) {
        return "<norvo_retarget.Motion: " + std::to_string(self.motion->skeleton.Count()) + " joints, " +
               std::to_string(self.motion->FrameCount()) + " frames>";
      });
}

void DefineResult(py::module_& m) {
  py::class_<PyResult>(m, "Result", "What retargeting a clip gives.")
      .def_readonly("motion", &PyResult::motion,
                    "The result on the target's skeleton (before an output file's rotation to a model's facing and its "
                    "extracted root motion).")
      .def_readonly("statistics", &PyResult::statistics,
                    "The association's counters (the report's) and the translation scale.")
      .def_readonly("figures", &PyResult::figures,
                    "quality, footSliding, roundTrip, contacts, floor: the report's figures, None where not taken.")
      .def_readonly("warnings", &PyResult::warnings, "The warnings, as the command line prints them.")
      .def_readonly("report", &PyResult::report, "The match report, as the command line's --report FILE.json.")
      .def_readonly("first_frame", &PyResult::first, "The first source frame retargeted.")
      .def_readonly("last_frame", &PyResult::last, "The source frame after the last one retargeted.")
      .def_readonly("seconds", &PyResult::seconds, "How long it took.")
      .def(py::pickle(
          [](const PyResult& self) {
            return py::make_tuple(self.motion, self.statistics, self.figures, self.warnings, self.report, self.first,
                                  self.last, self.seconds, self.translationScale);
          },
          [](const py::tuple& state) {
            if (py::len(state) != 9) throw py::value_error("not the state of a Result");
            return PyResult{state[0],
                            state[1],
                            state[2],
                            state[3],
                            state[4],
                            state[5].cast<std::int64_t>(),
                            state[6].cast<std::int64_t>(),
                            state[7].cast<double>(),
                            state[8].cast<double>()};
          }))
      .def("__repr__", [](const PyResult& self) {
        return "<norvo_retarget.Result: frames " + std::to_string(self.first) + " to " + std::to_string(self.last) +
               ", " + std::to_string(py::len(self.warnings)) + " warnings>";
      });
}

// load_motion, retarget and batch.
void DefineFunctions(py::module_& m) {
  m.def("load_motion", &LoadMotion, py::arg("path"), py::kw_only(), py::arg("skin") = -1,
        py::arg("animation") = std::string(), py::arg("fps") = 0.0,
        "Reads a motion file of any format the tool reads (BVH, glTF, GLB, VRM, VRM animation, FBX).");
  m.def("retarget", &Retarget, py::arg("source"), py::arg("target"), py::arg("output") = py::none(), py::kw_only(),
        py::arg("figures") = true,
        "Carries the motion of `source` (a file or a Motion) onto the skeleton of `target` (a file, a rig file or a "
        "Motion) and writes `output` when given, as the command line does. The options are the command line's with "
        "underscores: preset, source_preset, frames, translation_scale, no_root_translation, source_rig, no_align, "
        "spread_chains, round_trip, lock_feet, no_contacts, floor, root_motion, lock_axis, in_place, skin, animation, "
        "fps, report, svg, html, save_rig.");

  m.def("options", &OptionList,
        "The options retarget(), batch() and Retargeter take, in the order of the command line's help: per option a "
        "dict of keyword, name (the command line's), type (text, text_or_number, flag, list, whole, number or "
        "shard), runs (any: every call; outputs: a file a clip writes; batch: batch() alone), help, default (the "
        "text the help shows, or None) and range ((low, high) or None).");
  m.def("batch", &Batch, py::arg("folder"), py::arg("target"), py::arg("output_folder"), py::kw_only(),
        py::arg("figures") = true,
        "Retargets every motion clip of a folder onto `target` with a worker per core, as the command line's --batch: "
        "each result keeps its clip's name in `output_folder`. Besides retarget()'s options: recursive, shard "
        "(\"I/N\" or (I, N)), manifest, resume, jobs. Returns a dict: clips (input, output, status, exit_code, "
        "message, frames, seconds, warnings per clip, in the order they finished), already_done, skipped, written, "
        "failed, frames, workers.");
}

void DefineRetargeter(py::module_& m) {
  py::class_<PyRetargeter>(m, "Retargeter",
                           "A source rig paired with a target rig, for many clips or for frames streamed one by one.")
      .def(py::init(&MakeRetargeter), py::arg("source_rig"), py::arg("target_rig"),
           "The rigs: files (a motion file's skeleton or a rig file) or Motions. The options are retarget()'s, "
           "without the outputs.")
      .def("retarget", &RetargetMotion, py::arg("motion"),
           "The motion of a whole clip of the source rig on the target's skeleton, as retarget() makes it "
           "(retarget() with a Motion also gives the figures and the report).")
      .def("frame", &Frame, py::arg("locals"),
           "The target's local matrices (joints x 4 x 4) for one frame of the source's: the frame step alone, "
           "without what needs the whole clip (contacts, locked feet, root motion).")
      .def_property_readonly(
          "source", [](const PyRetargeter& self) { return Wrap(Take(RestMotion(self.source->skeleton)), self.source); },
          "The source rig's skeleton at rest, one frame.")
      .def_property_readonly(
          "target", [](const PyRetargeter& self) { return Wrap(Take(RestMotion(self.target->skeleton)), self.target); },
          "The target rig's skeleton at rest, one frame: its joint_names, parents and rest make a Motion of "
          "frames streamed through frame().");
}

}  // namespace

PYBIND11_MODULE(norvo_retarget, m) {
  UseInstalledPrograms();
  m.doc() =
      "Retargets motion between character rigs: BVH, glTF, GLB, VRM, VRM animation and FBX files, or numpy arrays.\n\n"
      "A matrix M is 4x4 with its translation in M[:3, 3]; a motion's globals are "
      "globals[f, j] = globals[f, parents[j]] @ locals[f, j].";
  m.attr("__version__") = NORVO_VERSION;
  // Where it found what it loads: beside an installed extension, or in the
  // build tree.
  m.attr("_module_path") = ModulePath();
  m.attr("_presets_folder") = ShippedPresetFolder();
  m.attr("_fbx_reader") = FbxReaderPath();
  DefineErrors(m);

  // Loaded for the life of the process: objects of its classes may outlive
  // the interpreter's teardown.
  const auto* module = new Outcome<Module>(LoadRetargetModule());
  if (!*module) throw py::import_error(module->failure().Text());

  DefineMotion(m);
  DefineResult(m);
  DefineFunctions(m);
  DefineRetargeter(m);
}
