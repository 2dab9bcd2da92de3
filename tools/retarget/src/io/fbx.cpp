#include "norvo/retarget/io/fbx.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <fstream>
#include <new>
#include <vector>

#include "fbxwire.h"
#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/base/textfile.h"

extern char** environ;

namespace norvo::retarget {

namespace {

Failure Bad(const std::string& message, const std::string& file) {
  return MakeFailure(FailureKind::BadInput, message, file);
}

// A pipe whose ends close with it.
struct Pipe {
  int fd[2] = {-1, -1};
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
};

// Moves a descriptor above 3, so that none the reader's 0 to 3 are made
// from is one of those (a tool started with some of them closed).
bool AboveThree(int& fd) {
  if (fd > 3) return true;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 4);
  if (moved < 0) return false;
  ::close(fd);
  fd = moved;
  return true;
}

// What the reader process wrote, and how it ended.
struct Run {
  std::string out;
  int status = 0;
  bool timedOut = false, tooLong = false;
};

std::atomic<const char*> readerPath{nullptr};

Outcome<Run> RunReader(const std::string& path, const ReadOptions& options, const FbxLimits& limits,
                       std::size_t maxOutput) {
  const std::string fps = options.fps > 0 ? std::to_string(options.fps) : "0";
  const std::string memory = std::to_string(limits.memoryBytes), seconds = std::to_string(limits.seconds);
  const char* reader = readerPath.load();
  if (!reader) return MakeFailure(FailureKind::Internal, "no FBX reader was given to read FBX files with", path);
  std::vector<const char*> argv = {reader,         path.c_str(), "--fps",         fps.c_str(), "--memory",
                                   memory.c_str(), "--seconds",  seconds.c_str(), "--watch",   "3"};
  if (!options.animation.empty()) argv.insert(argv.end(), {"--animation", options.animation.c_str()});
  argv.push_back(nullptr);
  pid_t pid = 0;
  // The reader's answer comes through `pipe`. Its end of `life` is its
  // descriptor 3, whose other end only this process holds (close-on-exec
  // keeps it out of every other process it starts, readers of other
  // threads included): the reader sees end of file there and ends once the
  // tool has ended, by a signal too (fbx/main.cpp).
  Pipe pipe, life;
  if (::pipe2(pipe.fd, O_CLOEXEC) != 0 || ::pipe2(life.fd, O_CLOEXEC) != 0 || !AboveThree(pipe.fd[1]) ||
      !AboveThree(life.fd[0]))
    return Bad("the FBX reader cannot be started: no pipe", path);
  // Nothing from here on throws before the actions are destroyed again.
  posix_spawn_file_actions_t actions;
  int spawned = posix_spawn_file_actions_init(&actions);
  if (spawned == 0) {
    spawned = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (spawned == 0) spawned = posix_spawn_file_actions_adddup2(&actions, pipe.fd[1], 1);
    if (spawned == 0) spawned = posix_spawn_file_actions_adddup2(&actions, life.fd[0], 3);
    if (spawned == 0) spawned = posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (spawned == 0)
      spawned = posix_spawn(&pid, reader, &actions, nullptr, const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
  }
  ::close(pipe.fd[1]);
  pipe.fd[1] = -1;
  ::close(life.fd[0]);
  life.fd[0] = -1;
  if (spawned != 0)
    return Bad(std::string("the FBX reader ") + reader + " cannot be started: " + std::strerror(spawned), path);

  Run run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.seconds);
  char buffer[65536];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      break;
    }
    pollfd wait{pipe.fd[0], POLLIN, 0};
    const int ready = ::poll(&wait, 1, int(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t n = ::read(pipe.fd[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (run.out.size() + std::size_t(n) > maxOutput) {
      run.tooLong = true;
      break;
    }
    // Out of memory here, the reader is stopped and waited for all the same.
    bool kept = true;
    try {
      run.out.append(buffer, std::size_t(n));
    } catch (const std::bad_alloc&) {
      kept = false;
    }
    if (!kept) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
      }
      return OutOfMemory();
    }
  }
  if (run.timedOut || run.tooLong) ::kill(pid, SIGKILL);
  while (::waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
  }
  return run;
}

}  // namespace

Outcome<Asset> ReadFbxAnswer(std::string_view bytes, const std::string& path, const FbxLimits& limits) {
  try {
    fbxwire::Reader in(bytes);
    char magic[4] = {};
    std::uint32_t version = 0;
    std::uint8_t status = 0;
    auto damaged = [&] { return Bad("the FBX reader's answer is damaged", path); };
    if (!in.Get(magic) || std::memcmp(magic, fbxwire::kMagic, 4) != 0 || !in.Get(version) ||
        version != fbxwire::kVersion || !in.Get(status))
      return damaged();
    if (status != fbxwire::kRead) {
      std::string message;
      if (!in.GetText(message, 4096)) return damaged();
      return MakeFailure(status == fbxwire::kUsage ? FailureKind::Usage : FailureKind::BadInput, message, path);
    }
    Asset asset;
    Motion& motion = asset.motion;
    std::uint64_t frames = 0, joints = 0;
    if (!in.Get(motion.frameTime) || !in.Get(frames) || !in.Get(joints)) return damaged();
    if (joints == 0 || joints > std::uint64_t(limits.nodes) || frames > std::uint64_t(limits.frames) ||
        double(frames) * double(joints) * 96.0 > double(in.Left()) || !(motion.frameTime > 0) ||
        !std::isfinite(motion.frameTime))
      return damaged();
    auto matrix = [&](Matrix& m) {
      for (Vector* v : {&m.off, &m.v1, &m.v2, &m.v3})
        if (!in.Get(v->x) || !in.Get(v->y) || !in.Get(v->z) || !std::isfinite(v->x) || !std::isfinite(v->y) ||
            !std::isfinite(v->z))
          return false;
      return true;
    };
    JointNames names;
    for (std::uint64_t j = 0; j < joints; ++j) {
      Joint joint;
      std::string name;
      if (!in.GetText(name, 4096) || !in.Get(joint.parent) || joint.parent < -1 || joint.parent >= std::int64_t(j) ||
          (j > 0) != (joint.parent >= 0) || !matrix(joint.rest))
        return damaged();
      joint.name = names.Take(std::move(name), "joint" + std::to_string(j));
      motion.skeleton.joints.push_back(std::move(joint));
    }
    motion.locals.resize(std::size_t(frames * joints));
    for (Matrix& m : motion.locals)
      if (!matrix(m)) return damaged();
    std::uint64_t others = 0;
    if (!in.GetText(asset.animation, 4096) || !in.Get(others) || others > 100000) return damaged();
    for (std::uint64_t a = 0; a < others; ++a) {
      std::string name;
      if (!in.GetText(name, 4096)) return damaged();
      asset.otherAnimations.push_back(std::move(name));
    }
    double unit = 1.0;
    std::int32_t up = 1, sign = 1;
    std::uint8_t animated = 0;
    if (!in.Get(unit) || !in.Get(up) || !in.Get(sign) || !in.Get(animated)) return damaged();
    asset.animated = animated != 0;
    const char* axes = "XYZ";
    char unitText[64];
    std::snprintf(unitText, sizeof unitText, "%g", unit);
    asset.note = std::string(asset.animated ? "animation " + asset.animation + "; " : std::string()) + "unit " +
                 (unit == 1.0     ? "1 cm"
                  : unit == 100.0 ? "1 m"
                                  : std::string(unitText) + " cm") +
                 " (read in metres)" + "; up " + (sign < 0 ? "-" : "+") + (up >= 0 && up <= 2 ? axes[up] : '?');
    if (!asset.animated) motion.locals.clear();
    return asset;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

bool LooksLikeFbx(std::string_view start) noexcept {
  if (start.starts_with("Kaydara FBX Binary")) return true;
  if (start.starts_with("\xEF\xBB\xBF")) start.remove_prefix(3);
  if (start.find('\0') != std::string_view::npos) return false;
  return start.starts_with("; FBX") || start.find("FBXHeaderExtension") != std::string_view::npos;
}

void SetFbxReader(const char* path) noexcept { readerPath.store(path); }

Outcome<Asset> ReadFbxFile(const std::string& path, const ReadOptions& options, const FbxLimits& limits) {
  try {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return Bad(std::string("cannot read it: ") + std::strerror(errno), path);
    if (std::int64_t(status.st_size) > limits.fileBytes) return TooLarge(limits.fileBytes, path);
    std::string start(4096, '\0');
    {
      std::ifstream in(path, std::ios::binary);
      in.read(start.data(), std::streamsize(start.size()));
      start.resize(std::size_t(std::max<std::streamsize>(in.gcount(), 0)));
    }
    if (!LooksLikeFbx(start))
      return Bad("not an FBX file: it begins with neither the binary FBX header nor an ASCII FBX header", path);
    const double most = double(limits.samples) * 96.0 + double(limits.nodes) * 4096.0 + (1 << 20);
    RETARGET_ASSIGN(Run run, RunReader(path, options, limits, std::size_t(std::min(most, 1e12))));
    if (run.timedOut)
      return Bad("the FBX reader took longer than " + std::to_string(limits.seconds) + " s on it and was stopped",
                 path);
    if (run.tooLong) return Bad("the FBX reader's answer is longer than the limits allow", path);
    if (WIFSIGNALED(run.status)) {
      const int signal = WTERMSIG(run.status);
      if (signal == SIGXCPU || signal == SIGKILL)
        return Bad("the FBX reader ran out of time (" + std::to_string(limits.seconds) + " s) on it", path);
      return Bad(std::string("the FBX reader crashed on it (") + strsignal(signal) +
                     "): the file is damaged or holds what the reader cannot take",
                 path);
    }
    if (run.out.empty())
      return Bad("the FBX reader crashed on it (exit code " + std::to_string(WEXITSTATUS(run.status)) +
                     "): the file is damaged or holds what the reader cannot take",
                 path);
    return ReadFbxAnswer(run.out, path, limits);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<Asset> ReadFbxAsset(const std::string& path, const ReadOptions& options) { return ReadFbxFile(path, options); }

}  // namespace norvo::retarget
