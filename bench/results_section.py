"""One section of bench/RESULTS.md written by the script that measures it, the others kept."""


def write_section(path, heading, lines):
    """Writes `lines` (a section, its heading "## ..." first) into the file at `path`, in place of
    the section of that heading, or after the others when there is none; every other section is
    kept as it stands."""
    kept = ""
    try:
        with open(path) as f:
            kept = f.read()
    except OSError:
        pass
    after = ""
    if heading in kept:
        start = kept.index(heading)
        rest = kept.find("\n## ", start + 1)
        after = "\n" + kept[rest + 1:].rstrip("\n") + "\n" if rest >= 0 else ""
        kept = kept[:start]
    with open(path, "w") as f:
        f.write(kept.rstrip("\n") + "\n\n" + "\n".join(lines) + "\n" + after)
