// Runs every SQL script under scripts/ (see engine_testing.h for the
// format): one test per file.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine_testing.h"

namespace bkf::testing {
namespace {

std::vector<std::string> script_files() {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(BKF_ENGINE_SCRIPTS_DIR)) {
    if (e.path().extension() == ".sql") out.push_back(e.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

class Script : public ::testing::TestWithParam<std::string> {};

TEST_P(Script, Runs) { run_script_file(std::string(BKF_ENGINE_SCRIPTS_DIR) + "/" + GetParam()); }

INSTANTIATE_TEST_SUITE_P(Engine, Script, ::testing::ValuesIn(script_files()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string n = info.param.substr(0, info.param.size() - 4);
                           for (char& c : n) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return n;
                         });

}  // namespace
}  // namespace bkf::testing
