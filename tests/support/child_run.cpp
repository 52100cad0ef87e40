#include "child_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {
namespace {

std::string readAll(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        text.append(chunk, got);
    }
    std::fclose(file);
    return text;
}

}  // namespace

ChildRun runInChild(const std::function<int(int logDescriptor)>& body)
{
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::FILE* log = std::tmpfile();
    if (out == nullptr || err == nullptr || log == nullptr) {
        throw std::runtime_error("no temporary files");
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        ::dup2(::fileno(out), STDOUT_FILENO);
        ::dup2(::fileno(err), STDERR_FILENO);
        std::exit(body(::fileno(log)));
    }
    int wstatus = 0;
    ::waitpid(child, &wstatus, 0);
    ChildRun run;
    run.exited = WIFEXITED(wstatus);
    run.status = run.exited ? WEXITSTATUS(wstatus) : -1;
    run.signalled = WIFSIGNALED(wstatus);
    run.signal = run.signalled ? WTERMSIG(wstatus) : 0;
    run.out = readAll(out);
    run.err = readAll(err);
    run.log = readAll(log);
    return run;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace testing_support
