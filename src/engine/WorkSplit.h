#pragma once
// Runs one blend pass on ten threads: each gets a contiguous range of
// ceil(total / 10) items (the last ranges shorter or empty), the threads are
// started one after the other and joined in the same order. Each worker record
// is owned here for the duration of the pass.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

constexpr int kBlendWorkers = 10;

// `make(first, end)` returns a std::unique_ptr to a record with a `thread`
// member and a `Run()` operation.
template <class MakeRecord>
void RunBlendWorkers(int64_t total, MakeRecord make)
{
    const int64_t perWorker = (total + kBlendWorkers - 1) / kBlendWorkers;
    std::vector<decltype(make(int64_t{0}, int64_t{0}))> records;
    records.reserve(kBlendWorkers);
    try {
        for (int i = 0; i < kBlendWorkers; ++i) {
            const int64_t first = std::min<int64_t>(total, perWorker * i);
            const int64_t end = std::min<int64_t>(total, first + perWorker);
            records.push_back(make(first, end));
            auto* record = records.back().get();
            record->thread = std::thread([record] { record->Run(); });
        }
    } catch (...) {
        for (auto& record : records)
            if (record->thread.joinable()) record->thread.join();
        throw;
    }
    for (auto& record : records) record->thread.join();
}
