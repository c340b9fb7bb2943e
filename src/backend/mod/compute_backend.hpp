#pragma once
// The interface through which the solver does its bulk numeric work.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "backend/mod/objective_context.hpp"

namespace torvane {

enum class BackendKind : std::uint8_t {
    CpuReference = 0,
    GpuExperimental = 1,   // reserved, never produced
    CudaExperimental = 2,  // reserved, never produced
};

std::string_view backend_kind_name(BackendKind kind);

// Every operation is logically const: a backend keeps no state that an
// operation changes, so one backend serves any number of calls, from any
// number of threads at once. Length relations are the caller's duty; a
// violated one raises InternalError.
class ComputeBackend {
public:
    virtual ~ComputeBackend() = default;

    // The eight-accumulator single-precision dot product; len(b) >= len(a).
    virtual float dot(std::span<const float> a, std::span<const float> b) const = 0;
    // dot(row i, query) for each of `rows` rows of `dim` values.
    virtual std::vector<float> dot_rows(std::span<const float> matrix, std::size_t rows, std::size_t dim,
                                        std::span<const float> query) const = 0;
    // The row-major product of the n_a x k matrix a and the k x n_b matrix b.
    virtual std::vector<float> cross_dot(std::span<const float> a, std::size_t n_a, std::size_t k,
                                         std::span<const float> b, std::size_t n_b) const = 0;
    virtual float cosine(std::span<const float> a, std::span<const float> b) const = 0;
    // The n x n row-major cosine similarity matrix of n embeddings of `dim` values.
    virtual std::vector<float> similarity_matrix(std::span<const float> embeddings, std::size_t n,
                                                 std::size_t dim) const = 0;
    // The same matrix in a buffer of n * n values that need not be zeroed
    // first; by default a copy of similarity_matrix's.
    virtual std::unique_ptr<float[]> similarity_buffer(std::span<const float> embeddings, std::size_t n,
                                                       std::size_t dim) const;
    // The single-precision sum of the selected values, from -0.0.
    virtual float masked_sum(std::span<const float> values, std::span<const std::uint8_t> selection) const = 0;
    // Announces the move batch size of a solve; a backend may size buffers.
    virtual void prepare(std::size_t move_batch_size) const = 0;
    // The single-precision objective of each of `rows` selection rows.
    virtual std::vector<float> evaluate_batch(std::span<const std::uint8_t> selections, std::size_t rows,
                                              const ObjectiveContext& context) const = 0;
    // The objective after each (added, removed) move applied to `selection`;
    // a removed index >= n removes nothing.
    virtual std::vector<float> evaluate_swap_moves(std::span<const std::uint8_t> selection,
                                                   std::span<const std::size_t> added,
                                                   std::span<const std::size_t> removed,
                                                   const ObjectiveContext& context) const = 0;
    virtual BackendKind kind() const = 0;
    // Whether the tabu search may hand its moves to evaluate_swap_moves.
    virtual bool supports_batch_moves() const = 0;
};

// The multi-threaded CPU implementation; the only backend there is. It
// holds no data: parallel operations run on the calling thread's current
// worker pool and ask it for its size when they run.
class CpuReferenceBackend final : public ComputeBackend {
public:
    float dot(std::span<const float> a, std::span<const float> b) const override;
    std::vector<float> dot_rows(std::span<const float> matrix, std::size_t rows, std::size_t dim,
                                std::span<const float> query) const override;
    std::vector<float> cross_dot(std::span<const float> a, std::size_t n_a, std::size_t k, std::span<const float> b,
                                 std::size_t n_b) const override;
    float cosine(std::span<const float> a, std::span<const float> b) const override;
    std::vector<float> similarity_matrix(std::span<const float> embeddings, std::size_t n,
                                         std::size_t dim) const override;
    std::unique_ptr<float[]> similarity_buffer(std::span<const float> embeddings, std::size_t n,
                                               std::size_t dim) const override;
    float masked_sum(std::span<const float> values, std::span<const std::uint8_t> selection) const override;
    void prepare(std::size_t) const override {}
    std::vector<float> evaluate_batch(std::span<const std::uint8_t> selections, std::size_t rows,
                                      const ObjectiveContext& context) const override;
    std::vector<float> evaluate_swap_moves(std::span<const std::uint8_t> selection, std::span<const std::size_t> added,
                                           std::span<const std::size_t> removed,
                                           const ObjectiveContext& context) const override;
    BackendKind kind() const override { return BackendKind::CpuReference; }
    bool supports_batch_moves() const override { return false; }
};

// The backend a solver object owns: the CPU backend in every case, since no
// accelerator backend exists whatever the configuration asks for.
std::unique_ptr<ComputeBackend> create_backend(bool use_gpu);

}  // namespace torvane
