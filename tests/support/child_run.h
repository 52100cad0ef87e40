// Runs a piece of code in a child process with its standard output and error captured,
// and tells how the child ended.
#pragma once

#include <functional>
#include <string>

namespace testing_support {

struct ChildRun {
    bool exited = false;     // ended through exit with `status`
    int status = -1;
    bool signalled = false;  // ended by signal `signal`
    int signal = 0;
    std::string out;
    std::string err;
    std::string log;         // what the child wrote to the descriptor it was handed
};

// Forks; the child calls body(logDescriptor) and exits with its result, through exit().
ChildRun runInChild(const std::function<int(int logDescriptor)>& body);

std::string readFile(const std::string& path);

}  // namespace testing_support
