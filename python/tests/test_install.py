"""The package installs into a fresh virtual environment without the
Python package index, exactly as the README says: the wheel the build
makes, into Debian's Python and any other one on PATH, and the source
tree with Debian's setuptools."""
import os
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

from conftest import PYTHON_DIR, REPO
from test_whole_runs import demo_model, read_results, run_manager, settings_text

WHEELS = "/usr/share/python-wheels"


def test_pip_install_offline_into_a_venv(tmp_path):
    assert os.path.isdir(WHEELS) and any(n.startswith("wheel-") for n in os.listdir(WHEELS)), \
        "Debian's python3-wheel-whl is missing: scripts/bootstrap installs it"
    source = tmp_path / "python"
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("__pycache__", "tests", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=120)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_") and k != "PYTHONPATH"}
    pip = subprocess.run([str(venv / "bin" / "pip"), "install", "--no-index", "--find-links", WHEELS, str(source)],
                         capture_output=True, text=True, env=env, timeout=300)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    check = subprocess.run([str(venv / "bin" / "python"), "-c", "import velmar, sys; print(velmar.__version__, "
                            "velmar.__file__.startswith(sys.prefix))"],
                           capture_output=True, text=True, env=env, cwd=str(tmp_path), timeout=60)
    assert check.stdout == "0.1.0 True\n", check.stderr
    demo = subprocess.run([str(venv / "bin" / "velmar-engine")], capture_output=True, text=True, env=env, timeout=60)
    assert demo.returncode == 2
    assert demo.stderr == "velmar.engine: no /RPC=PIPE on the command line: not started by the manager\n"


# ---- The wheel the build makes -------------------------------------------

BUILD_DIR = os.environ.get("VELMAR_BUILD_DIR", os.path.join(REPO, "build"))


def project_version():
    with open(os.path.join(PYTHON_DIR, "pyproject.toml")) as f:
        return re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)


def built_wheel():
    wheel = os.path.join(BUILD_DIR, "python", "velmar-%s-py3-none-any.whl" % project_version())
    assert os.path.isfile(wheel), "the build makes the wheel (scripts/build): %s is missing" % wheel
    return wheel


def other_pythons():
    """Debian's python3 and, when PATH finds another one (pyenv, conda), that too."""
    found = ["/usr/bin/python3"]
    on_path = shutil.which("python3")
    if on_path:
        real = subprocess.run([on_path, "-c", "import sys; print(sys.executable)"], capture_output=True,
                              text=True, timeout=60).stdout.strip()
        if real and os.path.realpath(real) != os.path.realpath(found[0]):
            found.append(real)
    return found


def test_the_wheel_is_written_by_the_standard_library_alone_and_the_same_every_time(tmp_path):
    wheel = built_wheel()
    before = subprocess.run(["git", "-C", REPO, "status", "--porcelain"], capture_output=True, text=True).stdout
    for out in ("a", "b"):
        subprocess.run(["/usr/bin/python3", "-I", os.path.join(REPO, "cmake", "build_wheel.py"), PYTHON_DIR,
                        str(tmp_path / out)], check=True, capture_output=True, timeout=60)
    # Nothing is written into the checkout.
    assert subprocess.run(["git", "-C", REPO, "status", "--porcelain"], capture_output=True,
                          text=True).stdout == before
    name = os.path.basename(wheel)
    a, b = (tmp_path / "a" / name).read_bytes(), (tmp_path / "b" / name).read_bytes()
    assert a == b
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        dist = "velmar-%s.dist-info/" % project_version()
        assert set(names) >= {"velmar/__init__.py", "velmar/engine.py", "velmar/py.typed", dist + "METADATA",
                              dist + "WHEEL", dist + "RECORD", dist + "entry_points.txt"}
        assert not any("__pycache__" in n or n.startswith("tests/") for n in names)
        assert "Tag: py3-none-any\n" in z.read(dist + "WHEEL").decode()
        assert z.read(dist + "entry_points.txt").decode() == \
            "[console_scripts]\nvelmar-engine = velmar.engine:main\n"
        # The package in the wheel is this tree's, byte for byte.
        for n in names:
            if n.startswith("velmar/"):
                with open(os.path.join(PYTHON_DIR, n), "rb") as f:
                    assert z.read(n) == f.read(), n


@pytest.mark.parametrize("python", other_pythons())
def test_the_wheel_installs_offline_and_its_engine_runs_under_the_manager(tmp_path, python):
    wheel = built_wheel()
    venv = tmp_path / "venv"
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_") and k != "PYTHONPATH"}
    made = subprocess.run([python, "-m", "venv", str(venv)], capture_output=True, text=True, env=env, timeout=300)
    assert made.returncode == 0, made.stdout + made.stderr
    pip = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "--no-index", wheel],
                         capture_output=True, text=True, env=env, timeout=300)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    check = subprocess.run([str(venv / "bin" / "python"), "-c", "import velmar, sys; print(velmar.__version__, "
                            "velmar.__file__.startswith(sys.prefix))"],
                           capture_output=True, text=True, env=env, cwd=str(tmp_path), timeout=60)
    assert check.stdout == "%s True\n" % project_version(), check.stderr
    # A whole run: the installed demonstration engine, by its own command,
    # as three engines of the manager, with nothing of this tree on the path.
    run_dir = tmp_path / "run dir"
    run_dir.mkdir()
    models = [demo_model(run_dir, i, years=5, delay_ms=0) for i in range(3)]
    out = run_manager(run_dir, models, settings_text(str(venv / "bin" / "velmar-engine")), source_on_path=False)
    assert "Info: Simulation complete" in out
    for m in models:
        rows = read_results(m)
        assert [int(r["Year"]) for r in rows] == list(range(6))
