// What writing a report to the spool adds to the monitor tick: the time of
// one durable append (temporary file, fsync, rename, directory fsync) of a
// flight-history-sized report, and of its removal once acknowledged.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/spool.h"

int main(int argc, char* argv[]) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    char dir[] = "/var/tmp/kovo_spool_bench_XXXXXX";
    if (::mkdtemp(dir) == nullptr) return 1;
    kovo::platform::Spool spool(dir, 256u << 20, 3600 * 1000);
    if (!spool.open(nullptr)) return 1;
    const std::string report(1200, 'r');
    std::vector<double> append_ms, remove_ms;
    for (int i = 0; i < count; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        const uint64_t seq = spool.reports().append("report", kovo::platform::wall_clock_ms(), report);
        const auto t1 = std::chrono::steady_clock::now();
        spool.reports().remove(seq);
        const auto t2 = std::chrono::steady_clock::now();
        append_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        remove_ms.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    for (auto* v : {&append_ms, &remove_ms})
        std::sort(v->begin(), v->end());
    auto pct = [](const std::vector<double>& v, double p) { return v[static_cast<size_t>(p * (v.size() - 1))]; };
    std::printf("spool in %s, %d reports of %zu bytes\n", dir, count, report.size());
    std::printf("append: p50 %.3f ms  p99 %.3f ms  max %.3f ms\n", pct(append_ms, 0.5), pct(append_ms, 0.99),
                append_ms.back());
    std::printf("remove: p50 %.3f ms  p99 %.3f ms  max %.3f ms\n", pct(remove_ms, 0.5), pct(remove_ms, 0.99),
                remove_ms.back());
    ::rmdir((std::string(dir) + "/reports").c_str());
    ::rmdir((std::string(dir) + "/uploads").c_str());
    ::rmdir(dir);
    return 0;
}
