"""The guide in docs/ names only what exists: every repository path written alone in backticks or as
a link target is in the tree, and every `function()` has a definition-looking line in the sources."""

import os
import re
import sys

ROOT = os.environ.get("TARVELIN_SOURCE", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DOCS = os.path.join(ROOT, "docs")
PATH = re.compile(r"(?:kernel|tests|scripts|applications|programs|cmake|disk|docs|iso|bench)/[\w./+-]*")
SPAN, FENCE = re.compile(r"`([^`\n]+)`"), re.compile(r"^```.*?^```", re.M | re.S)
LINK, CALL = re.compile(r"\]\(([^)\s]+)\)"), re.compile(r"\b([A-Za-z_]\w*)\(\)")
SKIP = {".git", "build", "build-debug", "corpus", "regressions", "docs", "__pycache__"}


def sources():
    for top, dirs, files in os.walk(ROOT):
        dirs[:] = [d for d in dirs if d not in SKIP]
        for name in files:
            if name.endswith((".md", ".txt")) and name != "CMakeLists.txt":
                continue
            with open(os.path.join(top, name), errors="ignore") as f:
                yield f.read()


def defined(name, text):
    n = re.escape(name)
    return any(re.search(p, text, re.M) for p in (
        r"^\s*%s:" % n, r"^\s*\.macro\s+%s\b" % n, r"^\s*#define\s+%s\(" % n, r"^\s*def\s+%s\(" % n,
        r"^\s*(?:function|macro)\(%s\b" % n,  # CMake
        r"^(?!\s*(?:return|else|case|new|delete)\b)[^;=\n]*[\w>*&]\s+[*&]?%s\s*\((?:[^;\n]*\)\s*\{|[^;{}\n]*$)" % n))


def main():
    corpus, paths, calls, stale = "\n".join(sources()).split("\n"), 0, 0, []
    for page in sorted(f for f in os.listdir(DOCS) if f.endswith(".md")):
        with open(os.path.join(DOCS, page)) as f:
            lines = FENCE.sub(lambda m: "\n" * m.group(0).count("\n"), f.read()).split("\n")
        for number, line in enumerate(lines, 1):
            where = "docs/%s:%d" % (page, number)
            for span in SPAN.findall(line):
                if PATH.fullmatch(span):
                    paths += 1
                    if not os.path.exists(os.path.join(ROOT, span.rstrip("."))):
                        stale.append("%s: `%s` names no file or folder in the tree" % (where, span))
                for name in CALL.findall(span):
                    calls += 1
                    if not defined(name, "\n".join(s for s in corpus if name in s)):
                        stale.append("%s: `%s()` has no definition in the sources" % (where, name))
            for target in LINK.findall(line):
                if not re.match(r"[a-z]+:|#", target):
                    paths += 1
                    if not os.path.exists(os.path.join(DOCS, target.split("#")[0])):
                        stale.append("%s: link to `%s` leads nowhere" % (where, target))
    with open(os.path.join(ROOT, "README.md")) as f:
        if "](docs/README.md)" not in "".join(f.readlines()[:20]):
            stale.append("README.md: no link to docs/README.md near its top")
    if paths < 100 or calls < 100:
        stale.append("only %d paths and %d functions found in docs/: the check's patterns are broken" % (paths, calls))
    print("\n".join(stale) or "docs/: %d paths and %d functions checked" % (paths, calls))
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
