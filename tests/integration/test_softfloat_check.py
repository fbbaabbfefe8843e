"""tests/check-softfloat, which run-tests runs on the mips_24kc build, finds
floating point in the project's code: an object that computes with a double
or prints one fails the check, an object without passes."""
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECK = os.path.join(ROOT, "tests", "check-softfloat")
BINARY = os.path.join(ROOT, "build-mips-musl", "corvex.full")


@pytest.mark.parametrize("source, findings", [
    ("unsigned percent(unsigned a, unsigned b) { return b ? a * 100u / b : 0u; }\n", []),
    ("double ratio(int a, int b) { return (double)a / b; }\n", ["calls float helpers"]),
    ('extern int printf(const char*, ...);\n'
     'void show(double v) { printf("saving %.1f%%\\n", v); }\n',
     ["floating-point printf conversion '%.1f'"]),
])
def test_check_softfloat_finds_floating_point_in_project_objects(tmp_path, source, findings):
    if shutil.which("mips-linux-gnu-gcc") is None or not os.path.exists(BINARY):
        pytest.skip("needs mips-linux-gnu-gcc and build-mips-musl/")
    objdir = tmp_path / "CMakeFiles" / "corvex_core.dir" / "src"
    objdir.mkdir(parents=True)
    (tmp_path / "t.c").write_text(source)
    subprocess.run(["mips-linux-gnu-gcc", "-msoft-float", "-Os", "-c", "-o", str(objdir / "t.o"),
                    str(tmp_path / "t.c")], check=True)
    shutil.copy(BINARY, tmp_path / "corvex")
    r = subprocess.run(["/usr/bin/python3", CHECK, str(tmp_path)], capture_output=True, text=True)
    lines = r.stdout.splitlines()
    assert r.returncode == (1 if findings else 0), r.stdout
    assert lines[-1].endswith("1 object files checked, " +
                              ("%d finding(s)" % len(findings) if findings else "no floating point"))
    for text, line in zip(findings, lines):
        assert text in line
