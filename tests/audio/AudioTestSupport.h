// Tests of the Qt sound backend against a real PulseAudio server: a private server per test
// program (scripts/pulse), programs run beside the test (paplay, pacat, espeak-ng), a recorder
// of a server source that knows when each sample was played, and the signal measures the
// tests compare by (tone frequency, extent of a sound, gaps, envelope correlation).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vox::testing {

using TClock = std::chrono::steady_clock;

// Milliseconds from A to B (negative when B is earlier).
double MsBetween(TClock::time_point A, TClock::time_point B);

// True when Name is an executable on the PATH.
bool HaveProgram(const std::string& Name);

// A program started beside the test. Ends it (TERM, then KILL) when destroyed while it runs.
class TChildProcess {
  public:
    // Starts Args[0] (looked up on the PATH). CaptureStdout: its standard output goes to a pipe
    // read through StdoutFd(); otherwise it is inherited. QuietStderr: standard error goes to
    // /dev/null. Throws std::runtime_error when it cannot start.
    explicit TChildProcess(const std::vector<std::string>& Args, bool CaptureStdout = false,
                           bool QuietStderr = false);
    ~TChildProcess();

    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    pid_t Pid() const { return FPid; }
    int StdoutFd() const { return FStdout; }
    // Waits at most TimeoutMs for the program to end; true when it has. ExitStatus() then
    // tells how (the exit code, or -1 for a signal).
    bool Wait(std::uint32_t TimeoutMs);
    int ExitStatus() const { return FStatus; }
    // Ends the program if it still runs and waits for it.
    void Terminate();

  private:
    pid_t FPid = -1;
    int FStdout = -1;
    bool FEnded = false;
    int FStatus = -1;
};

// Runs a program to its end (at most TimeoutMs) and returns its exit code; -1 when it failed
// to start, was killed, or overran the time.
int RunProgram(const std::vector<std::string>& Args, std::uint32_t TimeoutMs);

// A private PulseAudio server made from a file of scripts/pulse, in a directory of its own;
// every sound client of this process (Qt, paplay, pacat...) is pointed at it. Stopped (by its
// process id, nothing else) and its directory removed when destroyed.
class TPrivatePulse {
  public:
    // Throws std::runtime_error when the server does not start.
    explicit TPrivatePulse(const std::string& Config = "test.pa");
    ~TPrivatePulse();

    TPrivatePulse(const TPrivatePulse&) = delete;
    TPrivatePulse& operator=(const TPrivatePulse&) = delete;

    pid_t Pid() const { return FPid; }
    const std::string& Dir() const { return FDir; }
    // Stops the server now; the directory stays until destruction.
    void Stop();

  private:
    std::string FDir;
    pid_t FPid = -1;
};

// A fresh private directory (mode 700) below the temporary folder.
std::string MakePrivateDir(const std::string& Prefix);
// Points this process's sound clients at a server socket below Dir that does not exist, and
// forbids starting one: the "no server at all" case.
void PointClientsNowhere(const std::string& Dir);

// Records a server source through pacat as 8-bit unsigned mono at Rate, and keeps for every
// sample the moment it was played into that source, estimated from when the bytes arrived
// (the earliest arrival bounds the offset; good to a few milliseconds).
class TSourceRecorder {
  public:
    TSourceRecorder(const std::string& Source, std::uint32_t Rate);
    ~TSourceRecorder();

    TSourceRecorder(const TSourceRecorder&) = delete;
    TSourceRecorder& operator=(const TSourceRecorder&) = delete;

    std::uint32_t Rate() const { return FRate; }
    // Samples recorded so far.
    std::vector<std::uint8_t> Samples() const;
    std::int64_t Size() const;
    // Waits at most TimeoutMs until at least Count samples are in.
    bool WaitForSize(std::int64_t Count, std::uint32_t TimeoutMs) const;
    // Waits at most TimeoutMs until the recording reaches past the moment At.
    bool WaitPast(TClock::time_point At, std::uint32_t TimeoutMs) const;
    // When sample Index was played into the source.
    TClock::time_point TimeOf(double Index) const;
    // Stops pacat; what was recorded stays.
    void Stop();

  private:
    void Run();

    const std::uint32_t FRate;
    const TClock::time_point FBase;
    TChildProcess FChild;
    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    std::vector<std::uint8_t> FSamples;
    double FOffset = 1e300;  // seconds after FBase at which sample 0 was played
    std::thread FReader;
};

// ---- Signals --------------------------------------------------------------------------------

// Unsigned 8-bit mono sine of Hz at Rate for Count samples (128 = silence).
std::vector<std::uint8_t> Tone(double Hz, double Rate, std::int64_t Count, int Amplitude = 100);
// Count samples of silence.
std::vector<std::uint8_t> Silence(std::int64_t Count);

// Where a tone sounds in Samples: the first and the last sample of the stretch that is loud
// (most samples more than Threshold from 128); -1 when nothing is.
struct TSpan {
    std::int64_t First = -1;
    std::int64_t Last = -1;
    std::int64_t Length() const { return First < 0 ? 0 : Last - First + 1; }
};
TSpan LoudSpan(const std::vector<std::uint8_t>& Samples, int Threshold = 20);
// Frequency of the tone in Samples[Begin, End) by counting rising zero crossings.
double FrequencyOf(const std::vector<std::uint8_t>& Samples, std::int64_t Begin, std::int64_t End,
                   double Rate);
// The longest run of near-silent samples in [Begin, End): a gap in a tone.
std::int64_t LongestQuietRun(const std::vector<std::uint8_t>& Samples, std::int64_t Begin,
                             std::int64_t End, int Threshold = 20);

// The longest stretch of Span without a quiet run of GapSamples or more in it.
TSpan LongestUnbroken(const std::vector<std::uint8_t>& Samples, TSpan Span, std::int64_t GapSamples,
                      int Threshold = 20);

// Loudness per frame of FrameMs (root mean square around the middle value).
std::vector<double> Envelope(const std::vector<double>& Samples, double Rate, double FrameMs);
// The best normalised correlation of B against A over lags 0..MaxLag frames of B behind A.
double BestCorrelation(const std::vector<double>& A, const std::vector<double>& B, int MaxLag);
// 8-bit samples as centred values.
std::vector<double> Centred(const std::vector<std::uint8_t>& Samples);

// Writes 8-bit unsigned mono PCM as a WAV file.
void WriteWavU8(const std::string& Path, const std::vector<std::uint8_t>& Samples,
                std::uint32_t Rate);
// Reads a PCM WAV file of 8 or 16 bits (channels are averaged) as centred values.
std::vector<double> ReadWav(const std::string& Path, std::uint32_t* Rate);

}  // namespace vox::testing
