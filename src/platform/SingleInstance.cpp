#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vox {

TSingleInstance::TSingleInstance(std::string folder, std::string_view name) {
    if (folder.empty()) {
        folder = LockFolder();
    }
    if (folder.empty()) {
        return;  // no guard
    }
    FPath = folder + "/" + std::string(name);
    // O_NOFOLLOW: a planted link must not make us create or lock some other file.
    FFd = ::open(FPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (FFd < 0) {
        return;
    }
    int rc;
    do {
        rc = ::flock(FFd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        FState = TState::Acquired;
        return;
    }
    FState = errno == EWOULDBLOCK ? TState::AlreadyRunning : TState::NoGuard;
    ::close(FFd);
    FFd = -1;
}

TSingleInstance::~TSingleInstance() {
    if (FFd >= 0) {
        ::close(FFd);
    }
}

bool TSingleInstance::IsPrivateFolder(const std::string& path) {
    struct stat st {};
    if (path.empty() || path.front() != '/' || ::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string TSingleInstance::LockFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr) {
        std::string folder(runtime);
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
        if (IsPrivateFolder(folder)) {
            return folder;
        }
    }
    const std::string fallback = "/tmp/voxilen-" + std::to_string(::getuid());
    if (::mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST) {
        return {};
    }
    return IsPrivateFolder(fallback) ? fallback : std::string();
}

}  // namespace vox
