// The fixture of unit tests that work on files: a fresh folder under /tmp, removed with all it
// holds when the test ends.
#ifndef PLIMD_TESTS_SCRATCH_DIR_H_
#define PLIMD_TESTS_SCRATCH_DIR_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace plim {

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class ScratchDirTest : public testing::Test {
 protected:
  ~ScratchDirTest() override { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_ = mkdtemp(std::string("/tmp/plimd_test_XXXXXX").data());
};

}  // namespace plim

#endif  // PLIMD_TESTS_SCRATCH_DIR_H_
