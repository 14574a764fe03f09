// What the fleet's ledger costs a run (milliseconds per 1,000 agents are microseconds per
// agent): recording 1,000 agents one transaction each as they finish (BeginRun, RecordAgent per
// agent, EndRun), and --skip-current's lookup of 1,000 agents in a ledger that already holds
// ten runs of them. On the file system of $TMPDIR (/tmp).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fleet/Ledger.h"

namespace {

using kalvoran::fleet::Ledger;
using kalvoran::fleet::LedgerAttempt;
using kalvoran::fleet::LedgerRun;

constexpr int kAgents = 1000;

std::string Address(int agent) {
    return "10.4." + std::to_string(agent / 250) + "." + std::to_string(agent % 250 + 1);
}

std::string ScratchLedger() {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr ? tmp : "/tmp") + "/kalvoran-ledger-bench-" +
           std::to_string(::getpid()) + ".sqlite3";
}

void RemoveLedger(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(path + suffix);
    }
}

LedgerRun SiteRun(const std::string& sha256) {
    LedgerRun run;
    run.started = kalvoran::fleet::UtcNow();
    run.host = "jump-1";
    run.user = "field";
    run.commandLine = "kalvoran-fleet --verify send image app.bin site.txt";
    run.action = "send";
    run.type = "image";
    run.fileName = "app.bin";
    run.fileLength = 4 << 20;
    run.sha256 = sha256;
    run.crc32 = "12AB00FF";
    run.verify = true;
    return run;
}

bool RecordSite(Ledger& ledger, const std::string& sha256) {
    std::string error;
    if (!ledger.BeginRun(SiteRun(sha256), error)) {
        return false;
    }
    for (int agent = 0; agent < kAgents; ++agent) {
        const std::string now = kalvoran::fleet::UtcNow();
        const std::vector<LedgerAttempt> attempts = {{Address(agent), "rack", 0, "", 4 << 20, 3.2,
                                                      1, "Memory compare Flash/Ram is OK", now,
                                                      now}};
        if (!ledger.RecordAgent(attempts, true, false, error)) {
            return false;
        }
    }
    return ledger.EndRun(kalvoran::fleet::UtcNow(), false, error);
}

void BM_RecordThousandAgents(benchmark::State& state) {
    const std::string path = ScratchLedger();
    for (auto _ : state) {
        state.PauseTiming();
        RemoveLedger(path);
        state.ResumeTiming();
        std::string error;
        auto ledger = Ledger::Open(path, Ledger::Mode::Write, error);
        if (!ledger || !RecordSite(*ledger, std::string(64, 'a'))) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    RemoveLedger(path);
}
BENCHMARK(BM_RecordThousandAgents)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SkipCurrentLookup(benchmark::State& state) {
    const std::string path = ScratchLedger();
    RemoveLedger(path);
    std::string error;
    auto ledger = Ledger::Open(path, Ledger::Mode::Write, error);
    for (int run = 0; ledger && run < 10; ++run) {
        if (!RecordSite(*ledger, std::string(64, static_cast<char>('a' + run)))) {
            ledger.reset();
        }
    }
    if (!ledger) {
        state.SkipWithError("the ledger could not be filled");
        return;
    }
    const std::string latest(64, 'j');
    int current = 0;
    for (auto _ : state) {
        current = 0;
        for (int agent = 0; agent < kAgents; ++agent) {
            current += ledger->Current(Address(agent), "image", latest, true) ? 1 : 0;
        }
    }
    ledger.reset();
    RemoveLedger(path);
    if (current != kAgents) {
        state.SkipWithError("not every agent was current");
    }
}
BENCHMARK(BM_SkipCurrentLookup)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
