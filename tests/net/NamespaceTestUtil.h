// Runs a piece of a test in a network and mount namespace of its own.
//
// The body runs in a child process made by fork() that first unshares both namespaces, so
// whatever it sets up there (interfaces, routes, a hosts file mounted over /etc/hosts) goes with
// the child, however the child ends: nothing is left behind and no name can collide with another
// test's. Call it while the test process has no other threads (fork copies only the caller).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace vox::test {

struct TNamespaceRun {
    bool Unavailable = false;  // no namespaces here (not root): the caller skips
    bool Finished = false;     // the body returned within the limit
    int Status = -1;           // the body's result
    std::string Output;        // what the body wrote to its report
};

// Runs body(report) in a fresh network and mount namespace; body writes to report (a file
// descriptor) what the parent should see and returns 0 for success. The loopback interface is
// up. The child is killed when it runs longer than limitMs.
inline TNamespaceRun RunInNamespace(const std::function<int(int report)>& body,
                                    int limitMs = 30000) {
    TNamespaceRun run;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return run;
    }
    int ready[2];  // the child says whether it could unshare
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return run;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        ::close(ready[0]);
        char ok = 1;
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            std::system("ip link set lo up") != 0) {
            ok = 0;
        }
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &ok, 1);
        ::close(ready[1]);
        if (ok == 0) {
            ::_exit(99);
        }
        const int status = body(pipeFds[1]);
        ::close(pipeFds[1]);
        std::fflush(nullptr);
        ::_exit(status);
    }
    ::close(pipeFds[1]);
    ::close(ready[1]);
    if (child < 0) {
        ::close(pipeFds[0]);
        ::close(ready[0]);
        return run;
    }
    char ok = 0;
    if (::read(ready[0], &ok, 1) != 1 || ok == 0) {
        ::close(ready[0]);
        ::close(pipeFds[0]);
        ::waitpid(child, nullptr, 0);
        run.Unavailable = true;
        return run;
    }
    ::close(ready[0]);
    for (;;) {
        pollfd entry{pipeFds[0], POLLIN, 0};
        if (::poll(&entry, 1, limitMs) <= 0) {
            ::kill(child, SIGKILL);  // over its time: it ends, and its namespaces with it
            break;
        }
        char buffer[512];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        run.Output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    run.Finished = WIFEXITED(status);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Writes text to a report descriptor.
inline void Report(int report, const std::string& text) {
    [[maybe_unused]] const ssize_t n = ::write(report, text.data(), text.size());
}

// Mounts a file with these contents over /etc/hosts (in the namespace of the caller).
inline bool MountHosts(const std::string& contents) {
    char path[] = "/tmp/vox-hosts-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        return false;
    }
    const bool written =
        ::write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
    ::close(fd);
    const bool mounted = written && ::mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    ::unlink(path);  // the mount keeps the file as long as it is needed
    return mounted;
}

}  // namespace vox::test
