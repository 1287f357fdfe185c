// Listener with one thread per accepted connection.
//
// TServerSocket listens on a port and runs an accept thread. Every accepted connection goes,
// on that accept thread and in this order, to OnAccept, and then to a thread: an idle cached
// TServerClientThread when there is one, otherwise a new one made by OnGetThread. The listener
// owns its threads: it starts them, frees those that have ended, and on Close() ends and
// frees the rest.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/CustomWinSocket.h"
#include "platform/Thread.h"

namespace vox {

class TServerSocket;
class TSynchronizer;

// Base class of a thread that serves accepted connections. The subclass overrides
// ClientExecute(), which serves ClientSocket() and returns when done with it; the connection
// is then freed (closed). The thread stays for the next connection only when it was admitted
// to the listener's cache and has not been told to terminate; a subclass that calls
// Terminate() at the end of ClientExecute() serves exactly one connection.
//
// OnGetThread creates the object (with its synchronizer, priority and OnTerminate) but does
// not start it: the listener attaches the connection and starts it.
class TServerClientThread : public TThread {
  public:
    explicit TServerClientThread(TSynchronizer* sync = nullptr);
    // Stops a thread that still runs (a listener always has, before it frees one).
    ~TServerClientThread() override;
    TServerClientThread(const TServerClientThread&) = delete;
    TServerClientThread& operator=(const TServerClientThread&) = delete;

    // The connection being served; null between connections. Stable while ClientExecute()
    // runs; other threads must not keep it beyond that.
    TCustomWinSocket* ClientSocket() const;
    TServerSocket* ServerSocket() const;

    // User data; the socket layer never reads it.
    void SetData(void* data) { data_.store(data); }
    void* Data() const { return data_.load(); }

    // Whether the thread stays for another connection (decided when it was added).
    bool KeepInCache() const;

    // Closes the connection being served, if any; thread-safe. A derived class's destructor
    // stops a thread that may still run with Terminate(), CloseConnection(), WaitFor().
    void CloseConnection();

    // Serves one connection on the calling thread, as the thread's own body serves one the
    // listener hands it, and frees it after; for running a connection's whole life in one
    // thread. Only on a thread object that has not been started. An exception that escapes
    // ClientExecute() propagates.
    void ServeHere(std::unique_ptr<TCustomWinSocket> socket);

  protected:
    virtual void ClientExecute() = 0;
    // Wakes the thread when it idles in the cache. Overrides must call this one.
    void TerminateRequested() override;

  private:
    friend class TServerSocket;

    void Execute() final;
    void AfterFinish() final;
    void Attach(TServerSocket* server, std::unique_ptr<TCustomWinSocket> socket, bool keep);
    bool TryAssign(std::unique_ptr<TCustomWinSocket>& socket);

    mutable std::mutex connMutex_;
    std::condition_variable connCv_;
    TServerSocket* server_ = nullptr;
    std::unique_ptr<TCustomWinSocket> socket_;
    bool keepInCache_ = false;
    bool idle_ = false;   // waiting for a connection
    bool ended_ = false;  // no longer counted as active (under the listener's list lock)
    std::atomic<void*> data_{nullptr};
};

class TServerSocket {
  public:
    // sync: the synchronizer whose main thread may call Close(); Close() keeps running the
    // calls synchronised onto it while it waits, and exceptions reach OnException through it.
    explicit TServerSocket(TSynchronizer* sync = nullptr);
    // Closes as Close() does; never raises.
    virtual ~TServerSocket();

    TServerSocket(const TServerSocket&) = delete;
    TServerSocket& operator=(const TServerSocket&) = delete;

    // Settings; changing Port or BindAddress while open raises ESocketError
    // "ソケットを使用中は値を変更できません".
    int Port() const { return port_; }
    void SetPort(int port);
    // The local address to listen on (dotted IPv4 or IPv6); "" (the default) means every local
    // address, IPv4 and IPv6 on one dual-stack socket (IPv4 alone without IPv6).
    const std::string& BindAddress() const { return bindAddress_; }
    void SetBindAddress(std::string address);
    // Number of connection threads kept for reuse (default 10; 0: one thread per connection).
    int ThreadCacheSize() const { return threadCacheSize_.load(); }
    void SetThreadCacheSize(int size) { threadCacheSize_.store(size); }

    // Binds (SO_REUSEADDR), listens with a backlog of 5 and starts the accept thread. Does
    // nothing when open. Raises ESocketError "ソケットが作成できません" or the socket error
    // with API 'bind' or 'listen'.
    void Open();
    // For every thread in turn: terminate it, close its connection, wait until it has ended
    // (running synchronised calls when on the synchronizer's main thread) and free it; then
    // stop the accept thread and close the listening socket. Does nothing when closed.
    // Must not be called from the listener's own threads (std::logic_error) nor from a call
    // that one of its threads has synchronised (that thread would wait for itself).
    void Close();
    bool Active() const { return active_.load(); }
    // The port actually bound (useful with Port 0); 0 when closed.
    int LocalPort() const { return localPort_.load(); }

    // Connection threads that have not ended, idle cached ones included.
    std::size_t ActiveThreadCount() const;
    TSynchronizer* Synchronizer() const { return sync_; }

    // Hooks; set them before Open(). OnAccept and OnGetThread run on the accept thread.
    std::function<void(TServerSocket&, TCustomWinSocket&)> OnAccept;
    // Returns a new, unstarted thread for the connection, or null to drop the connection.
    std::function<std::unique_ptr<TServerClientThread>(TServerSocket&, TCustomWinSocket&)>
        OnGetThread;
    // Receives an exception that escaped ClientExecute() (the thread then ends) or the accept
    // hooks (the connection is then dropped), on the synchronizer's main thread when there is
    // a synchronizer. Without this hook such exceptions are dropped.
    std::function<void(TServerSocket&, std::exception_ptr)> OnException;

  private:
    friend class TServerClientThread;
    class TAcceptThread;

    void AcceptLoop(TThread& self);
    void AcceptOne();
    void HandOut(std::unique_ptr<TCustomWinSocket> socket);
    void ReapFinished();
    void ReportException(std::exception_ptr error);
    void ThreadEnded(TServerClientThread& thread);
    void WakeAcceptThread();
    void WaitForThread(TThread& thread);
    // Why the calling thread may not close the listener (it is one of its own), or null.
    const char* OwnThreadMisuse() const;
    // Close() once it is known to be allowed; raises nothing.
    void CloseThreads();
    void CloseDescriptors();

    TSynchronizer* const sync_;
    int port_ = 0;
    std::string bindAddress_;
    std::atomic<int> threadCacheSize_{10};
    std::atomic<bool> active_{false};
    std::atomic<int> localPort_{0};

    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::unique_ptr<TAcceptThread> acceptThread_;

    mutable std::mutex listMutex_;
    std::vector<std::unique_ptr<TServerClientThread>> threads_;
};

}  // namespace vox
