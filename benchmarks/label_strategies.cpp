// Label assignment on 1,000,000-row columns: hashing first and sorting only the
// distinct texts, against sorting every row. Built and run by label_strategies.py.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>
#include "core/label.hpp"
#include "core/pool.hpp"
using namespace tovrik::core;
template <class F> double best(F f) { double b = 1e9; for (int i = 0; i < 5; ++i) { auto t0 = std::chrono::steady_clock::now(); f(); b = std::min(b, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count()); } return b; }
int main() {
    for (std::size_t k : {8ul, 1000ul, 100000ul, 500000ul, 1000000ul}) {
        std::size_t n = 1000000;
        std::vector<std::string*> objs; for (std::size_t j = 0; j < k; ++j) { char b[32]; snprintf(b, 32, "v3_%07zu", j); objs.push_back(new std::string(std::string(b) + std::string(40, ' '))); }
        std::mt19937_64 rng(0);
        std::vector<std::string_view> col(n);
        for (auto& c : col) c = std::string_view(objs[rng() % k]->data(), 10);
        std::vector<double> out(n);
        double th = best([&] { run_in_pool([&] { ColumnCodes cc = label_encode(col, StridedOut{out.data(), 1}); }); });
        double ts = best([&] { run_in_pool([&] { ColumnCodes cc = label_encode_by_sort(col, StridedOut{out.data(), 1}); }); });
        std::printf("distinct %8zu: hash-first %7.1f ms, sort every row %7.1f ms\n", k, th, ts);
    }
}
