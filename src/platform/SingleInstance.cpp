#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vox {

namespace {

// The wake-up socket's address; false when the path does not fit.
bool WakeAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

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
    FWakePath = FPath + ".socket";
    if (rc == 0) {
        FState = TState::Acquired;
        // Whatever lies at the socket's place was left by a copy that is gone: the lock says so.
        sockaddr_un address{};
        if (WakeAddress(FWakePath, address)) {
            ::unlink(FWakePath.c_str());
            FWakeFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (FWakeFd >= 0 && (::bind(FWakeFd, reinterpret_cast<const sockaddr*>(&address),
                                        sizeof address) != 0 ||
                                 ::listen(FWakeFd, 4) != 0)) {
                ::close(FWakeFd);
                FWakeFd = -1;
            }
        }
        return;
    }
    FState = errno == EWOULDBLOCK ? TState::AlreadyRunning : TState::NoGuard;
    ::close(FFd);
    FFd = -1;
}

TSingleInstance::~TSingleInstance() {
    if (FWakeFd >= 0) {
        ::close(FWakeFd);
        ::unlink(FWakePath.c_str());  // still under the lock: nobody else made it
    }
    if (FFd >= 0) {
        ::close(FFd);
    }
}

bool TSingleInstance::TakeWakeCalls() const {
    bool knocked = false;
    for (;;) {
        const int caller = ::accept4(FWakeFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (caller < 0) {
            if (errno == EINTR) {
                continue;
            }
            return knocked;  // none waiting (or no socket)
        }
        ::close(caller);
        knocked = true;
    }
}

bool TSingleInstance::WakeRunningCopy() const {
    sockaddr_un address{};
    if (FState != TState::AlreadyRunning || !WakeAddress(FWakePath, address)) {
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    ::close(fd);
    return rc == 0;
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
