"""The documentation holds together: the README stays a front page, every
link between the pages leads somewhere, and the man page cannot silently
lose the file formats it is made from."""
import re
import subprocess
import sys

import pytest

from conftest import SOURCE

PAGES = [SOURCE / "README.md"] + sorted((SOURCE / "doc").glob("*.md"))
LINK = re.compile(r"\]\(([^)#\s]+)(#[^)]*)?\)")


def test_the_readme_is_a_front_page():
    text = (SOURCE / "README.md").read_text()
    assert len(text.splitlines()) <= 250
    for heading in ("## Install", "## The two commands", "## Conventions", "## Exit statuses", "## Documentation"):
        assert heading in text


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_links_lead_to_files(page):
    for target, _ in LINK.findall(page.read_text()):
        if "://" in target:
            continue
        assert (page.parent / target).exists(), f"{page.name}: link to {target} leads nowhere"


@pytest.mark.parametrize("text, ok", [
    ("# t\n<!-- manpage: begin -->\n## Command line\nwords\n<!-- manpage: end -->\n", True),
    ("# t\n## Command line\nwords\n", False),                                   # markers renamed or lost
    ("# t\n<!-- manpage: end -->\n## Command line\n<!-- manpage: begin -->\n", False),
    ("# t\n<!-- manpage: begin -->\nno section\n<!-- manpage: end -->\n", False),
])
def test_the_man_page_comes_from_the_marked_part(tmp_path, binary, text, ok):
    page = tmp_path / "formats.md"
    page.write_text(text)
    r = subprocess.run([sys.executable, str(SOURCE / "doc" / "make_manpage.py"), "--program", str(binary),
                        "--formats", str(page), "--installed-readme", "/usr/share/doc/vadrel/README.md",
                        "--version", "1", "--output", str(tmp_path / "vadrel.1")], capture_output=True, text=True)
    assert (r.returncode == 0) == ok, r.stderr
    if ok:
        assert ".SH COMMAND LINE" in (tmp_path / "vadrel.1").read_text()
