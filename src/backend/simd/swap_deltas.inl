// The objective changes of swaps that share their added candidate (see
// SwapDeltaInput in kernel_table.hpp). Included inside an anonymous
// namespace by every kernel unit, so the compiler vectorises the loop with
// the unit's instruction set; every element gets the operations below in
// this order, with products and sums never fused (-ffp-contract=off), so
// every unit gives the same bits. Only builtins and plain loops here (see
// kernel_table.hpp).

bool swap_deltas_kernel(const SwapDeltaInput& in, double* out) {
    const float rel = in.added_relevance, dens = in.added_density, cent = in.added_centrality,
                rec = in.added_recency, aux = in.added_auxiliary;
    const double red = in.added_redundancy;
    long passing = 0;
    for (std::size_t y = 0; y < in.count; ++y) {
        double delta = in.alpha * static_cast<double>(rel - in.relevance[y]);
        delta += in.beta * static_cast<double>(dens - in.density[y]);
        delta += in.gamma * static_cast<double>(cent - in.centrality[y]);
        delta += in.delta * static_cast<double>(rec - in.recency[y]);
        delta += in.epsilon * static_cast<double>(aux - in.auxiliary[y]);
        delta += in.fulfilment_term[y];
        const double change = red - in.similarity[y] - static_cast<double>(in.redundancy[y]);
        delta -= in.lambda * change;
        out[y] = delta;
        passing |= static_cast<long>(in.pass_offset + delta > in.pass_above);
    }
    return passing != 0;
}
