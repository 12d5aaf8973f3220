"""Coordinator faults are played against the same daemon, simulator and store
as the end-to-end suite, so its fixtures are taken from there as they are."""
import importlib.util
import pathlib

_E2E = pathlib.Path(__file__).resolve().parent.parent / "e2e" / "conftest.py"
_spec = importlib.util.spec_from_file_location("e2e_fixtures", _E2E)
_e2e = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_e2e)

globals().update({name: value for name, value in vars(_e2e).items()
                  if not name.startswith("_")})
