import sysconfig
from pathlib import Path

import vondrel
import vondrel.segy


def test_tests_import_the_installed_package_not_the_source_tree():
    installed = Path(sysconfig.get_paths()["purelib"]).resolve()
    assert Path(vondrel.segy.__file__).resolve().parent == installed / "vondrel"
    assert Path(vondrel.__file__).resolve().is_relative_to(installed)
