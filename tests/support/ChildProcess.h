// A program run as a child with a deadline, its output collected in a file.
//
//   testsupport::ChildProcess peer;
//   peer.Run({"voipcall", "--listen", ...});   // in a fresh folder, output in output.log there
//   ASSERT_TRUE(peer.WaitForOutput("listening ")) << peer.Log();
//   EXPECT_EQ(peer.Stop(), 0);
//
// By default the child runs in a folder of its own (made on demand, removed with the object), its
// standard output and error together in output.log there and /dev/null as its input. The working
// directory, the output file, a file of its own for errors and extra environment variables can be set
// before Run.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace testsupport {

class ChildProcess
{
public:
    // What Wait and Stop return instead of an exit code.
    static constexpr int kTimedOut = -1000; // it did not end in time and was killed
    static constexpr int kSignalled = -1;   // a signal ended it

    ChildProcess() = default;
    virtual ~ChildProcess(); // kills a child still running and removes its folder
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Makes the folder (Folder()) now, so files can be put there before the child runs.
    bool MakeFolder();
    const std::string& Folder() const { return folder_; }
    void SetWorkingDirectory(std::string path) { workDir_ = std::move(path); }
    // Standard output (and error, unless SetErrorFile) appended to that file instead.
    void SetOutputFile(std::string path) { outputPath_ = std::move(path); }
    // Standard error apart from the output, appended to that file.
    void SetErrorFile(std::string path) { errorPath_ = std::move(path); }
    // Set in the child's environment on top of this process's.
    void SetEnvironment(const std::string& name, const std::string& value) { environment_.emplace_back(name, value); }

    // argv[0] is the program, looked up in PATH; with input, its standard input is a pipe fed by Write.
    bool Run(const std::vector<std::string>& argv, bool input = false);
    bool Write(const std::string& text);
    bool Running();
    // The exit code, kTimedOut or kSignalled.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(40));
    // SIGTERM, then Wait.
    int Stop(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // SIGKILL, as a crash would end it, then Wait: kSignalled.
    int Kill(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // What the last Wait or Stop returned.
    int ExitCode() const { return exitCode_; }

    const std::string& OutputPath() const { return outputPath_; }
    std::string Output() const;
    std::string Errors() const;
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool WaitForAnyOutput(const std::vector<std::string>& texts,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Every file in the child's own folder (the ends of long ones), for failure messages.
    std::string Log() const;

private:
    void Ended(int status);

    pid_t pid_ = -1;
    int pidFd_ = -1;
    int input_ = -1;
    int exitCode_ = kTimedOut;
    std::string folder_;
    std::string workDir_;
    std::string outputPath_;
    std::string errorPath_;
    std::vector<std::pair<std::string, std::string>> environment_;
};

} // namespace testsupport
