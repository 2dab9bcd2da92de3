// Memory: a glTF file is read in at most about three times its size, besides
// what the same clip takes from a small file; a long clip's result is held
// once; an FBX batch's readers stay under their 4 GiB. Peaks are measured in
// the normal build only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "retarget_support.h"
#include "tool_support.h"

extern char** environ;

namespace norvo::retarget {
namespace {

using test::SharedPath;

using Memory = test::WithTool<>;

// The tool's exit status and its peak resident memory in bytes, the peaks of
// the processes it waited for (its FBX readers) included. The tool is
// started by fork, not posix_spawn: a process started by vfork counts the
// peak of the test's own memory as its own.
std::pair<int, std::int64_t> PeakOfTool(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  const std::string tool = NORVO_RETARGET_TOOL;
  argv.push_back(const_cast<char*>(tool.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execve(argv[0], argv.data(), environ);
    ::_exit(127);
  }
  if (pid < 0) return {-1, 0};
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::int64_t(usage.ru_maxrss) * 1024};
}

std::string Base64(std::string_view bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t bits = std::uint32_t(std::uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) bits |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) bits |= std::uint8_t(bytes[i + 2]);
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? digits[(bits >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

// The shared walk as a .gltf whose buffer, `extra` zero bytes longer, is a
// data URI, and as a GLB with that buffer in its BIN chunk.
void WriteGrown(const std::string& glb, std::size_t extra, const std::string& gltfPath, const std::string& glbPath) {
  auto word = [&](std::size_t at) {
    std::uint32_t w = 0;
    std::memcpy(&w, glb.data() + at, 4);
    return w;
  };
  const std::size_t jsonLength = word(12), binAt = 20 + jsonLength;
  nlohmann::json json = nlohmann::json::parse(glb.substr(20, jsonLength));
  std::string bin = glb.substr(binAt + 8, word(binAt));
  bin.append(extra, '\0');
  json["buffers"][0]["byteLength"] = bin.size();
  std::string text = json.dump();
  while (text.size() % 4 != 0) text.push_back(' ');
  std::ofstream out(glbPath, std::ios::binary);
  auto put = [&](std::uint32_t w) { out.write(reinterpret_cast<const char*>(&w), 4); };
  put(0x46546C67);
  put(2);
  put(std::uint32_t(12 + 8 + text.size() + 8 + bin.size()));
  put(std::uint32_t(text.size()));
  put(0x4E4F534A);
  out << text;
  put(std::uint32_t(bin.size()));
  put(0x004E4942);
  out << bin;
  json["buffers"][0]["uri"] = "data:application/octet-stream;base64," + Base64(bin);
  std::ofstream(gltfPath, std::ios::binary) << json.dump();
}

// A .gltf of about 100 MB with its buffer in a data URI, and the same as a
// GLB, each as the source: the peak is at most the small file's peak (the
// program, the motion's matrices) and three times the file's size.
TEST_F(Memory, GltfIsReadInThreeTimesItsSize) {
#ifdef NORVO_SANITIZED
  GTEST_SKIP() << "a sanitizer's memory is no measure of the tool's";
#endif
  const std::string small = SharedPath("../gltf/cmu_02_01_walk.glb");
  WriteGrown(test::ReadAll(small), 75'000'000, Path("big.gltf"), Path("big.glb"));
  const auto [smallStatus, base] = PeakOfTool({small, "--target", SharedPath("cmu_12_03.bvh"), "-o", Path("s.bvh")});
  ASSERT_EQ(smallStatus, 0);
  for (const char* file : {"big.gltf", "big.glb"}) {
    SCOPED_TRACE(file);
    const std::int64_t size = std::int64_t(std::filesystem::file_size(Path(file)));
    const auto [status, peak] = PeakOfTool({Path(file), "--target", SharedPath("cmu_12_03.bvh"), "-o", Path("b.bvh")});
    ASSERT_EQ(status, 0);
    EXPECT_LE(peak, base + 3 * size) << "peak " << peak << " for " << size << " bytes, " << base
                                     << " for the small file";
    EXPECT_EQ(test::ReadAll(Path("b.bvh")), test::ReadAll(Path("s.bvh")));  // the padding changes nothing
  }
}

// The shared walk's frames repeated 30 times (10,320 frames) onto the
// MakeHuman skeleton, whose world the result is turned into: the peak is at
// most the plain walk's, the source's and the result's matrices once each,
// and twice the file (read in, written out).
TEST_F(Memory, ALongClipsResultIsHeldOnce) {
#ifdef NORVO_SANITIZED
  GTEST_SKIP() << "a sanitizer's memory is no measure of the tool's";
#endif
  const std::string walk = test::ReadAll(SharedPath("cmu_02_01_walk.bvh"));
  const std::size_t motion = walk.find("MOTION"), frames = walk.find("Frames:", motion);
  const std::size_t time = walk.find("Frame Time:", frames), lines = walk.find('\n', time) + 1;
  const std::int64_t count = std::stoll(walk.substr(frames + 7)) * 30;
  std::string longWalk = walk.substr(0, frames) + "Frames: " + std::to_string(count) + "\n" +
                         walk.substr(time, lines - time);
  for (int i = 0; i < 30; ++i) longWalk += walk.substr(lines);
  std::ofstream(Path("long.bvh"), std::ios::binary) << longWalk;
  const std::string target = SharedPath("makehuman_zombie_walk.bvh");
  const auto [plainStatus, base] =
      PeakOfTool({SharedPath("cmu_02_01_walk.bvh"), "--target", target, "-o", Path("p.bvh")});
  ASSERT_EQ(plainStatus, 0);
  const auto [status, peak] = PeakOfTool({Path("long.bvh"), "--target", target, "-o", Path("l.bvh")});
  ASSERT_EQ(status, 0);
  const std::int64_t matrices = count * (31 + 75) * std::int64_t(sizeof(Matrix));
  const std::int64_t size = std::int64_t(longWalk.size());
  EXPECT_LE(peak, base + matrices + 2 * size)
      << "peak " << peak << " for " << count << " frames, " << base << " for the plain walk";
}

// A batch of FBX clips on two workers: the readers (and the tool) stay
// under the readers' limit of 4 GiB.
TEST_F(Memory, FbxBatchReadersStayUnderTheirLimit) {
#ifdef NORVO_SANITIZED
  GTEST_SKIP() << "a sanitizer's memory is no measure of the tool's";
#endif
  std::filesystem::create_directories(Path("clips"));
  for (const char* clip : {"cmu_02_01_walk.fbx", "makehuman_zombie_walk.fbx"})
    std::filesystem::copy_file(SharedPath(std::string("../fbx/") + clip), Path(std::string("clips/") + clip));
  const auto [status, peak] =
      PeakOfTool({"--batch", Path("clips"), "--jobs", "2", "--target", SharedPath("cmu_12_03.bvh"), "-o", Path("out")});
  ASSERT_EQ(status, 0);
  EXPECT_LT(peak, std::int64_t(4) << 30);
}

}  // namespace
}  // namespace norvo::retarget
