"""Writes what the documents and the package metadata make from the project's data: the README's
support section (from platforms.tsv and facts.tsv), CONTRIBUTING.md's paragraph on how each
platform is proven and its table of CI's stages (from .ci/plan itself, which reads platforms.tsv
and facts.tsv) and pyproject.toml's Python classifiers. `python tools/platforms.py` rewrites them
in place; `--check` only says whether they are current (exit 1 if not, naming the stale files)."""

import subprocess
import sys
import textwrap
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def table(name: str) -> list[dict[str, str]]:
    lines = [
        line.split("\t")
        for line in (ROOT / name).read_text().splitlines()
        if line and not line.startswith("#")
    ]
    return [dict(zip(lines[0], line, strict=True)) for line in lines[1:]]


def rows() -> list[dict[str, str]]:
    return table("platforms.tsv")


def facts() -> dict[str, str]:
    return {r["fact"]: r["value"] for r in table("facts.tsv")}


def minor_key(minor: str) -> tuple[int, ...]:
    return tuple(int(part) for part in minor.rstrip("d").split("."))


def pythons() -> list[str]:
    """Every CPython version with a wheel on some platform, oldest first."""
    return sorted({m for r in rows() for m in r["pythons"].split()}, key=minor_key)


def reference() -> str:
    return (ROOT / ".python-version").read_text().strip()


def stages() -> list[dict[str, str]]:
    """CI's stages, as .ci/plan prints them."""
    out = subprocess.run(
        ["bash", str(ROOT / ".ci" / "plan")], capture_output=True, text=True, check=True
    ).stdout
    return [
        dict(zip(("key", "name", "needs", "command"), line.split("|", 3), strict=True))
        for line in out.splitlines()
    ]


def listed(items: list[str]) -> str:
    return ", ".join(items[:-1]) + " and " + items[-1] if len(items) > 1 else "".join(items)


def abi3_tag(row: dict[str, str]) -> str:
    return f"cp{row['abi3'].replace('.', '')}-abi3"


def glibc(tag: str) -> str:
    return ".".join(tag.split("_")[1:3])


def support_section() -> list[str]:
    # The Windows row (runs: wine) has a sentence of its own.
    linux = [r for r in rows() if r["runs"] != "wine"]
    windows = [r for r in rows() if r["runs"] == "wine"]
    every = sorted({m for r in linux for m in r["pythons"].split()}, key=minor_key)
    oldest = min((glibc(r["tag"]) for r in linux), key=minor_key)
    newer = [f"{glibc(r['tag'])} on {r['arch']}" for r in linux if glibc(r["tag"]) != oldest]
    out = [
        f"CPython {listed(every)} on Linux with glibc {oldest} or later"
        + (f" ({listed(newer)})" if newer else "")
        + "".join(f"; CPython {listed(r['pythons'].split())} on Windows x64" for r in windows)
        + ".",
        "",
        "| platform | processor | wheels of their own (no compiler needed) | stable-ABI wheel "
        "(every other CPython from its version on) | tag |",
        "|---|---|---|---|---|",
    ]
    for r in rows():
        stable = f"`{abi3_tag(r)}`: CPython {r['abi3']} and later" if r["abi3"] != "-" else "none"
        out.append(
            f"| {r['arch']} | {r['baseline']} | CPython {', '.join(r['pythons'].split())} "
            f"| {stable} | `{r['tag']}` |"
        )
    out.append("")
    # What each Python of the table, and those after it, get where they have no wheel of their own.
    upcoming = f"3.{minor_key(every[-1])[1] + 1}"
    gets: dict[str, list[str]] = {}
    for m in [*every, upcoming]:
        who = f"CPython {m} gets" if m != upcoming else f"Every CPython after {every[-1]} gets"
        for r in rows():
            if m in r["pythons"].split():
                continue
            covered = r["abi3"] != "-" and minor_key(m) >= minor_key(r["abi3"])
            what = f"the stable-ABI wheel `{abi3_tag(r)}`" if covered else "the source distribution"
            gets.setdefault(f"{who} {what} on", []).append(r["arch"])
    for what, arches in gets.items():
        out.append(f"{what} {listed(arches)}.")
    out.append(
        "pip takes a wheel of the Python's own where one fits and the stable-ABI wheel otherwise."
    )
    f = facts()
    text = (
        f"A build from source needs a C++23 compiler: g++ {f['gxx']} or later, or clang "
        f"{f['clang']} or later with libc++ {f['libcxx']} or later."
    )
    return out + textwrap.wrap(text, 96, break_on_hyphens=False, break_long_words=False)


def proof_section() -> list[str]:
    linux = [r for r in rows() if r["runs"] != "wine"]
    plan = stages()
    tested = [s["key"].removeprefix("test-") for s in plan if s["key"].startswith("test-")]
    full = [m for m in tested if m == reference()]
    part = [m for m in tested if m != reference()]
    emulated = [r["arch"] for r in linux if r["suite"] != "all" and r["runs"] == "qemu"]
    native = [r["arch"] for r in linux if r["suite"] != "all" and r["runs"] == "native"]
    suites = sorted({r["suite"] for r in linux if r["suite"] != "all"}, key=minor_key)
    every_suite = [r["arch"] for r in linux if r["suite"] == "all"]
    stable = [s for s in plan if s["key"].startswith("abi3-")]
    stable_rows = [r["arch"] for r in linux if r["abi3"] != "-" and r["suite"] == "all"]
    stable_whole = [s["key"][5:] for s in stable if " -m " not in s["command"]]
    stable_part = [s["key"][5:] for s in stable if " -m " in s["command"]]
    text = (
        "Each Linux wheel is installed and imported on its own Python and architecture. "
        "It runs on an emulation (qemu) of the oldest processor the table promises, which "
        "refuses any newer instruction. It is checked against the module's documented results. "
        f"The {listed(every_suite)} wheels pass the test suite, each on its own Python, with "
        "test hooks built by the same compiler from the same objects. "
        f"The {listed(full)} wheel runs the whole suite. The {listed(part)} wheels run all of "
        "it but the source checks, which do not depend on the Python. "
        f"The stable-ABI wheel of {listed(stable_rows)} passes the suite but the source checks "
        f"on {listed(stable_whole)} and the behaviour tests on {listed(stable_part)}, with the "
        "hooks of its own build on its floor and those of each Python's own wheel elsewhere. "
        f"On every other Linux platform one wheel ({listed(suites)}'s) passes the behaviour "
        "tests with its own hooks: the whole suite but the tests marked `host_only`. "
        f"{listed(native)} runs natively. {listed(emulated)} run under emulation, with a tenth "
        "of the random cases and 20 of hypothesis's examples a test. Emulation proves results, "
        "byte order and word size. It does not prove how a weakly ordered processor orders "
        "memory: ThreadSanitizer checks the lock's ordering instead."
    )
    return textwrap.wrap(text, 96, break_on_hyphens=False, break_long_words=False)


def stages_table() -> list[str]:
    out = ["| stage | what it proves | after | command |", "|---|---|---|---|"]
    for s in stages():
        command = s["command"].replace("|", "\\|")
        out.append(f"| `{s['key']}` | {s['name']} | {s['needs']} | `{command}` |")
    return out


def classifiers() -> list[str]:
    windows = any(r["runs"] == "wine" for r in rows())
    return [
        f'requires-python = ">={pythons()[0]}"',
        "classifiers = [",
        '    "Development Status :: 5 - Production/Stable",',
        '    "Intended Audience :: Science/Research",',
        *(['    "Operating System :: Microsoft :: Windows",'] if windows else []),
        '    "Operating System :: POSIX :: Linux",',
        '    "Programming Language :: C++",',
        '    "Programming Language :: Python :: 3",',
        *[f'    "Programming Language :: Python :: {m}",' for m in pythons()],
        '    "Programming Language :: Python :: Implementation :: CPython",',
        '    "Topic :: Scientific/Engineering :: Physics",',
        '    "Typing :: Typed",',
        "]",
    ]


# (file, block name, what makes it, the comment syntax)
BLOCKS: list[tuple[str, str, Callable[[], list[str]], str]] = [
    ("README.md", "support", support_section, "<!-- {} -->"),
    ("CONTRIBUTING.md", "proof", proof_section, "<!-- {} -->"),
    ("CONTRIBUTING.md", "stages", stages_table, "<!-- {} -->"),
    ("pyproject.toml", "pythons", classifiers, "# {}"),
]


def rewrite(text: str, name: str, lines: list[str], comment: str) -> str:
    begin = comment.format(f"{name}: made by tools/platforms.py")
    end = comment.format(f"/{name}")
    if text.count(begin) != 1 or text.count(end) != 1:
        raise SystemExit(f"the block '{name}' is not marked once: {begin} ... {end}")
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    return head + begin + "\n" + "\n".join(lines) + "\n" + end + tail


def stale(write: bool) -> list[str]:
    found = []
    for file, name, make, comment in BLOCKS:
        path = ROOT / file
        text = path.read_text()
        new = rewrite(text, name, make(), comment)
        if new != text:
            found.append(file)
            if write:
                path.write_text(new)
    return sorted(set(found))


def main(argv: list[str] | None = None) -> int:
    check = "--check" in (sys.argv[1:] if argv is None else argv)
    found = stale(write=not check)
    if found and check:
        print(
            f"not made from the project's data: {', '.join(found)}; run python tools/platforms.py"
        )
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
