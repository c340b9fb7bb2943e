// Column sums in double precision (see KernelTable::add_columns). Included
// inside an anonymous namespace by every kernel unit, so the compiler
// vectorises the loops with the unit's instruction set; every sum receives
// its additions one after the other in column order, so every unit gives
// the same bits. Only builtins and plain loops here (see kernel_table.hpp).

// sum[c] += column[c] for c in [lo, hi).
inline void add_column_run(const float* column, std::size_t lo, std::size_t hi, double* sum) {
    for (std::size_t c = lo; c < hi; ++c) sum[c] += static_cast<double>(column[c]);
}

void add_columns_kernel(const float* const* columns, const std::size_t* own, std::size_t count, std::size_t n,
                        double* sum) {
    // Four columns per pass over the sums, each sum taking them one after
    // the other; each column skips its own entry (own is ascending).
    std::size_t j = 0;
    for (; count - j >= 4; j += 4) {
        const float* col[4] = {columns[j], columns[j + 1], columns[j + 2], columns[j + 3]};
        const std::size_t skip[4] = {own[j], own[j + 1], own[j + 2], own[j + 3]};
        std::size_t lo = 0;
        for (int e = 0; e <= 4; ++e) {
            const std::size_t hi = e < 4 ? skip[e] : n;
            for (std::size_t c = lo; c < hi; ++c) {
                sum[c] = (((sum[c] + static_cast<double>(col[0][c])) + static_cast<double>(col[1][c])) +
                          static_cast<double>(col[2][c])) +
                         static_cast<double>(col[3][c]);
            }
            if (e == 4) break;
            for (int u = 0; u < 4; ++u) {
                if (u != e) sum[hi] += static_cast<double>(col[u][hi]);
            }
            lo = hi + 1;
        }
    }
    for (; j < count; ++j) {
        add_column_run(columns[j], 0, own[j], sum);
        add_column_run(columns[j], own[j] + 1, n, sum);
    }
}
