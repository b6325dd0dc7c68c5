// Normalising a 12-megapixel JPEG (4000x3000, a textured picture made here once) into the
// profile photo, against two peers in the same run, taking turns: libvips' own thumbnail to
// 256x256 (the least any normalisation with libvips can cost: the photo adds the flattening
// and the JPEG encoding) and a full decode of the picture into memory (what drawing it at full
// size, as the platform's image classes do, would cost at least).
//
// Time: the mean and p95 of in-process runs. Memory: each operation runs once in a child
// process of its own (this program started again) and the bench reports the child's peak
// resident set (wait4's ru_maxrss), beside a child that only reads the file and starts
// libvips, and libvips' own high-water mark of the pixel memory it allocated.
//
// Usage: kestralune-photo-bench
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vips/vips8>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/images.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vips::VImage;
using SteadyClock = std::chrono::steady_clock;

constexpr int kWarmUpRuns = 3;
constexpr int kRuns = 40;
constexpr double kGoalMilliseconds = 60.0;
constexpr double kGoalMebibytes = 64.0;

struct Operation {
    const char* name;
    std::function<bool(const std::string& jpeg)> run;
};

bool thumbnailAlone(const std::string& jpeg) {
    VipsBlob* blob = vips_blob_new(nullptr, jpeg.data(), jpeg.size());
    VImage image = VImage::thumbnail_buffer(
        blob, 256, VImage::option()->set("height", 256)->set("crop", VIPS_INTERESTING_CENTRE));
    const bool done = image.copy_memory().width() == 256;
    vips_area_unref(VIPS_AREA(blob));
    return done;
}

bool fullDecode(const std::string& jpeg) {
    // Sequential: decoded straight into the one full-size bitmap, not through a second one.
    return VImage::new_from_buffer(jpeg.data(), jpeg.size(), "",
                                   VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL))
               .copy_memory()
               .width() == 4000;
}

const std::vector<Operation> kOperations{
    {"normalizedProfilePhoto",
     [](const std::string& jpeg) { return kestralune::normalizedProfilePhoto(jpeg).has_value(); }},
    {"thumbnail 256 (peer)", thumbnailAlone},
    {"full decode (peer)", fullDecode},
};

// A photograph's worth of texture: gradients under noise, so that the entropy decoder works
// as hard as on a real picture.
std::string twelveMegapixelJpeg() {
    const VImage xyz = VImage::xyz(4000, 3000);
    const VImage gradient = VImage::bandjoin({xyz[0] / 16, xyz[1] / 12, (xyz[0] + xyz[1]) / 28});
    const VImage noise = VImage::gaussnoise(4000, 3000, VImage::option()->set("sigma", 10.0));
    const VImage picture =
        (gradient + noise)
            .cast(VIPS_FORMAT_UCHAR)
            .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    void* buffer = nullptr;
    std::size_t size = 0;
    picture.write_to_buffer(".jpg", &buffer, &size, VImage::option()->set("Q", 90));
    std::string bytes(static_cast<char*>(buffer), size);
    g_free(buffer);
    return bytes;
}

// The child: writes the picture to `path` ("make"), or reads it from there, runs one operation
// on it (none for "baseline") and prints libvips' pixel high-water mark in bytes.
int child(const std::string& mode, const std::string& path) {
    if (mode == "make") {
        return kestralune::replaceFile(path, twelveMegapixelJpeg()).empty() ? 0 : 1;
    }
    const auto jpeg = kestralune::readFile(path, kestralune::kMaxImageInputBytes);
    if (!jpeg || VIPS_INIT("kestralune-photo-bench") != 0) {
        return 1;
    }
    for (const auto& operation : kOperations) {
        if (mode == operation.name && !operation.run(*jpeg)) {
            return 1;
        }
    }
    std::printf("%zu\n", vips_tracked_get_mem_highwater());
    return 0;
}

struct Peaks {
    double residentMebibytes = -1;
    double vipsMebibytes = -1;
};

Peaks peaksOfChild(const char* self, const char* mode, const std::string& path) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    char* const argv[] = {const_cast<char*>(self), const_cast<char*>("--child"),
                          const_cast<char*>(mode), const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = 0;
    const bool started = ::posix_spawn(&pid, self, &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    char text[64] = {};
    const ssize_t count = started ? ::read(pipeEnds[0], text, sizeof text - 1) : -1;
    ::close(pipeEnds[0]);
    int status = 0;
    struct rusage usage {};
    if (!started || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || count <= 0) {
        return {};
    }
    return {static_cast<double>(usage.ru_maxrss) / 1024.0, std::atof(text) / 1048576.0};
}

int run(const char* self) {
    // The picture is made, and the peaks measured, before this process grows: a child started
    // with posix_spawn shares its parent's memory until it executes, and inherits its peak.
    std::string folder = (fs::temp_directory_path() / "kestralune-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string path = folder + "/photo.jpg";
    peaksOfChild(self, "make", path);
    const Peaks baseline = peaksOfChild(self, "baseline", path);
    std::vector<Peaks> peaks;
    for (const auto& operation : kOperations) {
        peaks.push_back(peaksOfChild(self, operation.name, path));
    }
    const std::string jpeg =
        kestralune::readFile(path, kestralune::kMaxImageInputBytes).value_or("");
    fs::remove_all(folder);

    std::vector<std::vector<double>> took(kOperations.size());
    bool failed = false;
    for (int round = 0; round < kWarmUpRuns + kRuns && !failed; ++round) {
        for (std::size_t index = 0; index < kOperations.size(); ++index) {
            const auto started = SteadyClock::now();
            failed = failed || !kOperations[index].run(jpeg);
            const std::chrono::duration<double, std::milli> duration = SteadyClock::now() - started;
            if (round >= kWarmUpRuns) {
                took[index].push_back(duration.count());
            }
        }
    }
    if (failed) {
        std::fprintf(stderr, "an operation failed\n");
        return 1;
    }

    std::printf("12-megapixel JPEG (%zu bytes), %d runs each, taking turns; vips concurrency %d\n",
                jpeg.size(), kRuns, vips_concurrency_get());
    const std::string goalTime =
        "   (goal: under " + std::to_string(int(kGoalMilliseconds)) + " ms)";
    const std::string goalMemory =
        "   (goal: under " + std::to_string(int(kGoalMebibytes)) + " MiB)";
    std::vector<double> means;
    for (std::size_t index = 0; index < kOperations.size(); ++index) {
        auto& runs = took[index];
        std::sort(runs.begin(), runs.end());
        means.push_back(std::accumulate(runs.begin(), runs.end(), 0.0) /
                        static_cast<double>(runs.size()));
        std::printf("%-24s mean %7.2f ms   p95 %7.2f ms   %5.2fx the photo%s\n",
                    kOperations[index].name, means.back(),
                    runs[static_cast<std::size_t>(0.95 * static_cast<double>(runs.size() - 1))],
                    means.back() / means.front(), index == 0 ? goalTime.c_str() : "");
    }

    std::printf("\npeak memory, one operation in a child process of its own\n");
    std::printf("%-24s resident %6.1f MiB\n", "baseline (read, start)", baseline.residentMebibytes);
    for (std::size_t index = 0; index < kOperations.size(); ++index) {
        std::printf("%-24s resident %6.1f MiB (+%5.1f)   libvips pixels %6.1f MiB%s\n",
                    kOperations[index].name, peaks[index].residentMebibytes,
                    peaks[index].residentMebibytes - baseline.residentMebibytes,
                    peaks[index].vipsMebibytes, index == 0 ? goalMemory.c_str() : "");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        return child(argv[2], argv[3]);
    }
    return run("/proc/self/exe");
}
