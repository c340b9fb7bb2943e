#include "backend/mod/compute_backend.hpp"

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

std::unique_ptr<ComputeBackend> create_backend(bool /*use_gpu*/) {
    return std::make_unique<CpuReferenceBackend>();
}

}  // namespace torvane
