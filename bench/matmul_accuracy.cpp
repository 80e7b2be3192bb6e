// matmul-accuracy: how far the naive loop's product and cblas_dgemm's lie
// from the exact product, on the benchmark's own inputs. Fills A and B as
// the benchmark does (from one seed), computes both products, and checks a
// uniform sample of elements against their exact, correctly rounded value
// and against the a-priori error bound gamma_K * sum |a| |b|.
//
// Usage: matmul-accuracy [--seed N] [--sample N] [--json FILE]
#include <cblas.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "accuracy.hpp"
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

// JSON has no infinity: a relative error against an exact zero is null.
void json_number(std::FILE* f, const char* name, double v, const char* after) {
  if (std::isfinite(v)) {
    std::fprintf(f, "\"%s\": %.17g%s", name, v, after);
  } else {
    std::fprintf(f, "\"%s\": null%s", name, after);
  }
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

  // The benchmark's inputs for this seed: A, then B, from one stream.
  std::vector<double> A(static_cast<std::size_t>(std::int64_t{M} * K));
  std::vector<double> B(static_cast<std::size_t>(std::int64_t{K} * N));
  std::vector<double> C_blas(static_cast<std::size_t>(kElementsC));
  std::vector<double> C_simple(static_cast<std::size_t>(kElementsC));
  std::mt19937 generator(static_cast<std::uint32_t>(seed));
  fill_uniform(generator, A.data(), M * K);
  fill_uniform(generator, B.data(), K * N);
  simple_multiply(A.data(), B.data(), M, K, N, C_simple.data());
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, M, N, K, 1.0, A.data(), K, B.data(), N,
              0.0, C_blas.data(), N);
  const double diff = abs_diff_sum(C_blas.data(), C_simple.data(), M * N);

  const auto picked = sample_indices(kElementsC, sample, static_cast<std::uint32_t>(seed));
  const double gamma = gamma_bound(K);
  const char* names[2] = {"simple", "blas"};
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

  std::printf("matmul-accuracy: A %dx%d times B %dx%d, seed %" PRId64 ", %zu of %" PRId64
              " elements checked against the exact product\n",
              M, K, K, N, seed, picked.size(), kElementsC);
  std::printf("error bound: gamma_K * sum|a||b|, gamma_%d = %.6e\n\n", K, gamma);
  std::printf("%-8s %12s %12s %14s %14s %14s %14s\n", "", "max ulp", "median ulp", "max rel err",
              "median rel", "max of bound", "median bound");
  for (int c = 0; c < 2; ++c) {
    std::printf("%-8s %12.2f %12.2f %14.3e %14.3e %14.3e %14.3e\n", names[c], max_of(ulps[c]),
                median_of(ulps[c]), max_of(relative[c]), median_of(relative[c]),
                max_of(of_bound[c]), median_of(of_bound[c]));
  }
  std::printf("\nclosest to exact: blas %.1f %%, simple %.1f %%, equally close %.1f %%\n",
              100.0 * static_cast<double>(blas_closer) / n,
              100.0 * static_cast<double>(static_cast<std::int64_t>(n) - blas_closer - ties) / n,
              100.0 * static_cast<double>(ties) / n);
  std::printf("diff (the benchmark's line, all elements): %f\n", diff);
  std::printf(
      "diff over the sample: %.6e; of the errors behind it, simple's make %.1f %%, "
      "blas's %.1f %%\n",
      sample_diff, 100.0 * share_simple, 100.0 * (1.0 - share_simple));

  if (json_path != nullptr) {
    std::FILE* f = std::fopen(json_path, "w");
    if (f == nullptr) {
      std::fprintf(stderr, "matmul-accuracy: cannot write %s: %s\n", json_path,
                   std::strerror(errno));
      return 1;
    }
    std::fprintf(f,
                 "{\n  \"shape\": {\"M\": %d, \"K\": %d, \"N\": %d},\n  \"seed\": %" PRId64
                 ",\n  \"sampled\": %zu,\n  \"gamma_K\": %.17g,\n",
                 M, K, N, seed, picked.size(), gamma);
    for (int c = 0; c < 2; ++c) {
      std::fprintf(f, "  \"%s\": {", names[c]);
      json_number(f, "max_ulp", max_of(ulps[c]), ", ");
      json_number(f, "median_ulp", median_of(ulps[c]), ", ");
      json_number(f, "max_relative", max_of(relative[c]), ", ");
      json_number(f, "median_relative", median_of(relative[c]), ", ");
      json_number(f, "max_of_bound", max_of(of_bound[c]), ", ");
      json_number(f, "median_of_bound", median_of(of_bound[c]), ", ");
      json_number(f, "abs_error_sum", abs_error_sum[c], "},\n");
    }
    std::fprintf(f,
                 "  \"blas_closer_share\": %.17g,\n  \"tie_share\": %.17g,\n  \"diff\": %.17g,\n"
                 "  \"sample_diff\": %.17g,\n  \"simple_share_of_errors\": %.17g\n}\n",
                 static_cast<double>(blas_closer) / n, static_cast<double>(ties) / n, diff,
                 sample_diff, share_simple);
    if (std::fclose(f) != 0) {
      std::fprintf(stderr, "matmul-accuracy: cannot write %s\n", json_path);
      return 1;
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
