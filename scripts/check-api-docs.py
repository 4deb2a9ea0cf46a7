#!/usr/bin/env python3
"""Fails when an export of the public header lacks its reference page or a
binding's declaration.  Every export named by scripts/list-exports.sh needs:
docs/api/NAME.md with the page's sections and the header's own C declaration,
a link from docs/api/index.md, and a declaration in the Pascal unit, the C#
file and the Python binding.  Pages for names the header no longer exports
fail too.
    check-api-docs.py [HEADER]"""
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SECTIONS = ["## C", "## Pascal", "## C#", "## Arguments", "## Result and codes", "## Bad arguments", "## Example"]


def declarations(header_text):
    """name -> the C declaration without the export macros, one line."""
    lines = [l for l in header_text.splitlines() if not l.lstrip().startswith("#")]
    flat = re.sub(r"\s+", " ", re.sub(r"/\*.*?\*/", " ", "\n".join(lines), flags=re.S))
    found = {}
    for m in re.finditer(r"PESMO6_API ((?:(?!PESMO6_API).)*?) PESMO6_CALL (\w+)\((.*?)\);", flat):
        found[m.group(2)] = f"{m.group(1)} {m.group(2)}({m.group(3)});"
    return found


def main():
    header = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "include" / "pesmo6.h"
    names = subprocess.run(["sh", str(ROOT / "scripts" / "list-exports.sh"), str(header)], check=True,
                           capture_output=True, text=True).stdout.split()
    decls = declarations(header.read_text())
    api = ROOT / "docs" / "api"
    index = (api / "index.md").read_text() if (api / "index.md").exists() else ""
    pascal = (ROOT / "bindings" / "pascal" / "pesmo6.pas").read_text()
    csharp = (ROOT / "bindings" / "dotnet" / "Pesmo6.cs").read_text()
    python = (ROOT / "bindings" / "python" / "pesmo6" / "_native.py").read_text()
    problems = []
    for name in names:
        page = api / f"{name}.md"
        if not page.exists():
            problems.append(f"{name}: no page docs/api/{name}.md")
        else:
            text = page.read_text()
            if not text.startswith(f"# {name}\n"):
                problems.append(f"{name}: the page does not start with '# {name}'")
            for section in SECTIONS:
                if not re.search(rf"^{re.escape(section)}$", text, re.M):
                    problems.append(f"{name}: the page has no '{section}' section")
            c = re.search(r"^## C\n\n```c\n(.*?)\n```", text, re.M | re.S)
            if name in decls and (c is None or re.sub(r"\s+", " ", c.group(1)).strip() != decls[name]):
                problems.append(f"{name}: the page's C declaration is not the header's: {decls[name]}")
        if f"({name}.md)" not in index:
            problems.append(f"{name}: docs/api/index.md does not link {name}.md")
        if not re.search(rf"^\s*(function|procedure) {name}\b", pascal, re.M):
            problems.append(f"{name}: not declared in bindings/pascal/pesmo6.pas")
        if not re.search(rf"extern [^;]*\b{name}\(", csharp):
            problems.append(f"{name}: not declared in bindings/dotnet/Pesmo6.cs")
        if f'"{name}":' not in python:
            problems.append(f"{name}: not declared in bindings/python/pesmo6/_native.py")
    for page in sorted(api.glob("*.md")):
        if page.stem != "index" and page.stem not in names:
            problems.append(f"docs/api/{page.name}: {page.stem} is not an export of {header.name}")
    for p in problems:
        print("FAILED:", p)
    print(f"reference pages: {len(names)} exports, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
