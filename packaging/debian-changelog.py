#!/usr/bin/env python3
"""Makes the package's Debian changelog from CHANGELOG.md (Keep a Changelog form).

    debian-changelog.py CHANGELOG.md VERSION DEBIAN_REVISION MAINTAINER EPOCH OUTPUT

One entry per released section ("## [0.1] - 2026-12-10"), dated at that day. The build's own
version heads the changelog: its released section when the build is that release, else the
"Unreleased" section under the build's snapshot version, dated EPOCH (the build's
SOURCE_DATE_EPOCH, so the same source gives the same file).
"""
import email.utils
import re
import sys
import textwrap
from datetime import datetime, timezone

SECTION = re.compile(r"^## \[([^\]]+)\](?:\s+-\s+(\d{4}-\d{2}-\d{2}))?\s*$")
KIND = re.compile(r"^### (.+?)\s*$")


def parse(path):
    """Returns [(name, date or None, [(kind, text), ...]), ...] in file order."""
    sections = []
    kind = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            m = SECTION.match(line)
            if m:
                sections.append((m.group(1), m.group(2), []))
                kind = None
                continue
            if not sections:
                continue
            m = KIND.match(line)
            if m:
                kind = m.group(1)
            elif line.startswith("- "):
                sections[-1][2].append([kind, line[2:].strip()])
            elif line.startswith("  ") and line.strip() and sections[-1][2]:
                sections[-1][2][-1][1] += " " + line.strip()
    return sections


def entry(version, items, maintainer, when):
    lines = [f"tptune ({version}) bookworm; urgency=medium", ""]
    if not items:
        items = [(None, "Snapshot build.")]
    for kind, text in items:
        text = text.replace("`", "")
        if kind:
            text = f"{kind}: {text}"
        wrapped = textwrap.wrap(text, width=76, break_on_hyphens=False)
        lines.append("  * " + wrapped[0])
        lines.extend("    " + more for more in wrapped[1:])
    lines += ["", f" -- {maintainer}  {email.utils.format_datetime(when)}", ""]
    return "\n".join(lines)


def main():
    source, version, revision, maintainer, epoch, output = sys.argv[1:7]
    sections = parse(source)
    released = [s for s in sections if s[0] != "Unreleased"]
    names = [s[0] for s in released]
    entries = []
    if version in names:
        # A release build: its own section first, nothing unreleased.
        released = released[names.index(version):]
    else:
        unreleased = next((s[2] for s in sections if s[0] == "Unreleased"), [])
        when = datetime.fromtimestamp(int(epoch), timezone.utc)
        entries.append(entry(f"{version}-{revision}", unreleased, maintainer, when))
    for name, day, items in released:
        if not day:
            sys.exit(f"{source}: the section of {name} has no date")
        when = datetime.strptime(day, "%Y-%m-%d").replace(tzinfo=timezone.utc)
        entries.append(entry(f"{name}-{revision}", items, maintainer, when))
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(entries))


if __name__ == "__main__":
    main()
