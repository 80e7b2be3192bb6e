"""matmul-bench's results: runs, the facts that tell them apart, their
statistics, comparisons and exports. The command is scripts/matmul-results;
the export format is described in docs/results-format.md."""
