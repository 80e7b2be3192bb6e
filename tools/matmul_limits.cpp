// matmul-limits: this machine's own limits for the benchmark's two figures,
// measured in a few seconds:
//   - the memory roof: one core's streaming read rate over a buffer the size
//     of B, which bounds the naive loop (it streams B once per row of A);
//   - the compute roofs: the double-precision peak of fused multiply-adds
//     (or, without FMA, of separate multiplies and adds) at each vector
//     width that the CPU and OS support, on as many threads as the library
//     uses, one per thread;
//   - the core clock.
// It prints a table and, with --json FILE, writes the same as JSON.
//
// Usage: matmul-limits [--threads N] [--json FILE]

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "blas/library.hpp"
#include "probes.hpp"

namespace {

constexpr const char* kUsage = "usage: matmul-limits [--threads N] [--json FILE]";

int usage_error(const char* why, const char* what) {
  std::fprintf(stderr, "matmul-limits: %s%s%s\n%s\n", why, what[0] != '\0' ? ": " : "", what,
               kUsage);
  return 2;
}

void print_text(const MachineLimits& limits) {
  std::printf("memory roof (one core reading %.0f MB)   %10.1f GB/s\n",
              limits.memory_buffer_bytes * 1e-6, limits.memory_roof_gbs);
  for (const ComputeRoof& roof : limits.compute_roofs) {
    std::printf("compute roof, %3d-bit %s, %d threads %10.1f GFLOP/s\n", roof.width_bits,
                roof.fma ? "FMA      " : "mul + add", limits.threads, roof.gflops);
  }
  if (limits.compute_roofs.empty()) {
    std::printf("compute roofs: not measured on this architecture\n");
  } else if (!limits.fma) {
    std::printf("no fused multiply-add on this CPU: separate multiplies and adds measured\n");
  }
  if (limits.core_clock_ghz > 0) {
    std::printf("core clock                               %10.2f GHz\n", limits.core_clock_ghz);
  }
}

nlohmann::ordered_json to_json(const MachineLimits& limits) {
  nlohmann::ordered_json roofs = nlohmann::ordered_json::array();
  for (const ComputeRoof& roof : limits.compute_roofs) {
    roofs.push_back({{"width_bits", roof.width_bits}, {"fma", roof.fma}, {"gflops", roof.gflops}});
  }
  return {
      {"threads", limits.threads},
      {"fma", limits.fma},
      {"memory_roof_gbs", limits.memory_roof_gbs},
      {"memory_buffer_bytes", limits.memory_buffer_bytes},
      {"core_clock_ghz", limits.core_clock_ghz > 0 ? nlohmann::ordered_json(limits.core_clock_ghz)
                                                   : nlohmann::ordered_json(nullptr)},
      {"compute_roofs", roofs}};
}

// Whole or not at all: written beside the target, then renamed over it.
bool write_file(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary);
    out << text;
    out.flush();
    if (!out) {
      (void)std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    (void)std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int threads = library_threads();
  const char* json_path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--threads" && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      const long v = std::strtol(argv[++i], &end, 10);
      if (errno != 0 || *end != '\0' || end == argv[i] || v < 1 || v > 1024) {
        return usage_error("--threads needs a count from 1 to 1024", argv[i]);
      }
      threads = static_cast<int>(v);
    } else if (arg == "--json" && i + 1 < argc && argv[i + 1][0] != '\0') {
      json_path = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::printf("%s\n", kUsage);
      return 0;
    } else {
      return usage_error("unknown or incomplete argument", argv[i]);
    }
  }

  const MachineLimits limits = measure_limits(threads);
  print_text(limits);
  if (json_path != nullptr && !write_file(json_path, to_json(limits).dump(2) + "\n")) {
    std::fprintf(stderr, "matmul-limits: cannot write %s\n", json_path);
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
