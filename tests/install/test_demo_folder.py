"""The demo runs as root, so it never works in a folder it did not make:
there a planted link would turn its writes onto any file."""
import os
import subprocess

import pytest

from conftest import ROOT

# owner of the folder found, whether it carries the demo's marker
@pytest.mark.parametrize("owner,marker", [(65534, True), (0, False)],
                         ids=["another-accounts", "roots-unmarked"])
def test_demo_refuses_a_folder_it_did_not_make(build_dir, tmp_path, owner, marker):
    victim, folder = tmp_path / "victim", tmp_path / "folder"
    victim.write_text("kept")
    folder.mkdir()
    (folder / "patrold.log").symlink_to(victim)
    if marker:
        (folder / ".patrold-demo").touch()
    os.chown(folder, owner, owner)
    result = subprocess.run([ROOT / "scripts" / "demo.sh", "--build-dir", build_dir,
                             "--dir", folder, "--wrapped-account", "--seconds", "1"],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 1 and "not the folder of an earlier" in result.stderr, \
        result.stdout + result.stderr
    assert victim.read_text() == "kept" and (folder / "patrold.log").is_symlink()
