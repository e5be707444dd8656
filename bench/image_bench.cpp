// The registry image's reader and writer on their own, on generated images
// of 1, 10 and 100 MB of both profiles (the second argument: 0 varied, 1
// crowded), beside a plain copy of the same bytes.
#include "bench/generator.h"
#include "platform/posix/storage/regedit4/storage.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <map>

namespace
{

const std::string& Image(const benchmark::State& state)
{
    static std::map<std::pair<std::int64_t, std::int64_t>, std::string> images;
    std::string& image = images[{state.range(0), state.range(1)}];
    if (image.empty())
        image = bench::GenerateImage(1, static_cast<std::size_t>(state.range(0)) << 20,
                                     state.range(1) != 0 ? bench::Profile::Crowded
                                                         : bench::Profile::Varied);
    return image;
}

void SetBytes(benchmark::State& state, const std::string& image)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(image.size()));
}

// The floor: the bytes copied once in memory.
void CopyBytes(benchmark::State& state)
{
    const std::string& image = Image(state);
    std::string copy(image.size(), '\0');
    for (auto _ : state)
    {
        std::memcpy(copy.data(), image.data(), image.size());
        benchmark::ClobberMemory();
    }
    SetBytes(state, image);
}

void ReadImage(benchmark::State& state)
{
    const std::string& image = Image(state);
    for (auto _ : state)
    {
        state.PauseTiming();
        std::string text = image;
        state.ResumeTiming();
        win95::Fault error;
        win95::ImagePtr parsed = win95::ReadImage(std::move(text), error);
        if (!parsed)
            state.SkipWithError(("image not read: " + error.what).c_str());
        benchmark::DoNotOptimize(parsed.get());
        state.PauseTiming();
        parsed.reset();
        state.ResumeTiming();
    }
    SetBytes(state, image);
}

void WriteImage(benchmark::State& state)
{
    const std::string& image = Image(state);
    win95::Fault error;
    win95::ImagePtr parsed = win95::ReadImage(image, error);
    if (!parsed)
    {
        state.SkipWithError(("image not read: " + error.what).c_str());
        return;
    }
    std::string out(image.size(), '\0');
    for (auto _ : state)
    {
        std::size_t at = 0;
        bool written = parsed->Write(
            [&out, &at](const char* data, std::size_t size)
            {
                if (size > out.size() - at)
                    return false;
                std::memcpy(out.data() + at, data, size);
                at += size;
                return true;
            });
        if (!written || at != image.size())
            state.SkipWithError("the image was not written back as it was read");
        benchmark::ClobberMemory();
    }
    SetBytes(state, image);
}

BENCHMARK(CopyBytes)->ArgsProduct({{1, 10, 100}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(ReadImage)
    ->ArgsProduct({{1, 10, 100}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(WriteImage)->ArgsProduct({{1, 10, 100}, {0, 1}})->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
