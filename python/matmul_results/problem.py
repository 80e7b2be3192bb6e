"""The benchmark's fixed problem and its report, as the program states them.

The program's own header holds these facts; matmul-bench-info prints them,
and a test checks this module against that output.
"""

import re

# A is M x K, B is K x N.
M, K, N = 1000, 2000, 3000
FLOP = 2 * M * K * N  # per product
MATRIX_BYTES = 8 * (M * K + K * N + 2 * M * N)  # A, B and the two results
B_BYTES_STREAMED = M * K * N * 8  # the naive loop reads all of B once per row of A
# The least traffic any multiply needs: A and B read once, C written once.
BLAS_MIN_BYTES = 8 * (M * K + K * N + M * N)
NAIVE_INTENSITY = 2 / 8  # one multiply-add per 8-byte element of B
BLAS_INTENSITY = FLOP / BLAS_MIN_BYTES

# The report's three lines, as printf formats, and what matches them
# (a Windows program ends its lines with CRLF). A diff that is not a
# number, as C runtimes print it ("nan", "-nan", "-nan(ind)", "inf"), is a
# fault of the machine's, kept and named, so it matches too.
REPORT_FORMATS = ("simple: %f msec\n", "blas: %f msec\n", "diff: %f\n")
REPORT = re.compile(r"simple: (\d+\.\d{6}) msec\r?\nblas: (\d+\.\d{6}) msec\r?\n"
                    r"diff: (\d+\.\d{6}|-?nan(?:\(ind\))?|-?inf)\r?\n")

# The bound a run's diff stays within: each element of each product is
# within gamma_K * sum_k |a_ik| |b_kj| of the exact one, so the two lie at
# most twice that apart. Summed over the elements, with inputs uniform on
# [0, 10) (mean 5), that sum is M N K 25, which its 6e9 terms hold to far
# better than the 1 % allowed here.
UNIT_ROUNDOFF = 2.0 ** -53
GAMMA_K = K * UNIT_ROUNDOFF / (1 - K * UNIT_ROUNDOFF)
DIFF_BOUND = 2 * GAMMA_K * M * N * K * 25 * 1.01


def diff_is_fault(diff):
    """A diff beyond the bound, or not a number at all: a fault, not rounding."""
    return not diff <= DIFF_BOUND
