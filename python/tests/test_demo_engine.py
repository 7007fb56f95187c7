"""The demonstration engine's model file and results file names."""
import pytest

from velmar.engine import DemoModel, read_demo_model, results_path


@pytest.mark.parametrize("text, model", [
    ("years = 3\n", DemoModel(years=3)),
    ("# a comment\nYears=4 # trailing\nname = North\ninitial=5\ncapacity = 50\ngrowth = -0.5\ndelay_ms = 7\n",
     DemoModel(years=4, name="North", initial=5, capacity=50, growth=-0.5, delay_ms=7)),
    ("years = 2\nseed = 9\n[population South]\ninitial = 40\ncapacity = 400\ngrowth = 0.1\nvariation = 0.2\n",
     DemoModel(years=2, name="South", initial=40, capacity=400, growth=0.1)),
])
def test_model_files(tmp_path, text, model):
    path = tmp_path / "m.vm"
    path.write_text(text)
    assert read_demo_model(str(path)) == model


@pytest.mark.parametrize("text, message", [
    ("years = many\n", "years = 'many' is not a number"),
    ("years\n", "line 1: expected name = value"),
    ("years = 0\n", "years and capacity must be at least 1"),
])
def test_bad_model_files(tmp_path, text, message):
    path = tmp_path / "m.vm"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        read_demo_model(str(path))


@pytest.mark.parametrize("model, results", [
    ("/a/north.vm", "/a/north.results.csv"),
    ("/a b/north", "/a b/north.results.csv"),
    ("/a.d/north", "/a.d/north.results.csv"),
])
def test_results_path(model, results):
    assert results_path(model) == results
