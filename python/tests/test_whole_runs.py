"""Whole runs with the real manager (build/bin/velmar-manager --headless):
Python engines with the Python and the R example processors, the default
replies against the manager's own, the engine's command line, and a
cancelled run."""
import csv
import json
import math
import os
import shutil
import stat
import subprocess
import sys
import uuid

import pytest

import velmar
from conftest import PYTHON_DIR, REPO, manager_program
from test_processor import DEFAULTS

ENGINES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "engines")
PROCESSORS = os.path.join(REPO, "examples", "processors")


@pytest.fixture
def run_dir(tmp_path):
    # A space in the folder: every path the manager passes must survive it.
    d = tmp_path / "run dir"
    d.mkdir()
    return d


def settings_text(engine, options="", processor=None, parameters="", timeout=30, close="QUIT"):
    return ("[Main]\nDebugMessages=0\n\n[Velmar]\nFilename=%s\nOptions=%s\nStartTimeout=30\nTimeStepTimeout=%d\n\n"
            "[ExternalProcessor]\nUseExternalProcessor=%d\nFilename=%s\nParameters=%s\nCloseCommand=%s\n"
            % (engine, options, timeout, 1 if processor else 0, processor or "", parameters, close))


def run_manager(run_dir, models, settings, expect=0, source_on_path=True):
    doc = run_dir / "run.vmgr"
    doc.write_text("".join("[Model%d]\nFilename=%s\n\n" % (i, m) for i, m in enumerate(models)))
    (run_dir / "settings.ini").write_text(settings)
    manager = manager_program()
    assert os.access(manager, os.X_OK), "build the manager first (scripts/build): %s" % manager
    # The engines import the package from this tree, unless they are to
    # find an installed one.
    env = {k: v for k, v in os.environ.items() if source_on_path or k != "PYTHONPATH"}
    if source_on_path:
        env["PYTHONPATH"] = PYTHON_DIR
    env["VELMAR_PIPE_NAMESPACE"] = "velmar-pytest-%d-%s-" % (os.getpid(), uuid.uuid4().hex[:8])
    proc = subprocess.run([manager, "--settings", str(run_dir / "settings.ini"), "--headless", str(doc)],
                          env=env, capture_output=True, text=True, timeout=180)
    logs = "".join("\n--- %s\n%s" % (p.name, p.read_text(errors="replace"))
                   for p in sorted(run_dir.glob("run.*.log")))
    assert proc.returncode == expect, proc.stdout + proc.stderr + logs
    return proc.stdout


def demo_model(run_dir, i, years, delay_ms):
    path = run_dir / ("m%d.vm" % i)
    path.write_text("# one population\nyears = %d\nname = P%d\ninitial = %d\ncapacity = 1000\ngrowth = 0.3\n"
                    "delay_ms = %d\n" % (years, i, 100 + 50 * i, delay_ms))
    return str(path)


def read_results(model):
    with open(velmar.engine.results_path(model), newline="") as f:
        rows = list(csv.DictReader(f))
    return rows


def assert_lockstep(results, years):
    """No engine began year k before every engine simulating by then had
    finished year k - 1 (from the engines' own monotonic clock readings)."""
    compared = 0
    for k in range(2, years + 1):
        for a in results:
            for b in results:
                if int(b[1]["StartNs"]) >= int(a[k - 1]["StopNs"]):
                    continue  # b began after a finished k - 1: the barrier did not wait for it
                compared += 1
                assert int(a[k]["StartNs"]) >= int(b[k - 1]["StopNs"]), "year %d out of step" % k
    return compared


def logistic(n, k):
    return max(0, int(math.floor(n + 0.3 * n * (1 - n / k) + 0.5)))


def check_modifiers_arrived(results, sent_log):
    """Every modifier the processor wrote down reached its engine in that
    year, was applied, and no engine saw one the processor did not send."""
    sent = {}
    with open(sent_log) as f:
        for line in f:
            entry = json.loads(line)
            sent[(int(entry["client"]), int(entry["timestep"]))] = [[int(x) for x in row] for row in entry["abund"]]
    for client, rows in enumerate(results):
        for year in range(1, len(rows)):
            row = rows[year]
            modifier = json.loads(row["Modifier"]) if row["Modifier"] else None
            expected = sent.get((client, year))
            if expected is None:
                assert modifier is None, (client, year, row)
                n = int(rows[year - 1]["P%d" % client])
            else:
                assert modifier == {"Abund": expected, "Timestep": year}, (client, year, row)
                n = sum(expected[0])
            assert int(row["P%d" % client]) == logistic(n, 1000), (client, year, row)
    return sent


YEARS = 12


def test_three_python_engines_with_the_python_processor(run_dir):
    models = [demo_model(run_dir, i, YEARS, delay) for i, delay in enumerate((15, 5, 30))]
    log = run_dir / "harvest.jsonl"
    parameters = '"%s" --rate=0.25 --log="%s" --close=QUIT' % (os.path.join(PROCESSORS, "harvest.py"), log)
    out = run_manager(run_dir, models, settings_text(sys.executable, "-m velmar.engine", sys.executable, parameters))
    assert "Simulation complete" in out
    results = [read_results(m) for m in models]
    assert [len(r) for r in results] == [YEARS + 1] * 3
    assert assert_lockstep(results, YEARS) > 3 * YEARS
    sent = check_modifiers_arrived(results, log)
    # The harvest starts once an engine has reported its first year.
    assert sorted(sent) == [(c, y) for c in range(3) for y in range(2, YEARS + 1)]


def shebang_engine(folder):
    """The engine as an executable script of its own (shebang, executable bit)."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "velmar engine")
    with open(path, "w") as f:
        f.write("#!/bin/sh\nexec '%s' -m velmar.engine \"$@\"\n" % sys.executable)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    return path


def test_three_python_engines_with_the_r_processor(run_dir):
    assert shutil.which("Rscript"), "Rscript is missing: scripts/bootstrap installs r-base-core and r-cran-jsonlite"
    models = [demo_model(run_dir, i, YEARS, delay) for i, delay in enumerate((10, 25, 5))]
    log = run_dir / "catastrophes.jsonl"
    parameters = "--probability=0.3 --severity=0.5 --seed=11 --log=\"%s\"" % log
    settings = settings_text(shebang_engine(str(run_dir / "engine bin")), "", os.path.join(PROCESSORS, "catastrophe.R"),
                             parameters)
    out = run_manager(run_dir, models, settings)
    assert "Simulation complete" in out
    results = [read_results(m) for m in models]
    assert [len(r) for r in results] == [YEARS + 1] * 3
    assert assert_lockstep(results, YEARS) > 3 * YEARS
    sent = check_modifiers_arrived(results, log)
    assert 0 < len(sent) < 3 * (YEARS - 1)


def recording_model(run_dir, name, **model):
    path = run_dir / (name + ".json")
    model["record"] = str(run_dir / (name + ".record.json"))
    path.write_text(json.dumps(model))
    return str(path)


def read_record(model):
    with open(json.load(open(model))["record"]) as f:
        return json.load(f)


def recording_engine_settings(processor=None, parameters="", timeout=30, options=""):
    return settings_text(sys.executable, ('"%s" ' % os.path.join(ENGINES, "recording_engine.py")) + options,
                         processor, parameters, timeout)


def default_processor(run_dir):
    """A processor that answers everything as the manager would. (Its
    parameters must not be one quoted path alone: the settings file reads a
    value in quotes without them.)"""
    script = run_dir / "default processor.py"
    script.write_text("import sys, velmar\nvelmar.Processor(close_command=sys.argv[1]).run()\n")
    return sys.executable, '"%s" QUIT' % script


# Every request of the table but those that would end the engine's run.
RAW = [line for line, _ in DEFAULTS if "Finalize" not in line and "StopSimulation" not in line]


def test_default_replies_are_the_managers_own_byte_for_byte(run_dir):
    direct = recording_model(run_dir, "direct", raw=RAW, years=2)
    run_manager(run_dir, [direct], recording_engine_settings())
    bridged = recording_model(run_dir, "bridged", raw=RAW, years=2)
    run_manager(run_dir, [bridged], recording_engine_settings(*default_processor(run_dir)))
    a, b = read_record(direct)["calls"], read_record(bridged)["calls"]
    assert [c["method"] for c in a] == [c["method"] for c in b]
    assert len(a) == 2 + len(RAW) + 2 * 2 + 2
    expected = dict(DEFAULTS)
    for mine, theirs in zip(a, b):
        # With a processor the engine gets its line as it stands, line end included.
        assert theirs["reply"] == mine["reply"] + "\n", mine
        if mine["method"] == "raw":
            assert mine["reply"] == expected[mine["request"]] == velmar.default_reply(mine["request"])


def test_the_engine_command_line(run_dir):
    model_dir = run_dir / "my models"
    model_dir.mkdir()
    model = recording_model(model_dir, "north model", years=1)
    # Not ending in a quote: the settings file would take the quotes that
    # open and close a whole value away.
    options = '-q "--label=two words" /Custom=1'
    run_manager(run_dir, [model], recording_engine_settings(timeout=7, options=options))
    r = read_record(model)
    assert r["argv"] == ["-q", "--label=two words", "/Custom=1", "/RUN=YES", "/RPC=VelmarManager", "/RPCID=0",
                         model, "/RpcResponseTimeout=9"]
    assert (r["client_id"], r["model_path"], r["reply_timeout"], r["pipe_name"]) == (0, model, 9.0, "VelmarManager")
    assert r["options"] == {"custom": "1"} and r["extra"] == ["-q", "--label=two words"]
    # The engine starts in its program's folder (here the Python interpreter's).
    assert os.path.realpath(r["cwd"]) == os.path.realpath(os.path.dirname(sys.executable))


@pytest.mark.parametrize("with_processor", [False, True])
def test_a_held_start_time_step_that_times_out_cancels_the_run(run_dir, with_processor):
    # Engine 0 takes 2.5 s over its first year; engine 1 asks for its second
    # year at once and is held. The time-step time-out is 1 s, which holds a
    # call until 2 whole seconds have passed.
    slow = recording_model(run_dir, "slow", years=3, delays={"1": 2.5})
    fast = recording_model(run_dir, "fast", years=3)
    processor = parameters = None
    if with_processor:
        processor, parameters = default_processor(run_dir)
    out = run_manager(run_dir, [slow, fast], recording_engine_settings(processor, parameters or "", timeout=1),
                      expect=1)
    calls = read_record(fast)["calls"]
    if with_processor:
        # The processor reads the calls in a fixed order: engine 1's end of
        # its first year comes after engine 0's, so that is the call held,
        # and its turn at the processor is what times out.
        assert ("Timed out waiting for ClientID 0 before passing StopTimeStep of ClientID 1 to the external processor"
                in out), out
        held = calls[3]
        assert held["method"] == "StopTimeStep"
        assert 2.0 <= held["seconds"] < 2.5, held
        # Once the run is cancelled a processor's engines get empty replies.
        assert all(c["reply"] == "" for c in calls[3:]), calls
        assert all(c["result"] is False for c in calls[3:]), calls
    else:
        assert "Timed out waiting for clients < ClientID 1 to complete timestep 1" in out
        assert [c["method"] for c in calls] == ["Initialize", "StartSimulation", "StartTimeStep", "StopTimeStep",
                                                "StartTimeStep", "StopSimulation", "Finalize"]
        held = calls[4]
        assert 2.0 <= held["seconds"] < 2.5, held
        cancelled = {"modifier": velmar.cleared_modifier(), "result": False}
        assert json.loads(held["reply"])["result"] == cancelled
        assert [json.loads(c["reply"])["result"] for c in calls[5:]] == [False, False]
        assert [c["result"] for c in calls[4:]] == [False, False, False]
    slow_calls = read_record(slow)["calls"]
    assert slow_calls[-3]["method"] == "StopTimeStep" and slow_calls[-3]["result"] is False


def test_the_demonstration_engine_stands_in_for_the_reference_engine(run_dir):
    # velmar-dispersal reads the reference engine's state layout: with no
    # growth only its moves change the populations, and it keeps the total.
    models = []
    for i in range(3):
        path = run_dir / ("d%d.vm" % i)
        path.write_text("years = 10\ninitial = %d\ncapacity = 1000\ngrowth = 0\ndelay_ms = 40\n" % (100 * (i + 1)))
        models.append(str(path))
    dispersal = os.path.join(os.environ.get("VELMAR_BUILD_DIR", os.path.join(REPO, "build")), "bin", "velmar-dispersal")
    run_manager(run_dir, models, settings_text(sys.executable, "-m velmar.engine", dispersal, "0.1"))
    results = [read_results(m) for m in models]
    totals = [sum(int(r[year]["Total"]) for r in results) for year in range(11)]
    assert totals == [600] * 11
    assert [int(r[10]["Total"]) for r in results] != [100, 200, 300]
    assert all(any(r[year]["Modifier"] for year in range(2, 11)) for r in results)


def python_blocks(page):
    with open(os.path.join(REPO, "docs", page)) as f:
        text = f.read()
    return [block.split("```", 1)[0] for block in text.split("```python\n")[1:]]


def test_the_protocol_pages_python_examples_run(run_dir):
    # The engine page's package example as the engines, the processor page's
    # skeleton as the processor: a whole run, and the processor's capacity
    # cuts reach the engines (a later StopTimeStep reports the lower K).
    engine = run_dir / "doc engine.py"
    engine.write_text(python_blocks("engine-protocol.md")[1])
    processor = run_dir / "doc processor.py"
    skeleton = python_blocks("processor-protocol.md")[0]
    # Also write down what the engines report, to see the modifiers arrive.
    processor.write_text(skeleton.replace(
        'last[request.client_id] = request.params.get("VelmarStateVarsPop")',
        'last[request.client_id] = request.params.get("VelmarStateVarsPop")\n'
        '    print(json.dumps(last[request.client_id]), file=sys.stderr)').replace(
        "import velmar", "import json, sys, velmar"))
    models = [str(run_dir / ("m%d.vm" % i)) for i in range(3)]
    for m in models:
        open(m, "w").close()
    run_manager(run_dir, models, settings_text(sys.executable, '"%s" -' % engine, sys.executable,
                                               '"%s" -' % processor))
    reports = [json.loads(line) for line in (run_dir / "run.processor.log").read_text().splitlines()
               if line.startswith("{")]
    assert len(reports) == 3 * 10
    # The skeleton takes 10 % off the capacity at every step after the first.
    capacities = [1000]
    while len(capacities) < 10:
        capacities.append(int(0.9 * capacities[-1]))
    assert sorted((r["Timestep"], r["K"][0]) for r in reports) == \
        sorted((t + 1, k) for t, k in enumerate(capacities) for _ in range(3))
