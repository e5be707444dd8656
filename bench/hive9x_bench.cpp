// The Windows 9x registry file on its own: a generated SYSTEM.DAT of about
// 16 MB read and checked, and opened, changed as an install changes it and
// written back, in memory and through a file (new file, flush, rename).
#include "bench/generator.h"
#include "platform/posix/storage/win9x/hive.h"
#include "tools/convert.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

using win95::Hive9x;

const std::string& SystemDat()
{
    static const std::string bytes = []
    {
        std::vector<std::string> messages;
        std::unique_ptr<Hive9x> hive = regconv::HiveFromText(
            bench::GenerateImage(1, std::size_t{24} << 20), "HKEY_LOCAL_MACHINE", true, messages);
        std::string file;
        hive->Write(
            [&file](const char* data, std::size_t size)
            {
                file.append(data, size);
                return true;
            });
        return file;
    }();
    return bytes;
}

// What an install does to the registry: a new printer key with its values,
// and a changed value in a key that exists.
bool Install(Hive9x& hive)
{
    Hive9x::Key printer =
        hive.Create(hive.Root(), "System\\CurrentControlSet\\control\\Print\\Printers\\Tavrine");
    bool set = printer != Hive9x::NoKey;
    for (const char* name :
         {"Name", "Port", "Printer Driver", "Print Processor", "Datatype", "Description"})
        set = set && hive.SetValue(printer, name, 1, std::string(name) + " of the printer" + '\0');
    set = set && hive.SetValue(printer, "Attributes", 4, std::string("\x40\x02\0\0", 4));
    // The Print key, two above the printer's.
    return set && hive.SetValue(hive.Parent(hive.Parent(printer)), "DefaultPrinter", 1,
                                std::string("Tavrine") + '\0');
}

void SetBytes(benchmark::State& state)
{
    state.counters["MB"] = static_cast<double>(SystemDat().size()) / (1 << 20);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(SystemDat().size()));
}

void ReadHive(benchmark::State& state)
{
    for (auto _ : state)
    {
        state.PauseTiming();
        std::string bytes = SystemDat();
        state.ResumeTiming();
        win95::Fault error;
        std::unique_ptr<Hive9x> hive = Hive9x::Read(std::move(bytes), error);
        if (hive == nullptr)
            state.SkipWithError(("not read: " + error.what).c_str());
        benchmark::DoNotOptimize(hive.get());
    }
    SetBytes(state);
}

void InstallInMemory(benchmark::State& state)
{
    std::string out(SystemDat().size() + (1 << 20), '\0');
    for (auto _ : state)
    {
        state.PauseTiming();
        std::string bytes = SystemDat();
        state.ResumeTiming();
        win95::Fault error;
        std::unique_ptr<Hive9x> hive = Hive9x::Read(std::move(bytes), error);
        std::size_t at = 0;
        if (hive == nullptr || !Install(*hive) ||
            !hive->Write(
                [&out, &at](const char* data, std::size_t size)
                {
                    if (size > out.size() - at)
                        return false;
                    std::memcpy(out.data() + at, data, size);
                    at += size;
                    return true;
                }))
            state.SkipWithError("the install did not go through");
        benchmark::ClobberMemory();
    }
    SetBytes(state);
}

bool ReadWhole(const char* path, std::string& bytes)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return false;
    bytes.resize(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
    bool good = pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return good;
}

// The whole transaction on a file: read it, change it, write a new file
// beside it, flush it and rename it over the old one.
void InstallToFile(benchmark::State& state)
{
    char folder[] = "/tmp/hive9x-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr)
    {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(folder) + "/SYSTEM.DAT";
    const std::string fresh = path + ".new";
    for (auto _ : state)
    {
        state.PauseTiming();
        std::FILE* file = std::fopen(path.c_str(), "wb");
        bool ready = file != nullptr && std::fwrite(SystemDat().data(), 1, SystemDat().size(),
                                                    file) == SystemDat().size();
        ready = file != nullptr && std::fclose(file) == 0 && ready;
        state.ResumeTiming();
        std::string bytes;
        win95::Fault error;
        std::unique_ptr<Hive9x> hive = ready && ReadWhole(path.c_str(), bytes)
                                           ? Hive9x::Read(std::move(bytes), error)
                                           : nullptr;
        int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        bool done = hive != nullptr && Install(*hive) && fd >= 0 &&
                    hive->Write([fd](const char* data, std::size_t size)
                                { return write(fd, data, size) == static_cast<ssize_t>(size); }) &&
                    fsync(fd) == 0;
        done = fd >= 0 && close(fd) == 0 && done && rename(fresh.c_str(), path.c_str()) == 0;
        if (!done)
            state.SkipWithError("the install did not go through");
    }
    unlink(path.c_str());
    rmdir(folder);
    SetBytes(state);
}

BENCHMARK(ReadHive)->Unit(benchmark::kMillisecond);
BENCHMARK(InstallInMemory)->Unit(benchmark::kMillisecond);
BENCHMARK(InstallToFile)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
