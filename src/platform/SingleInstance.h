// One running copy per login. The first copy takes an exclusive lock on a file in the login's
// private runtime folder and keeps it until the process ends; the system drops the lock with
// the process, so a copy that crashed never blocks the next start. A later copy finds the lock
// taken and knows another copy runs; it touches nothing of the running copy but its wake-up
// socket: a local socket beside the lock, on which a later start asks the running copy to
// bring its window to the front.
#pragma once

#include <string>
#include <string_view>

namespace vox {

// The lock's file name: fixed, so a copy under another file name or in another folder is
// refused all the same.
inline constexpr std::string_view kSingleInstanceName = "Voxilen.exe-WakeUp";

class TSingleInstance {
  public:
    enum class TState {
        Acquired,        // this is the only copy; the lock is held until destruction
        AlreadyRunning,  // another copy holds the lock
        NoGuard,         // the lock could not be set up: run without the guard
    };

    // Tries to take the lock on folder/name. An empty folder means LockFolder().
    explicit TSingleInstance(std::string folder = {}, std::string_view name = kSingleInstanceName);
    // Releases the lock (closing the file is enough) and removes the wake-up socket.
    ~TSingleInstance();

    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    TState State() const { return FState; }
    // The file the lock is on; empty when no usable folder was found.
    const std::string& LockPath() const { return FPath; }

    // The copy that holds the lock: the listening wake-up socket (non-blocking; readable when
    // a later start knocks), -1 when it could not be set up.
    int WakeFd() const { return FWakeFd; }
    // The copy that holds the lock: takes every knock waiting; true when there was one.
    bool TakeWakeCalls() const;
    // A copy refused as AlreadyRunning: knocks at the running copy's wake-up socket. False
    // when no running copy listens there.
    bool WakeRunningCopy() const;

    // The login's private folder for the lock: $XDG_RUNTIME_DIR when it names a folder of
    // this user that nobody else may write to; otherwise /tmp/voxilen-<uid>, created with mode
    // 0700 and used only when it is a real folder of this user, closed to others. Empty when
    // neither is usable.
    static std::string LockFolder();
    // Whether path is a folder (not a link to one) owned by this user and writable by nobody
    // else: a lock there cannot be taken or faked by another user.
    static bool IsPrivateFolder(const std::string& path);

  private:
    std::string FPath;
    int FFd = -1;
    int FWakeFd = -1;
    std::string FWakePath;
    TState FState = TState::NoGuard;
};

}  // namespace vox
