"""The project's environments, one nox session for each way of building and checking the module.

Run them with `scripts/nox`, which needs nothing installed first: `scripts/nox -l` lists them,
`scripts/nox -s tests-3.12 -- -k quarks` passes pytest its arguments. Each session makes its
environment in .nox/ once and reuses it; it installs again when its dependency groups change.
A Python this machine lacks (pyenv has the reference, .python-version's) comes from a Debian
root (scripts/sid-root.sh): the session then runs again, whole, inside that root, whose
environments are in .nox/sid-ARCH/.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT / "tools"))
import platforms  # noqa: E402
import presets  # noqa: E402

IN_ROOT = os.environ.get("TORVANE_IN_ROOT", "")  # sid-amd64, sid-i386: set by scripts/sid-root.sh
nox.options.envdir = str(ROOT / ".nox" / IN_ROOT)
nox.options.reuse_venv = "yes"
# A session whose Python is missing fails: it never passes by being skipped.
nox.options.error_on_missing_interpreters = True
nox.options.sessions = ["tour", f"tests-{platforms.reference()}"]

REFERENCE = platforms.reference()
DEBUG = platforms.facts()["debug"]
PYTHONS = platforms.pythons()
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
# The source checks (the marker of pyproject.toml) run once: in the reference Python's suite.
NO_SOURCE_CHECKS = ("-m", "not source_check")


def interpreter(minor: str) -> str | None:
    """The newest Python `minor` here (3.14d: a debug build): pyenv's, else the PATH's."""
    name = f"python{minor}"
    if IN_ROOT:
        return shutil.which(name)
    pyenv = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    found = glob.glob(f"{pyenv}/versions/{minor}.*/bin/{name}")
    found = [p for p in found if re.fullmatch(r"\d+", p.split("/")[-3].split(".")[2])]
    if found:
        return max(found, key=lambda p: int(p.split("/")[-3].split(".")[2]))
    shims = f"{pyenv}/shims"
    paths = os.environ.get("PATH", "").split(os.pathsep)
    return shutil.which(name, path=os.pathsep.join(p for p in paths if p != shims))


ABI = "import sys; print('%d.%d' % sys.version_info[:2] + 'd' * hasattr(sys, 'gettotalrefcount'))"


def session(name: str, minor: str, debian: str = "amd64"):
    """Registers the decorated function as the session `name` on Python `minor`; where that Python
    is missing, the session runs itself again in the Debian root of `debian`."""

    def register(func):
        path = interpreter(minor) if not IN_ROOT or IN_ROOT == f"sid-{debian}" else None
        if path is None or (debian != "amd64" and IN_ROOT != f"sid-{debian}"):

            def reenter(session: nox.Session) -> None:
                if IN_ROOT:
                    session.error(f"no Python {minor} in the root {IN_ROOT}")
                session.log(f"Python {minor} is not here: running {name} in the {debian} root")
                session.run(
                    "scripts/sid-root.sh",
                    "run",
                    debian,
                    "scripts/nox",
                    "-s",
                    name,
                    "--",
                    *session.posargs,
                    external=True,
                )

            reenter.__doc__ = func.__doc__
            return nox.session(name=name, python=False)(reenter)

        def run(session: nox.Session) -> None:
            # The ABI asked for: a debug build for 3.14d, a release build otherwise.
            abi = session.run("python", "-c", ABI, silent=True, log=False).strip()
            if abi != minor:
                session.error(f"{path} is Python {abi}, not {minor}")
            func(session, minor)

        run.__doc__ = func.__doc__
        return nox.session(name=name, python=path)(run)

    return register


def install(session: nox.Session, *groups: str, extra: tuple[str, ...] = ()) -> None:
    """Installs pyproject.toml's dependency groups (and `extra`) unless they are there already."""
    wanted = [*nox.project.dependency_groups(PYPROJECT, *groups), *extra]
    stamp = Path(session.virtualenv.location) / ".torvane-installed"
    if stamp.exists() and stamp.read_text() == "\n".join(wanted):
        return
    session.install("--progress-bar", "off", *wanted)
    stamp.write_text("\n".join(wanted))


def build(session: nox.Session, preset: str, build_dir: str, *extra: str) -> None:
    """Builds the module (with what the preset adds) and installs it into the environment."""
    session.log(f"building the module as the preset {preset} of CMakePresets.json in {build_dir}")
    session.run(
        "python",
        "-m",
        "pip",
        "install",
        "-v",
        "--no-build-isolation",
        "--no-deps",
        ".",
        "-C",
        f"build-dir={build_dir}",
        *presets.pip_args(preset),
        *extra,
        silent=True,
    )


def platlib(session: nox.Session) -> str:
    code = "import sysconfig; print(sysconfig.get_paths()['platlib'])"
    return session.run("python", "-c", code, silent=True).strip()


def passes(session: nox.Session, *args: str, **kwargs) -> bool:
    """Runs a command; whether it passed, so that a verdict can follow a failure."""
    try:
        session.run(*args, **kwargs)
    except nox.command.CommandFailed:
        return False
    return True


def runtimes(session: nox.Session, packages: dict[str, str]) -> list[str]:
    """The paths of g++'s sanitizer runtimes (file: Debian package), installed when missing."""

    def paths() -> list[str]:
        return [
            subprocess.run(
                ["g++", f"-print-file-name={name}"], capture_output=True, text=True, check=True
            ).stdout.strip()
            for name in packages
        ]

    if not all(os.path.isfile(p) for p in paths()):
        session.run("scripts/apt-install", *packages.values(), external=True)
    if not all(os.path.isfile(p) for p in paths()):
        session.error(f"the sanitizer runtimes {', '.join(packages)} were not found")
    return paths()


def hooks_of_wheel(session: nox.Session, house: str, stable: bool = False) -> None:
    """Installs the release wheel of this Python and machine from `house` (scripts/wheels.sh), with
    the test hooks built with it (build/test-hooks): the tests run the shipped code.

    `stable`: the folder's stable-ABI wheel (cp312-abi3) instead, with the hooks of the build that
    made it where that was this Python, else those of this Python's own wheel (the same compiler
    and core objects; the hooks are never limited-API)."""
    tag = session.run(
        "python", "-c", "import sys; print('cp%d%d' % sys.version_info[:2])", silent=True
    ).strip()
    machine = os.uname().machine

    def wheel_of(tags: str) -> str:
        wheels = glob.glob(f"{house}/orvantis_torvane_core-*-{tags}-*{machine}.whl")
        if not wheels:
            session.error(f"no {tags} wheel for {machine} in {house}")
        return wheels[0]

    hooks = ROOT / f"build/test-hooks/{tag}-{machine}"
    if not stable:
        wheel = built_with = wheel_of(f"{tag}-{tag}")
    else:
        wheel = wheel_of("cp3*-abi3")
        own = ROOT / f"build/test-hooks/abi3-{machine}"
        if any(own.glob(f"_torvane_testhooks.cpython-{tag[2:]}-*.so")):
            hooks, built_with = own, wheel
        else:
            built_with = wheel_of(f"{tag}-{tag}")
    session.run(
        "python", "-m", "pip", "install", "--force-reinstall", "--no-deps", wheel, silent=True
    )
    digest = subprocess.run(["sha256sum", built_with], capture_output=True, text=True).stdout
    recorded = hooks / "wheel.sha256"
    if not recorded.exists() or recorded.read_text().split() != digest.split()[:1]:
        session.error(f"the test hooks in {hooks} were not built with {built_with}")
    for built in hooks.glob("_torvane_testhooks.*.so"):
        shutil.copy(built, platlib(session))


# The test hooks were just built or taken with the wheel: a test that cannot import them fails.
HOOKS = {"TORVANE_REQUIRE_HOOKS": "1"}


def tests(session: nox.Session, minor: str) -> None:
    """The test suite, on the module built with its test hooks.

    With TORVANE_WHEELHOUSE naming a folder of release wheels, on that folder's wheel for this
    Python and machine instead, with the hooks built with it. The source checks run on the reference
    Python only."""
    install(session, "test" if minor == REFERENCE else "runner")
    if house := os.environ.get("TORVANE_WHEELHOUSE"):
        hooks_of_wheel(session, house)
    else:
        build(session, "hooks", f"build/test-{minor}")
    select = () if minor == REFERENCE else NO_SOURCE_CHECKS
    session.run("python", "-m", "pytest", *select, *session.posargs, env=HOOKS)


for _minor in [*PYTHONS, DEBUG]:
    session(f"tests-{_minor}", _minor)(tests)


def abi3(session: nox.Session, minor: str) -> None:
    """The test suite, less the source checks, on the stable-ABI wheel (cp312-abi3) of
    TORVANE_WHEELHOUSE for this machine, with the test hooks of the build that made it where that
    was this Python, else those of this Python's own wheel in the folder."""
    house = os.environ.get("TORVANE_WHEELHOUSE")
    if not house:
        session.error("TORVANE_WHEELHOUSE names no folder of wheels: run scripts/wheels.sh")
    install(session, "runner")
    hooks_of_wheel(session, house, stable=True)
    session.run("python", "-m", "pytest", *NO_SOURCE_CHECKS, *session.posargs, env=HOOKS)


# The stable-ABI wheel of this machine's row, on every Python from its floor on.
_stable = [r["abi3"] for r in platforms.rows() if r["arch"] == os.uname().machine]
for _minor in PYTHONS if _stable and _stable[0] != "-" else []:
    if platforms.minor_key(_minor) >= platforms.minor_key(_stable[0]):
        session(f"abi3-{_minor}", _minor)(abi3)


def coverage(session: nox.Session, minor: str) -> None:
    """The suite on a coverage build, then the coverage gate.

    gcov's line and branch counters, in build/coverage-MINOR, count child processes too. The gate
    (tools/coverage_gate.py) fails unless every line and branch of torvane_core/src is covered or
    excluded with its reason."""
    install(session, "runner")
    # The report's tools on the interpreter itself, or on a debug build's release twin.
    report = "python"
    if minor.endswith("d"):
        twin = Path(session.virtualenv.location + "-report")
        report = str(twin / "bin/python")
        if not os.path.exists(report):
            session.run(interpreter(minor[:-1]) or "false", "-m", "venv", str(twin), external=True)
    wanted = nox.project.dependency_groups(PYPROJECT, "coverage")
    session.run(
        report, "-m", "pip", "install", "--progress-bar", "off", *wanted, external=True, silent=True
    )
    out = ROOT / f"build/coverage-{minor}"
    # Counters of an earlier run would count as this one's.
    for counters in out.rglob("*.gcda"):
        counters.unlink()
    build(session, "coverage", str(out))
    # Every interpreter of the run, the children too, writes its counters however it ends; the
    # tests that check the library's exports allow gcov's shared symbols.
    env = {
        **HOOKS,
        "TORVANE_COVERAGE": "1",
        "LD_PRELOAD": f"{platlib(session)}/libtorvane_gcov_exit.so",
    }
    tested = passes(session, "python", "-m", "pytest", *NO_SOURCE_CHECKS, *session.posargs, env=env)
    session.log("the coverage of torvane_core/src (report: build/coverage)")
    # The report and the gate also after a failed suite; the gate fails the run for it too.
    session.run(
        report,
        "tools/coverage_gate.py",
        str(out),
        "build/coverage",
        "0" if tested else "1",
        external=True,
    )


for _minor in [*PYTHONS, DEBUG]:
    session(f"coverage-{_minor}", _minor)(coverage)


def i386(session: nox.Session, minor: str) -> None:
    """The suite on 32-bit x86, built by Debian i386's g++ in the i386 root.

    The compiler keeps its default flags. The source checks are left out: their checkers have no
    32-bit build."""
    install(session, "runner")
    build(session, "hooks", f"build/test-{minor}-i386")
    session.run("python", "-m", "pytest", *NO_SOURCE_CHECKS, *session.posargs, env=HOOKS)


session("i386", next(r["suite"] for r in platforms.rows() if r["debian"] == "i386"), "i386")(i386)


@session("tour", REFERENCE)
def tour(session: nox.Session, minor: str) -> None:
    """The tour: examples/tour.py, with the module and nothing else installed."""
    install(session, "build")
    build(session, "werror", "build/tour")
    session.run("python", "examples/tour.py")


@session("lint", REFERENCE)
def lint(session: nox.Session, minor: str) -> None:
    """clang-format and ruff over the sources (tests/test_style.py)."""
    install(session, "test")
    session.run(
        "python", "-m", "pytest", "-p", "no:cacheprovider", "tests/test_style.py", *session.posargs
    )


@session("typing", REFERENCE)
def typing(session: nox.Session, minor: str) -> None:
    """The stub against the module, under mypy --strict (tests/test_typing.py)."""
    install(session, "test")
    build(session, "werror", "build/typing")
    session.run(
        "python", "-m", "pytest", "-p", "no:cacheprovider", "tests/test_typing.py", *session.posargs
    )


def asan(session: nox.Session, minor: str) -> None:
    """The suite on an ASan and UBSan build, leak-checked at each interpreter's exit.

    Fails on any test failure and on any sanitizer report, from any interpreter the tests start, and
    when the leak check ran in none of them (tools/sanitizer_verdict.sh)."""
    install(session, "runner")
    build(session, "sanitize", f"build/asan-{minor}")
    # The leak check runs before the interpreter is finalised, from an exit handler that every
    # interpreter of this environment installs at start-up (tools/lsan_at_exit.py).
    site = session.run(
        "python", "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])", silent=True
    ).strip()
    shutil.copy(ROOT / "tools/lsan_at_exit.py", f"{site}/_torvane_lsan_at_exit.py")
    Path(f"{site}/_torvane_lsan_at_exit.pth").write_text("import _torvane_lsan_at_exit\n")
    out = ROOT / f"build/asan-{minor}"
    reports, records = out / "reports", out / "leak-checks"
    for folder in (reports, records):
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
    env = {
        **HOOKS,
        # The interpreter is not instrumented: the runtimes come first, through the preload list.
        "LD_PRELOAD": ":".join(
            runtimes(session, {"libasan.so": "libasan8", "libubsan.so": "libubsan1"})
        ),
        # Every Python allocation goes straight to malloc, where the sanitizer sees it.
        "PYTHONMALLOC": "malloc",
        # Reports go to files: a report from a child whose stderr no test reads fails the run
        # too. A request too big to serve returns null, as malloc does, so that the module's
        # own handling of exhausted memory is what the tests see.
        "ASAN_OPTIONS": "detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1"
        ":halt_on_error=1:exitcode=86:strict_string_checks=1:detect_stack_use_after_return=1"
        f":check_initialization_order=1:log_path={reports}/asan",
        "LSAN_OPTIONS": f"suppressions={ROOT}/tools/lsan.supp:print_suppressions=0:exitcode=87",
        "UBSAN_OPTIONS": f"halt_on_error=1:print_stacktrace=1:exitcode=88:log_path={reports}/ubsan",
        # The tests that measure what the sanitizers distort step aside or scale down.
        "TORVANE_SANITIZED": "1",
        "TORVANE_LSAN_RECORDS": str(records),
    }
    tested = passes(
        session,
        "python",
        "-m",
        "pytest",
        "-p",
        "no:cacheprovider",
        *NO_SOURCE_CHECKS,
        *session.posargs,
        env=env,
    )
    session.run(
        "bash",
        "tools/sanitizer_verdict.sh",
        str(records),
        str(reports),
        "0" if tested else "1",
        external=True,
    )


for _minor in PYTHONS:
    session(f"asan-{_minor}", _minor)(asan)


@session("tsan", REFERENCE)
def tsan(session: nox.Session, minor: str) -> None:
    """The lock and registry tests on a ThreadSanitizer build.

    pytest's arguments, if given, replace that selection. The lock's memory orders make no
    difference a test can see on x86-64, but they do to ThreadSanitizer, which follows every
    happens-before edge they make. Fails on any test failure and any report."""
    install(session, "runner")
    build(session, "tsan", "build/tsan")
    reports = ROOT / "build/tsan/reports"
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)
    env = {
        **HOOKS,
        "LD_PRELOAD": runtimes(session, {"libtsan.so": "libtsan2"})[0],
        "PYTHONMALLOC": "malloc",
        # Reports go to files, from every interpreter; the runtime's own false reports are
        # suppressed, each with its reason (tools/tsan.supp).
        "TSAN_OPTIONS": f"halt_on_error=0:exitcode=89:log_path={reports}/tsan"
        f":second_deadlock_stack=1:suppressions={ROOT}/tools/tsan.supp",
        "TORVANE_SANITIZED": "1",
    }
    selection = session.posargs or [
        "tests/test_formulas.py",
        "tests/test_quarks_ckm.py::TestQuarks",
        "tests/test_reliability_threads.py",
    ]
    # This runtime wants the address space laid out without the widest randomisation some
    # kernels use (vm.mmap_rnd_bits above 28): setarch -R turns randomisation off for the run.
    tested = passes(
        session,
        "setarch",
        os.uname().machine,
        "-R",
        "python",
        "-m",
        "pytest",
        "-p",
        "no:cacheprovider",
        *selection,
        env=env,
        external=True,
    )
    found = sorted(reports.iterdir())
    for report in found:
        print(f"==> {report}\n" + "".join(report.read_text().splitlines(True)[:80]))
    if found:
        session.error(f"ThreadSanitizer reports ({len(found)} files)")
    session.log("ThreadSanitizer: no reports")
    if not tested:
        session.error("the tests failed")


@session("memcheck", REFERENCE)
def memcheck(session: nox.Session, minor: str) -> None:
    """The reliability workload under valgrind's memcheck.

    Every entry point runs on every success and failure path, with one injected allocation failure
    at every point of each path and of the module's creation. Fails on any memcheck error and any
    block definitely lost (tools/memcheck_verdict.py)."""
    install(session, "build")
    if not shutil.which("valgrind"):
        session.run("scripts/apt-install", "valgrind", external=True)
    # Unstripped, with debug information: reports name the module's functions and lines.
    build(session, "memcheck", "build/memcheck")
    out = ROOT / "build/memcheck/reports"
    shutil.rmtree(out, ignore_errors=True)
    (out / "scratch").mkdir(parents=True)
    memcheck = [
        "valgrind",
        "--tool=memcheck",
        "--error-exitcode=99",
        "--leak-check=full",
        "--show-leak-kinds=definite",
        "--errors-for-leak-kinds=definite",
        f"--suppressions={ROOT}/tools/valgrind.supp",
        "--num-callers=40",
        "--xml=yes",
        f"--xml-file={out}/memcheck.%p.xml",
    ]
    env = {"PYTHONMALLOC": "malloc"}
    # The workload ends its process before the interpreter is finalised (--exit-now), so that
    # what the interpreter never frees on purpose is still reachable and only true losses are
    # reported. Their stderr holds the diagnostics of the failures the sweeps provoke.
    ok = True
    for what, args, name in (
        ("the reliability workload (about 40 s)", ["run", "10", "--sweep"], "run"),
        (
            "the import under an allocation failure at each point (about 20 s)",
            ["import-sweep", "entry", str(out / "scratch")],
            "import-sweep",
        ),
    ):
        session.log(f"{what}, under memcheck")
        with open(out / f"{name}.out", "w") as stdout, open(out / f"{name}.err", "w") as stderr:
            ok &= passes(
                session,
                *memcheck,
                "python",
                "tests/reliability_workload.py",
                *args,
                "--exit-now",
                env=env,
                stdout=stdout,
                stderr=stderr,
                external=True,
            )
    session.run("python", "tools/memcheck_verdict.py", str(out), "0" if ok else "1")


# atheris, for the fuzzer's environment alone (its wheels are for a few Pythons).
ATHERIS = "atheris==3.1.0"


@session("fuzz", REFERENCE)
def fuzz(session: nox.Session, minor: str) -> None:
    """The fuzzer on every entry point, with ASan and UBSan.

    The module is built with clang for libFuzzer's coverage (CMake's TORVANE_FUZZ). Then
    fuzz/harness.py calls every entry point with arguments made from the fuzzer's bytes and checks
    each outcome against its oracle: a fixed number of inputs with a fixed seed, from the seed
    corpus fuzz/corpus. A finding fails the run: its input is saved under build/fuzz/findings/ and
    the command that replays it is printed. `-- --minutes N` fuzzes N minutes instead (from the
    inputs found before, kept in build/fuzz/corpus); `-- --replay FILE` runs one saved input
    again."""
    args = list(session.posargs)
    minutes = replay = None
    if args[:1] == ["--minutes"] and len(args) == 2 and re.fullmatch(r"[1-9]\d*", args[1]):
        minutes = args[1]
    elif args[:1] == ["--replay"] and len(args) == 2:
        replay = os.path.realpath(args[1])
    elif args:
        session.error("the fuzzer takes --minutes N or --replay FILE")
    clang = platforms.facts()["clang"]
    llvm = f"/usr/lib/llvm-{clang}"
    # clang makes the instrumentation; libc++ has the C++23 library parts the code needs, which
    # g++'s library offers clang only in part. atheris brings libFuzzer, linked into its
    # preloaded sanitizer runtime.
    if not (
        shutil.which(f"clang++-{clang}")
        and os.path.isfile(f"{llvm}/include/c++/v1/expected")
        and os.path.isfile(
            f"{llvm}/lib/clang/{clang}/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a"
        )
    ):
        session.run(
            "scripts/apt-install",
            f"clang-{clang}",
            f"libclang-rt-{clang}-dev",
            f"libc++-{clang}-dev",
            f"libc++abi-{clang}-dev",
            external=True,
        )
    install(session, "build", extra=(ATHERIS,))
    build(session, "fuzz", "build/fuzz/build")
    # A build that lost one of its instruments would fuzz without seeing what that one
    # reports: the module must call the coverage callbacks and both sanitizers' handlers.
    module = glob.glob(f"{platlib(session)}/orvantis/_torvane_core.*.so")[0]
    calls = subprocess.run(
        ["nm", "-D", "--undefined-only", module], capture_output=True, text=True, check=True
    ).stdout
    for instrument in ("__sanitizer_cov_", "__asan_report_", "__ubsan_handle_"):
        if f" {instrument}" not in calls:
            session.error(f"the fuzz build {module} lacks its instrumentation: no {instrument}*")
    atheris_dir = session.run(
        "python", "-c", "import atheris; print(atheris.path())", silent=True
    ).strip()
    runtime = f"{atheris_dir}/asan_with_fuzzer.so"
    # Its libFuzzer finds a custom mutator only among the objects loaded with it: atheris's
    # module that hands libFuzzer the harness's mutator is preloaded too, into the interpreter
    # alone (it needs the interpreter's symbols). tools/fuzz_run.sh fails a run that says it did
    # not find it.
    mutator = glob.glob(f"{atheris_dir}/atheris/custom_mutator.cpython-*.so")[0]
    env = {
        # The interpreter is not instrumented: atheris's runtime comes in first.
        "LD_PRELOAD": runtime,
        # The interpreter keeps memory to the end on purpose: no leak check.
        "ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1"
        ":strict_string_checks=1",
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
        "PYTHONHASHSEED": "0",
    }
    harness = ["env", f"LD_PRELOAD={runtime} {mutator}", "python", str(ROOT / "fuzz/harness.py")]
    if replay:
        session.run(*harness, replay, env=env, external=True)
        return
    seeds = ROOT / "fuzz/corpus"
    session.log("checking that the ordinary suite reads the seed corpus as atheris does")
    session.run(
        *harness,
        "--check-provider",
        *map(str, sorted(seeds.iterdir())),
        env=env,
        silent=True,
        external=True,
    )
    corpus = ROOT / "build/fuzz/corpus"
    if minutes is None:
        # CI's figures (the fixed run's inputs, the seed, the dictionary) are facts.tsv's, which
        # tools/fuzz_run.sh passes and then finds in libFuzzer's report. The fixed run starts
        # from the committed seeds alone, so that its figures repeat.
        shutil.rmtree(corpus, ignore_errors=True)
        limit = ["fixed"]
    else:
        limit = ["minutes", minutes]
    corpus.mkdir(parents=True, exist_ok=True)
    figures = platforms.facts()
    what = f"{figures['fuzz_runs']} inputs" if minutes is None else f"{minutes} minutes"
    session.log(f"fuzzing: {what}, seed {figures['fuzz_seed']}, from the seeds and what was found")
    # New inputs go to the first folder; the seeds are only read. The harness's mutator edits
    # an input's names as names (fuzz/strategies.py); libFuzzer's own mutations, with the
    # dictionary's words and the operands of the module's comparisons, edit the rest and the
    # names alike, and the value profiles keep the inputs whose names come closer to those
    # compared. Inputs longer than 512 bytes add nothing the harness can read.
    session.run(
        "tools/fuzz_run.sh",
        *limit,
        "build/logs/fuzz.log",
        "build/fuzz/findings",
        "--",
        *harness,
        "-max_len=512",
        "-print_final_stats=1",
        "-use_value_profile=1",
        str(corpus),
        str(seeds),
        env=env,
        external=True,
    )


def bench(session: nox.Session, minor: str) -> None:
    """The benchmarks: each entry point's ratio to its floor.

    The module is built here with the floors (_torvane_benchfloors). After `--`: `--wheel WHEEL`
    benchmarks a portable wheel's module instead, with floors built by the wheel's own toolchain (a
    Windows wheel: scripts/windows.sh --bench; a stable-ABI wheel, cp312-abi3, on any Python from
    its own on); `--count CASE` counts one case's instructions per
    call under callgrind; `--check-counts` fails when an entry point's count has grown more than 5 %
    over bench/instructions.json, which `--record-counts` writes (they hold for the reference Python
    built here with g++). Other arguments go to the harness (--quick for a short run)."""
    args = list(session.posargs)
    wheel = counts = None
    if args[:1] == ["--wheel"] and len(args) >= 2:
        wheel, args = os.path.realpath(args[1]), args[2:]
    if args[:1] == ["--count"] and len(args) >= 2:
        counts, args = [args[1]], args[2:]
    elif args[:1] in (["--check-counts"], ["--record-counts"]):
        counts, args = [args[0].removesuffix("-counts")], args[1:]
    if wheel and wheel.endswith("-win_amd64.whl"):
        if counts:
            session.error("a Windows wheel is timed only: callgrind does not run under Wine")
        session.run("scripts/windows.sh", "--bench", wheel, *args, external=True)
        return
    install(session, "build")
    # Unstripped: callgrind names functions by their symbols; stripping changes no code.
    if wheel is None:
        build(session, "bench", f"build/bench-{minor}")
        env = {"PYTHONPATH": None}
    else:
        name = re.fullmatch(r"[^-]+-[^-]+-cp3(\d+)-(abi3|cp3\d+)-.*\.whl", os.path.basename(wheel))
        # A stable-ABI wheel (cp312-abi3) runs on its Python and every later one.
        if not name or not (
            int(minor[2:]) >= int(name[1]) if name[2] == "abi3" else minor == f"3.{name[1]}"
        ):
            session.error(f"{wheel} is not a wheel of Python {minor}")
        cp = f"cp{minor.replace('.', '')}"
        zig = os.environ.get("TORVANE_ZIG")
        if not zig:
            install(
                session,
                "build",
                extra=tuple(
                    line
                    for line in (ROOT / "requirements-wheels.txt").read_text().splitlines()
                    if line and not line.startswith("#")
                ),
            )
        session.run(
            "python", "-m", "pip", "install", "--force-reinstall", "--no-deps", wheel, silent=True
        )
        # The floors come from a build of the whole project with the wheel's toolchain; only
        # their extension is kept, in a folder of its own on the path, so that the module
        # imported is the wheel's.
        floors = ROOT / f"build/bench-floors-{cp}"
        shutil.rmtree(floors, ignore_errors=True)
        build(
            session,
            "bench",
            f"build/bench-wheel-{cp}",
            "--target",
            f"{floors}.all",
            "--upgrade",
            f"-Ccmake.define.CMAKE_TOOLCHAIN_FILE={ROOT}/tools/zig/toolchain.cmake",
        )
        floors.mkdir()
        for built in Path(f"{floors}.all").glob("_torvane_benchfloors.*.so"):
            shutil.move(built, floors)
        shutil.rmtree(f"{floors}.all")
        env = {"PYTHONPATH": str(floors)}
    if counts:
        session.run("python", "-m", "bench.instructions", *counts, *args, env=env)
    else:
        session.run("python", "-m", "bench", *args, env=env)


for _minor in PYTHONS:
    session(f"bench-{_minor}", _minor)(bench)
