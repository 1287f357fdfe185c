// Blocking reads and writes with a timeout on one connection.
#pragma once

#include <cstdint>
#include <vector>

#include "net/CustomWinSocket.h"

namespace vox {

class TWinSocketStream {
  public:
    // timeoutMs applies to each Read() and Write() as a whole (callers pass kSocketTimeoutMs).
    TWinSocketStream(TCustomWinSocket& socket, std::uint32_t timeoutMs);
    ~TWinSocketStream();
    TWinSocketStream(const TWinSocketStream&) = delete;
    TWinSocketStream& operator=(const TWinSocketStream&) = delete;

    std::uint32_t TimeOut() const { return timeoutMs_; }

    // True as soon as the connection is readable: data has arrived, the peer has closed, or an
    // error is pending. False when timeoutMs pass first, and (promptly) when the connection is
    // or gets closed on this side. Takes no lock: waiting never holds up other operations.
    bool WaitForData(std::uint32_t timeoutMs);

    // Reads 1 to count bytes, waiting up to the stream's timeout for the first. Returns 0 when
    // nothing arrived in time, when the peer has closed the connection, and when it is closed
    // on this side; a 0 neither closes the connection nor clears its connected flag. A read
    // the system refuses raises ESocketError "Read エラー <code>, <text>".
    int Read(void* buffer, int count);

    // Writes the whole buffer, completing partial sends, and returns count. When the stream's
    // timeout passes first (the peer does not read), or the connection is closed on this side,
    // returns the number of bytes written so far, which is less than count: the caller must
    // treat the connection as broken. A write the system refuses (the peer reset the
    // connection, for instance) raises ESocketError "Write エラー <code>, <text>". Never raises
    // SIGPIPE.
    int Write(const void* buffer, int count);

    // Writes count bytes of the open file fileFd, from offset on, as Write() writes a buffer
    // (the same timeout, results and failures), without copying them through this process
    // (sendfile). A file that ends before raises std::system_error (EIO); one that cannot be
    // read raises std::system_error with its code.
    int WriteFromFile(int fileFd, std::int64_t offset, int count);

    // Reads 1 to count bytes as Read() does (the same waits, results and failures), but puts
    // them straight into the open file fileFd at its current offset, without a copy through
    // this process (splice, through a pipe the stream keeps). At most 1 MiB moves at a time.
    // A write to the file that fails raises std::system_error with its code.
    int ReadToFile(int fileFd, int count);

    // Looks at the first count bytes the peer sent without taking them, waiting up to the
    // stream's timeout until count have arrived. Returns how many were seen (fewer when the
    // time passed or the peer closed first; 0 also when closed on this side). On the
    // connection's own bytes only, before any TLS session.
    int Peek(void* buffer, int count);

  private:
    void MoveToFile(int fileFd, std::size_t size);

    TCustomWinSocket& socket_;
    std::uint32_t timeoutMs_;
    int pipe_[2] = {-1, -1};
    // The bytes of a file on their way through an encrypted connection, each way.
    std::vector<char> tlsReadBuffer_;
    std::vector<char> tlsWriteBuffer_;
};

}  // namespace vox
