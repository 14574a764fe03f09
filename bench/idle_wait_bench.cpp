// What a waiting exchange costs: the processor time of a silent 5-second WaitForAck on a real
// loopback socket (as a share of one core), and how soon a datagram that arrives is taken.
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "net/Addressing.h"
#include "net/UdpEndpoint.h"
#include "tftp/Clock.h"
#include "tftp/TftpChannel.h"

namespace {

using kalvoran::SystemClock;
using kalvoran::TftpChannel;
using kalvoran::WaitHooks;
using kalvoran::net::SocketAddress;
using kalvoran::net::UdpEndpoint;
using SteadyClock = std::chrono::steady_clock;

class CountingHooks final : public WaitHooks {
public:
    void PumpMessages() override { ++pumps; }
    bool CancelRequested() const override { return false; }
    long pumps = 0;
};

SocketAddress Loopback(std::uint8_t last) {
    return SocketAddress{kalvoran::net::ToStorageOrder({127, 0, 4, last}), 0};
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A WaitForAck(5) with nothing arriving: the loop pumps and polls for 4 to 5 seconds.
void BM_IdleWaitForAck(benchmark::State& state) {
    SystemClock clock;
    CountingHooks hooks;
    UdpEndpoint endpoint;
    if (!endpoint.Open() || !endpoint.Bind(Loopback(240))) {
        state.SkipWithError("cannot open a loopback socket");
        return;
    }
    TftpChannel channel(endpoint, clock, hooks);
    channel.AimAt(Loopback(241));
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuSeconds();
        const auto wallBefore = SteadyClock::now();
        benchmark::DoNotOptimize(channel.WaitForAck(5));
        wall += std::chrono::duration<double>(SteadyClock::now() - wallBefore).count();
        cpu += ProcessCpuSeconds() - cpuBefore;
    }
    state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
    state.counters["wait_seconds"] = wall / static_cast<double>(state.iterations());
    state.counters["pumps_per_second"] = static_cast<double>(hooks.pumps) / wall;
}
BENCHMARK(BM_IdleWaitForAck)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// A datagram sent by another socket 20 ms into a WaitForAck(3): time from its sendto to the
// moment the exchange returns with it.
void BM_DatagramSendToTake(benchmark::State& state) {
    SystemClock clock;
    CountingHooks hooks;
    UdpEndpoint endpoint;
    UdpEndpoint agent;
    if (!endpoint.Open() || !endpoint.Bind(Loopback(242)) || !agent.Open() ||
        !agent.Bind(Loopback(243))) {
        state.SkipWithError("cannot open loopback sockets");
        return;
    }
    TftpChannel channel(endpoint, clock, hooks);
    channel.AimAt(agent.LocalAddress());
    const SocketAddress client = endpoint.LocalAddress();
    std::vector<double> latencies;
    for (auto _ : state) {
        std::atomic<std::int64_t> sentAt{0};
        std::thread sender([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::uint8_t ack[4] = {0, 4, 0, 1};
            sentAt = SteadyClock::now().time_since_epoch().count();
            agent.SendTo(ack, client);
        });
        const int taken = channel.WaitForAck(3);
        const auto takenAt = SteadyClock::now().time_since_epoch().count();
        sender.join();
        if (taken != 4) {
            state.SkipWithError("the datagram was not taken");
            return;
        }
        const double microseconds = std::chrono::duration<double, std::micro>(
                                        SteadyClock::duration(takenAt - sentAt.load()))
                                        .count();
        latencies.push_back(microseconds);
        state.SetIterationTime(microseconds / 1e6);
    }
    double total = 0;
    double worst = 0;
    for (const double latency : latencies) {
        total += latency;
        worst = latency > worst ? latency : worst;
    }
    state.counters["mean_latency_us"] = total / static_cast<double>(latencies.size());
    state.counters["max_latency_us"] = worst;
}
BENCHMARK(BM_DatagramSendToTake)->Iterations(50)->Unit(benchmark::kMicrosecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
