#include "backend/mod/compute_backend.hpp"

#include <algorithm>

#include "backend/mod/batch_objective.hpp"
#include "backend/simd/vector_kernels.hpp"

namespace torvane {

std::string_view backend_kind_name(BackendKind kind) {
    switch (kind) {
        case BackendKind::CpuReference: return "cpu_reference";
        case BackendKind::GpuExperimental: return "rust_gpu_experimental";
        case BackendKind::CudaExperimental: return "rust_cuda_experimental";
    }
    return "cpu_reference";
}

float CpuReferenceBackend::dot(std::span<const float> a, std::span<const float> b) const { return simd::dot(a, b); }

std::vector<float> CpuReferenceBackend::dot_rows(std::span<const float> matrix, std::size_t rows, std::size_t dim,
                                                 std::span<const float> query) const {
    return simd::dot_rows(matrix, rows, dim, query);
}

std::vector<float> CpuReferenceBackend::cross_dot(std::span<const float> a, std::size_t n_a, std::size_t k,
                                                  std::span<const float> b, std::size_t n_b) const {
    return simd::cross_dot(a, n_a, k, b, n_b);
}

float CpuReferenceBackend::cosine(std::span<const float> a, std::span<const float> b) const {
    return simd::cosine(a, b);
}

std::vector<float> CpuReferenceBackend::similarity_matrix(std::span<const float> embeddings, std::size_t n,
                                                          std::size_t dim) const {
    return simd::similarity_matrix(embeddings, n, dim);
}

std::unique_ptr<float[]> ComputeBackend::similarity_buffer(std::span<const float> embeddings, std::size_t n,
                                                           std::size_t dim) const {
    const std::vector<float> matrix = similarity_matrix(embeddings, n, dim);
    std::unique_ptr<float[]> out(new float[matrix.size()]);
    std::copy(matrix.begin(), matrix.end(), out.get());
    return out;
}

std::unique_ptr<float[]> CpuReferenceBackend::similarity_buffer(std::span<const float> embeddings, std::size_t n,
                                                                std::size_t dim) const {
    return simd::similarity_matrix_buffer(embeddings, n, dim);
}

float CpuReferenceBackend::masked_sum(std::span<const float> values, std::span<const std::uint8_t> selection) const {
    return simd::masked_sum(values, selection);
}

std::vector<float> CpuReferenceBackend::evaluate_batch(std::span<const std::uint8_t> selections, std::size_t rows,
                                                       const ObjectiveContext& context) const {
    return torvane::evaluate_batch(selections, rows, context);
}

std::vector<float> CpuReferenceBackend::evaluate_swap_moves(std::span<const std::uint8_t> selection,
                                                            std::span<const std::size_t> added,
                                                            std::span<const std::size_t> removed,
                                                            const ObjectiveContext& context) const {
    return torvane::evaluate_swap_moves(selection, added, removed, context);
}

std::unique_ptr<ComputeBackend> create_backend(bool /*use_gpu*/) {
    return std::make_unique<CpuReferenceBackend>();
}

}  // namespace torvane
