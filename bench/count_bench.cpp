// count_bench: the service's counting routine on page-cached and cold files,
// beside a plain read() loop and a one-character-at-a-time fgetc loop, and the
// cost of one log line.
//
//   count_bench [--files=DIR] [--make-files] [Google Benchmark flags]
//
// DIR keeps the 1 MiB, 100 MiB and 1 GiB text files between runs (made when
// missing; a temporary directory, removed at exit, when not given).
// --make-files only makes them. bench/run runs this with JSON output.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_files.h"
#include "log/log.h"
#include "mailslot/count.h"
#include "page_cache.h"
#include "read_loops.h"

namespace {

struct TextFile {
    const char *label;
    uint64_t size;
    std::string path;
};

TextFile files[] = {
    {"1MiB", 1ull << 20, ""},
    {"100MiB", 100ull << 20, ""},
    {"1GiB", 1ull << 30, ""},
};
TextFile *const coldFile = &files[2];

// The block size the service reads a requested file in.
const DWORD kBlock = 65536;
char block[kBlock];

// Counts a file the way the service answers a request: open, count, close.
bool CountAsTheServiceDoes(const char *path, unsigned long long *nSpaces)
{
    HANDLE h = CreateFileA(path, GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BOOL ok = CountSpacesInFile(h, block, kBlock, nSpaces, NULL);
    CloseHandle(h);
    return ok;
}

// Before a warm benchmark: the whole file in the page cache.
bool MakeWarm(benchmark::State &state, const TextFile &file)
{
    if (ReadWholeFile(file.path.c_str(), block, kBlock) == (int64_t)file.size)
        return true;
    state.SkipWithError("reading the file failed");
    return false;
}

// Before each timed pass of a cold benchmark: the file must come from disk.
bool MakeCold(benchmark::State &state, const TextFile &file)
{
    state.PauseTiming();
    double resident = DropFromPageCache(file.path.c_str());
    state.ResumeTiming();
    if (resident > 0.01) {
        state.SkipWithError("the file stays in the page cache: no cold figure");
        return false;
    }
    return true;
}

void Service(benchmark::State &state, const TextFile *file, bool cold)
{
    unsigned long long n = 0;
    if (!cold && !MakeWarm(state, *file))
        return;
    for (auto _ : state) {
        if (cold && !MakeCold(state, *file))
            return;
        if (!CountAsTheServiceDoes(file->path.c_str(), &n)) {
            state.SkipWithError("the counting routine failed");
            return;
        }
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * file->size));
    state.counters["spaces"] = (double)n;
}

void ReadLoop(benchmark::State &state, const TextFile *file, bool cold)
{
    if (!cold && !MakeWarm(state, *file))
        return;
    for (auto _ : state) {
        if (cold && !MakeCold(state, *file))
            return;
        if (ReadWholeFile(file->path.c_str(), block, kBlock) != (int64_t)file->size) {
            state.SkipWithError("reading the file failed");
            return;
        }
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * file->size));
}

void Fgetc(benchmark::State &state, const TextFile *file)
{
    int64_t n = 0;
    if (!MakeWarm(state, *file))
        return;
    for (auto _ : state) {
        n = CountSpacesWithFgetc(file->path.c_str());
        if (n < 0) {
            state.SkipWithError("the file cannot be opened");
            return;
        }
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * file->size));
    state.counters["spaces"] = (double)n;
}

// The routine on a block already in memory: its speed without any reading.
void BlockInMemory(benchmark::State &state)
{
    static char text[kBlock];
    FILE *f = fopen(files[0].path.c_str(), "rb");
    size_t got = f != NULL ? fread(text, 1, sizeof text, f) : 0;
    if (f != NULL)
        fclose(f);
    if (got != sizeof text) {
        state.SkipWithError("the 1 MiB file cannot be read");
        return;
    }
    for (auto _ : state) {
        BOOL ended = FALSE;
        benchmark::DoNotOptimize(CountSpacesInBlock(text, sizeof text, 0, &ended));
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * sizeof text));
}

// One line of the service's log: write-through open, append, close.
void LogLine(benchmark::State &state)
{
    for (auto _ : state) {
        if (WriteToLog("Received: <exit>") < 0) {
            state.SkipWithError("the log cannot be opened");
            return;
        }
    }
}

void RegisterAll()
{
    for (TextFile &file : files) {
        std::string label = file.label;
        benchmark::RegisterBenchmark(("service/" + label).c_str(), Service, &file, false)
            ->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(("read_loop/" + label).c_str(), ReadLoop, &file, false)
            ->Unit(benchmark::kMillisecond)->UseRealTime();
        // Seconds per pass on the largest file: one pass is figure enough.
        benchmark::internal::Benchmark *fgetc =
            benchmark::RegisterBenchmark(("fgetc/" + label).c_str(), Fgetc, &file)
                ->Unit(benchmark::kMillisecond)->UseRealTime();
        if (file.size >= (1ull << 30))
            fgetc->Repetitions(1);
    }
    benchmark::RegisterBenchmark("service_block_in_memory/64KiB", BlockInMemory)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("log_line", LogLine)->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    // Last: they leave the large file out of the page cache. One pass per
    // repetition, so every pass reads from disk.
    std::string cold = coldFile->label;
    benchmark::RegisterBenchmark(("service_cold/" + cold).c_str(), Service, coldFile, true)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
    benchmark::RegisterBenchmark(("read_loop_cold/" + cold).c_str(), ReadLoop, coldFile, true)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
}

std::string MakeTempDir(const char *what)
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != NULL && *tmp ? tmp : "/tmp") + "/" + what + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return mkdtemp(name.data()) != NULL ? std::string(name.data()) : std::string();
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir;
    bool makeOnly = false;
    int kept = 1;
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--files=", 8) == 0)
            dir = argv[i] + 8;
        else if (strcmp(argv[i], "--make-files") == 0)
            makeOnly = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;

    bool ownDir = dir.empty();
    if (ownDir && (dir = MakeTempDir("count-bench-files")).empty()) {
        fprintf(stderr, "count_bench: cannot make a directory for the text files\n");
        return 2;
    }
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    for (TextFile &file : files) {
        file.path = dir + "/text-" + file.label + ".txt";
        if (!MakeTextFile(file.path, file.size)) {
            fprintf(stderr, "count_bench: cannot write %s\n", file.path.c_str());
            return 2;
        }
    }
    if (makeOnly)
        return 0;

    // The log goes to a machine root of this run's own.
    std::string root = MakeTempDir("count-bench-root");
    if (root.empty() || !std::filesystem::create_directories(root + "/drive_c", ignored)) {
        fprintf(stderr, "count_bench: cannot make a machine root for the log\n");
        return 2;
    }
    setenv("W32_ROOT", root.c_str(), 1);

    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::filesystem::remove_all(root, ignored);
    if (ownDir)
        std::filesystem::remove_all(dir, ignored);
    return 0;
}
