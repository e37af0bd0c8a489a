#include "jobs/job_steps.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

class JobStepsTest : public ScratchDirTest {
 protected:
  // Writes an executable shell script `name` with `body`.
  std::string Tool(const char* name, const std::string& body) const {
    std::ofstream(Path(name)) << "#!/bin/sh\n" << body;
    chmod(Path(name).c_str(), 0755);
    return Path(name);
  }
  std::string ReadBack(const char* name) const { return ReadFile(Path(name)); }
};

TEST_F(JobStepsTest, ToolOutputAndFailuresGoWhereTheShellWouldPutThem) {
  const std::string echo = Tool("echo", "echo \"$#:$1:$2\"\necho err >&2\n");
  const std::string missing = Path("missing");
  const std::string not_executable = Path("log-me");
  std::ofstream(not_executable) << "";
  const std::string fails = Tool("fails", "exit 3\n");
  const std::string killed = Tool("killed", "kill -s KILL $$\n");
  using End = ToolStatus::End;
  struct Case {
    std::vector<std::string> argv;
    bool stderr_to_log;
    std::string log;     // what the log holds afterwards
    std::string stderr;  // what the worker's stderr got
    End end;
    int value;
  };
  const Case cases[] = {
      {{echo, "-", "/tmp/plim/tmp/A $x.rec"},
       true,
       "2:-:/tmp/plim/tmp/A $x.rec\nerr\n",
       "",
       End::kExited,
       0},
      {{echo, "A \"B\""}, false, "1:A \"B\":\n", "err\n", End::kExited, 0},
      {{missing, "-"},
       true,
       "plimd: cannot run " + missing + ": No such file or directory\n",
       "",
       End::kExited,
       127},
      {{missing, "x"},
       false,
       "",
       "plimd: cannot run " + missing + ": No such file or directory\n",
       End::kExited,
       127},
      {{not_executable},
       true,
       "plimd: cannot run " + not_executable + ": Permission denied\n",
       "",
       End::kExited,
       127},
      {{fails}, true, "", "", End::kExited, 3},
      {{killed}, true, "", "", End::kSignaled, 9},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(Path("log"));
    testing::internal::CaptureStderr();
    {
      const JobLog log(Path("log"));
      AppendLine(log, "before");
      const ToolStatus status = RunTool(c.argv, log, c.stderr_to_log, /*time_limit_seconds=*/0);
      AppendLine(log, "after");
      EXPECT_EQ(status.end, c.end) << c.argv[0];
      EXPECT_EQ(status.value, c.value) << c.argv[0];
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.stderr) << c.argv[0];
    EXPECT_EQ(ReadBack("log"), "before\n" + c.log + "after\n") << c.argv[0];
  }
}

TEST_F(JobStepsTest, LogThatCannotBeOpenedIsReportedByEveryStepAndRunsNoTool) {
  const std::string tool = Tool("touch", "touch " + Path("ran") + "\n");
  const std::string log_path = Path("no-such-folder/log");
  testing::internal::CaptureStderr();
  {
    const JobLog log(log_path);
    AppendLine(log, "line");
    EXPECT_EQ(RunTool({tool}, log, true, 0).end, ToolStatus::End::kNotRun);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "plimd: cannot write to " + log_path + ": No such file or directory\n" +
                "plimd: cannot open " + log_path + ": No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists(Path("ran")));
}

}  // namespace
}  // namespace plim
