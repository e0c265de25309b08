// End-to-end cases: runs the sgmatch binary on every folder under tests/cases/ and compares its
// standard output, its exit status and the whole working directory afterwards with the folder's
// expectations. Each folder is one test (Cases/Run/<folder>), run again with threads=2 and threads=4
// (Cases/Run/<folder>_threads2, ...), whose outputs must be those of one thread byte for byte.
//
// Layout of a case folder (the folder name may hold letters, digits and underscores):
//
//   args              optional; one argument per line, in order (no file: no arguments)
//   stdin             optional; fed to standard input (no file: empty input)
//   input/            optional; copied into a fresh, otherwise empty working directory, in which
//                     the tool runs. An empty directory is kept by a ".keep" file inside it, e.g.
//                     input/stats/.keep for the default statistics directory.
//   expected/stdout   standard output with every "Time/ms: <ms>" written as "Time/ms: T" and the
//                     closing average as "Average time per query: Ts. Done!"
//   expected/status   the exit status in decimal (255 for exit(-1))
//   expected/files/   every file the run must leave besides the inputs, byte for byte (the
//                     subgraph output file, stats/<n>, ...), and inputs the run must rewrite
//   expected/removed  optional; input files the run must remove, one relative path per line
//
// After the run the working directory must hold exactly the inputs (unchanged, minus the removed
// ones) and expected/files: a missing or extra file or directory fails the case, so a leftover
// temporary file or a stale statistics file is caught as well as a wrong byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const fs::path casesRoot = SGMATCH_CASES_DIR;

std::vector<std::string> caseNames() {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(casesRoot)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> linesOf(const fs::path& path) {
  std::vector<std::string> lines;
  if (!fs::exists(path)) return lines;
  std::istringstream text(readFile(path.string()));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

// Relative path -> content for every file under root, and -> nullopt for every directory.
using Tree = std::map<std::string, std::optional<std::string>>;

void addTree(const fs::path& root, Tree* tree) {
  if (!fs::exists(root)) return;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).generic_string();
    if (entry.is_directory()) {
      (*tree)[name] = std::nullopt;
    } else {
      (*tree)[name] = readFile(entry.path().string());
    }
  }
}

// What the working directory must hold after the run.
Tree expectedTree(const fs::path& folder) {
  Tree tree;
  addTree(folder / "input", &tree);
  for (const std::string& removed : linesOf(folder / "expected/removed")) {
    EXPECT_EQ(tree.erase(removed), 1u) << "expected/removed names no input: " << removed;
  }
  Tree outputs;
  addTree(folder / "expected/files", &outputs);
  for (auto& [name, content] : outputs) tree[name] = content;
  return tree;
}

class Cases : public testing::TestWithParam<std::tuple<std::string, int>> {};

}  // namespace

TEST_P(Cases, Run) {
  const auto [name, threads] = GetParam();
  const fs::path folder = casesRoot / name;
  ASSERT_TRUE(fs::exists(folder / "expected/stdout")) << folder;
  ASSERT_TRUE(fs::exists(folder / "expected/status")) << folder;

  TempDir scratch;
  const fs::path work = fs::path(scratch.path()) / "work";
  fs::create_directory(work);
  if (fs::exists(folder / "input")) fs::copy(folder / "input", work, fs::copy_options::recursive);
  const std::string input = fs::exists(folder / "stdin") ? readFile((folder / "stdin").string()) : "";

  std::vector<std::string> arguments = linesOf(folder / "args");
  if (threads > 1) arguments.push_back("threads=" + std::to_string(threads));
  const ProcessResult result = runProcess(SGMATCH_BINARY, arguments, work.string(), input);

  EXPECT_EQ(maskTimes(result.output), readFile((folder / "expected/stdout").string()));
  EXPECT_EQ(result.status, std::stoi(readFile((folder / "expected/status").string())));

  Tree actual;
  addTree(work, &actual);
  const Tree expected = expectedTree(folder);
  for (const auto& [name, content] : expected) {
    auto found = actual.find(name);
    if (found == actual.end()) {
      ADD_FAILURE() << "missing: " << name;
    } else if (found->second.has_value() != content.has_value()) {
      ADD_FAILURE() << "file and directory confused: " << name;
    } else if (content.has_value()) {
      EXPECT_EQ(*found->second, *content) << "content of " << name;
    }
  }
  for (const auto& [name, content] : actual) {
    if (expected.count(name) == 0) ADD_FAILURE() << "unexpected " << (content ? "file: " : "directory: ") << name;
  }
}

INSTANTIATE_TEST_SUITE_P(, Cases, testing::Combine(testing::ValuesIn(caseNames()), testing::Values(1, 2, 4)),
                         [](const testing::TestParamInfo<std::tuple<std::string, int>>& info) {
                           const int threads = std::get<1>(info.param);
                           return std::get<0>(info.param) + (threads > 1 ? "_threads" + std::to_string(threads) : "");
                         });
