#!/usr/bin/python3
"""check-links.py [ROOT]: every relative link in README.md and docs/*.md
names a file that exists and, with a #fragment into a Markdown page, a
heading of that page, by GitHub's anchor rules. Offline, standard library
only. Prints each broken link as FILE:LINE and exits 1 if there is one."""
import pathlib
import re
import sys

FENCE = re.compile(r"^\s{0,3}(```|~~~)")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
# The target only: a link's text may run over several lines.
INLINE_LINK = re.compile(r"\]\(\s*<?([^)\s>]+)")
REFERENCE_DEFINITION = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def prose_lines(text):
    """(line number, line) outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.split("\n"), 1):
        opener = FENCE.match(line)
        if fence is None and opener:
            fence = opener.group(1)
        elif fence is not None and line.strip().startswith(fence):
            fence = None
        elif fence is None:
            yield number, line


def slug(heading):
    """GitHub's anchor: the heading's rendered text, lowercased, without
    punctuation other than - and _, each space a -."""
    text = CODE_SPAN.sub(lambda m: m.group(2), heading)
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"[*_]{1,3}(\S(?:.*?\S)?)[*_]{1,3}", r"\1", text)
    text = re.sub(r"<[^>]+>", "", text).lower()
    text = "".join(c for c in text if c.isalnum() or c in " -_")
    return text.replace(" ", "-")


def anchors(text):
    """Every heading's anchor; a repeated one gets -1, -2, ... as on GitHub."""
    seen, result = {}, set()
    for _, line in prose_lines(text):
        match = HEADING.match(line)
        if not match:
            continue
        base = slug(match.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else f"{base}-{count}")
    return result


def broken_links(page, root):
    text = page.read_text(encoding="utf-8")
    for number, line in prose_lines(text):
        prose = CODE_SPAN.sub("", line)
        targets = INLINE_LINK.findall(prose) + REFERENCE_DEFINITION.findall(prose)
        for target in targets:
            if SCHEME.match(target) or target.startswith("//"):
                continue
            path, _, fragment = target.partition("#")
            destination = (page.parent / path).resolve() if path else page
            where = f"{page.relative_to(root)}:{number}: {target}"
            if not destination.exists():
                yield f"{where}: no such file"
            elif fragment and destination.suffix == ".md":
                if fragment not in anchors(destination.read_text(encoding="utf-8")):
                    yield f"{where}: no heading #{fragment} in {destination.name}"


def check_slug_rule():
    cases = {
        "NVIDIA (NVML)": "nvidia-nvml",
        "Linux: what the numbers mean": "linux-what-the-numbers-mean",
        "C# (P/Invoke)": "c-pinvoke",
        "The `gpuproc_host` tool": "the-gpuproc_host-tool",
        "Every process at once": "every-process-at-once",
    }
    wrong = {h: slug(h) for h, want in cases.items() if slug(h) != want}
    assert not wrong, f"slug rule broken: {wrong}"
    assert anchors("# A\n## A\n```\n# A\n```\n## A\n") == {"a", "a-1", "a-2"}


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    check_slug_rule()
    pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    problems = [p for page in pages for p in broken_links(page, root)]
    for problem in problems:
        print(problem)
    print(f"{len(pages)} pages checked, {len(problems)} broken links")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
