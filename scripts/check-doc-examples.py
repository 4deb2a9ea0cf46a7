#!/usr/bin/env python3
"""Runs the code examples of README.md and docs/ against simulated indicators,
and checks the readouts table and the timing bounds the guide states.

Every ```c, ```python, ```pascal and ```csharp block is extracted (the
declaration sections "## C", "## Pascal" and "## C#" of the reference pages
excepted: scripts/check-api-docs.py checks those against the header).  A C
fragment becomes the body of a function whose context names what the pages
take for granted (ch, conv, canais, linha, show, report, refresh_screen);
file-scope functions and #include lines stay at file scope, and a complete
program (one with main) is built as it is.  Each example is compiled, linked
with the built library and run against a pesmo6-testsim of the family it
registers, on a pseudo-terminal and behind a simulated converter: the device
paths and the converter address of the pages are replaced by the simulators',
a `for (;;)` runs two passes and `sleep` pauses 20 ms.  An example passes
when it builds and exits with status 0 within its time.

    check-doc-examples.py BUILD_DIR [--only SUBSTRING]
"""
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEVICE_LITERALS = ["/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0"]
CONVERTER_LITERAL = "192.168.0.50"
RUN_SECONDS = 40

# family: serial registration, converter registration, pesmo6-testsim family
FAMILIES = {
    "7410": ("W7410Serial", "W7410", "7410"),
    "7410C": ("W7410SerialC", "W7410C", "7410"),
    "KVT": ("WKVTSerial", "WKVT", "KVT"),
    "MSI3360": ("WMSI3360Serial", "WMSI3360", "MSI3360"),
    "MSI6260": ("WMSI6260Serial", "WMSI6260", "MSI6260"),
    "Ohaus": ("WOhausSerial", "WOhaus", "Ohaus"),
    "Trilograf": ("WTrilografSerial", "WTrilograf", "Trilograf"),
}
# Pages whose examples read a field only one family fills.
PAGE_FAMILY = {"Tag_Canal": "Trilograf", "Total_Canal": "MSI6260", "Contadora_Canal": "7410C"}

C_PRELUDE = r"""
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include "pesmo6.h"
/* The pages' pause, shortened for the check. */
static void pesmo6_doc_sleep(unsigned s) { (void)s; usleep(20000); }
#define sleep(s) pesmo6_doc_sleep(s)
/* What the pages leave to the host. */
static void show(const char* net, const char* status) { printf("show [%s] %s\n", net, status); }
static void report(int32_t canal, int32_t code, const char* why) { printf("report %d code %d %s\n", canal, code, why); }
static void refresh_screen(void* screen) { (void)screen; }
"""


def blocks():
    """(where, page stem, language, text) of every example block."""
    files = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md")) + sorted((ROOT / "docs" / "api").glob("*.md"))
    for f in files:
        text = f.read_text()
        for m in re.finditer(r"^```(\w+)\n(.*?)^```", text, re.M | re.S):
            lang = m.group(1)
            if lang not in ("c", "python", "pascal", "csharp"):
                continue
            heads = re.findall(r"^## (.*)$", text[:m.start()], re.M)
            if f.parent.name == "api" and heads and heads[-1] in ("C", "Pascal", "C#"):
                continue
            line = text[:m.start()].count("\n") + 2
            yield f"{f.relative_to(ROOT)}:{line}", f.stem, lang, m.group(2)


def family_of(stem, text):
    """The family the example registers first (a C export, or a family named
    to a binding), else the one its page reads, else 7410."""
    found = []
    for name, (serial, network, tsfam) in FAMILIES.items():
        for m in re.finditer(rf"\b({serial}|{network})\(", text):
            found.append((m.start(), name))
        if name != "7410C":
            for m in re.finditer(rf"""(?i)(?:serial|scale|onconverter)\([^)]*?["']{tsfam}["']""", text):
                found.append((m.start(), name))
    if found:
        return min(found)[1]
    return PAGE_FAMILY.get(stem, "7410")


def c_source(text, family):
    """The example as a C program (see the module's comment)."""
    for lit in DEVICE_LITERALS:
        text = text.replace(f'"{lit}"', 'getenv("PESMO6_DOC_DEVICE")')
    text = text.replace(f'"{CONVERTER_LITERAL}"', 'getenv("PESMO6_DOC_CONVERTER")')
    text = re.sub(r"for \(;;\)", "for (int pesmo6_pass = 0; pesmo6_pass < 2; ++pesmo6_pass)", text)
    if re.search(r"^int main\(", text, re.M):
        return C_PRELUDE + text
    top, body, lines = [], [], text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("#include"):
            top.append(line)
        elif re.match(r"static \w[^=;]*\([^;]*\)\s*\{", line):  # a function of the example's own
            depth = line.count("{") - line.count("}")
            top.append(line)
            while depth > 0:
                i += 1
                top.append(lines[i])
                depth += lines[i].count("{") - lines[i].count("}")
        else:
            body.append("        " + line)
        i += 1
    serial, network, _ = FAMILIES[family]
    return C_PRELUDE + "\n".join(top) + f"""
static void example(void) {{
    Seta_Porta(1, getenv("PESMO6_DOC_DEVICE"));
    Seta_Porta(2, getenv("PESMO6_DOC_DEVICE"));
    int32_t conv = Seta_Ip(getenv("PESMO6_DOC_CONVERTER"));
    int32_t ch = {serial}(1);
    int32_t canais[2] = {{ ch, {network}(conv, "A") }};
    const char* linha = "A";
    int screen = 0;
    Select_Canal(canais[1]);
    (void)conv; (void)ch; (void)canais; (void)linha; (void)screen;
    {{
{chr(10).join(body)}
    }}
}}

int main(void) {{
    example();
    return 0;
}}
"""


class Sims:
    """A pesmo6-testsim of one family on a pseudo-terminal and one behind a
    simulated converter (line A)."""

    def __init__(self, build, family):
        tsfam = FAMILIES[family][2]
        args = ["--net", "12345", "--tare", "2000"]
        if family == "MSI6260":
            args += ["--total", "500"]
        self.procs = []
        self.device = self._start(build, ["--family", tsfam, *args])
        self.converter = self._start(build, ["--family", tsfam, "--converter", "--line", "1", "--inputs", "5", *args])

    def _start(self, build, args):
        p = subprocess.Popen([str(build / "pesmo6-testsim"), *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True)
        self.procs.append(p)
        first = p.stdout.readline().split()
        if len(first) < 2:
            raise RuntimeError(f"pesmo6-testsim {' '.join(args)} did not start")
        return first[1]

    def stop(self):
        for p in self.procs:
            p.stdin.close()
        for p in self.procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()


def run(cmd, env, cwd, timeout=RUN_SECONDS):
    try:
        r = subprocess.run(cmd, env=env, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return False, f"did not end within {timeout} s"
    return r.returncode == 0, f"exit status {r.returncode}\n{r.stdout[-1500:]}{r.stderr[-1500:]}"


CC_FLAGS = ["-std=c11", "-D_DEFAULT_SOURCE", "-Wall", "-Wextra", "-Werror", "-Wno-unused-variable",
            "-Wno-unused-parameter", "-Wno-unused-but-set-variable", "-Wno-unused-function"]


def build_c(build, tmp, examples):
    """Every C example into one program (each its own translation unit, its
    main renamed); `examples N` runs example N.  Returns the problems."""
    sources, calls = [], []
    for n, (where, stem, lang, text) in examples:
        src = tmp / f"example{n}.c"
        src.write_text(f"#define main pesmo6_example_{n}\n" + c_source(text, family_of(stem, text)))
        sources.append(src)
        calls.append(f"    if (n == {n}) return pesmo6_example_{n}();")
    if not sources:
        return []
    (tmp / "examples.c").write_text("#include <stdlib.h>\n" +
                                    "".join(f"int pesmo6_example_{n}(void);\n" for n, _ in examples) +
                                    "int main(int argc, char** argv) {\n    int n = argc > 1 ? atoi(argv[1]) : -1;\n" +
                                    "\n".join(calls) + "\n    return 64;\n}\n")
    ok, out = run(["cc", *CC_FLAGS, f"-I{ROOT / 'include'}", str(tmp / "examples.c"), *map(str, sources), "-o",
                   str(tmp / "examples"), f"-L{build}", "-lpesmo6"], dict(os.environ), tmp, timeout=300)
    if ok:
        return []
    where = {f"example{n}.c": w for n, (w, _, _, _) in examples}
    named = sorted({where[f] for f in re.findall(r"(example\d+\.c)", out) if f in where}) or ["the C examples"]
    return [f"{w}: does not compile: {out}" for w in named]


def check_example(build, tmp, n, where, stem, lang, text):
    """None when the example passes, else what went wrong."""
    family = family_of(stem, text)
    work = tmp / f"ex{n}"
    work.mkdir()
    env = dict(os.environ, LC_ALL="C", LD_LIBRARY_PATH=str(build))
    env.pop("PESMO6_LIBRARY", None)
    if lang == "c":
        cmd = [str(tmp / "examples"), str(n)]
    elif lang == "python":
        cmd = [sys.executable, "-c", text]
        env["PYTHONPATH"] = str(ROOT / "bindings" / "python")
    elif lang == "pascal":
        src = work / "doc.lpr"
        src.write_text("program doc;\n{$MODE DELPHI}\n" + text)
        ok, out = run(["fpc", "-vw", f"-Fu{ROOT / 'bindings' / 'pascal'}", f"-FU{work}", f"-FE{work}", f"-Fl{build}",
                       str(src)], env, work)
        if not ok:
            return f"does not compile: {out}"
        cmd = [str(work / "doc")]
    else:  # csharp: statements of a Main
        src = work / "Doc.cs"
        src.write_text("using System;\nusing Pesmo6;\nstatic class Doc {\n    static void Main() {\n" + text +
                       "\n    }\n}\n")
        ok, out = run(["mcs", "-out:" + str(work / "doc.exe"), str(ROOT / "bindings" / "dotnet" / "Pesmo6.cs"),
                       str(src)], env, work)
        if not ok:
            return f"does not compile: {out}"
        cmd = ["mono", str(work / "doc.exe")]
    sims = Sims(build, family)
    try:
        env["PESMO6_DOC_DEVICE"], env["PESMO6_DOC_CONVERTER"] = sims.device, sims.converter
        if lang in ("python", "pascal", "csharp"):
            quote = "'" if lang == "pascal" else '"'
            script = cmd[-1] if lang == "python" else None
            for lit in DEVICE_LITERALS:
                text = text.replace(f"{quote}{lit}{quote}", f"{quote}{sims.device}{quote}")
            text = text.replace(f"{quote}{CONVERTER_LITERAL}{quote}", f"{quote}{sims.converter}{quote}")
            if script is not None:
                cmd[-1] = text
            elif lang == "pascal":
                (work / "doc.lpr").write_text("program doc;\n{$MODE DELPHI}\n" + text)
                ok, out = run(["fpc", "-vw", f"-Fu{ROOT / 'bindings' / 'pascal'}", f"-FU{work}", f"-FE{work}",
                               f"-Fl{build}", str(work / "doc.lpr")], env, work)
                if not ok:
                    return f"does not compile: {out}"
            else:
                (work / "Doc.cs").write_text("using System;\nusing Pesmo6;\nstatic class Doc {\n"
                                             "    static void Main() {\n" + text + "\n    }\n}\n")
                ok, out = run(["mcs", "-out:" + str(work / "doc.exe"), str(ROOT / "bindings" / "dotnet" / "Pesmo6.cs"),
                               str(work / "Doc.cs")], env, work)
                if not ok:
                    return f"does not compile: {out}"
        ok, out = run(cmd, env, work)
        return None if ok else f"does not run ({family}): {out}"
    finally:
        sims.stop()


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 64
    build = Path(sys.argv[1]).resolve()
    only = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == "--only" else ""
    tools = {"c": "cc", "python": sys.executable, "pascal": "fpc", "csharp": "mcs"}
    todo = [b for b in blocks() if only in b[0]]
    missing = sorted({lang for _, _, lang, _ in todo if shutil.which(tools[lang]) is None})
    problems = [f"{lang}: {tools[lang]} is missing" for lang in missing]
    t0 = time.monotonic()
    with tempfile.TemporaryDirectory() as tmp, concurrent.futures.ThreadPoolExecutor(2) as pool:
        numbered = list(enumerate(todo))
        c_examples = [(n, b) for n, b in numbered if b[2] == "c"]
        broken = build_c(build, Path(tmp), c_examples) if "c" not in missing else []
        problems += broken
        jobs = {pool.submit(check_example, build, Path(tmp), n, *b): b[0]
                for n, b in numbered if b[2] not in missing and not (b[2] == "c" and broken)}
        for job in concurrent.futures.as_completed(jobs):
            result = job.result()
            if result:
                problems.append(f"{jobs[job]}: {result}")
    for p in sorted(problems):
        print("FAILED:", p)
    print(f"documentation examples: {len(todo)} run in {time.monotonic() - t0:.1f} s, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
