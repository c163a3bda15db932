"""The module's type stub as installed: it matches the built module, type checkers find it
with no configuration, and it accepts and rejects what it should. The checkers run as
subprocesses against the installed package, from a scratch directory."""

import ast
import json
import re
import subprocess
import sys
from pathlib import Path
from typing import NamedTuple

import pytest
import vorlix_motor_controller

REPO = Path(__file__).resolve().parents[2]
STUB = (
    Path(vorlix_motor_controller.__file__).with_name("vorlix_motor_controller-stubs")
    / "__init__.pyi"
)
TYPED_USAGE = Path(__file__).with_name("typed_usage.py")
VIRTUAL_TORSO = REPO / "python/vorlix_virtual_torso"
EXAMPLES = REPO / "examples"
class Diagnostic(NamedTuple):
    file: str
    line: int
    severity: str  # "error", or the checker's word for a note
    message: str


@pytest.fixture(scope="session")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    # Shared by every run: mypy analyses the standard library once per session.
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(workdir: Path, cache: Path, paths: list[Path]) -> list[Diagnostic]:
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache)]
        + [str(path) for path in paths],
        cwd=workdir, capture_output=True, text=True, timeout=600,
    )
    # 1 means "errors found"; anything above is mypy failing to run.
    assert result.returncode in (0, 1) and not result.stderr, result.stdout + result.stderr
    found = [re.fullmatch(r"(.+?):(\d+): (\w+): (.*)", line) for line in result.stdout.splitlines()]
    return [Diagnostic(Path(m[1]).name, int(m[2]), m[3], m[4]) for m in found if m]


def pyright(workdir: Path, paths: list[Path]) -> list[Diagnostic]:
    # --outputjson also keeps the wrapper from asking the package index for a newer version.
    result = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable]
        + [str(path) for path in paths],
        cwd=workdir, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    return [
        Diagnostic(Path(d["file"]).name, d["range"]["start"]["line"] + 1, d["severity"],
                   d["message"])
        for d in json.loads(result.stdout)["generalDiagnostics"]
    ]


CHECKERS = ["mypy", "pyright"]


def check(checker: str, workdir: Path, cache: Path, paths: list[Path]) -> list[Diagnostic]:
    return mypy(workdir, cache, paths) if checker == "mypy" else pyright(workdir, paths)


def test_stubtest_finds_no_difference_from_the_module(tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vorlix_motor_controller"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


STUB_CLASSES = {
    node.name: node
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body
    if isinstance(node, ast.ClassDef)
}


@pytest.mark.parametrize("class_name", STUB_CLASSES)
def test_stub_docstrings_are_the_live_ones(class_name: str) -> None:
    node = STUB_CLASSES[class_name]
    live = getattr(vorlix_motor_controller, class_name)
    # The live class docstring is only the text signature, which Python strips to "".
    stub_docs = {class_name: ast.get_docstring(node)}
    live_docs = {class_name: live.__doc__ or None}
    for member in node.body:
        # Dunders have no live text of their own: the constructor's documentation exists only
        # in the stub, and __repr__ is a slot wrapper with the interpreter's docstring.
        if isinstance(member, ast.FunctionDef) and not member.name.startswith("__"):
            stub_docs[member.name] = ast.get_docstring(member)
            live_docs[member.name] = getattr(live, member.name).__doc__
    assert stub_docs == live_docs


@pytest.mark.parametrize(
    "checker, paths",
    [
        # typed_usage.py asks pyright for its strict mode itself.
        ("mypy", [TYPED_USAGE, VIRTUAL_TORSO]),
        ("pyright", [TYPED_USAGE]),
        *((checker, [EXAMPLES]) for checker in CHECKERS),
    ],
    ids=["mypy-usage-and-virtual-torso", "pyright-usage", "mypy-examples", "pyright-examples"],
)
def test_programs_type_check_strictly(
    checker: str, paths: list[Path], tmp_path: Path, mypy_cache: Path
) -> None:
    errors = [d for d in check(checker, tmp_path, mypy_cache, paths) if d.severity == "error"]
    assert errors == []


PROBE_HEADER = [
    "import datetime",
    "from vorlix_motor_controller import VorlixMotorController, VorlixPyControlLoop",
    "period = datetime.timedelta(milliseconds=10)",
]
ACCEPTED = [
    "print(VorlixMotorController().read_all_positions()[0] + 1.0)",
    "print(VorlixPyControlLoop(None, period).get_last_position().neck)",
    "print(VorlixPyControlLoop(None, period, voltage_rampup_timeout=period).get_stats())",
]
REJECTED = [
    'VorlixMotorController().enable_torque_on_ids("123")',
    "VorlixPyControlLoop(None, 0.01)",
    "VorlixMotorController().set_neck_gains(0, None, 1.0)",
    "VorlixPyControlLoop(None, period).set_all_goal_positions([0.0] * 10)",
]
REVEALED = {
    "VorlixMotorController().neck_position_limits()": "list[tuple[float, float]]",
    "VorlixPyControlLoop(None, period).get_stats()": "ControlLoopStats | None",
    "VorlixPyControlLoop(None, period).async_read_pid_gains(1)": "tuple[int, int, int]",
}


@pytest.mark.parametrize("checker", CHECKERS)
def test_checker_accepts_rejects_and_reveals(
    checker: str, tmp_path: Path, mypy_cache: Path
) -> None:
    lines = PROBE_HEADER + ACCEPTED + REJECTED + [f"reveal_type({e})" for e in REVEALED]
    probe = tmp_path / "probe.py"
    probe.write_text("\n".join(lines) + "\n", encoding="utf-8")
    diagnostics = check(checker, tmp_path, mypy_cache, [probe])

    def line_of(snippet: str) -> int:
        return lines.index(snippet) + 1

    errors = {d.line for d in diagnostics if d.severity == "error"}
    assert sorted(errors) == sorted(map(line_of, REJECTED)), diagnostics
    revealed = {
        d.line: m[1].replace("vorlix_motor_controller.", "")
        for d in diagnostics
        if (m := re.fullmatch(r'(?:Revealed type|Type of ".*") is "(.*)"', d.message))
    }
    assert {e: revealed.get(line_of(f"reveal_type({e})")) for e in REVEALED} == REVEALED
