"""The mutation list stays runnable: each fault's text is in the tree once."""
import importlib.util
import pathlib

HERE = pathlib.Path(__file__).resolve().parent


def test_every_fault_names_text_found_once():
    spec = importlib.util.spec_from_file_location("mutation_run", HERE / "run.py")
    run = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(run)
    faults = run.load(HERE / "mutations.txt")
    stale = [(f["file"], f["from"]) for f in faults
             if (run.ROOT / f["file"]).read_text().count(f["from"]) != 1]
    assert len(faults) >= 60 and stale == []
