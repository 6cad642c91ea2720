// apc-micro-bench: micro-benchmarks of the daemon's hot paths with Google
// Benchmark. Every benchmark reports its heap allocations per call
// ("allocs/call"), counted by the replaced operator new of this binary.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench/allocation_counter.h"
#include "bench/answer_socket.h"
#include "core/auto_provision_client.h"
#include "diagnostics/auto_provision_logger.h"
#include "config_file/config_file.h"
#include "messaging/messaging.h"
#include "utility/utility.h"

namespace {

const char URL[] = "http://10.231.20.1:8080/cfg/02e2e0001402.xml";
const long SINK_FILE_LIMIT = 256 * 1024;

// A temporary directory under $TMPDIR (or /tmp), removed with what it holds.
class TempDirectory {
public:
    TempDirectory()
    {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/apc-bench.XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr)
            mPath = pattern;
    }
    ~TempDirectory()
    {
        if (!mPath.empty())
            nftw(mPath.c_str(), &RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    bool IsReady() const { return !mPath.empty(); }
    const std::string& Path() const { return mPath; }

private:
    static int RemoveEntry(const char* path, const struct stat*, int, FTW*) { return remove(path); }

    std::string mPath;
};

bool WriteFile(const std::string& path, const std::string& content)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    return written;
}

// A logger whose switch file holds switchLine; its own stream is never
// opened as long as tracing is off or a sink is installed.
std::unique_ptr<CAutoProvisionLogger> MakeLogger(const TempDirectory& dir, const char* switchLine)
{
    const std::string switchFile = dir.Path() + "/autoprovisionclient.conf";
    if (!WriteFile(switchFile, switchLine))
        return nullptr;
    Configuration::ScopedPathRedirect redirect(TRACE_SWITCH_FILE, switchFile);
    return std::unique_ptr<CAutoProvisionLogger>(new CAutoProvisionLogger());
}

// Appends every text to a real file with write(2), emptied when it reaches
// the trace log's rotation size so that a long run does not fill the disk.
class FileSink : public LogSink {
public:
    explicit FileSink(const std::string& path)
        : mFd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644)), mSize(0)
    {
    }
    ~FileSink() override
    {
        if (mFd >= 0)
            close(mFd);
    }
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    bool IsOpen() const { return mFd >= 0; }

    void Write(unsigned char /*level*/, const char* text, size_t length) override
    {
        if (mSize + static_cast<long>(length) > SINK_FILE_LIMIT) {
            if (ftruncate(mFd, 0) != 0)
                return;
            mSize = 0;
        }
        if (write(mFd, text, length) == static_cast<ssize_t>(length))
            mSize += static_cast<long>(length);
    }

private:
    int mFd;
    long mSize;
};

// Calls LogStream::TRACE as the logger does, with its variable arguments.
void StreamTrace(LogStream& stream, unsigned char level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void StreamTrace(LogStream& stream, unsigned char level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    stream.TRACE(level, format, args, 0);
    va_end(args);
}

// Times call, and reports its allocations per call, counted over countedCalls
// calls made before the timed loop (so that the benchmark library's own
// allocations around the loop do not count). Returns that count.
template <typename Call>
double MeasureCall(benchmark::State& state, int countedCalls, Call call)
{
    const uint64_t start = bench::AllocationCount();
    for (int i = 0; i < countedCalls; ++i)
        call();
    const double perCall = static_cast<double>(bench::AllocationCount() - start) / countedCalls;
    for (auto _ : state)
        call();
    state.counters["allocs/call"] = benchmark::Counter(perCall);
    return perCall;
}

// The client with its stored file going to a chosen directory.
class BenchClient : public AutoProvisionClient {
public:
    BenchClient(const std::string& directory, const std::string& mac) : mDirectory(directory + "/")
    {
        mMACAddress.Set(mac);
    }

protected:
    std::string ConfigDirectory() const override { return mDirectory; }

private:
    std::string mDirectory;
};

// An HTTP answer whose body is an XML document of documentBytes bytes.
std::string MakeAnswer(size_t documentBytes)
{
    std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n";
    const std::string tail = "</config>";
    char line[96];
    for (unsigned long i = 0; document.size() + tail.size() < documentBytes; ++i) {
        const int length = snprintf(line, sizeof(line), "  <param name=\"line.%lu\" value=\"%lu\"/>\n", i, i * 7);
        document.append(line, static_cast<size_t>(length));
    }
    document.resize(documentBytes - tail.size());
    document += tail;
    return "HTTP/1.1 200 OK\r\nServer: bench\r\nContent-Type: text/xml\r\nContent-Length: " +
           std::to_string(document.size()) + "\r\n\r\n" + document;
}

void BM_TraceOff(benchmark::State& state)
{
    TempDirectory dir;
    std::unique_ptr<CAutoProvisionLogger> off = dir.IsReady() ? MakeLogger(dir, "trace: off\n") : nullptr;
    if (!off) {
        state.SkipWithError("cannot set up a logger with tracing off");
        return;
    }
    const std::string url = URL;
    auto call = [&] { off->TRACE(3, true, "OnNotify:URL = %s\n", url.c_str()); };
    if (MeasureCall(state, 100000, call) != 0)
        state.SkipWithError("TRACE allocated with tracing off");
}
BENCHMARK(BM_TraceOff);

// The whole trace path: time stamp, expansion, the stream's lock and a
// write(2) to a real file through the sink.
void BM_TraceOnLoggerToFile(benchmark::State& state)
{
    TempDirectory dir;
    std::unique_ptr<CAutoProvisionLogger> on = dir.IsReady() ? MakeLogger(dir, "trace: on\n") : nullptr;
    FileSink sink(dir.Path() + "/trace.log");
    if (!on || !sink.IsOpen()) {
        state.SkipWithError("cannot set up a logger with tracing on");
        return;
    }
    ScopedLogSink scope(&sink);
    const std::string url = URL;
    auto call = [&] { on->TRACE(3, true, "OnNotify:URL = %s\n", url.c_str()); };
    MeasureCall(state, 1000, call);
}
BENCHMARK(BM_TraceOnLoggerToFile);

// The stream alone on a file of its own in a temporary directory, rotating
// at 256 KiB as the trace log does.
void BM_LogStreamToFile(benchmark::State& state)
{
    TempDirectory dir;
    if (!dir.IsReady()) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string path = dir.Path() + "/autoprovisionclient.log";
    LogStream stream(path.c_str(), false, true, 2147483647, 1, 2048, false);
    const std::string url = URL;
    auto call = [&] { StreamTrace(stream, 3, "Thu Jan  1 00:00:00 1970\t.000 OnNotify:URL = %s\n", url.c_str()); };
    MeasureCall(state, 1000, call);
}
BENCHMARK(BM_LogStreamToFile);

void BM_ParseURL(benchmark::State& state)
{
    TempDirectory dir;
    BenchClient client(dir.Path(), "02e2e0001402");
    const std::string url = URL;
    auto call = [&] {
        ConfigurationControl::RequestParams params;
        benchmark::DoNotOptimize(client.ParseURL(url, params));
        benchmark::DoNotOptimize(params.path.data());
    };
    MeasureCall(state, 1000, call);
}
BENCHMARK(BM_ParseURL);

// Cutting the document out of a 16 MiB answer and storing it in a file.
void BM_SerializeConfig16MiB(benchmark::State& state)
{
    TempDirectory dir;
    if (!dir.IsReady()) {
        state.SkipWithError("no temporary directory");
        return;
    }
    BenchClient client(dir.Path(), "02e2e0001402");
    // The document and its line end fill the configurator's limit exactly.
    const std::string text = MakeAnswer((16u << 20) - 1);
    const ResponseString answer(text.data(), text.size());
    const std::string stored = dir.Path() + "/zentrofxs-02e2e0001402.cfg";
    auto call = [&] { client.SerializeConfig(answer); };
    MeasureCall(state, 2, call);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(answer.size()));
    struct stat info;
    if (stat(stored.c_str(), &info) != 0 || info.st_size != static_cast<off_t>(16u << 20))
        state.SkipWithError("the stored file is not the document plus a line end");
}
BENCHMARK(BM_SerializeConfig16MiB)->Unit(benchmark::kMillisecond);


long MinorFaults()
{
    struct rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

// Receiving a 16 or 32 MiB answer into the answer string: its growth, copies
// and first touches of memory. Reports the page faults of one call.
void BM_ReceiveAnswer(benchmark::State& state)
{
    TempDirectory dir;
    BenchClient client(dir.Path(), "02e2e0001402");
    const size_t size = static_cast<size_t>(state.range(0)) << 20;
    long faults = 0;
    long calls = 0;
    auto call = [&] {
        FilledAnswerSocket socket(size);
        ResponseString response;
        const long before = MinorFaults();
        benchmark::DoNotOptimize(client.ReceiveConfiguration(socket, response));
        faults += MinorFaults() - before;
        ++calls;
    };
    MeasureCall(state, 1, call);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
    state.counters["minflt/call"] = benchmark::Counter(static_cast<double>(faults) / static_cast<double>(calls));
}
BENCHMARK(BM_ReceiveAnswer)->Arg(16)->Arg(32)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    // The client binds queue 126: in a directory of this run, not the device's.
    TempDirectory queues;
    if (!queues.IsReady()) {
        fprintf(stderr, "apc-micro-bench: cannot create a temporary directory\n");
        return 1;
    }
    Messaging::SetQueueDirectory(queues.Path());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
