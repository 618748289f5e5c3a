// Runs programs of the build from tests, through the emulator when the
// build is for another architecture (the emulator is what ctest itself uses).
#pragma once

#include "kxtest.h"

#include <functional>
#include <string>
#include <vector>

namespace kxtest {

// A program built next to this test program, e.g. programPath("kxctl").
std::string programPath(const std::string &name);

// The command line that runs path with args here: behind the emulator of a
// cross build, as it is otherwise.
std::vector<std::string> commandLine(const std::string &path, const std::vector<std::string> &args);

// Replaces the calling (forked) process by the command line, with the
// extra environment entries; standard input, output and error become in,
// out and err where those are not -1.
[[noreturn]] void execCommand(const std::vector<std::string> &line,
                              const std::vector<std::string> &env, int in, int out, int err);

using ProgramResult = ChildResult;

// Runs child(out, err) in a forked process that exits 0 when it returns;
// out and err are files for its standard output and error. Kills it after
// timeoutMs.
ChildResult runForked(const std::function<void(int out, int err)> &child, int timeoutMs);

// Runs a program to its end with input on its standard input, the extra
// environment entries (NAME=VALUE) added; killed after timeoutMs.
ProgramResult runProgram(const std::string &path, const std::vector<std::string> &args,
                         const std::string &input = {}, const std::vector<std::string> &env = {},
                         int timeoutMs = 30000);

} // namespace kxtest
