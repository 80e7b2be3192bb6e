// matmul-limits: this machine's own limits for the benchmark's two figures:
//   - the memory roof: one core reading a buffer the size of B, pass after
//     pass, for as long as the naive loop streams B, which bounds that loop;
//     each build of the read loop that the CPU runs (x86-64 baseline, AVX2,
//     AVX-512 loads), and the best of them is the roof;
//   - the compute roofs: the double-precision peak of fused multiply-adds
//     (or, without FMA, of separate multiplies and adds) at each vector
//     width that the CPU and OS support, sustained on each thread count
//     asked for, one chain set per thread;
//   - the core clock.
// It prints a table and, with --json FILE, writes the same as JSON.
//
// Usage: matmul-limits [--threads N[,N...]] [--memory-seconds S]
//                      [--compute-seconds S] [--json FILE]

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "blas/library.hpp"
#include "probes.hpp"

namespace {

constexpr const char* kUsage =
    "usage: matmul-limits [--threads N[,N...]] [--memory-seconds S] [--compute-seconds S] "
    "[--json FILE]\n"
    "  --threads: a compute roof for each count (default: the library's threads)\n"
    "  --memory-seconds: how long each read-loop build streams (default 1.5)\n"
    "  --compute-seconds: how long each compute roof runs (default 0.3)";

int usage_error(const char* why, const char* what) {
  std::fprintf(stderr, "matmul-limits: %s%s%s\n%s\n", why, what[0] != '\0' ? ": " : "", what,
               kUsage);
  return 2;
}

void print_text(const MachineLimits& limits) {
  const ReadRate& roof = limits.memory_roof();
  for (const ReadRate& read : limits.reads) {
    std::printf(
        "memory, one core reading %.0f MB for %.1f s, %-6s %3d-bit loads %8.1f GB/s"
        " (fastest pass %.1f)%s\n",
        limits.memory_buffer_bytes * 1e-6, limits.memory_seconds, read.build.c_str(),
        read.load_bits, read.gbs, read.burst_gbs, &read == &roof ? "  <- roof" : "");
  }
  for (const ComputeRoof& r : limits.compute_roofs) {
    std::printf("compute roof, %3d-bit %s, %d threads, %.1f s %10.1f GFLOP/s\n", r.width_bits,
                r.fma ? "FMA      " : "mul + add", r.threads, limits.compute_seconds, r.gflops);
  }
  if (limits.compute_roofs.empty()) {
    std::printf("compute roofs: not measured on this architecture\n");
  } else if (!limits.fma) {
    std::printf("no fused multiply-add on this CPU: separate multiplies and adds measured\n");
  }
  if (limits.core_clock_ghz > 0) {
    std::printf("core clock %10.2f GHz\n", limits.core_clock_ghz);
  }
}

nlohmann::ordered_json to_json(const MachineLimits& limits, const std::vector<int>& threads) {
  nlohmann::ordered_json roofs = nlohmann::ordered_json::array();
  for (const ComputeRoof& r : limits.compute_roofs) {
    roofs.push_back({{"width_bits", r.width_bits},
                     {"fma", r.fma},
                     {"threads", r.threads},
                     {"gflops", r.gflops}});
  }
  nlohmann::ordered_json reads = nlohmann::ordered_json::array();
  for (const ReadRate& read : limits.reads) {
    reads.push_back({{"build", read.build},
                     {"load_bits", read.load_bits},
                     {"gbs", read.gbs},
                     {"burst_gbs", read.burst_gbs}});
  }
  const ReadRate& roof = limits.memory_roof();
  return {
      {"method", "sustained"},
      {"threads", threads.front()},
      {"fma", limits.fma},
      {"memory_roof_gbs", roof.gbs},
      {"memory_roof_build", roof.build},
      {"memory_burst_gbs", roof.burst_gbs},
      {"memory_seconds", limits.memory_seconds},
      {"memory_buffer_bytes", limits.memory_buffer_bytes},
      {"memory_reads", reads},
      {"core_clock_ghz", limits.core_clock_ghz > 0 ? nlohmann::ordered_json(limits.core_clock_ghz)
                                                   : nlohmann::ordered_json(nullptr)},
      {"compute_seconds", limits.compute_seconds},
      {"compute_roofs", roofs}};
}

// A count from 1 to 1024, or a list of them separated by commas.
bool parse_threads(const char* text, std::vector<int>& out) {
  out.clear();
  const char* p = text;
  while (true) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(p, &end, 10);
    if (errno != 0 || end == p || v < 1 || v > 1024 || (*end != ',' && *end != '\0')) {
      return false;
    }
    if (std::find(out.begin(), out.end(), static_cast<int>(v)) == out.end()) {
      out.push_back(static_cast<int>(v));
    }
    if (*end == '\0') {
      return true;
    }
    p = end + 1;
  }
}

// Seconds from 0.01 to 600.
bool parse_seconds(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= 0.01 && v <= 600)) {
    return false;
  }
  out = v;
  return true;
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
  LimitsRequest request;
  request.threads = {library_threads()};
  const char* json_path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--threads" && has_value) {
      if (!parse_threads(argv[++i], request.threads)) {
        return usage_error("--threads needs counts from 1 to 1024, separated by commas", argv[i]);
      }
    } else if (arg == "--memory-seconds" && has_value) {
      if (!parse_seconds(argv[++i], request.memory_seconds)) {
        return usage_error("--memory-seconds needs seconds from 0.01 to 600", argv[i]);
      }
    } else if (arg == "--compute-seconds" && has_value) {
      if (!parse_seconds(argv[++i], request.compute_seconds)) {
        return usage_error("--compute-seconds needs seconds from 0.01 to 600", argv[i]);
      }
    } else if (arg == "--json" && has_value && argv[i + 1][0] != '\0') {
      json_path = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::printf("%s\n", kUsage);
      return 0;
    } else {
      return usage_error("unknown or incomplete argument", argv[i]);
    }
  }

  const MachineLimits limits = measure_limits(request);
  print_text(limits);
  if (json_path != nullptr &&
      !write_file(json_path, to_json(limits, request.threads).dump(2) + "\n")) {
    std::fprintf(stderr, "matmul-limits: cannot write %s\n", json_path);
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
