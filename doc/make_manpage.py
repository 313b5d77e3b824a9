#!/usr/bin/python3
"""Writes the man page vadrel.1.

The synopsis and the arguments come from the built program's own ``--help``
text, so the page follows the program; the file formats and the output
layouts come from doc/formats.md, the part between the lines
"<!-- manpage: begin -->" and "<!-- manpage: end -->" (its level-2 sections
become the page's sections), converted from Markdown to man(7) markup.

    make_manpage.py --program build/vadrel --formats doc/formats.md \\
        --installed-readme /usr/local/share/doc/vadrel/README.md --version 1.0.0 --output vadrel.1
"""
import argparse
import re
import subprocess

BEGIN = "<!-- manpage: begin -->"
END = "<!-- manpage: end -->"


def esc(text):
    """Escapes roff's special characters in running text."""
    text = text.replace("\\", "\\e")
    text = text.replace("-", "\\-")
    return text


def inline(text):
    """Markdown emphasis and code spans to font changes."""
    text = esc(text)
    text = re.sub(r"\*\*(.+?)\*\*", r"\\fB\1\\fR", text)
    text = re.sub(r"`([^`]+)`", r"\\fB\1\\fR", text)
    return text


def line_start(text):
    """A line may not start with a dot or an apostrophe (control lines)."""
    return "\\&" + text if text[:1] in (".", "'") else text


def help_to_roff(help_text):
    """SYNOPSIS, ARGUMENTS and EXIT STATUS from the --help text.

    The text is the usage line(s), then paragraphs separated by blank lines:
    the arguments (an argument name at most two blanks in, its description
    after two or more blanks; mode words further in), the exit statuses
    ("Exit status: ...") and the line naming the README, which the page
    names in SEE ALSO instead.
    """
    lines = help_text.rstrip("\n").split("\n")
    m = re.match(r"Usage:\s*(\S+)\s*(.*)", lines[0])
    name, args = (m.group(1), m.group(2)) if m else ("vadrel", lines[0])
    synopsis = [".SH SYNOPSIS", f"\\fB{name}\\fR {esc(args)}"]
    rest = lines[1:]
    while rest and rest[0].strip().startswith(name + " "):
        synopsis += [".br", f"\\fB{name}\\fR {esc(rest[0].strip()[len(name) + 1:])}"]
        rest = rest[1:]
    paragraphs = [[]]
    for raw in rest:
        if raw.strip():
            paragraphs[-1].append(raw)
        elif paragraphs[-1]:
            paragraphs.append([])
    arguments, exit_status = [".SH ARGUMENTS"], []
    for para in paragraphs:
        if not para:
            continue
        if para[0].startswith("Exit status:"):
            text = " ".join(p.strip() for p in para)[len("Exit status:"):].strip()
            exit_status = [".SH EXIT STATUS", line_start(esc(text))]
            continue
        if para[0].startswith("File formats"):
            continue
        nested = False
        for raw in para:
            m = re.match(r"^( +)(\S+)( {2,})(.*)$", raw)
            if m and len(m.group(1)) <= 2:
                if nested:
                    arguments.append(".RE")
                    nested = False
                arguments += [".TP", f"\\fI{esc(m.group(2))}\\fR", line_start(esc(m.group(4)))]
            elif m:
                if not nested:
                    arguments.append(".RS")
                    nested = True
                arguments += [".TP 10", f"\\fB{esc(m.group(2))}\\fR", line_start(esc(m.group(4)))]
            else:
                arguments.append(line_start(esc(raw.strip())))
        if nested:
            arguments.append(".RE")
    return synopsis + arguments + exit_status


def marked_sections(text, path):
    """The level-2 sections between the markers, as (title, lines).  A page
    without both markers, or with nothing between them, is an error: a
    rename elsewhere in the file cannot silently empty the man page."""
    if text.count(BEGIN) != 1 or text.count(END) != 1 or text.index(BEGIN) > text.index(END):
        raise SystemExit(f"make_manpage.py: {path}: expected one {BEGIN!r} line before one {END!r} line")
    body = text[text.index(BEGIN) + len(BEGIN):text.index(END)]
    found = []
    for raw in body.split("\n"):
        if raw.startswith("## "):
            found.append((raw[3:].strip(), []))
        elif found:
            found[-1][1].append(raw)
    if not found:
        raise SystemExit(f"make_manpage.py: {path}: no '## ' section between the markers")
    return found


def markdown_to_roff(lines):
    out = []
    para = []
    i = 0

    def flush():
        if para:
            out.append(".PP")
            out.extend(line_start(inline(p)) for p in para)
            para.clear()

    while i < len(lines):
        raw = lines[i]
        if raw.startswith("```"):
            flush()
            out += [".PP", ".RS 4", ".nf"]
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                out.append(line_start(esc(lines[i])))
                i += 1
            out += [".fi", ".RE"]
        elif raw.startswith("### ") or raw.startswith("#### "):
            flush()
            out.append(".SS " + esc(raw.lstrip("#").strip()))
        elif raw.startswith("|"):
            flush()
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                cells = [c.strip() for c in lines[i].strip().strip("|").split("|")]
                if not all(re.fullmatch(r":?-+:?", c) for c in cells):
                    rows.append(cells)
                i += 1
            i -= 1
            header, body = rows[0], rows[1:]
            for cells in body:
                out += [".TP", inline(cells[0]) or "(blank)"]
                rest = [f"{h}: {c}" if h and len(header) > 2 else c
                        for k, (h, c) in enumerate(zip(header[1:], cells[1:]), start=1) if c]
                out.append(line_start(inline("; ".join(rest))))
        elif raw.startswith("- "):
            flush()
            item = [raw[2:]]
            while i + 1 < len(lines) and lines[i + 1].startswith("  ") and lines[i + 1].strip():
                i += 1
                item.append(lines[i].strip())
            out += [".IP \\(bu 2"] + [line_start(inline(t)) for t in item]
        elif not raw.strip():
            flush()
        else:
            para.append(raw.strip())
        i += 1
    flush()
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--program", required=True)
    ap.add_argument("--formats", required=True, help="doc/formats.md")
    ap.add_argument("--installed-readme", required=True,
                    help="where the README is installed: the page names it")
    ap.add_argument("--version", required=True)
    ap.add_argument("--output", required=True)
    a = ap.parse_args()
    help_text = subprocess.run([a.program, "--help"], capture_output=True, text=True, check=True).stdout
    with open(a.formats, encoding="utf-8") as f:
        formats = f.read()
    page = [f'.TH VADREL 1 "" "vadrel {a.version}" "User Commands"',
            ".SH NAME",
            "vadrel \\- ground\\-surface deformation from slip on buried rectangular faults"]
    page += help_to_roff(help_text)
    page += [".SH DESCRIPTION",
             "\\fBvadrel\\fR reads ground points and cards from the points file and fault segments from "
             "the faults file, and writes one record per point to the print file; every message goes "
             "to standard output."]
    for title, lines in marked_sections(formats, a.formats):
        page.append(".SH " + esc(title.upper()))
        page += markdown_to_roff(lines)
    docdir = a.installed_readme.rsplit("/", 1)[0]
    page += [".SH SEE ALSO", f"The README, \\fB{esc(a.installed_readme)}\\fR; the whole description of the files "
             f"and the outputs, \\fB{esc(docdir + '/doc/formats.md')}\\fR, and what happens with bad input, "
             f"\\fB{esc(docdir + '/doc/bad-input.md')}\\fR.",
             ".PP", "The Python package \\fBvadrel\\fR (python3 \\-c 'import vadrel; help(vadrel)')."]
    with open(a.output, "w", encoding="utf-8") as f:
        f.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main()
