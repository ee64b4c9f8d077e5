// Running the sigpat program from the CLI tests: a suite-wide temporary directory, a run with
// captured output and exit status, and the JSON detections of a scan.
#ifndef SIGPAT_TEST_RUNNER_H
#define SIGPAT_TEST_RUNNER_H

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

struct RunResult {
  int status = -1;
  std::string out, err;
  std::vector<std::string> outLines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Base of the CLI fixtures: files shared by a suite live in dir_, made in SetUpTestSuite.
class SigpatTest : public ::testing::Test {
 protected:
  static void OpenDir() { dir_ = new sptest::TempDir(); }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string File(const std::string& name) { return dir_->File(name); }

  // Runs sigpat with the arguments (a shell command line), standard input from stdinFile.
  static RunResult Run(const std::string& args, const std::string& stdinFile = "/dev/null") {
    return Shell(std::string(SIGPAT_EXE) + " " + args + " <" + stdinFile);
  }

  // Runs a shell command line (bash) with its standard output and error captured.
  static RunResult Shell(const std::string& command) {
    static int counter = 0;
    const std::string out = File("out" + std::to_string(counter)), err = File("err" + std::to_string(counter));
    const std::string script = File("cmd" + std::to_string(counter));
    ++counter;
    {
      std::ofstream s(script);
      s << command << "\n";
    }
    const std::string cmd = "bash " + script + " >" + out + " 2>" + err;
    int raw = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
    r.out = ReadText(out);
    r.err = ReadText(err);
    return r;
  }

  // The JSON detections of a scan (which must succeed).
  static std::vector<nlohmann::json> ScanJson(const std::string& args, const std::string& stdinFile = "/dev/null") {
    RunResult r = Run("scan --json " + args, stdinFile);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<nlohmann::json> found;
    for (const auto& line : r.outLines()) found.push_back(nlohmann::json::parse(line));
    return found;
  }

  inline static sptest::TempDir* dir_ = nullptr;
};

#endif
