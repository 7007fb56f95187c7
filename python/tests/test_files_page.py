"""docs/files.md as a reader follows it: its example document and settings
file run, and its Python and R scenario scripts write the same documents,
which its batch command then runs to the end with the built manager."""
import csv
import os
import shutil
import subprocess

import pytest

from conftest import REPO, manager_program
from test_whole_runs import run_manager

PAGE = os.path.join(REPO, "docs", "files.md")
BIN = os.path.dirname(manager_program())


def blocks(language):
    with open(PAGE) as f:
        text = f.read()
    return [block.split("```", 1)[0] for block in text.split("```%s\n" % language)[1:]]


def page_settings():
    """The page's settings file, for the programs of this build rather than
    the package's."""
    text = blocks("ini")[1]
    assert "Filename=/usr/bin/velmar-refengine" in text and "Filename=/usr/bin/velmar-dispersal" in text
    return text.replace("/usr/bin/", BIN + "/")


def test_the_example_document_and_settings_file_run(tmp_path):
    document = blocks("ini")[0]
    models = os.path.join(REPO, "examples", "metapopulation")
    shutil.copytree(models, tmp_path / "runs")
    text = document.replace("/home/ana/runs", str(tmp_path / "runs"))
    files = [line.split("=", 1)[1] for line in text.splitlines() if line.startswith("Filename=")]
    assert [os.path.basename(f) for f in files] == ["north.vm", "valley.vm", "south.vm"]
    out = run_manager(tmp_path, files, page_settings())
    assert "Info: Simulation complete" in out
    # The example processor was started: its standard error has a file.
    assert (tmp_path / "run.processor.log").is_file()


def test_the_scenario_scripts_write_the_same_documents_and_the_batch_runs(tmp_path):
    python_script = blocks("python")[0]
    r_script = blocks("r")[0]
    command = blocks("sh")[0]
    (tmp_path / "write_scenarios.py").write_text(python_script)
    (tmp_path / "write_scenarios.R").write_text(r_script)
    (tmp_path / "settings.ini").write_text(page_settings())
    env = dict(os.environ, PATH=BIN + os.pathsep + os.environ["PATH"],
               VELMAR_PIPE_NAMESPACE="velmar-files-page-%d-" % os.getpid())
    env.pop("PYTHONPATH", None)

    # The page's commands as they stand: the Python script, then the batch.
    run = subprocess.run(["bash", "-euo", "pipefail", "-c", command], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr

    def written(folder):
        root = tmp_path / folder
        return {str(p.relative_to(root)): p.read_text().replace(str(root), "OUT")
                for p in sorted(root.rglob("*")) if p.suffix in (".vm", ".vmgr")}

    from_python = written("runs")
    assert sorted(from_python) == ["high.vmgr", "high/north.vm", "high/south.vm", "low.vmgr", "low/north.vm",
                                   "low/south.vm", "mid.vmgr", "mid/north.vm", "mid/south.vm"]
    assert from_python["mid.vmgr"] == "[Model0]\nFilename=OUT/mid/north.vm\n\n[Model1]\nFilename=OUT/mid/south.vm\n"

    with open(tmp_path / "results.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert sorted((os.path.basename(r["document"]), r["outcome"], r["steps"], r["engines"]) for r in rows) == [
        ("high.vmgr", "completed", "20", "2"), ("low.vmgr", "completed", "20", "2"),
        ("mid.vmgr", "completed", "20", "2")]
    for scenario in ("low", "mid", "high"):
        assert "Info: Simulation complete" in (tmp_path / "runs" / (scenario + ".log")).read_text()

    # The R script writes the same files, byte for byte but for the folder.
    if not shutil.which("Rscript"):
        pytest.skip("Rscript is missing (scripts/bootstrap installs r-base-core)")
    r = subprocess.run(["Rscript", "write_scenarios.R", "runs-r"], cwd=tmp_path, capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert written("runs-r") == from_python
