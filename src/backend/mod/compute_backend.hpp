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
// violated one raises InternalError. The interface holds the operations the
// solver calls; vector products that no solver step asks a backend for (a
// backend scoring tabu moves in batches would add them) are not part of it.
class ComputeBackend {
public:
    virtual ~ComputeBackend() = default;

    // The n x n row-major cosine similarity matrix of n embeddings of `dim`
    // values, in a buffer of n * n values that need not be zeroed first.
    virtual std::unique_ptr<float[]> similarity_buffer(std::span<const float> embeddings, std::size_t n,
                                                       std::size_t dim) const = 0;
    // The single-precision sum of the selected values, from -0.0.
    virtual float masked_sum(std::span<const float> values, std::span<const std::uint8_t> selection) const = 0;
    // Announces the move batch size of a solve; a backend may size buffers.
    virtual void prepare(std::size_t move_batch_size) const = 0;
    // The single-precision objective of each of `rows` selection rows.
    virtual std::vector<float> evaluate_batch(std::span<const std::uint8_t> selections, std::size_t rows,
                                              const ObjectiveContext& context) const = 0;
    virtual BackendKind kind() const = 0;
};

// The multi-threaded CPU implementation; the only backend there is. It
// holds no data: parallel operations run on the calling thread's current
// worker pool and ask it for its size when they run.
class CpuReferenceBackend final : public ComputeBackend {
public:
    std::unique_ptr<float[]> similarity_buffer(std::span<const float> embeddings, std::size_t n,
                                               std::size_t dim) const override;
    float masked_sum(std::span<const float> values, std::span<const std::uint8_t> selection) const override;
    void prepare(std::size_t) const override {}
    std::vector<float> evaluate_batch(std::span<const std::uint8_t> selections, std::size_t rows,
                                      const ObjectiveContext& context) const override;
    BackendKind kind() const override { return BackendKind::CpuReference; }
};

// The backend a solver object owns: the CPU backend in every case, since no
// accelerator backend exists whatever the configuration asks for.
std::unique_ptr<ComputeBackend> create_backend(bool use_gpu);

}  // namespace torvane
