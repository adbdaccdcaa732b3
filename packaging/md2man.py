#!/usr/bin/env python3
"""Writes a man page (roff, man macros) from a Markdown page of the plain kind docs/ holds.

Understood: one '#' title of the form "`name`: summary", '##' sections, paragraphs, fenced code
blocks, '-' lists (with indented continuation lines), pipe tables, `code`, **bold**, *italic* and
[links](url). Anything else is kept as text. Usage:
    md2man.py INPUT.md OUTPUT.1 SECTION DATE SOURCE
"""
import re
import sys


def escape(text):
    """Escapes roff's special characters in running text."""
    return text.replace("\\", "\\e").replace("-", "\\-")


def inline(text):
    """Turns Markdown inline markup into roff font changes."""
    out = []
    pos = 0
    pattern = re.compile(r"`([^`]+)`|\*\*([^*]+)\*\*|\*([^*]+)\*|\[([^\]]+)\]\(([^)]+)\)")
    for m in pattern.finditer(text):
        out.append(escape(text[pos:m.start()]))
        if m.group(1) is not None:
            out.append("\\fB" + escape(m.group(1)) + "\\fR")
        elif m.group(2) is not None:
            out.append("\\fB" + escape(m.group(2)) + "\\fR")
        elif m.group(3) is not None:
            out.append("\\fI" + escape(m.group(3)) + "\\fR")
        else:
            out.append(escape(m.group(4)))
        pos = m.end()
    out.append(escape(text[pos:]))
    return "".join(out)


def safe_line(line):
    """A text line that starts with a control character would be read as a request."""
    return "\\&" + line if line.startswith((".", "'")) else line


def table_cells(line):
    return [cell.strip() for cell in line.strip().strip("|").split("|")]


def convert(lines, section, date, source):
    out = []
    title_seen = False
    i = 0
    paragraph = []

    def flush():
        if paragraph:
            out.append(".PP")
            out.append(safe_line(inline(" ".join(paragraph))))
            paragraph.clear()

    while i < len(lines):
        line = lines[i].rstrip("\n")
        stripped = line.strip()
        if not stripped:
            flush()
            i += 1
            continue
        if line.startswith("# ") and not title_seen:
            title_seen = True
            m = re.match(r"#\s+`([^`]+)`\s*:\s*(.*)", line)
            if not m:
                sys.exit("md2man: the title must read '# `name`: summary'")
            name, summary = m.group(1), m.group(2).strip()
            out.append('.TH "%s" "%s" "%s" "%s" "User Commands"'
                       % (name.upper(), section, date, source))
            out.append(".nh")  # commands and file names must not be broken at a hyphen
            out.append(".SH NAME")
            out.append("%s \\- %s" % (escape(name), inline(summary)))
            out.append(".SH DESCRIPTION")
            i += 1
            continue
        if line.startswith("#"):
            flush()
            heading = line.lstrip("#").strip()
            if "`" not in heading:
                heading = heading.upper()
            out.append('.SH "%s"' % inline(heading).replace('"', '\\(dq'))
            i += 1
            continue
        if stripped.startswith("```"):
            flush()
            out.append(".PP")
            out.append(".nf")
            i += 1
            while i < len(lines) and not lines[i].strip().startswith("```"):
                out.append(safe_line(escape(lines[i].rstrip("\n"))))
                i += 1
            out.append(".fi")
            i += 1
            continue
        if stripped.startswith("|"):
            flush()
            header = table_cells(line)
            i += 2  # the header and its rule line
            while i < len(lines) and lines[i].strip().startswith("|"):
                cells = table_cells(lines[i])
                out.append(".TP")
                out.append(safe_line(inline(cells[0])))
                body = [inline(cells[1])] if len(cells) > 1 else []
                for head, cell in zip(header[2:], cells[2:]):
                    body.append("%s: %s." % (escape(head), inline(cell)))
                out.append(safe_line(body[0] if body else ""))
                for extra in body[1:]:
                    out.append(".br")
                    out.append(safe_line(extra))
                i += 1
            continue
        if stripped.startswith("- "):
            flush()
            item = [stripped[2:]]
            i += 1
            while i < len(lines) and lines[i].startswith("  ") and lines[i].strip() \
                    and not lines[i].strip().startswith("- "):
                item.append(lines[i].strip())
                i += 1
            out.append('.IP "\\(bu" 2')
            out.append(safe_line(inline(" ".join(item))))
            continue
        paragraph.append(stripped)
        i += 1
    flush()
    if not title_seen:
        sys.exit("md2man: no title")
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    source_path, target, section, date, source = sys.argv[1:]
    with open(source_path, encoding="utf-8") as f:
        text = convert(f.readlines(), section, date, source)
    with open(target, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
