// norvo-fbx-read FILE [--animation A] [--fps N] [--memory BYTES] [--seconds S]
//
// Reads an FBX file for norvo-retarget, which runs it as a process of its
// own: the FBX library may crash, hang or fill memory on a damaged file, and
// then only this process dies, within the memory and processor time it was
// given. Writes the skeleton and its frames, or why the file is not read,
// to standard output (src/io/fbxwire.h); exit code 0 whenever it wrote them.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

#include "convert.h"
#include "fbxwire.h"

namespace {

bool WriteAll(const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += std::size_t(n);
  }
  return true;
}

void Limit(int resource, unsigned long long value) {
  const rlimit limit{rlim_t(value), rlim_t(value)};
  ::setrlimit(resource, &limit);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace norvo::retarget;
  if (argc < 2) {
    std::fprintf(stderr, "usage: norvo-fbx-read FILE [--animation A] [--fps N] [--memory BYTES] [--seconds S]\n");
    return 64;
  }
  fbx::Request request;
  unsigned long long memory = 0, seconds = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--animation") request.animation = argv[i + 1];
    else if (option == "--fps") request.fps = std::strtod(argv[i + 1], nullptr);
    else if (option == "--memory") memory = std::strtoull(argv[i + 1], nullptr, 10);
    else if (option == "--seconds") seconds = std::strtoull(argv[i + 1], nullptr, 10);
  }
  // A sanitizer's shadow memory takes more address space than any limit.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  if (memory > 0) Limit(RLIMIT_AS, memory);
#endif
  if (seconds > 0) Limit(RLIMIT_CPU, seconds);
  std::string out;
  try {
    std::ifstream in(argv[1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    out = fbx::Convert(bytes, request);
  } catch (const std::bad_alloc&) {
    out.clear();
    out.append(fbxwire::kMagic, 4);
    fbxwire::Put(out, fbxwire::kVersion);
    fbxwire::Put(out, std::uint8_t(fbxwire::kBadInput));
    fbxwire::PutText(out, "the file needs more memory to read than the limit of " + std::to_string(memory) + " bytes");
  }
  return WriteAll(out) ? 0 : 1;
}
