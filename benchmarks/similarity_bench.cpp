// Times the cosine similarity matrix of the vector kernels.
//
//   similarity_bench [--input FILE --n N --dim D] [--sizes 500,1000,2000 --dim D]
//                    [--reps R] [--level scalar|avx2|avx512] [--threads T] [--output FILE]
//
// With --input, FILE holds N x D float32 values (native byte order) and
// only that matrix is timed; otherwise random rows are made for each size.
// --output writes the n x n result of the last size as float32.
// Prints one line per size: n, dim, median and best time in milliseconds
// of the timed runs (after three untimed warm-up runs).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "backend/pool/thread_pool.hpp"
#include "backend/simd/vector_kernels.hpp"

namespace {

using torvane::simd::SimdLevel;

[[noreturn]] void usage(const char* message) {
    std::fprintf(stderr, "similarity_bench: %s\n", message);
    std::exit(2);
}

std::vector<std::size_t> parse_sizes(const std::string& text) {
    std::vector<std::size_t> sizes;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        sizes.push_back(std::strtoull(text.substr(start, comma - start).c_str(), nullptr, 10));
        start = comma + 1;
    }
    return sizes;
}

std::vector<float> read_floats(const std::string& path, std::size_t count) {
    std::vector<float> values(count);
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(count * sizeof(float)))) {
        usage("cannot read the input file");
    }
    return values;
}

std::vector<float> random_rows(std::size_t n, std::size_t dim) {
    std::mt19937 rng(12345);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> values(n * dim);
    for (float& v : values) v = normal(rng);
    return values;
}

}  // namespace

int main(int argc, char** argv) {
    std::string input;
    std::string output;
    std::vector<std::size_t> sizes = {500, 1000, 2000};
    std::size_t dim = 384;
    std::size_t reps = 20;
    std::size_t threads = 0;
    SimdLevel level = torvane::simd::best_simd_level();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) usage("every option takes a value");
        const std::string value = argv[++i];
        if (arg == "--input") {
            input = value;
        } else if (arg == "--output") {
            output = value;
        } else if (arg == "--n" || arg == "--sizes") {
            sizes = parse_sizes(value);
        } else if (arg == "--dim") {
            dim = std::strtoull(value.c_str(), nullptr, 10);
        } else if (arg == "--reps") {
            reps = std::max<std::size_t>(1, std::strtoull(value.c_str(), nullptr, 10));
        } else if (arg == "--threads") {
            threads = std::strtoull(value.c_str(), nullptr, 10);
        } else if (arg == "--level") {
            if (value == "scalar") level = SimdLevel::Scalar;
            else if (value == "avx2") level = SimdLevel::Avx2;
            else if (value == "avx512") level = SimdLevel::Avx512;
            else usage("unknown level");
        } else {
            usage("unknown option");
        }
    }
    if (!input.empty() && sizes.size() != 1) usage("--input needs exactly one --n");
    if (!torvane::simd::simd_level_available(level)) usage("this CPU lacks the requested level");

    torvane::pool::ThreadPool* pool = threads > 0 ? new torvane::pool::ThreadPool(threads) : nullptr;
    torvane::pool::ThreadPool& run_pool = pool != nullptr ? *pool : torvane::pool::global_pool();
    std::printf("# level=%s threads=%zu cpus=%zu\n", std::string(torvane::simd::simd_level_name(level)).c_str(),
                run_pool.thread_count(), torvane::pool::available_cpus());

    for (const std::size_t n : sizes) {
        const std::vector<float> rows = input.empty() ? random_rows(n, dim) : read_floats(input, n * dim);
        std::vector<double> times;
        std::unique_ptr<float[]> result;
        // The first runs of a process also pay for fresh pages of the
        // allocator; three untimed runs reach the steady state of a
        // long-running process.
        constexpr std::size_t kWarmUp = 3;
        for (std::size_t r = 0; r < reps + kWarmUp; ++r) {
            const auto start = std::chrono::steady_clock::now();
            // The form the solver uses: a buffer the kernel fills without a
            // zero fill first (NumPy's product also writes into fresh memory).
            result = run_pool.install([&] { return torvane::simd::similarity_matrix_buffer(rows, n, dim, level); });
            const auto stop = std::chrono::steady_clock::now();
            if (r >= kWarmUp) times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        }
        std::sort(times.begin(), times.end());
        std::printf("n=%zu dim=%zu median_ms=%.3f best_ms=%.3f\n", n, dim, times[times.size() / 2], times.front());
        if (!output.empty() && n == sizes.back()) {
            std::ofstream out(output, std::ios::binary);
            out.write(reinterpret_cast<const char*>(result.get()), static_cast<std::streamsize>(n * n * sizeof(float)));
        }
    }
    delete pool;
    return 0;
}
