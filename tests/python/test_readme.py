"""The README's Python example, run as written, prints what the README shows."""

import os
import re
import subprocess
import sys

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def test_the_readme_example_prints_what_the_readme_shows(tmp_path):
    with open(README, encoding="utf-8") as file:
        section = file.read().split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    shown = re.search(r"prints\n\n```\n(.*?)```", section, re.S).group(1)
    assert len(code.splitlines()) <= 10
    (tmp_path / "example.py").write_text(code)
    run = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout == shown
