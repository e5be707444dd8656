// The benchmark's own measures must measure what they say: the commit
// alone really rewrites the image (and leaves it as it was), and a run
// that did not do its work is reported as failed, not timed as done.
#include "bench/generator.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

namespace
{

std::string Benchruns()
{
    return support::Program("bench/benchruns");
}

ino_t Inode(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::string Output(const std::string& command)
{
    std::string output;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    pclose(pipe);
    return output;
}

TEST(Bench, CommitAloneRewritesTheImageAsItWas)
{
    std::string image = bench::GenerateImage(2, 1 << 20);
    std::string machine = support::MachineWithImage(image);
    std::string path = machine + "/registry.reg";
    ino_t before = Inode(path);
    support::RunResult result =
        support::RunProgram(Benchruns(), {"--commit-only", machine}, machine);
    EXPECT_EQ(0, result.exitStatus);
    EXPECT_NE(before, Inode(path)) << "the image was not written again";
    EXPECT_TRUE(image == support::ReadFile(path));
    EXPECT_FALSE(support::FileExists(path + ".new"));
}

// The line of the table for that run on the default machine; empty if none.
std::string Row(const std::string& output, const std::string& run)
{
    for (std::size_t at = 0; at < output.size();)
    {
        std::size_t end = std::min(output.find('\n', at), output.size());
        std::string line = output.substr(at, end - at);
        if (line.rfind("default ", 0) == 0 && line.find("  " + run) != std::string::npos)
            return line;
        at = end + 1;
    }
    return "";
}

TEST(Bench, EveryRunOnTheDefaultMachineDoesItsWork)
{
    std::string output =
        Output(Benchruns() + " --repeat 1 --programs " + TAVRINE_BINARY_DIR + " --default " +
               TAVRINE_FIXTURES + "/default.reg --work " + support::TempDir());
    for (const char* run :
         {"cp (floor)", "commit alone", "prnsetup /D1", "prnpurge", "prnsetup (no switch)"})
    {
        std::string row = Row(output, run);
        EXPECT_FALSE(row.empty()) << run << " in:\n" << output;
        EXPECT_EQ(std::string::npos, row.find("FAILED")) << row;
    }
}

// Programs that do not do their work, each in a folder of its own beside
// the real other program: the table must say which run failed.
TEST(Bench, RunThatDidNotDoItsWorkIsReportedAsFailed)
{
    const std::string real = std::string(TAVRINE_BINARY_DIR) + "/prnsetup";
    struct Broken
    {
        const char* program; // replaced by the script
        std::string script;
        const char* failedRun;
    };
    const Broken cases[] = {
        {"prnsetup", "exit 0", "prnsetup /D1"},
        {"prnpurge", "exit 0", "prnpurge"},
        {"prnsetup",
         "if [ $# -eq 0 ]; then cp \"$WIN95PREFIX/registry.reg\" \"$WIN95PREFIX/x\" && "
         "mv \"$WIN95PREFIX/x\" \"$WIN95PREFIX/registry.reg\"; exit 0; fi; exec " +
             real + " \"$@\"",
         "prnsetup (no switch)"},
    };
    for (const Broken& broken : cases)
    {
        SCOPED_TRACE(broken.failedRun);
        std::string programs = support::TempDir();
        for (const char* name : {"prnsetup", "prnpurge"})
        {
            std::string path = programs + "/" + name;
            std::string other = std::string(TAVRINE_BINARY_DIR) + "/" + name;
            support::WriteFile(path, "#!/bin/sh\n" +
                                         (name == std::string(broken.program)
                                              ? broken.script
                                              : "exec " + other + " \"$@\"") +
                                         "\n");
            chmod(path.c_str(), 0755);
        }
        std::string output =
            Output(Benchruns() + " --repeat 1 --programs " + programs + " --default " +
                   TAVRINE_FIXTURES + "/default.reg --work " + support::TempDir());
        for (const char* run : {"prnsetup /D1", "prnpurge", "prnsetup (no switch)"})
        {
            std::string row = Row(output, run);
            ASSERT_FALSE(row.empty()) << run << " in:\n" << output;
            EXPECT_EQ(run == std::string(broken.failedRun), row.find("FAILED") != std::string::npos)
                << row;
        }
    }
}

} // namespace
