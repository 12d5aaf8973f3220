"""The demo runs as root, so it never works in a folder it did not make:
there a planted link would turn its writes onto any file."""
import os
import subprocess

import pytest

from conftest import ROOT

FOLDERS = {  # owner of the folder found, whether it carries the demo's marker
    "another-accounts": (65534, True),
    "roots-unmarked": (0, False),
}


@pytest.mark.parametrize("owner,marker", FOLDERS.values(), ids=FOLDERS.keys())
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
    assert result.returncode == 1, result.stdout + result.stderr
    assert "not the folder of an earlier demo run" in result.stderr
    assert victim.read_text() == "kept" and (folder / "patrold.log").is_symlink()
