// count_bench: the service's counting routine in this process, beside peers
// that also run in this process, and the cost of one log line.
//
//   count_bench --files=DIR [--make-files] [--rounds=N] [--only=PREFIX,...] [--out=FILE]
//   count_bench --kernels
//
// DIR keeps the 1 MiB, 100 MiB and 1 GiB text files between runs (made when
// missing); --make-files only makes them. --only runs the measures whose
// names start with one of the PREFIXes (e.g. block/,read_loop/1GiB). Every
// measure runs once per round, in turn with the others (A B C A B C ...), so
// a ratio of two measures can be taken round by round from runs made side by
// side. Writes JSON (to FILE,
// else stdout): per measure, its bytes and the seconds of each round;
// bench/report.py makes the figures. --kernels lists the counting kernels
// this machine can run, one name a line, the one the service uses last.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_files.h"
#include "count/count.h"
#include "log/log.h"
#include "mailslot/slot_guard.h"
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
TextFile &largest = files[2];

// The block sizes the service could read a file in, and its own. The
// routine's buffer holds two blocks: one read while the other is counted.
const DWORD kBlockSizes[] = {64u << 10,  128u << 10, 256u << 10, 512u << 10,
                             1u << 20,   2u << 20,   4u << 20};
const DWORD serviceBlock = COUNT_BLOCK_SIZE;
static char block[2 * (4u << 20)];
static_assert(COUNT_BUFFER_SIZE <= sizeof block, "the buffer holds the service's two blocks");

// One measure: what it does once, and how many bytes that covers.
struct Measure {
    std::string name;
    uint64_t bytes;
    int passes; // per timed run: enough for a small file to take measurable time
    std::function<bool(unsigned long long *spaces)> run;
    std::function<bool()> before; // untimed, before each run
    std::vector<double> seconds;  // per pass, one per round
    unsigned long long spaces = 0;
    bool counts = false;
    std::string error;
};

// Counts a file the way the service answers a request: open, count in
// blocks of cbBlock with the stop looked at before each, close.
bool CountAsTheServiceDoes(const char *path, DWORD cbBlock, unsigned long long *nSpaces)
{
    HANDLE h = CreateFileA(path, GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BOOL ok = CountSpacesInFile(h, block, 2 * cbBlock, nSpaces, KeepServing);
    CloseHandle(h);
    return ok;
}

bool Warm(const TextFile &file)
{
    return ReadWholeFile(file.path.c_str(), block, sizeof block) == (int64_t)file.size;
}

std::string Label(DWORD cb)
{
    return cb >= (1u << 20) ? std::to_string(cb >> 20) + "MiB" : std::to_string(cb >> 10) + "KiB";
}

int PassesFor(uint64_t bytes)
{
    return bytes >= (100ull << 20) ? 1 : 256;
}

std::vector<Measure> MakeMeasures()
{
    std::vector<Measure> m;
    auto warmBefore = [](const TextFile *f) { return [f] { return Warm(*f); }; };
    const TextFile *big = &largest;

    // Which block size reads fastest, on the page-cached 1 GiB file.
    for (DWORD cb : kBlockSizes)
        m.push_back({"block/" + Label(cb), big->size, 1,
                     [big, cb](unsigned long long *n) {
                         return CountAsTheServiceDoes(big->path.c_str(), cb, n);
                     },
                     warmBefore(big), {}, 0, true, ""});

    // The routine beside reading alone and one character at a time.
    for (const TextFile &file : files) {
        const TextFile *f = &file;
        int passes = PassesFor(f->size);
        m.push_back({std::string("routine/") + f->label, f->size, passes,
                     [f](unsigned long long *n) {
                         return CountAsTheServiceDoes(f->path.c_str(), serviceBlock, n);
                     },
                     warmBefore(f), {}, 0, true, ""});
        m.push_back({std::string("read_loop/") + f->label, f->size, passes,
                     [f](unsigned long long *) {
                         return ReadWholeFile(f->path.c_str(), block, serviceBlock) ==
                                (int64_t)f->size;
                     },
                     warmBefore(f), {}, 0, false, ""});
        m.push_back({std::string("fgetc/") + f->label, f->size, passes == 1 ? 1 : 16,
                     [f](unsigned long long *n) {
                         int64_t got = CountSpacesWithFgetc(f->path.c_str());
                         *n = (unsigned long long)got;
                         return got >= 0;
                     },
                     warmBefore(f), {}, 0, true, ""});
    }

    // The count alone, on a block already in memory: the routine's own
    // kernel, then each kernel this machine can run.
    auto fill = [] {
        FILE *f = fopen(files[2].path.c_str(), "rb");
        size_t got = f != NULL ? fread(block, 1, serviceBlock, f) : 0;
        if (f != NULL)
            fclose(f);
        return got == serviceBlock;
    };
    m.push_back({"in_memory/block", serviceBlock, 256,
                 [](unsigned long long *n) {
                     BOOL ended = FALSE;
                     *n = CountSpacesInBlock(block, serviceBlock, 0, &ended);
                     return true;
                 },
                 fill, {}, 0, false, ""});
    for (int k = 0; k < CountKernels(); k++)
        m.push_back({std::string("kernel/") + CountKernelName(k), serviceBlock, 256,
                     [k](unsigned long long *n) {
                         *n = CountSpacesWithKernel(k, block, serviceBlock);
                         return true;
                     },
                     fill, {}, 0, false, ""});

    // From the disk: the file's pages dropped before each run.
    auto cold = [big] { return DropFromPageCache(big->path.c_str()) <= 0.01; };
    m.push_back({"cold_routine/1GiB", big->size, 1,
                 [big](unsigned long long *n) {
                     return CountAsTheServiceDoes(big->path.c_str(), serviceBlock, n);
                 },
                 cold, {}, 0, true, ""});
    m.push_back({"cold_read_loop/1GiB", big->size, 1,
                 [big](unsigned long long *) {
                     return ReadWholeFile(big->path.c_str(), block, serviceBlock) ==
                            (int64_t)big->size;
                 },
                 cold, {}, 0, false, ""});

    // One log line: write-through open, append, close.
    m.push_back({"log_line", 0, 100,
                 [](unsigned long long *) { return WriteToLog("Received: <exit>") >= 0; },
                 [] { return true; }, {}, 0, false, ""});
    return m;
}

void RunRound(std::vector<Measure> *measures)
{
    using Clock = std::chrono::steady_clock;
    for (Measure &m : *measures) {
        if (!m.error.empty())
            continue;
        if (!m.before()) {
            m.error = "could not be prepared (a file missing, or still in the page cache)";
            continue;
        }
        Clock::time_point start = Clock::now();
        bool ok = true;
        for (int i = 0; i < m.passes && ok; i++)
            ok = m.run(&m.spaces);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!ok)
            m.error = "failed";
        else
            m.seconds.push_back(seconds / m.passes);
    }
}

void WriteJson(FILE *out, const std::vector<Measure> &measures, int rounds)
{
    fprintf(out, "{\n \"rounds\": %d,\n \"service_block\": %u,\n \"kernel\": \"%s\",\n"
                 " \"measures\": {",
            rounds, (unsigned)serviceBlock, CountKernelName(CountKernelInUse()));
    const char *sep = "\n";
    for (const Measure &m : measures) {
        fprintf(out, "%s  \"%s\": {\"bytes\": %llu, \"passes\": %d", sep, m.name.c_str(),
                (unsigned long long)m.bytes, m.passes);
        if (m.counts && m.error.empty())
            fprintf(out, ", \"spaces\": %llu", m.spaces);
        if (!m.error.empty())
            fprintf(out, ", \"error\": \"%s\"", m.error.c_str());
        fprintf(out, ", \"seconds\": [");
        for (size_t i = 0; i < m.seconds.size(); i++)
            fprintf(out, "%s%.9g", i ? ", " : "", m.seconds[i]);
        fprintf(out, "]}");
        sep = ",\n";
    }
    fprintf(out, "\n }\n}\n");
}

// Whether name starts with one of the comma-separated prefixes of only.
bool Chosen(const std::string &name, const std::string &only)
{
    size_t start = 0;
    for (;;) {
        size_t comma = only.find(',', start);
        std::string prefix = only.substr(start, comma == std::string::npos ? comma : comma - start);
        if (name.rfind(prefix, 0) == 0)
            return true;
        if (comma == std::string::npos)
            return false;
        start = comma + 1;
    }
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
    std::string dir, outPath, only;
    bool makeOnly = false;
    int rounds = 5;
    if (argc == 2 && strcmp(argv[1], "--kernels") == 0) {
        for (int k = 0; k < CountKernels(); k++)
            printf("%s\n", CountKernelName(k));
        return 0;
    }
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--files=", 8) == 0)
            dir = argv[i] + 8;
        else if (strcmp(argv[i], "--make-files") == 0)
            makeOnly = true;
        else if (strncmp(argv[i], "--rounds=", 9) == 0)
            rounds = atoi(argv[i] + 9);
        else if (strncmp(argv[i], "--only=", 7) == 0)
            only = argv[i] + 7;
        else if (strncmp(argv[i], "--out=", 6) == 0)
            outPath = argv[i] + 6;
        else {
            fprintf(stderr, "usage: count_bench --files=DIR [--make-files] [--rounds=N] "
                            "[--only=PREFIX,...] [--out=FILE]\n       count_bench --kernels\n");
            return 2;
        }
    }
    if (dir.empty() || rounds < 1) {
        fprintf(stderr, "count_bench: --files=DIR is needed, and --rounds at least 1\n");
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

    std::vector<Measure> measures = MakeMeasures();
    measures.erase(std::remove_if(measures.begin(), measures.end(),
                                  [&](const Measure &m) { return !Chosen(m.name, only); }),
                   measures.end());
    for (int r = 0; r < rounds; r++) {
        fprintf(stderr, "count_bench: round %d of %d\n", r + 1, rounds);
        RunRound(&measures);
    }
    std::filesystem::remove_all(root, ignored);

    FILE *out = outPath.empty() ? stdout : fopen(outPath.c_str(), "w");
    if (out == NULL) {
        fprintf(stderr, "count_bench: cannot write %s: %s\n", outPath.c_str(), strerror(errno));
        return 2;
    }
    WriteJson(out, measures, rounds);
    return out == stdout || fclose(out) == 0 ? 0 : 2;
}
