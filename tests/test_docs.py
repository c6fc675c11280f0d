"""The project's Markdown pages link only to files and headings that exist."""

import re
import urllib.parse

import pytest

from conftest import ROOT

PAGES = sorted([ROOT / "README.md", *(ROOT / "docs").glob("*.md")])
LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^(```|~~~).*?^\1", re.M | re.S)


def anchors(page):
    """The anchors of a page's headings, as GitHub makes them: lower case, punctuation but
    '-' and '_' dropped, spaces made hyphens, a repeated one numbered."""
    seen, found = {}, set()
    for line in FENCE.sub("", page.read_text(encoding="utf-8")).splitlines():
        heading = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not heading:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading.group(1).lower()).replace(" ", "-")
        found.add(slug if slug not in seen else "%s-%d" % (slug, seen[slug]))
        seen[slug] = seen.get(slug, 0) + 1
    return found


def links(page):
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    text = re.sub(r"`[^`\n]*`", "", text)
    return [
        target for target in LINK.findall(text) if not re.match(r"[a-z][a-z0-9+.-]*:", target)
    ]  # http:, mailto:, ...


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.relative_to(ROOT).as_posix())
def test_every_link_reaches_a_file_and_heading_that_exist(page):
    broken = []
    for target in links(page):
        path, _, anchor = urllib.parse.unquote(target).partition("#")
        destination = (page.parent / path).resolve() if path else page
        if not destination.exists():
            broken.append(target + " (no such file)")
        elif anchor and destination.suffix == ".md" and anchor not in anchors(destination):
            broken.append(target + " (no such heading)")
    assert not broken, "broken links in %s: %s" % (page.name, ", ".join(broken))


def test_the_link_check_finds_a_broken_link(tmp_path):
    page = tmp_path / "page.md"
    page.write_text(
        "# A page\n\n## Two, words\n\n[ok](#two-words) [gone](#three) "
        "[file](missing.md) `[code](#not-a-link)`\n"
    )
    assert anchors(page) == {"a-page", "two-words"}
    assert links(page) == ["#two-words", "#three", "missing.md"]
