"""The result as Markdown, to paste into an issue."""

import os

from .. import stats
from ..model import FIGURE_KEYS
from . import table as tables
from .common import group_title, limits_text
from .text import summary_cells


def _table(summary):
    return tables.markdown(["figure", "min", "median", "max"], summary_cells(summary),
                           right={1, 2, 3}).splitlines()


def render(result):
    env, limits = result.environment, result.limits
    lib = result.runs[0].library
    isa = env.get("isa") or {}

    def flag(name):
        return str(isa.get(name)).lower()
    lines = [
        f"**{os.path.basename(result.program or 'matmul-bench')}**, {len(result.runs)} runs, "
        f"{env.get('date')}: {env.get('cpu_model')}, "
        f"{env.get('cores')} cores (avx2 {flag('avx2')}, fma {flag('fma')}, "
        f"avx512f {flag('avx512f')}), {env.get('os_kernel')}, "
        f"THP {env.get('transparent_hugepages') or 'unknown'}",
        "",
        f"- build: {env.get('project_version') or 'unknown'}"
        + (f" ({env['git_commit']})" if env.get("git_commit") else "")
        + f" {env.get('build_type') or ''}, {env.get('compiler') or 'unknown compiler'}, kernels "
        f"`{env.get('kernel_flags') or ''}`; naive loop built for {env.get('naive_variants_built')}, "
        f"running {env.get('naive_variant')} `{env.get('naive_variant_flags') or ''}`",
        f"- library: {lib.name} {lib.version} ({lib.config}); kernels {lib.core}, "
        f"{lib.threads} threads; "
        + ", ".join(f"{k}={v or 'unset'}" for k, v in result.environment_variables.items()),
        f"- limits (matmul-limits): {limits_text(limits)}",
        "",
        *_table(result.summary()),
    ]
    groups = result.groups()
    if len(groups) > 1:
        for key, runs in groups:
            lines += ["", f"**{group_title(key, runs)}**", ""]
            lines += _table(stats.summarise([r.figures for r in runs], FIGURE_KEYS))
    return "\n".join(lines) + "\n"
