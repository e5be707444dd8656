// benchruns: on machines of several image sizes and both shapes of
// generated image (varied and crowded), times side by side the installer,
// the remover, a run that touches nothing and the floor (cp of the same
// image), prints a table, and says whether the speed targets hold. With
// --growing it also times the inputs whose cost once grew with the square
// of their size, each at a quarter of its size and at its full size.
//
// usage: benchruns --programs DIR --default FILE --work DIR [--repeat N] [--seed N]
//                  [--growing] SIZE...
// SIZE is a number of megabytes; the default machine is always measured first.
// Beside the floor it times the commit alone: the steps by which a run
// saves an image, on the image as it stands, without reading it as a
// registry (benchruns --commit-only FOLDER).
#include "bench/generator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

const char* const installedPrinter =
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Tavrine]\r\n";

struct Options
{
    std::string programs;            // folder of prnsetup and prnpurge
    std::string defaultImage;        // the default machine's image
    std::string work;                // scratch folder for images and the machine
    int repeat = 3;                  // runs of each command; the median is shown
    std::uint64_t seed = 1;          // of the generated images
    std::vector<unsigned> megabytes; // generated image sizes
    bool growing = false;            // time the inputs that once grew quadratically
};

struct Measure
{
    double wall = 0; // seconds
    double cpu = 0;  // user and system seconds
    double peak = 0; // largest resident set, MB
    bool ok = true;  // exited 0 and did what the run is for
};

struct Row
{
    std::string image; // "default" or "<n> MB <profile>"
    double imageMb;    // the image's size
    std::string run;   // what was run
    Measure median;
};

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "benchruns: %s\n", what.c_str());
    std::exit(1);
}

double Seconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

double Megabytes(double bytes)
{
    return bytes / (1 << 20);
}

// Runs a command with its output thrown away; the machine's writeback is
// settled first so that no run pays for the one before. The child's peak
// memory counts what it held before exec, a copy of this program, so this
// program gives its free memory back first.
Measure Run(const std::vector<std::string>& command, const std::string& machine)
{
    malloc_trim(0);
    sync();
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child < 0)
        Fail(std::string("fork: ") + std::strerror(errno));
    if (child == 0)
    {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        setenv("WIN95PREFIX", machine.c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& word : command)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (wait4(child, &status, 0, &usage) != child)
        Fail(std::string("wait4: ") + std::strerror(errno));
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    Measure measure;
    measure.wall = static_cast<double>(end.tv_sec - start.tv_sec) +
                   static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    measure.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    measure.peak = static_cast<double>(usage.ru_maxrss) / 1024;
    measure.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return measure;
}

void CopyFile(const std::string& from, const std::string& to)
{
    int in = open(from.c_str(), O_RDONLY);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0)
        Fail("cannot copy " + from + " to " + to + ": " + std::strerror(errno));
    std::vector<char> buffer(1 << 20);
    ssize_t got;
    while ((got = read(in, buffer.data(), buffer.size())) > 0)
        if (write(out, buffer.data(), static_cast<std::size_t>(got)) != got)
            Fail("cannot write " + to + ": " + std::strerror(errno));
    if (got < 0 || close(out) != 0)
        Fail("cannot copy " + from + ": " + std::strerror(errno));
    close(in);
}

// Looks for the text in the file piece by piece, so that a large image
// needs no more memory than a piece.
bool FileContains(const std::string& path, const std::string& text)
{
    int in = open(path.c_str(), O_RDONLY);
    if (in < 0)
        return false;
    std::string window;
    std::vector<char> buffer(1 << 20);
    ssize_t got;
    bool found = false;
    while (!found && (got = read(in, buffer.data(), buffer.size())) > 0)
    {
        window.append(buffer.data(), static_cast<std::size_t>(got));
        found = window.find(text) != std::string::npos;
        window.erase(0, window.size() - std::min(window.size(), text.size() - 1));
    }
    close(in);
    return found;
}

std::string ReadWhole(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        Fail("cannot read " + path);
    std::string text;
    char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    std::fclose(file);
    return text;
}

void WriteWhole(const std::string& path, const std::string& text)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size() ||
        std::fclose(file) != 0)
        Fail("cannot write " + path);
}

// The machine with the key whose values the installer sets with /D1 in
// `count` sections more, each of one value.
std::string ManySections(const std::string& base, int count)
{
    std::string text = base;
    for (int i = 0; i < count; ++i)
        text += "\r\n[HKEY_LOCAL_MACHINE\\Config\\0001\\System\\CurrentControlSet\\Control\\"
                "Print\\Printers]\r\n\"Slot" +
                std::to_string(i) + "\"=\"" + std::to_string(i) + "\"\r\n";
    return text;
}

// The machine with `count` printers whose driver the remover keeps, then
// `count` whose driver it removes.
std::string ManyPrinters(const std::string& base, int count)
{
    std::string print = "\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\";
    std::string text = base;
    for (const char* driver : {"Kept", "Purged"})
        text += print + "Environments\\Windows 4.0\\Drivers\\" + driver +
                " Driver]\r\n\"Driver\"=\"" +
                (driver == std::string("Kept") ? "KEPT.DRV" : "TVDRV.DRV") + "\"\r\n";
    for (const char* driver : {"Kept", "Purged"})
        for (int i = 1; i <= count; ++i)
            text += print + "Printers\\" + driver + " " + std::to_string(i) +
                    "]\r\n\"Printer Driver\"=\"" + driver + " Driver\"\r\n";
    return text;
}

void EmptyFolder(const std::string& folder)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            unlink((folder + "/" + entry->d_name).c_str());
    closedir(dir);
}

double FileMegabytes(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        Fail("cannot stat " + path);
    return Megabytes(static_cast<double>(info.st_size));
}

bool SameFile(const struct stat& before, const std::string& path)
{
    struct stat after;
    return stat(path.c_str(), &after) == 0 && after.st_ino == before.st_ino &&
           after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
           after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

Measure Median(std::vector<Measure> measures)
{
    Measure median;
    auto middle = [&measures](double Measure::*field)
    {
        std::vector<double> values;
        for (const Measure& measure : measures)
            values.push_back(measure.*field);
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    median.wall = middle(&Measure::wall);
    median.cpu = middle(&Measure::cpu);
    median.peak = middle(&Measure::peak);
    for (const Measure& measure : measures)
        median.ok = median.ok && measure.ok;
    return median;
}

class Bench
{
  public:
    explicit Bench(const Options& options) : options(options)
    {
        char path[4096];
        ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
        if (length <= 0)
            Fail("cannot find benchruns itself");
        self.assign(path, static_cast<std::size_t>(length));
        machine = options.work + "/machine";
        inf = machine + "/drive_c/WINDOWS/INF";
        for (const std::string& folder :
             {machine, machine + "/drive_c", machine + "/drive_c/WINDOWS", inf,
              machine + "/drive_c/WINDOWS/SYSTEM"})
            if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
                Fail("cannot create " + folder + ": " + std::strerror(errno));
    }

    void MeasureImage(const std::string& label, const std::string& image)
    {
        std::string registry = machine + "/registry.reg";
        std::string installed = options.work + "/installed.reg";
        std::string copy = options.work + "/copy.reg";
        std::string setup = options.programs + "/prnsetup";
        std::string purge = options.programs + "/prnpurge";
        std::vector<Measure> floor, commit, install, removal, nothing;
        for (int round = 0; round < options.repeat; ++round)
        {
            floor.push_back(Run({"cp", image, copy}, machine));
            unlink(copy.c_str());

            CopyFile(image, registry);
            commit.push_back(Run({self, "--commit-only", machine}, machine));

            CopyFile(image, registry);
            EmptyFolder(inf);
            install.push_back(Run({setup, "/D1", "/P\"LPT1:\""}, machine));
            install.back().ok = install.back().ok && FileContains(registry, installedPrinter);
            if (round == 0)
                CopyFile(registry, installed);

            CopyFile(installed, registry);
            removal.push_back(Run({purge, "/D\"TVDRV\""}, machine));
            removal.back().ok = removal.back().ok && !FileContains(registry, installedPrinter);

            struct stat before;
            stat(registry.c_str(), &before);
            nothing.push_back(Run({setup}, machine));
            nothing.back().ok = nothing.back().ok && SameFile(before, registry);
        }
        unlink(installed.c_str());
        unlink(registry.c_str());
        double size = FileMegabytes(image);
        Add({label, size, "cp (floor)", Median(floor)});
        Add({label, size, "commit alone (no registry)", Median(commit)});
        Add({label, size, "prnsetup /D1 '/P\"LPT1:\"'", Median(install)});
        Add({label, size, "prnpurge '/D\"TVDRV\"'", Median(removal)});
        Add({label, size, "prnsetup (no switch)", Median(nothing)});
    }

    void Targets() const
    {
        std::printf("\nTargets (each a ratio within this run)\n");
        for (const char* shape : {"varied", "crowded"})
        {
            std::string hundred = std::string("100 MB ") + shape;
            std::string fiveHundred = std::string("500 MB ") + shape;
            for (const char* run : {"prnsetup /D1", "prnpurge"})
                Compare(std::string(run) + " on " + hundred + " within 4x cp", Find(hundred, run),
                        Find(hundred, "cp"), 4.0);
            // Below 100 MB the few megabytes that any run takes weigh too much.
            double worst = 0;
            for (const Row& row : rows)
                if (row.imageMb >= 100 && row.median.ok &&
                    row.image.find(shape) != std::string::npos &&
                    (row.run.rfind("prnsetup /D1", 0) == 0 || row.run.rfind("prnpurge", 0) == 0))
                    worst = std::max(worst, row.median.peak / row.imageMb);
            std::string memory = std::string("peak memory of install and removal, ") + shape +
                                 ", 100 MB and up, at most 1.25x image";
            if (worst > 0)
                Verdict(memory, worst, 1.25, "x");
            else
                Unknown(memory, "not measured");
            for (const char* run : {"prnsetup /D1", "prnpurge"})
                Compare(std::string(run) + " on " + fiveHundred + " within 5.5x its time on 100 MB",
                        Find(fiveHundred, run), Find(hundred, run), 5.5);
        }
        double slowest = 0;
        bool failed = false;
        for (const Row& row : rows)
            if (row.run.rfind("prnsetup (no switch)", 0) == 0)
            {
                slowest = std::max(slowest, row.median.wall * 1000);
                failed = failed || !row.median.ok;
            }
        std::string nothing = "no-switch run under 5 ms on every image";
        if (failed)
            Unknown(nothing, "a run failed");
        else
            Verdict(nothing, slowest, 5.0, " ms");
    }

    // Times one input at a smaller size and at its full size, which must
    // take under 1 s.
    void Growing(const std::string& name, const std::vector<Measure>& smaller,
                 const std::vector<Measure>& full)
    {
        if (!growingHeader)
            std::printf("\nInputs that grew with the square of their size (a straight line "
                        "makes the ratio about the sizes' ratio)\n%-44s %10s %10s %8s %10s\n",
                        "input at two sizes", "smaller s", "full s", "ratio", "full cpu s");
        growingHeader = true;
        Measure small = Median(smaller);
        Measure large = Median(full);
        std::printf("%-44s %10.3f %10.3f %8.2f %10.3f%s\n", name.c_str(), small.wall, large.wall,
                    large.wall / small.wall, large.cpu,
                    small.ok && large.ok ? "" : "  (FAILED: did not do its work)");
        Verdict("  " + name + ": full size under 1 s", large.wall, 1.0, " s");
    }

    // The inputs that once took time growing with the square of their size.
    void MeasureGrowing()
    {
        std::string base = ReadWhole(options.defaultImage);
        std::string registry = machine + "/registry.reg";
        std::string setup = options.programs + "/prnsetup";
        std::string purge = options.programs + "/prnpurge";
        auto sections = [&](int count)
        {
            WriteWhole(registry, ManySections(base, count));
            EmptyFolder(inf);
            Measure measure = Run({setup, "/D1", "/P\"LPT1:\""}, machine);
            measure.ok = measure.ok && FileContains(registry, installedPrinter);
            return measure;
        };
        Growing("a key in 40k, 160k sections: prnsetup /D1", Repeated(sections, 40000),
                Repeated(sections, 160000));
        auto printers = [&](int count)
        {
            WriteWhole(registry, ManyPrinters(base, count));
            Measure measure = Run({purge, "/D\"TVDRV\""}, machine);
            measure.ok = measure.ok && !FileContains(registry, "\\Printers\\Purged 1]") &&
                         FileContains(registry, "\\Printers\\Kept 1]");
            return measure;
        };
        Growing("20k+20k, 80k+80k printers: prnpurge", Repeated(printers, 20000),
                Repeated(printers, 80000));
        std::string unterminated;
        for (int i = 0; i < 43000; ++i)
            unterminated += "/Pa";
        auto switches = [&](int count)
        {
            WriteWhole(registry, base);
            EmptyFolder(inf);
            std::vector<std::string> command{setup};
            command.insert(command.end(), static_cast<std::size_t>(count), unterminated);
            return Run(command, machine);
        };
        Growing("4, 15 arguments of '/Pa' x 43000: prnsetup", Repeated(switches, 4),
                Repeated(switches, 15));
        unlink(registry.c_str());
    }

  private:
    void Add(const Row& row)
    {
        if (rows.empty())
            std::printf("%-14s %9s  %-26s %8s %8s %8s %7s %8s %8s\n", "image", "size MB", "run",
                        "wall s", "cpu s", "peak MB", "x cp", "peak/img", "MB/s");
        const Row* floor = Find(row.image, "cp");
        double ratio = floor != nullptr ? row.median.wall / floor->median.wall : 1.0;
        std::printf("%-14s %9.3f  %-26s %8.4f %8.4f %8.1f %7.2f %8.2f %8.0f%s\n", row.image.c_str(),
                    row.imageMb, row.run.c_str(), row.median.wall, row.median.cpu, row.median.peak,
                    ratio, row.median.peak / row.imageMb, row.imageMb / row.median.wall,
                    row.median.ok ? "" : "  (FAILED: did not do its work)");
        std::fflush(stdout);
        rows.push_back(row);
    }

    const Row* Find(const std::string& image, const std::string& runStart) const
    {
        for (const Row& row : rows)
            if (row.image == image && row.run.rfind(runStart, 0) == 0)
                return &row;
        return nullptr;
    }

    static void Verdict(const std::string& target, double value, double limit, const char* unit)
    {
        std::printf("  %-78s %8.2f%s (limit %.2f%s)  %s\n", target.c_str(), value, unit, limit,
                    unit, value <= limit ? "holds" : "MISSED");
    }

    static void Unknown(const std::string& target, const char* why)
    {
        std::printf("  %-78s %s\n", target.c_str(), why);
    }

    // The wall time of one run over another's, against its limit.
    static void Compare(const std::string& target, const Row* row, const Row* base, double limit)
    {
        if (row == nullptr || base == nullptr)
            Unknown(target, "not measured");
        else if (!row->median.ok || !base->median.ok)
            Unknown(target, "a run failed");
        else
            Verdict(target, row->median.wall / base->median.wall, limit, "x");
    }

    template <typename Once> std::vector<Measure> Repeated(Once once, int size)
    {
        std::vector<Measure> measures;
        for (int round = 0; round < options.repeat; ++round)
            measures.push_back(once(size));
        return measures;
    }

    const Options& options;
    std::string self;    // this program, for the commit alone
    std::string machine; // the machine folder the programs run on
    std::string inf;     // its C:\WINDOWS\INF, emptied before each install
    std::vector<Row> rows;
    bool growingHeader = false; // the table of growing inputs has begun
};

// What a run that changed its image does with the file: take the machine,
// read the image at once, copy it to a temporary file, sending it on to
// the disk as it goes, flush it, rename it over the image and flush the
// folder.
int CommitOnly(const std::string& folder)
{
    std::string image = folder + "/registry.reg";
    std::string temporary = image + ".new";
    int lock = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    int in = open(image.c_str(), O_RDONLY);
    struct stat info;
    if (lock < 0 || flock(lock, LOCK_EX) != 0 || in < 0 || fstat(in, &info) != 0)
        return 1;
    auto size = static_cast<std::size_t>(info.st_size);
    void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, in, 0);
    int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (text == MAP_FAILED || out < 0)
        return 1;
    // As a run's save does, each 8 MB copied are sent on to the disk at once.
    const off64_t chunk = off64_t(8) << 20;
    off64_t from = 0;
    std::size_t left = size;
    for (ssize_t copied; left > 0; left -= static_cast<std::size_t>(copied))
    {
        auto piece = static_cast<std::size_t>(chunk - from % chunk);
        if ((copied = copy_file_range(in, &from, out, nullptr, std::min(left, piece), 0)) <= 0)
            break;
        if (from % chunk == 0)
            sync_file_range(out, from - chunk, chunk, SYNC_FILE_RANGE_WRITE);
    }
    bool written = left == 0;
    close(in);
    bool saved = written && fsync(out) == 0 && close(out) == 0 &&
                 rename(temporary.c_str(), image.c_str()) == 0 && fsync(lock) == 0;
    munmap(text, size);
    close(lock);
    return saved ? 0 : 1;
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int at = 1; at < argc; ++at)
    {
        std::string word = argv[at];
        bool hasValue = at + 1 < argc;
        if (word == "--programs" && hasValue)
            options.programs = argv[++at];
        else if (word == "--default" && hasValue)
            options.defaultImage = argv[++at];
        else if (word == "--work" && hasValue)
            options.work = argv[++at];
        else if (word == "--repeat" && hasValue)
            options.repeat = std::max(1, std::atoi(argv[++at]));
        else if (word == "--seed" && hasValue)
            options.seed = std::strtoull(argv[++at], nullptr, 10);
        else if (word == "--growing")
            options.growing = true;
        else if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos)
            options.megabytes.push_back(static_cast<unsigned>(std::stoul(word)));
        else
            Fail("usage: benchruns --programs DIR --default FILE --work DIR [--repeat N] "
                 "[--seed N] [--growing] MEGABYTES...");
    }
    if (options.programs.empty() || options.defaultImage.empty() || options.work.empty())
        Fail("--programs, --default and --work are needed");
    return options;
}

// Each size needs its image, the machine's copy, the temporary file of the
// save, the installed copy and the floor's copy at the same time.
void CheckRoom(const Options& options)
{
    unsigned largest = 0;
    for (unsigned megabytes : options.megabytes)
        largest = std::max(largest, megabytes);
    struct statvfs info;
    if (statvfs(options.work.c_str(), &info) != 0)
        Fail("cannot stat " + options.work);
    double free =
        Megabytes(static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize));
    if (free < 5.0 * largest + 64)
        Fail("not enough room in " + options.work + " for " + std::to_string(largest) +
             " MB images: " + std::to_string(static_cast<long>(free)) + " MB free");
}

void WriteImage(const Options& options, unsigned megabytes, bench::Profile profile,
                const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        Fail("cannot create " + path);
    bool written = bench::GenerateImage(
        options.seed, static_cast<std::size_t>(megabytes) << 20,
        [file](const char* data, std::size_t length)
        { return std::fwrite(data, 1, length, file) == length; },
        profile);
    if (std::fclose(file) != 0 || !written)
        Fail("cannot write " + path);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--commit-only")
        return CommitOnly(argv[2]);
    Options options = ParseOptions(argc, argv);
    CheckRoom(options);
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    std::printf("Median of %d runs each; seed %llu; %ld cores; images in %s\n\n", options.repeat,
                static_cast<unsigned long long>(options.seed), cores, options.work.c_str());
    Bench bench(options);
    bench.MeasureImage("default", options.defaultImage);
    for (unsigned megabytes : options.megabytes)
        for (auto [profile, name] : {std::pair{bench::Profile::Varied, "varied"},
                                     std::pair{bench::Profile::Crowded, "crowded"}})
        {
            std::string image = options.work + "/image-" + std::to_string(megabytes) + ".reg";
            WriteImage(options, megabytes, profile, image);
            bench.MeasureImage(std::to_string(megabytes) + " MB " + name, image);
            unlink(image.c_str());
        }
    if (options.growing)
        bench.MeasureGrowing();
    bench.Targets();
    return 0;
}
