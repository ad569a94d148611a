// Cost of one replay read: one frame taken from a capture file, run through the installed port
// filter, and written as a record into the batch buffer.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/packet_filters.h"
#include "platform/replay_capture.h"
#include "tools/pcap_file_writer.h"

namespace {

using korvane::CapturePacket;
using korvane::ManualClock;
using korvane::ReplayCapture;
using korvane::tools::PcapFileWriter;

constexpr int kFramesPerFile = 20000;
constexpr uint16_t kServerPort = 2300;
constexpr uint32_t kServerAddress = 0x7F000001;  // 127.0.0.1

// An Ethernet / IPv4 / TCP frame of `size` bytes to `port`.
std::vector<uint8_t> TcpFrame(uint16_t port, size_t size) {
    std::vector<uint8_t> f(size, 0x5A);
    f[12] = 0x08;
    f[13] = 0x00;
    f[14] = 0x45;
    f[16] = static_cast<uint8_t>((size - 14) >> 8);
    f[17] = static_cast<uint8_t>(size - 14);
    f[20] = 0;
    f[21] = 0;
    f[23] = 6;
    f[36] = static_cast<uint8_t>(port >> 8);
    f[37] = static_cast<uint8_t>(port);
    f[46] = 0x50;
    return f;
}

// A capture file in its own temporary directory, removed again when the run ends.
class BenchCapture {
  public:
    // Every `rejectEvery`-th frame goes to another port (0: none does); frame sizes cycle through
    // small, medium and full-size frames, 1 ms apart.
    BenchCapture(PcapFileWriter::Format format, int rejectEvery) {
        std::string pattern = (std::filesystem::temp_directory_path() / "replay_bench.XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        dir_ = pattern;
        path_ = (dir_ / "bench.cap").string();
        PcapFileWriter writer(path_, format);
        const size_t sizes[] = {74, 160, 590, 1514};
        for (int i = 0; i < kFramesPerFile; ++i) {
            bool reject = rejectEvery > 0 && i % rejectEvery == rejectEvery - 1;
            std::vector<uint8_t> frame = TcpFrame(reject ? 80 : kServerPort, sizes[i % 4]);
            auto micros = static_cast<uint32_t>(i) * 1000u;
            writer.Write(1'000'000 + micros / 1'000'000, micros % 1'000'000, frame);
        }
        ok_ = writer.Close();
    }
    ~BenchCapture() {
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }
    BenchCapture(const BenchCapture&) = delete;
    BenchCapture& operator=(const BenchCapture&) = delete;

    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }

  private:
    std::filesystem::path dir_;
    std::string path_;
    bool ok_ = false;
};

std::unique_ptr<ReplayCapture> OpenWithFilter(const std::string& path, ManualClock& clock,
                                              bool filtered, std::string& reason) {
    auto replay = ReplayCapture::Open(path, clock, reason);
    if (replay != nullptr && filtered) {
        auto filter = korvane::MakePortFilter(kServerPort, kServerAddress);
        if (!replay->SetBpf(filter)) {
            reason = "port filter refused";
            return nullptr;
        }
    }
    return replay;
}

// One iteration is one read; at the end of the file the replay is opened afresh outside the
// timing.
void ReplayReads(benchmark::State& state, PcapFileWriter::Format format, int rejectEvery,
                 bool filtered) {
    BenchCapture capture(format, rejectEvery);
    if (!capture.ok()) {
        state.SkipWithError("could not write the capture file");
        return;
    }
    ManualClock clock;
    std::string reason;
    auto replay = OpenWithFilter(capture.path(), clock, filtered, reason);
    if (replay == nullptr) {
        state.SkipWithError(reason.c_str());
        return;
    }
    std::vector<uint8_t> buffer(262144);
    CapturePacket packet;
    packet.Init(buffer);
    int64_t frames = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        if (!replay->ReceivePacket(packet)) {
            state.SkipWithError("read failed");
            break;
        }
        if (packet.Delivered()) {
            ++frames;
            bytes += packet.bytesReceived + packet.inPlace.bytes.size();
        }
        benchmark::DoNotOptimize(buffer.data());
        if (replay->AtEnd()) {
            state.PauseTiming();
            replay = OpenWithFilter(capture.path(), clock, filtered, reason);
            state.ResumeTiming();
            if (replay == nullptr) {
                state.SkipWithError(reason.c_str());
                break;
            }
        }
    }
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(bytes);
    state.counters["frames_per_read"] =
        benchmark::Counter(static_cast<double>(frames) / static_cast<double>(state.iterations()));
}

void BM_ReplayPcapPortFilter(benchmark::State& state) {
    ReplayReads(state, PcapFileWriter::Format::pcap, 0, true);
}
void BM_ReplayPcapngPortFilter(benchmark::State& state) {
    ReplayReads(state, PcapFileWriter::Format::pcapng, 0, true);
}
// Every other frame goes to another port: each delivered frame costs one rejected frame too.
void BM_ReplayPcapHalfRejected(benchmark::State& state) {
    ReplayReads(state, PcapFileWriter::Format::pcap, 2, true);
}
void BM_ReplayPcapNoFilter(benchmark::State& state) {
    ReplayReads(state, PcapFileWriter::Format::pcap, 0, false);
}

BENCHMARK(BM_ReplayPcapPortFilter);
BENCHMARK(BM_ReplayPcapngPortFilter);
BENCHMARK(BM_ReplayPcapHalfRejected);
BENCHMARK(BM_ReplayPcapNoFilter);

}  // namespace

BENCHMARK_MAIN();
