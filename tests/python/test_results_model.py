"""The result model: today's and older exports load whole, runs group by
what tells them apart, and bad files are refused with one clear line."""

import dataclasses
import json

import pytest
from conftest import FIXTURES, make_export
from matmul_results import model
from matmul_results.errors import Failure

OLD_EXPORTS = ["export-2026-12-matmul-results.json", "export-2026-12-repeat-run.json"]


def all_keys(value, path=""):
    if isinstance(value, dict):
        return {f"{path}/{k}" for k in value} | {
            key for k, v in value.items() for key in all_keys(v, f"{path}/{k}")}
    if isinstance(value, list):
        return {key for v in value for key in all_keys(v, path + "[]")}
    return set()


@pytest.mark.parametrize("name", OLD_EXPORTS)
def test_schema_1_export_loads_with_no_field_lost(name):
    original = json.loads((FIXTURES / name).read_text())
    result = model.load(FIXTURES / name)
    assert result.schema_version == 1
    again = result.to_dict()
    assert all_keys(original) <= all_keys(again)
    # Figures added since are there too, unmeasured.
    assert {k: again["summary"][k] for k in original["summary"]} == original["summary"]
    assert again["summary"]["memory_roof_gbs"] is None
    assert [r["simple_ms"] for r in again["runs"]] == [r["simple_ms"] for r in original["runs"]]
    # The facts it kept once now stand on every run.
    run = result.runs[0]
    assert run.library.core == original["openblas"]["core"]
    assert run.machine.cpu_model == original["environment"]["cpu_model"]
    assert run.naive_build.variant == original["environment"]["naive_variant"]


def test_schema_2_round_trip_keeps_every_fact():
    result = model.load(FIXTURES / OLD_EXPORTS[0])
    result.extra["from_a_newer_writer"] = {"kept": True}
    again = model.from_dict(json.loads(json.dumps(result.to_dict())))
    assert again.schema_version == model.SCHEMA_VERSION
    assert again.runs == result.runs
    assert again.extra == {"from_a_newer_writer": {"kept": True}}


def test_runs_group_by_machine_library_and_naive_build():
    data = make_export(3, 1000, 100)
    result = model.from_dict(data)
    blis = model.Library("BLIS", "0.9.0", None, "zen3", 1)
    node = model.Machine("n7", "Test CPU", 2, {})
    result.runs += [dataclasses.replace(r, library=blis, figures={**r.figures, "blas_ms": 50.0})
                    for r in result.runs[:2]]
    result.runs += [dataclasses.replace(result.runs[0], machine=node)]
    groups = result.groups()
    assert [(key.host, key.library, len(runs)) for key, runs in groups] == [
        (None, "OpenBLAS", 3), (None, "BLIS", 2), ("n7", "OpenBLAS", 1)]
    exported = result.to_dict()["groups"]
    assert [g["summary"]["blas_ms"]["median"] for g in exported] == [101.0, 50.0, 100.0]
    assert exported[1]["key"]["library_core"] == "zen3"


@pytest.mark.parametrize("content, says", [
    (None, "no such file"),
    (b'{"runs": [{"simple_ms": 1', "not valid JSON"),
    (b"\xff\xfegarbage", "cannot read it"),
    (b'{"benchmarks": []}', "not a matmul-results export"),
    (b"[1, 2]", "not a matmul-results export"),
    (b'{"runs": [{"simple_ms": 1}]}', "not a matmul-results export"),
    (b'{"schema_version": "2", "runs": [{"simple_ms": 1, "blas_ms": 2}]}', "schema_version"),
    (b'{"schema_version": 99, "runs": [{"simple_ms": 1, "blas_ms": 2}]}', "newer"),
])
def test_bad_files_refused_with_status_2(tmp_path, content, says):
    path = tmp_path / "r.json"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(Failure) as caught:
        model.load(path)
    assert caught.value.status == 2
    assert str(caught.value).startswith(f"{path}: ") and says in str(caught.value)
