// matmul-accuracy: how far the naive loop's product and cblas_dgemm's lie
// from the exact product, on the benchmark's own inputs. Fills A and B as
// the benchmark does (from one seed), computes both products, and checks a
// uniform sample of elements against their exact, correctly rounded value
// and against the a-priori error bound gamma_K * sum |a| |b|.
//
// Usage: matmul-accuracy [--seed N] [--sample N] [--json FILE]
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "accuracy.hpp"
#include "blas/library.hpp"
#include "kernels/kernels.hpp"
#include "random_fill.hpp"
#include "run.hpp"

namespace {

constexpr const char* kUsage = "usage: matmul-accuracy [--seed N] [--sample N] [--json FILE]";
constexpr std::int64_t kElementsC = std::int64_t{M} * N;

int usage_error(const char* why, const char* what) {
  std::fprintf(stderr, "matmul-accuracy: %s%s%s\n%s\n", why, what[0] != '\0' ? ": " : "", what,
               kUsage);
  return 2;
}

// A whole number in [low, high], all of `text`.
bool parse_count(const char* text, std::int64_t low, std::int64_t high, std::int64_t* value) {
  if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < static_cast<unsigned long long>(low) ||
      v > static_cast<unsigned long long>(high)) {
    return false;
  }
  *value = static_cast<std::int64_t>(v);
  return true;
}

double median_of(std::vector<double> v) {
  if (v.empty()) {
    return 0.0;
  }
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double max_of(const std::vector<double>& v) {
  return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
}

// Knuth's selection sampling: `count` distinct indices of [0, total), each
// set equally likely, in increasing order.
std::vector<std::int64_t> sample_indices(std::int64_t total, std::int64_t count,
                                         std::uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<std::int64_t> picked;
  picked.reserve(static_cast<std::size_t>(count));
  for (std::int64_t t = 0; t < total && static_cast<std::int64_t>(picked.size()) < count; ++t) {
    const auto still_needed = static_cast<double>(count - static_cast<std::int64_t>(picked.size()));
    if (static_cast<double>(total - t) * unit(gen) < still_needed) {
      picked.push_back(t);
    }
  }
  return picked;
}

// One product's errors against the exact one, over the sampled elements.
struct Errors {
  double max_ulp, median_ulp, max_relative, median_relative, max_of_bound, median_of_bound,
      abs_error_sum;
};

// What the tool found: computed first, then printed as text or JSON.
struct AccuracyReport {
  std::int64_t seed;
  std::size_t sampled;
  double gamma;
  Errors errors[2];  // simple, blas
  double blas_closer_share, tie_share, diff, sample_diff, simple_share_of_errors;
};
constexpr const char* kNames[2] = {"simple", "blas"};

AccuracyReport measure_accuracy(std::int64_t seed, std::int64_t sample) {
  // The benchmark's inputs for this seed: A, then B, from one stream.
  std::vector<double> A(static_cast<std::size_t>(std::int64_t{M} * K));
  std::vector<double> B(static_cast<std::size_t>(std::int64_t{K} * N));
  std::vector<double> C_blas(static_cast<std::size_t>(kElementsC));
  std::vector<double> C_simple(static_cast<std::size_t>(kElementsC));
  std::mt19937 generator(static_cast<std::uint32_t>(seed));
  fill_uniform(generator, A.data(), M * K);
  fill_uniform(generator, B.data(), K * N);
  simple_multiply(A.data(), B.data(), M, K, N, C_simple.data());
  library_multiply(A.data(), B.data(), M, K, N, C_blas.data());
  const double diff = abs_diff_sum(C_blas.data(), C_simple.data(), M * N);

  const auto picked = sample_indices(kElementsC, sample, static_cast<std::uint32_t>(seed));
  const double gamma = gamma_bound(K);
  std::vector<double> ulps[2];
  std::vector<double> relative[2];
  std::vector<double> of_bound[2];
  double abs_error_sum[2] = {0.0, 0.0};
  double sample_diff = 0.0;
  std::int64_t blas_closer = 0;
  std::int64_t ties = 0;
  for (const std::int64_t index : picked) {
    const std::int64_t i = index / N;
    const std::int64_t j = index % N;
    const double candidates[2] = {C_simple[static_cast<std::size_t>(index)],
                                  C_blas[static_cast<std::size_t>(index)]};
    double exact = 0.0;
    double magnitude = 0.0;
    double error[2] = {0.0, 0.0};
    element_errors(A.data(), B.data(), K, N, i, j, candidates, 2, &exact, &magnitude, error);
    for (int c = 0; c < 2; ++c) {
      const double e = std::fabs(error[c]);
      ulps[c].push_back(e / ulp_of(exact));
      relative[c].push_back(exact != 0.0 ? e / std::fabs(exact) : (e == 0.0 ? 0.0 : INFINITY));
      of_bound[c].push_back(magnitude != 0.0 ? e / (gamma * magnitude) : 0.0);
      abs_error_sum[c] += e;
    }
    sample_diff += std::fabs(candidates[1] - candidates[0]);
    if (std::fabs(error[1]) < std::fabs(error[0])) {
      ++blas_closer;
    } else if (std::fabs(error[1]) == std::fabs(error[0])) {
      ++ties;
    }
  }
  const auto n = static_cast<double>(picked.size());
  const double both = abs_error_sum[0] + abs_error_sum[1];
  const double share_simple = both > 0.0 ? abs_error_sum[0] / both : 0.0;

  AccuracyReport report{};
  report.seed = seed;
  report.sampled = picked.size();
  report.gamma = gamma;
  for (int c = 0; c < 2; ++c) {
    report.errors[c] = {max_of(ulps[c]),        median_of(ulps[c]),  max_of(relative[c]),
                        median_of(relative[c]), max_of(of_bound[c]), median_of(of_bound[c]),
                        abs_error_sum[c]};
  }
  report.blas_closer_share = static_cast<double>(blas_closer) / n;
  report.tie_share = static_cast<double>(ties) / n;
  report.diff = diff;
  report.sample_diff = sample_diff;
  report.simple_share_of_errors = share_simple;
  return report;
}

void print_text(const AccuracyReport& r) {
  std::printf("matmul-accuracy: A %dx%d times B %dx%d, seed %" PRId64 ", %zu of %" PRId64
              " elements checked against the exact product\n",
              M, K, K, N, r.seed, r.sampled, kElementsC);
  std::printf("blas: %s %s\n", library_name(), library_version().c_str());
  std::printf("error bound: gamma_K * sum|a||b|, gamma_%d = %.6e\n\n", K, r.gamma);
  std::printf("%-8s %12s %12s %14s %14s %14s %14s\n", "", "max ulp", "median ulp", "max rel err",
              "median rel", "max of bound", "median bound");
  for (int c = 0; c < 2; ++c) {
    const Errors& e = r.errors[c];
    std::printf("%-8s %12.2f %12.2f %14.3e %14.3e %14.3e %14.3e\n", kNames[c], e.max_ulp,
                e.median_ulp, e.max_relative, e.median_relative, e.max_of_bound, e.median_of_bound);
  }
  std::printf("\nclosest to exact: blas %.1f %%, simple %.1f %%, equally close %.1f %%\n",
              100.0 * r.blas_closer_share, 100.0 * (1.0 - r.blas_closer_share - r.tie_share),
              100.0 * r.tie_share);
  std::printf("diff (the benchmark's line, all elements): %f\n", r.diff);
  std::printf(
      "diff over the sample: %.6e; of the errors behind it, simple's make %.1f %%, "
      "blas's %.1f %%\n",
      r.sample_diff, 100.0 * r.simple_share_of_errors, 100.0 * (1.0 - r.simple_share_of_errors));
}

// JSON has no infinity: a relative error against an exact zero is null.
nlohmann::ordered_json number(double v) {
  return std::isfinite(v) ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json to_json(const AccuracyReport& r) {
  nlohmann::ordered_json out = {
      {"shape", {{"M", M}, {"K", K}, {"N", N}}},
      {"library",
       {{"name", library_name()}, {"version", library_version()}, {"kernels", library_kernels()}}},
      {"seed", r.seed},
      {"sampled", r.sampled},
      {"gamma_K", r.gamma}};
  for (int c = 0; c < 2; ++c) {
    const Errors& e = r.errors[c];
    out[kNames[c]] = {{"max_ulp", number(e.max_ulp)},
                      {"median_ulp", number(e.median_ulp)},
                      {"max_relative", number(e.max_relative)},
                      {"median_relative", number(e.median_relative)},
                      {"max_of_bound", number(e.max_of_bound)},
                      {"median_of_bound", number(e.median_of_bound)},
                      {"abs_error_sum", number(e.abs_error_sum)}};
  }
  out["blas_closer_share"] = r.blas_closer_share;
  out["tie_share"] = r.tie_share;
  out["diff"] = r.diff;
  out["sample_diff"] = r.sample_diff;
  out["simple_share_of_errors"] = r.simple_share_of_errors;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t seed = std::mt19937::default_seed;
  std::int64_t sample = 20000;
  const char* json_path = nullptr;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    const char* value = a + 1 < argc ? argv[a + 1] : nullptr;
    if (arg == "--help" || arg == "-h") {
      std::printf("%s\n", kUsage);
      return 0;
    }
    if (arg == "--seed") {
      if (!parse_count(value, 0, UINT32_MAX, &seed)) {
        return usage_error("--seed wants a whole number from 0 to 4294967295",
                           value != nullptr ? value : "");
      }
    } else if (arg == "--sample") {
      if (!parse_count(value, 1, kElementsC, &sample)) {
        return usage_error("--sample wants a whole number from 1 to 3000000",
                           value != nullptr ? value : "");
      }
    } else if (arg == "--json") {
      if (value == nullptr || *value == '\0') {
        return usage_error("--json wants a file name", "");
      }
      json_path = value;
    } else {
      return usage_error("unknown argument", argv[a]);
    }
    ++a;
  }

  const AccuracyReport report = measure_accuracy(seed, sample);
  print_text(report);
  if (json_path != nullptr) {
    std::ofstream out(json_path, std::ios::binary);
    out << to_json(report).dump(2) << "\n";
    out.flush();
    if (!out) {
      std::fprintf(stderr, "matmul-accuracy: cannot write %s\n", json_path);
      return 1;
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
