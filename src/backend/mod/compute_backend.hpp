#pragma once
// The interface through which the solver does its bulk numeric work.

#include <cstdint>
#include <memory>
#include <string_view>

namespace torvane {

enum class BackendKind : std::uint8_t {
    CpuReference = 0,
    GpuExperimental = 1,   // reserved, never produced
    CudaExperimental = 2,  // reserved, never produced
};

std::string_view backend_kind_name(BackendKind kind);

class ComputeBackend {
public:
    virtual ~ComputeBackend() = default;
    virtual void prepare(std::size_t move_batch_size) const = 0;
    virtual BackendKind kind() const = 0;
    virtual bool supports_batch_moves() const = 0;
};

// The multi-threaded CPU implementation; the only backend there is.
class CpuReferenceBackend final : public ComputeBackend {
public:
    void prepare(std::size_t) const override {}
    BackendKind kind() const override { return BackendKind::CpuReference; }
    bool supports_batch_moves() const override { return false; }
};

// The backend a solver object owns: the CPU backend in every case, since no
// accelerator backend exists whatever the configuration asks for.
std::unique_ptr<ComputeBackend> create_backend(bool use_gpu);

}  // namespace torvane
