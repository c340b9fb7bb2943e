#include "backend/mod/compute_backend.hpp"

namespace torvane {

std::string_view backend_kind_name(BackendKind kind) {
    switch (kind) {
        case BackendKind::CpuReference: return "cpu_reference";
        case BackendKind::GpuExperimental: return "rust_gpu_experimental";
        case BackendKind::CudaExperimental: return "rust_cuda_experimental";
    }
    return "cpu_reference";
}

std::unique_ptr<ComputeBackend> create_backend(bool /*use_gpu*/) {
    return std::make_unique<CpuReferenceBackend>();
}

}  // namespace torvane
