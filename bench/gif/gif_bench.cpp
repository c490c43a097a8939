// Decoding one GIF file held in memory: our reader (frames of palette
// indices, and on to the first frame's bitmap) against giflib's DGifSlurp,
// side by side in one process. Usage: gif_bench [benchmark flags] FILE.gif
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "imaging/Bitmap.h"
#include "imaging/Gif.h"
#include "platform/Stream.h"

namespace {

std::string g_file;

struct MemoryInput {
    const std::string* bytes;
    size_t pos;
};

int ReadFromMemory(GifFileType* gif, GifByteType* buffer, int count) {
    auto* in = static_cast<MemoryInput*>(gif->UserData);
    size_t n = std::min(static_cast<size_t>(count), in->bytes->size() - in->pos);
    std::memcpy(buffer, in->bytes->data() + in->pos, n);
    in->pos += n;
    return static_cast<int>(n);
}

void Giflib_DGifSlurp(benchmark::State& state) {
    for (auto _ : state) {
        MemoryInput input{&g_file, 0};
        int error = 0;
        GifFileType* gif = DGifOpen(&input, ReadFromMemory, &error);
        if (!gif || DGifSlurp(gif) != GIF_OK) {
            state.SkipWithError("giflib cannot read the file");
            if (gif) DGifCloseFile(gif, &error);
            return;
        }
        benchmark::DoNotOptimize(gif->SavedImages[0].RasterBits[0]);
        DGifCloseFile(gif, &error);
    }
}

void Ours_Decode(benchmark::State& state) {
    for (auto _ : state) {
        TGIFImage image;
        image.LoadFromMemory(g_file.data(), g_file.size());
        benchmark::DoNotOptimize(image.Frames()[0].Pixels());
    }
}

void Ours_DecodeToBitmap(benchmark::State& state) {
    for (auto _ : state) {
        TGIFImage image;
        image.LoadFromMemory(g_file.data(), g_file.size());
        TBitmap bitmap;
        image.AssignTo(bitmap);
        benchmark::DoNotOptimize(bitmap.ScanLine(0));
    }
}

// The console table, then each of ours as a multiple of giflib's CPU time.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate ? run.aggregate_name == "median" : true)
                cpu_[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto giflib = cpu_.find("Giflib_DGifSlurp");
        if (giflib == cpu_.end() || giflib->second <= 0) return;
        std::printf("\nCPU time as a multiple of giflib's DGifSlurp (target: within 1.5x):\n");
        for (const auto& [name, cpu] : cpu_)
            if (name != giflib->first) std::printf("  %-22s %.2fx\n", name.c_str(), cpu / giflib->second);
    }

private:
    std::map<std::string, double> cpu_;
};

}  // namespace

BENCHMARK(Giflib_DGifSlurp)->Unit(benchmark::kMillisecond);
BENCHMARK(Ours_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(Ours_DecodeToBitmap)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s [benchmark flags] FILE.gif\n", argv[0]);
        return 2;
    }
    g_file = ReadWholeFile(argv[1]);
    std::printf("%s: %zu bytes\n", argv[1], g_file.size());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
