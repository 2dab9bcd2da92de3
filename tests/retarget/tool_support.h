// Running norvo-retarget as a user does, in a folder of the test's own.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace norvo::retarget::test {

inline std::string ReadAll(const std::filesystem::path& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// A fixture with a fresh folder per test; `Base` may load the module too.
template <class Base = ::testing::Test>
class WithTool : public Base {
 protected:
  struct Run {
    int status;
    std::string out, err;
  };
  void SetUp() override { std::filesystem::create_directories(dir_); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name)) << text;
    return Path(name);
  }
  // Runs the tool with `arguments` (already quoted where needed).
  Run Tool(const std::string& arguments) const {
    const std::string command = std::string(NORVO_RETARGET_TOOL) + " " + arguments + " >" + Path("out.txt") + " 2>" +
                                Path("err.txt") + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(Path("out.txt")), ReadAll(Path("err.txt"))};
  }

  const std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                                     ("norvo-retarget-test-" + std::to_string(::getpid()) + "-" +
                                      ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "." +
                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

}  // namespace norvo::retarget::test
